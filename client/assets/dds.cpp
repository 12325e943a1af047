// DDS header check, level walk and level-by-level upload.
#include "client/assets/dds.h"

#include <cstring>
#include <limits>

#include "client/gl/gl_ext.h"
#include "client/storage/byte_reader.h"

namespace velmar {
namespace {

constexpr std::uint64_t kMaxLevelBytes =
    static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());

bool selectFormat(const std::uint8_t* fourCc, DdsImage* image) {
    struct Format {
        char name[5];
        std::uint32_t internalFormat;
        std::uint32_t blockBytes;
    };
    static const Format kFormats[] = {
        {"DXT1", GL_COMPRESSED_RGBA_S3TC_DXT1_EXT, 8},
        {"DXT3", GL_COMPRESSED_RGBA_S3TC_DXT3_EXT, 16},
        {"DXT5", GL_COMPRESSED_RGBA_S3TC_DXT5_EXT, 16},
    };
    for (const Format& format : kFormats) {
        if (std::memcmp(fourCc, format.name, 4) == 0) {
            image->internalFormat = format.internalFormat;
            image->blockBytes = format.blockBytes;
            return true;
        }
    }
    return false;
}

// The mipmap chain; sides are at most 31 bits, so every product fits 64 bits.
DdsStatus walkChain(std::uint64_t available, DdsImage* image) {
    std::uint64_t w = static_cast<std::uint64_t>(image->width);
    std::uint64_t h = static_cast<std::uint64_t>(image->height);
    std::uint64_t offset = kDdsHeaderBytes;
    for (std::uint32_t i = 0; i < image->mipCount && (w != 0 || h != 0); ++i) {
        const std::uint64_t lw = w == 0 ? 1 : w;
        const std::uint64_t lh = h == 0 ? 1 : h;
        const std::uint64_t size = ((lw + 3) / 4) * ((lh + 3) / 4) * image->blockBytes;
        if (size > kMaxLevelBytes || size > available - (offset - kDdsHeaderBytes)) {
            return DdsStatus::BadFile;
        }
        image->levels[i] = DdsLevel{static_cast<std::int32_t>(lw), static_cast<std::int32_t>(lh),
                                    offset, size};
        image->levelCount = i + 1;
        offset += size;
        w >>= 1;
        h >>= 1;
    }
    return DdsStatus::Ok;
}

}  // namespace

DdsStatus readDds(const std::uint8_t* data, std::size_t length, DdsImage* image) {
    *image = DdsImage{};
    if (!data || length < kDdsHeaderBytes || std::memcmp(data, "DDS ", 4) != 0) {
        return DdsStatus::BadFile;
    }
    if (!selectFormat(data + kDdsFourCcOffset, image)) return DdsStatus::UnsupportedFormat;
    const ByteReader header(data, kDdsHeaderBytes);
    image->height = header.i32At(kDdsHeightOffset);
    image->width = header.i32At(kDdsWidthOffset);
    image->mipCount = header.u32At(kDdsMipCountOffset);

    const std::uint64_t available = length - kDdsHeaderBytes;
    if (image->mipCount > 0) {
        // A side of 0 counts as 1 and both 0 end the chain; a negative side
        // would never halve to 0.
        if (image->width < 0 || image->height < 0) return DdsStatus::BadFile;
        const DdsStatus status = walkChain(available, image);
        if (status != DdsStatus::Ok) image->levelCount = 0;
        return status;
    }
    if (available == 0) return DdsStatus::NoImageData;
    if (available > kMaxLevelBytes) return DdsStatus::BadFile;
    // Whatever the sizes say, the bytes go up as one level: GL itself refuses
    // sizes that do not fit them, reading nothing.
    image->levels[0] = DdsLevel{image->width, image->height, kDdsHeaderBytes, available};
    image->levelCount = 1;
    return DdsStatus::Ok;
}

bool uploadDds(const DdsImage& image, const std::uint8_t* data, DdsLevelUploaded uploaded,
               void* context) {
    const auto upload = glEntryPoints().glCompressedTexImage2DARB;
    if (!upload) return false;
    for (std::uint32_t i = 0; i < image.levelCount && i < kDdsMaxLevels; ++i) {
        const DdsLevel& level = image.levels[i];
        upload(GL_TEXTURE_2D, static_cast<GLint>(i), static_cast<GLenum>(image.internalFormat),
               level.width, level.height, 0, static_cast<GLsizei>(level.size),
               data + level.offset);
        if (uploaded) uploaded(level, i, context);
    }
    return true;
}

}  // namespace velmar
