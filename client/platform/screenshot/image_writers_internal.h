// The two screenshot encoders, writing to an open file descriptor. Private to
// the screenshot module.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar {

enum class EncodeResult { kOk, kPngStruct, kPngInfo, kWriteError };

// PNG, 8-bit RGB, not interlaced, zlib level 9, top row first. `pixels` are
// RGB rows packed, the bottom row first.
EncodeResult encodePng(int fd, int width, int height, const std::uint8_t* pixels);

// Uncompressed 24-bit TGA, bottom row first. Turns `pixels` into BGR in place.
EncodeResult encodeTga(int fd, int width, int height, std::uint8_t* pixels);

}  // namespace velmar
