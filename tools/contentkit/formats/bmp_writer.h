// BMP writer for the launcher's splash picture: a plain Windows bitmap
// (BITMAPINFOHEADER, 24 bits, no compression, rows bottom-up) that the
// launcher and gdk-pixbuf both load. The launcher shows pure white (0xFFFFFF)
// as see-through, so with `whiteKey` set transparent pixels become white and
// opaque pure white is nudged to 0xFEFEFE to stay visible. Stateless.
#pragma once

#include <string>

#include "tools/contentkit/formats/byte_io.h"
#include "tools/contentkit/formats/image.h"

namespace contentkit {

constexpr std::size_t kBmpFileHeaderSize = 14;
constexpr std::size_t kBmpInfoHeaderSize = 40;

struct BmpOptions {
    bool whiteKey = true;
    int alphaThreshold = 128;  // alpha below this counts as transparent
};

// The splash's key colour and the colour opaque white is moved to.
constexpr std::uint8_t kBmpKeyLevel = 255;
constexpr std::uint8_t kBmpNudgedWhite = 254;

// Builds the whole file. False with a message for an empty or inconsistent
// image or a side over kMaxImageEdge.
bool writeBmp(const Image& image, const BmpOptions& options, Bytes* out, std::string* error);

}  // namespace contentkit
