// Image: the in-memory picture every contentkit image writer takes, 8-bit
// RGBA, rows from the top of the picture down, no padding. A plain value;
// whoever holds it owns the pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace contentkit {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;  // width * height * 4 bytes

    Image() = default;
    Image(int w, int h) : width(w), height(h), rgba(pixelBytes(w, h), 0) {}

    bool valid() const {
        return width > 0 && height > 0 && rgba.size() == pixelBytes(width, height);
    }
    std::uint8_t* at(int x, int y) {
        return &rgba[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)) * 4];
    }
    const std::uint8_t* at(int x, int y) const {
        return &rgba[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)) * 4];
    }
    static std::size_t pixelBytes(int w, int h) {
        if (w <= 0 || h <= 0) return 0;
        return static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4;
    }
};

// Largest edge any image writer accepts: the client reads sizes as signed
// 32-bit values and TGA stores 16 bits, so this keeps every product small.
constexpr int kMaxImageEdge = 16384;

// What every image writer checks first: false with a message for an empty
// or inconsistent image, or a side over `maxEdge` ("<what> sides must be at
// most <maxEdge>").
inline bool checkImageSize(const Image& image, int maxEdge, const char* what, std::string* error) {
    if (!image.valid()) {
        *error = "image is empty or its pixel buffer does not match its size";
        return false;
    }
    if (image.width > maxEdge || image.height > maxEdge) {
        *error = std::string(what) + " sides must be at most " + std::to_string(maxEdge);
        return false;
    }
    return true;
}

// Decodes a PNG, TGA or BMP file held in memory into RGBA. False with a
// message in `error` when the data is not a picture that can be read, ends
// before its last pixel, has a pixel that names no entry of its palette, or
// is larger than kMaxImageEdge on a side.
bool decodeImage(const std::uint8_t* data, std::size_t len, Image* out, std::string* error);

// A picture's brightness at 16 bits (8-bit pictures scaled by 257), for
// height images: a 16-bit PNG keeps its full depth. Same limits as above.
struct GreyImage {
    int width = 0, height = 0;
    std::vector<std::uint16_t> values;  // rows from the top
};
bool decodeGrey16(const std::uint8_t* data, std::size_t len, GreyImage* out, std::string* error);

}  // namespace contentkit
