// Picture input of the content tool (PNG, TGA, BMP as authors bring them):
// the measuring before stb and stb itself. Every pixel of a decoded picture
// is read, so a result shorter than its size shows as a heap overflow.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/contentkit/formats/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    contentkit::Image image;
    std::string error;
    volatile std::uint8_t sink = 0;
    if (contentkit::decodeImage(data, size, &image, &error)) {
        for (std::size_t i = 0; i < image.rgba.size(); i += 61) sink = sink + image.rgba[i];
    }
    contentkit::GreyImage grey;
    if (contentkit::decodeGrey16(data, size, &grey, &error)) {
        for (std::size_t i = 0; i < grey.values.size(); i += 61) sink = sink + static_cast<std::uint8_t>(grey.values[i]);
    }
    return 0;
}
