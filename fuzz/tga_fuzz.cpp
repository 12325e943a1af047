// TGA decoder: the whole picture it returns is read, so a result shorter
// than width x height x 4 shows as a heap overflow.
#include <cstddef>
#include <cstdint>

#include "client/assets/tga.h"
#include "client/core/runtime.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint32_t width = 0, height = 0;
    std::uint8_t* pixels = velmar::tex_LoadTGA(size, data, &width, &height);
    if (!pixels) return 0;
    const std::uint64_t bytes = std::uint64_t{width} * height * 4;
    volatile std::uint8_t sink = 0;
    for (std::uint64_t i = 0; i < bytes; i += 61) sink = sink + pixels[i];
    if (bytes > 0) sink = sink + pixels[bytes - 1];
    velmar::release(pixels);
    return 0;
}
