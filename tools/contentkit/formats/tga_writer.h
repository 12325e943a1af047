// TGA writer for the mouse cursor pictures: uncompressed (type 2) or
// run-length (type 10) true-colour, 24 or 32 bits, stored top row first with
// the top-left origin bit (the default) or bottom-up without it. Top-left is
// the one layout every reader shows upright, those that ignore the origin bit
// too (ImageMagick 6 does). Run-length packets never cross a row, which every
// reader accepts. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "tools/contentkit/formats/byte_io.h"
#include "tools/contentkit/formats/image.h"

namespace contentkit {

constexpr std::size_t kTgaHeaderSize = 18;
constexpr int kTgaMaxEdge = 65535;

struct TgaOptions {
    int imageType = 2;          // 2 or 10
    int depth = 32;             // 24 or 32
    bool topLeftOrigin = true;  // rows stored top first, descriptor bit 5 set
    std::string imageId;        // optional ID field, at most 255 bytes
};

// Builds the whole file. False with a message for an empty or inconsistent
// image, a side over 65535, or options outside the list above.
bool writeTga(const Image& image, const TgaOptions& options, Bytes* out, std::string* error);

}  // namespace contentkit
