// DDS textures: the 128-byte header check and the walk of the mipmap chain
// on a byte span, then the upload of every level to the bound GL texture
// straight out of that span (DXT data is never decoded or copied).
//
// readDds needs no GL and never reads outside the span: every level it
// reports lies wholly inside the data. uploadDds runs on the thread that owns
// the GL context (the main thread) and uses the compressed-texture entry
// point of the GL table. The caller owns the bytes throughout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/assets/dds_layout.h"

namespace velmar {

// Halving a 31-bit side reaches 0 after at most 31 levels.
constexpr std::uint32_t kDdsMaxLevels = 32;

enum class DdsStatus {
    Ok,
    BadFile,            // too short, no magic, no size, or a chain past the end
    UnsupportedFormat,  // a FourCC other than DXT1, DXT3, DXT5
    NoImageData         // no mipmap count and no bytes after the header
};

struct DdsLevel {
    std::int32_t width;
    std::int32_t height;
    std::uint64_t offset;  // from the start of the file
    std::uint64_t size;    // compressed bytes, at most INT32_MAX
};

struct DdsImage {
    std::int32_t width = 0;           // header size in pixels
    std::int32_t height = 0;
    std::uint32_t mipCount = 0;       // as the header gives it
    std::uint32_t internalFormat = 0; // GL_COMPRESSED_RGBA_S3TC_DXT*_EXT
    std::uint32_t blockBytes = 0;     // per 4x4 block
    std::uint32_t levelCount = 0;
    DdsLevel levels[kDdsMaxLevels] = {};
};

// Checks the header and lays out the levels. With a mipmap count, level i is
// the header size shifted right i times (a 0 side becomes 1; both 0 ends the
// chain, so 0 x 0 has no level), a negative side is refused and a chain that
// needs more bytes than the span holds is refused whole. Without one, level 0
// takes every byte after the header, with the header's sizes whatever they
// are.
DdsStatus readDds(const std::uint8_t* data, std::size_t length, DdsImage* image);

// Called after each level went up, with its index.
using DdsLevelUploaded = void (*)(const DdsLevel& level, std::uint32_t index, void* context);

// Uploads the levels of `image` (from readDds on `data`) to the texture bound
// to GL_TEXTURE_2D. False, before any upload, when the GL table holds no
// compressed-texture entry point.
bool uploadDds(const DdsImage& image, const std::uint8_t* data, DdsLevelUploaded uploaded,
               void* context);

}  // namespace velmar
