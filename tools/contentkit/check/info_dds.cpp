// DDS info: the header fields the client reads and the level walk it does,
// with every size checked against the bytes present.
#include <cstring>

#include "client/assets/dds_layout.h"
#include "client/storage/byte_reader.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/check/info_internal.h"
#include "tools/contentkit/formats/text.h"

namespace contentkit {

using namespace velmar;  // the DDS layout's names and the reader

namespace {

constexpr std::size_t kHeader = kDdsHeaderBytes;

std::string fourCCText(const ByteReader& header) {
    const std::uint8_t* p = header.at() + kDdsFourCcOffset;
    bool printable = true;
    for (int i = 0; i < 4; ++i) printable = printable && p[i] >= 0x20 && p[i] < 0x7F;
    if (printable) return std::string(reinterpret_cast<const char*>(p), 4);
    return strf("0x%08X", header.u32At(kDdsFourCcOffset));
}

std::uint64_t blockBytes(const std::uint8_t* fourCC) {
    if (std::memcmp(fourCC, "DXT1", 4) == 0) return 8;
    if (std::memcmp(fourCC, "DXT3", 4) == 0 || std::memcmp(fourCC, "DXT5", 4) == 0) return 16;
    return 0;
}

std::uint64_t levelBytes(std::int64_t w, std::int64_t h, std::uint64_t block) {
    return static_cast<std::uint64_t>((w + 3) / 4) * static_cast<std::uint64_t>((h + 3) / 4) * block;
}

// The client's walk: levels until the count, stopping at 0x0, a 0 side as 1.
bool walkLevels(const std::uint8_t* data, std::size_t len, InfoReport* report) {
    const ByteReader header(data, kHeader);
    const std::int64_t width = header.i32At(kDdsWidthOffset);
    const std::int64_t height = header.i32At(kDdsHeightOffset);
    const std::uint32_t mipCount = header.u32At(kDdsMipCountOffset);
    const std::uint64_t block = blockBytes(data + kDdsFourCcOffset);
    const std::uint64_t available = len - kHeader;

    std::uint64_t offset = 0;
    std::uint32_t level = 0;
    std::int64_t w = width, h = height;
    for (; level < mipCount; ++level) {
        if (w == 0 && h == 0) break;
        const std::int64_t lw = w == 0 ? 1 : w, lh = h == 0 ? 1 : h;
        const std::uint64_t size = levelBytes(lw, lh, block);
        report->field(strf("level %u", level),
                      strf("%lldx%lld, %llu bytes at offset %llu", static_cast<long long>(lw),
                           static_cast<long long>(lh), static_cast<unsigned long long>(size),
                           static_cast<unsigned long long>(kHeader + offset)));
        // Sizes stay below 2^62 and there are at most 32 levels: no overflow.
        offset += size;
        w >>= 1;
        h >>= 1;
    }
    report->field("levels read", strf("%u", level));
    if (level < mipCount) {
        report->warn(strf("mipmap count %u is more than the %u levels down to 1x1; the reader "
                          "stops there", mipCount, level));
    }
    if (offset > available) {
        return report->fail(strf("the %u levels need %llu bytes after the header, the file holds "
                                 "%llu", level, static_cast<unsigned long long>(offset),
                                 static_cast<unsigned long long>(available)));
    }
    if (offset < available) {
        report->warn(strf("%llu bytes after the last level are never read",
                          static_cast<unsigned long long>(available - offset)));
    }
    return true;
}

}  // namespace

bool infoDds(const std::uint8_t* data, std::size_t len, InfoReport* report) {
    report->format = "DDS";
    if (!holdsHeader(len, kHeader, "DDS header", report)) return false;
    const ByteReader header(data, kHeader);
    if (!hasMagic(header, kDdsMagic, report)) return false;

    const std::uint32_t headerSize = header.u32At(kDdsHeaderSizeOffset);
    const std::uint32_t flags = header.u32At(kDdsFlagsOffset);
    const std::int32_t height = header.i32At(kDdsHeightOffset);
    const std::int32_t width = header.i32At(kDdsWidthOffset);
    const std::uint32_t linearSize = header.u32At(kDdsLinearSizeOffset);
    const std::uint32_t mipCount = header.u32At(kDdsMipCountOffset);
    const std::uint64_t block = blockBytes(data + kDdsFourCcOffset);
    report->field("header size", strf("%u", headerSize));
    report->field("flags", strf("0x%08X", flags));
    report->field("size", strf("%d x %d", width, height));
    report->field("linear size", strf("%u", linearSize));
    report->field("mipmap count", strf("%u", mipCount));
    report->field("fourCC", fourCCText(header));
    report->field("data bytes", strf("%zu", len - kHeader));

    if (headerSize != kDdsHeaderSizeField) report->warn(strf("header size field is %u, not 124", headerSize));
    if (block == 0 && !(header.u32At(kDdsPixelFlagsOffset) & kDdsPixelFlagFourCc)) {
        return report->fail(strf("uncompressed DDS (%u bits per pixel) is not read; save it as DXT1, DXT3 or DXT5",
                                 header.u32At(kDdsRgbBitCountOffset)));
    }
    if (block == 0) return report->fail("pixel format FourCC " + fourCCText(header) +
                                        " is not DXT1, DXT3 or DXT5");
    // The client uploads the first faces' or slices' bytes as one flat
    // picture and its mipmaps: another picture than the author's.
    const std::uint32_t caps2 = header.u32At(kDdsCaps2Offset);
    const std::uint32_t depth = header.u32At(kDdsDepthOffset);
    if (caps2 & kDdsCaps2CubeMap) {
        return report->fail("cube map is not read (the client would show its first face only); save each face "
                            "as a texture of its own");
    }
    if ((caps2 & kDdsCaps2Volume) || ((flags & kDdsFlagDepth) && depth > 1)) {
        return report->fail(strf("volume texture of depth %u is not read (the client would show its first "
                                 "slice only); save a flat texture", depth));
    }
    if (width <= 0 || height <= 0) {
        return report->fail(strf("width and height must be positive, read %d x %d", width, height));
    }
    const std::uint64_t level0 = levelBytes(width, height, block);
    if ((flags & kDdsFlagLinearSize) && linearSize != level0) {
        report->warn(strf("linear size %u differs from the %llu bytes of level 0", linearSize,
                          static_cast<unsigned long long>(level0)));
    }
    if (mipCount > 1 && !(flags & kDdsFlagMipCount)) {
        report->warn("mipmap count is set but the mipmap-count flag is not");
    }
    if (mipCount == 0) {
        // One level of everything after the header, whatever the size says.
        const std::uint64_t available = len - kHeader;
        if (available == 0) return report->fail("no image data after the header");
        report->field("level 0", strf("%d x %d, %llu bytes at offset 128", width, height,
                                      static_cast<unsigned long long>(available)));
        if (available != level0) {
            return report->fail(strf("level 0 of %d x %d needs %llu bytes, the file holds %llu",
                                     width, height, static_cast<unsigned long long>(level0),
                                     static_cast<unsigned long long>(available)));
        }
        return true;
    }
    return walkLevels(data, len, report);
}

}  // namespace contentkit
