// DDS writing: mip chain, block compression and the header.
#include "tools/contentkit/formats/dds_writer.h"

#include <algorithm>

#include "tools/contentkit/formats/text.h"

#define STB_DXT_IMPLEMENTATION
#include <stb/stb_dxt.h>

namespace contentkit {

namespace {

// Header flags: caps, height, width, pixel format, linear size, mip count.
constexpr std::uint32_t kFlagsBase = 0x1 | 0x2 | 0x4 | 0x1000 | velmar::kDdsFlagLinearSize;
constexpr std::uint32_t kPixelFormatFourCC = 0x4;
constexpr std::uint32_t kCapsTexture = 0x1000;
constexpr std::uint32_t kCapsComplexMipmap = 0x8 | 0x400000;

std::uint32_t fourCC(DxtFormat format) {
    const char* name = dxtName(format);
    return static_cast<std::uint32_t>(name[0]) | (static_cast<std::uint32_t>(name[1]) << 8) |
           (static_cast<std::uint32_t>(name[2]) << 16) | (static_cast<std::uint32_t>(name[3]) << 24);
}

// Source pixel range [begin, end) that destination index i of n covers.
void boxRange(int i, int n, int src, int* begin, int* end) {
    *begin = static_cast<int>(static_cast<long long>(i) * src / n);
    *end = static_cast<int>(static_cast<long long>(i + 1) * src / n);
    if (*end <= *begin) *end = *begin + 1;
}

Image downsample(const Image& src) {
    Image dst(std::max(1, src.width >> 1), std::max(1, src.height >> 1));
    for (int y = 0; y < dst.height; ++y) {
        int y0 = 0, y1 = 0;
        boxRange(y, dst.height, src.height, &y0, &y1);
        for (int x = 0; x < dst.width; ++x) {
            int x0 = 0, x1 = 0;
            boxRange(x, dst.width, src.width, &x0, &x1);
            // Colour is weighted by alpha: the colour of clear texels (often
            // black) would otherwise darken the edges of cut-outs far away.
            unsigned sum[4] = {0, 0, 0, 0};
            std::uint64_t weighted[3] = {0, 0, 0};
            for (int sy = y0; sy < y1; ++sy) {
                for (int sx = x0; sx < x1; ++sx) {
                    const std::uint8_t* p = src.at(sx, sy);
                    for (int c = 0; c < 4; ++c) sum[c] += p[c];
                    for (int c = 0; c < 3; ++c) weighted[c] += static_cast<std::uint64_t>(p[c]) * p[3];
                }
            }
            const unsigned count = static_cast<unsigned>((y1 - y0) * (x1 - x0));
            const bool opaque = sum[3] == 255u * count, clear = sum[3] == 0;
            std::uint8_t* d = dst.at(x, y);
            for (int c = 0; c < 4; ++c) {
                d[c] = static_cast<std::uint8_t>(
                    c == 3 || opaque || clear ? (sum[c] + count / 2) / count : (weighted[c] + sum[3] / 2) / sum[3]);
            }
        }
    }
    return dst;
}

// Gathers the 4x4 block at (bx, by), clamping at the right and bottom edges.
void gatherBlock(const Image& image, int bx, int by, std::uint8_t block[64]) {
    for (int y = 0; y < 4; ++y) {
        const int sy = std::min(by * 4 + y, image.height - 1);
        for (int x = 0; x < 4; ++x) {
            const int sx = std::min(bx * 4 + x, image.width - 1);
            std::copy_n(image.at(sx, sy), 4, block + (y * 4 + x) * 4);
        }
    }
}

// Explicit 4-bit alpha, pixel 0 in the low nibble of byte 0.
void encodeDxt3Alpha(const std::uint8_t block[64], std::uint8_t out[8]) {
    for (int i = 0; i < 8; ++i) {
        const unsigned a0 = (block[(i * 2) * 4 + 3] * 15u + 127u) / 255u;
        const unsigned a1 = (block[(i * 2 + 1) * 4 + 3] * 15u + 127u) / 255u;
        out[i] = static_cast<std::uint8_t>(a0 | (a1 << 4));
    }
}

}  // namespace

// --- Formats ---

const char* dxtName(DxtFormat format) {
    switch (format) {
        case DxtFormat::Dxt1: return "DXT1";
        case DxtFormat::Dxt3: return "DXT3";
        case DxtFormat::Dxt5: return "DXT5";
    }
    return "DXT1";
}

bool parseDxtFormat(const std::string& text, DxtFormat* format) {
    const std::string lower = lowerText(text);
    if (lower == "dxt1") *format = DxtFormat::Dxt1;
    else if (lower == "dxt3") *format = DxtFormat::Dxt3;
    else if (lower == "dxt5") *format = DxtFormat::Dxt5;
    else return false;
    return true;
}

std::size_t dxtBlockBytes(DxtFormat format) { return format == DxtFormat::Dxt1 ? 8 : 16; }

// --- Mip chain ---

std::uint32_t fullMipCount(int width, int height) {
    std::uint32_t count = 1;
    while (width > 1 || height > 1) {
        width = std::max(1, width >> 1);
        height = std::max(1, height >> 1);
        ++count;
    }
    return count;
}

std::vector<Image> buildMipChain(const Image& image) {
    std::vector<Image> chain;
    chain.push_back(image);
    while (chain.back().width > 1 || chain.back().height > 1) {
        chain.push_back(downsample(chain.back()));
    }
    return chain;
}

// --- Compression ---

Bytes compressDxt(const Image& image, DxtFormat format, bool highQuality) {
    const int blocksWide = (image.width + 3) / 4;
    const int blocksHigh = (image.height + 3) / 4;
    const std::size_t blockBytes = dxtBlockBytes(format);
    const int mode = highQuality ? STB_DXT_HIGHQUAL : STB_DXT_NORMAL;
    Bytes out(static_cast<std::size_t>(blocksWide) * static_cast<std::size_t>(blocksHigh) *
              blockBytes);
    std::uint8_t* dest = out.data();
    std::uint8_t block[64];
    for (int by = 0; by < blocksHigh; ++by) {
        for (int bx = 0; bx < blocksWide; ++bx) {
            gatherBlock(image, bx, by, block);
            if (format == DxtFormat::Dxt5) {
                stb_compress_dxt_block(dest, block, 1, mode);
            } else {
                if (format == DxtFormat::Dxt3) {
                    encodeDxt3Alpha(block, dest);
                    dest += 8;
                }
                // The colour encoder wants a constant alpha channel.
                for (int i = 0; i < 16; ++i) block[i * 4 + 3] = 255;
                stb_compress_dxt_block(dest, block, 0, mode);
            }
            dest += 8 + (format == DxtFormat::Dxt5 ? 8 : 0);
        }
    }
    return out;
}

// --- File ---

bool writeDds(const Image& image, const DdsOptions& options, Bytes* out, std::string* error) {
    if (!checkImageSize(image, kMaxImageEdge, "image", error)) return false;
    std::vector<Image> chain;
    if (options.mipmaps) chain = buildMipChain(image);
    else chain.push_back(image);

    std::vector<Bytes> levels;
    for (const Image& level : chain) levels.push_back(compressDxt(level, options.format, options.highQuality));

    out->clear();
    ByteWriter w(out);
    w.u32(kDdsMagic);
    w.u32(velmar::kDdsHeaderSizeField);
    w.u32(kFlagsBase | (options.mipmaps ? velmar::kDdsFlagMipCount : 0));
    w.u32(static_cast<std::uint32_t>(image.height));
    w.u32(static_cast<std::uint32_t>(image.width));
    w.u32(static_cast<std::uint32_t>(levels[0].size()));
    w.u32(0);  // depth
    w.u32(options.mipmaps ? static_cast<std::uint32_t>(chain.size()) : 0);
    w.zeros(11 * 4);
    w.u32(32);  // pixel format size
    w.u32(kPixelFormatFourCC);
    w.u32(fourCC(options.format));
    w.zeros(5 * 4);  // bit count and masks
    w.u32(kCapsTexture | (options.mipmaps ? kCapsComplexMipmap : 0));
    w.zeros(4 * 4);  // caps2, caps3, caps4, reserved
    for (const Bytes& level : levels) w.bytes(level.data(), level.size());
    return true;
}

}  // namespace contentkit
