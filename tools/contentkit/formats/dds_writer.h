// DDS writer: compresses an RGBA image to DXT1, DXT3 or DXT5 with stb_dxt and
// wraps it in the 128-byte DDS header the client's texture manager reads,
// with the full mipmap chain down to 1x1 unless asked for a single level.
//
// Output is a pure function of the image and options (same input, same
// bytes). Functions keep no state and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/assets/dds_layout.h"
#include "tools/contentkit/formats/byte_io.h"
#include "tools/contentkit/formats/image.h"

namespace contentkit {

enum class DxtFormat { Dxt1, Dxt3, Dxt5 };

// The header layout is the client's, stated once.
using velmar::kDdsHeaderBytes;
using velmar::kDdsMagic;

// "DXT1", "DXT3", "DXT5".
const char* dxtName(DxtFormat format);
// Accepts dxt1/dxt3/dxt5 in either letter case.
bool parseDxtFormat(const std::string& text, DxtFormat* format);
// 8 for DXT1, 16 for the others.
std::size_t dxtBlockBytes(DxtFormat format);

struct DdsOptions {
    DxtFormat format = DxtFormat::Dxt1;
    bool mipmaps = true;     // full chain, else one level and mipmap count 0
    bool highQuality = true; // stb's extra refinement passes
};

// Level count of a full chain: the client halves both sides (a side that
// reaches 0 counts as 1) until 1x1.
std::uint32_t fullMipCount(int width, int height);

// The chain the writer stores: level 0 is the image, each next level a box
// filter of the previous one at half size (never below 1).
std::vector<Image> buildMipChain(const Image& image);

// Compresses one image into DXT blocks, rows of blocks from the top; edge
// blocks of sizes not divisible by 4 repeat the last row and column. DXT1
// keeps no alpha; DXT3 stores 4-bit alpha; DXT5 interpolated alpha.
Bytes compressDxt(const Image& image, DxtFormat format, bool highQuality);

// Builds the whole file. False with a message when the image is empty,
// inconsistent or larger than kMaxImageEdge on a side.
bool writeDds(const Image& image, const DdsOptions& options, Bytes* out, std::string* error);

}  // namespace contentkit
