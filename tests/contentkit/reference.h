// Readers written for the tests only, separately from the contentkit
// library, so a writer and the library's own checks cannot share a mistake:
// a DXT block decoder, DDS header fields, the client's TGA decoding steps, a
// 24-bit BMP reader and the definition file grammar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/contentkit/formats/image.h"

namespace reference {

using Bytes = std::vector<std::uint8_t>;

struct DdsFields {
    std::uint32_t magic = 0, headerSize = 0, flags = 0, linearSize = 0, depth = 0, mipCount = 0;
    std::int32_t width = 0, height = 0;
    std::uint32_t pfSize = 0, pfFlags = 0, caps = 0;
    std::string fourCC;
};
bool readDdsFields(const Bytes& file, DdsFields* out);

// Decodes `blocksWide x blocksHigh` blocks of "DXT1", "DXT3" or "DXT5" data
// into a width x height picture (edge blocks cut).
contentkit::Image decodeDxt(const std::uint8_t* data, const std::string& fourCC, int width,
                            int height);
std::size_t dxtLevelSize(int width, int height, const std::string& fourCC);

// The client's cursor decoder: RGBA rows top first; false on any refusal.
bool decodeTga(const Bytes& file, contentkit::Image* out);

// 24-bit uncompressed bottom-up or top-down BMP into RGBA (alpha 255).
bool decodeBmp24(const Bytes& file, contentkit::Image* out);

struct DefContents {
    std::map<std::int32_t, std::string> entries;
    std::vector<std::string> loads;
};
// The client's definition grammar over one file (load lines are listed,
// not followed).
DefContents parseDef(const std::string& text);

// Picture loaded by gdk-pixbuf as RGBA; false when it refuses the file.
bool loadWithPixbuf(const std::string& path, contentkit::Image* out, std::string* error);

}  // namespace reference
