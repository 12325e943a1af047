// DDS writer: header fields through an independent reader, level sizes as
// the client walks them, block data decoded back within DXT error, and the
// info reader and GDF packing on the result.
#include <gtest/gtest.h>

#include "client/storage/gdf.h"
#include "tests/contentkit/reference.h"
#include "tests/contentkit/test_util.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/dds_writer.h"

namespace {

using contentkit::DdsOptions;
using contentkit::DxtFormat;
using contentkit::Image;
using cktest::Bytes;

const DxtFormat kFormats[] = {DxtFormat::Dxt1, DxtFormat::Dxt3, DxtFormat::Dxt5};

Bytes writeOrFail(const Image& image, DxtFormat format, bool mipmaps = true) {
    DdsOptions options;
    options.format = format;
    options.mipmaps = mipmaps;
    return cktest::written(contentkit::writeDds, image, options);
}

struct Level {
    int width, height;
    std::size_t offset, size;
};

// The client's level walk, written out again for the test.
std::vector<Level> clientLevels(const reference::DdsFields& f) {
    std::vector<Level> levels;
    int w = f.width, h = f.height;
    std::size_t offset = 128;
    for (std::uint32_t i = 0; i < f.mipCount && (w != 0 || h != 0); ++i) {
        const int lw = w ? w : 1, lh = h ? h : 1;
        const std::size_t size = reference::dxtLevelSize(lw, lh, f.fourCC);
        levels.push_back({lw, lh, offset, size});
        offset += size;
        w >>= 1;
        h >>= 1;
    }
    return levels;
}

// --- Header and layout ---

TEST(DdsWriter, HeaderFieldsReadBackByIndependentReader) {
    for (DxtFormat format : kFormats) {
        const Bytes file = writeOrFail(cktest::gradient(64, 32), format);
        reference::DdsFields f;
        ASSERT_TRUE(reference::readDdsFields(file, &f));
        EXPECT_EQ(f.magic, 0x20534444u);
        EXPECT_EQ(f.headerSize, 124u);
        EXPECT_EQ(f.width, 64);
        EXPECT_EQ(f.height, 32);
        EXPECT_EQ(f.mipCount, 7u);
        EXPECT_EQ(f.fourCC, contentkit::dxtName(format));
        EXPECT_EQ(f.pfSize, 32u);
        EXPECT_EQ(f.pfFlags, 4u);
        EXPECT_EQ(f.flags & 0x20000u, 0x20000u);
        EXPECT_EQ(f.linearSize, reference::dxtLevelSize(64, 32, f.fourCC));
        EXPECT_EQ(f.caps, 0x401008u);
        const std::vector<Level> levels = clientLevels(f);
        ASSERT_EQ(levels.size(), 7u);
        EXPECT_EQ(file.size(), levels.back().offset + levels.back().size);
    }
}

TEST(DdsWriter, ChainOfWideTextureMatchesClientLevelSizes) {
    const Bytes file = writeOrFail(cktest::gradient(256, 64), DxtFormat::Dxt1);
    reference::DdsFields f;
    ASSERT_TRUE(reference::readDdsFields(file, &f));
    ASSERT_EQ(f.mipCount, 9u);
    const std::vector<Level> levels = clientLevels(f);
    const std::size_t expected[] = {8192, 2048, 512, 128, 32, 16, 8, 8, 8};
    ASSERT_EQ(levels.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) EXPECT_EQ(levels[i].size, expected[i]) << "level " << i;
    EXPECT_EQ(levels[6].width, 4);
    EXPECT_EQ(levels[6].height, 1);
    EXPECT_EQ(file.size(), 128u + 10952u);
}

// --- Block data ---

// Colours on one line through RGB(A) space, as a DXT block can hold them:
// red falls while blue rises along a diagonal, alpha falls.
Image colourLine(int w, int h) {
    Image image(w, h);
    const int range = std::max(1, w + 2 * h - 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int t = (x + 2 * y) * 255 / range;
            std::uint8_t* p = image.at(x, y);
            p[0] = static_cast<std::uint8_t>(255 - t);
            p[1] = static_cast<std::uint8_t>(64 + t / 2);
            p[2] = static_cast<std::uint8_t>(t);
            p[3] = static_cast<std::uint8_t>(255 - t);
        }
    }
    return image;
}

// Largest error of each pixel's channel over the span of that channel in its
// 4x4 block: four palette entries leave span/6, endpoints in 5:6:5 add up to
// 8; DXT5 alpha has eight entries (span/14), DXT3 alpha 4 bits (8).
void expectWithinBlockError(const Image& source, const Image& decoded, DxtFormat format) {
    for (int by = 0; by < (source.height + 3) / 4; ++by) {
        for (int bx = 0; bx < (source.width + 3) / 4; ++bx) {
            int low[4] = {255, 255, 255, 255}, high[4] = {0, 0, 0, 0};
            for (int y = by * 4; y < std::min(source.height, by * 4 + 4); ++y) {
                for (int x = bx * 4; x < std::min(source.width, bx * 4 + 4); ++x) {
                    for (int c = 0; c < 4; ++c) {
                        low[c] = std::min(low[c], int(source.at(x, y)[c]));
                        high[c] = std::max(high[c], int(source.at(x, y)[c]));
                    }
                }
            }
            for (int y = by * 4; y < std::min(source.height, by * 4 + 4); ++y) {
                for (int x = bx * 4; x < std::min(source.width, bx * 4 + 4); ++x) {
                    for (int c = 0; c < 4; ++c) {
                        const int span = high[c] - low[c];
                        int bound = span / 6 + 8;
                        if (c == 3) bound = format == DxtFormat::Dxt1 ? 0 : format == DxtFormat::Dxt3 ? 8 : span / 14 + 1;
                        const int want = (c == 3 && format == DxtFormat::Dxt1) ? 255 : source.at(x, y)[c];
                        ASSERT_LE(std::abs(int(decoded.at(x, y)[c]) - want), bound)
                            << "pixel " << x << "," << y << " channel " << c;
                    }
                }
            }
        }
    }
}

TEST(DdsWriter, BlocksDecodeWithinDxtError) {
    const Image sources[] = {colourLine(64, 64), colourLine(13, 7), colourLine(1, 1), colourLine(3, 2),
                             colourLine(5, 9)};
    for (DxtFormat format : kFormats) {
        for (const Image& source : sources) {
            const Bytes file = writeOrFail(source, format);
            SCOPED_TRACE(std::string(contentkit::dxtName(format)) + " " + std::to_string(source.width) +
                         "x" + std::to_string(source.height));
            const Image decoded = reference::decodeDxt(file.data() + 128, contentkit::dxtName(format),
                                                       source.width, source.height);
            expectWithinBlockError(source, decoded, format);
        }
    }
}

TEST(DdsWriter, NaturalTextureDecodesCloseToSource) {
    const Image source = contentkit::makeRock(64, 64, 9);
    for (DxtFormat format : kFormats) {
        const Bytes file = writeOrFail(source, format);
        const cktest::ErrorStats e =
            cktest::compare(source, reference::decodeDxt(file.data() + 128, contentkit::dxtName(format), 64, 64));
        for (int c = 0; c < 3; ++c) EXPECT_LE(e.rms[c], 4.0) << contentkit::dxtName(format) << " channel " << c;
    }
}

// Four quadrants of evenly spaced colours on one line: every level, down to
// 1x1, is exactly representable, so a level that is not the average of the
// source (or is flipped or mirrored) shows as a large error. Colour is
// averaged weighted by alpha (alpha itself plainly): the clear quadrant's
// blue once tinted the last level, as clear texels darken cut-outs' edges.
TEST(DdsWriter, MipLevelsAreAlphaWeightedAveragesOfTheSource) {
    const std::uint8_t quadrant[4][4] = {{255, 0, 0, 255}, {170, 0, 85, 170}, {85, 0, 170, 85}, {0, 0, 255, 0}};
    Image source(32, 32);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) std::copy_n(quadrant[(y / 16) * 2 + x / 16], 4, source.at(x, y));
    }
    const Bytes file = writeOrFail(source, DxtFormat::Dxt5);
    reference::DdsFields f;
    ASSERT_TRUE(reference::readDdsFields(file, &f));
    const std::vector<Level> levels = clientLevels(f);
    ASSERT_EQ(levels.size(), 6u);
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const int span = 1 << k;
        const Image decoded = reference::decodeDxt(file.data() + levels[k].offset, "DXT5", levels[k].width,
                                                   levels[k].height);
        Image expected(levels[k].width, levels[k].height);
        for (int y = 0; y < expected.height; ++y) {
            for (int x = 0; x < expected.width; ++x) {
                int sum[4] = {0, 0, 0, 0}, weighted[3] = {0, 0, 0};
                for (int sy = 0; sy < span; ++sy) {
                    for (int sx = 0; sx < span; ++sx) {
                        const std::uint8_t* p = source.at(x * span + sx, y * span + sy);
                        for (int c = 0; c < 4; ++c) sum[c] += p[c];
                        for (int c = 0; c < 3; ++c) weighted[c] += p[c] * p[3];
                    }
                }
                for (int c = 0; c < 4; ++c) {
                    expected.at(x, y)[c] = static_cast<std::uint8_t>(
                        c == 3 || sum[3] == 0 ? (sum[c] + span * span / 2) / (span * span)
                                              : (weighted[c] + sum[3] / 2) / sum[3]);
                }
            }
        }
        const cktest::ErrorStats e = cktest::compare(expected, decoded);
        // Alpha has eight steps over 0..255 in a block: up to 255/14 off.
        for (int c = 0; c < 4; ++c) EXPECT_LE(e.maxError[c], c == 3 ? 19 : 8) << "level " << k << " channel " << c;
    }
}

// --- Options, determinism, info and containers ---

TEST(DdsWriter, WithoutMipmapsOneLevelAndCountZero) {
    const Bytes file = writeOrFail(cktest::gradient(20, 12), DxtFormat::Dxt3, false);
    reference::DdsFields f;
    ASSERT_TRUE(reference::readDdsFields(file, &f));
    EXPECT_EQ(f.mipCount, 0u);
    EXPECT_EQ(f.flags & 0x20000u, 0u);
    EXPECT_EQ(file.size(), 128u + reference::dxtLevelSize(20, 12, "DXT3"));
}

TEST(DdsWriter, SameInputGivesSameBytes) {
    const Image image = contentkit::makeGrass(48, 48, 3);
    for (DxtFormat format : kFormats) {
        EXPECT_EQ(writeOrFail(image, format), writeOrFail(image, format));
    }
    EXPECT_NE(writeOrFail(image, DxtFormat::Dxt1), writeOrFail(contentkit::makeGrass(48, 48, 4), DxtFormat::Dxt1));
}

TEST(DdsWriter, RefusesEmptyInconsistentAndOversizedImages) {
    Bytes out;
    std::string error;
    Image broken(4, 4);
    broken.rgba.pop_back();
    for (const Image& image : {Image(), broken, Image(contentkit::kMaxImageEdge + 1, 1)}) {
        error.clear();
        EXPECT_FALSE(contentkit::writeDds(image, DdsOptions(), &out, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(DdsWriter, InfoAcceptsEveryWrittenFileWithoutWarnings) {
    for (DxtFormat format : kFormats) {
        for (bool mipmaps : {true, false}) {
            const Bytes file = writeOrFail(cktest::gradient(40, 24), format, mipmaps);
            contentkit::InfoReport report;
            EXPECT_TRUE(contentkit::inspectFile("t.dds", file.data(), file.size(), &report)) << report.error;
            EXPECT_TRUE(report.warnings.empty()) << report.warnings.front();
            EXPECT_EQ(report.format, "DDS");
            EXPECT_EQ(cktest::fieldOf(report, "fourCC"), contentkit::dxtName(format));
            EXPECT_EQ(cktest::fieldOf(report, "size"), "40 x 24");
            EXPECT_EQ(cktest::fieldOf(report, "levels read"), mipmaps ? "6" : "<absent>");
        }
    }
}

TEST(DdsWriter, GdfPackedTextureUnpacksToSameBytesAndPassesInfo) {
    const Bytes file = writeOrFail(contentkit::makeWaterFrame(32, 32, 5, 2, 8), DxtFormat::Dxt5);
    for (bool compress : {true, false}) {
        const Bytes packed = velmar::gdfPack(file.data(), file.size(), compress, 77);
        ASSERT_FALSE(packed.empty());
        Bytes unpacked;
        ASSERT_EQ(velmar::gdfDecode(packed.data(), packed.size(), &unpacked), velmar::GdfStatus::Ok);
        EXPECT_EQ(unpacked, file);
        contentkit::InfoReport report;
        // A packed name hides the extension: the magic inside decides.
        EXPECT_TRUE(contentkit::inspectFile("water.bin", packed.data(), packed.size(), &report)) << report.error;
        EXPECT_EQ(report.format, "DDS");
        EXPECT_EQ(cktest::fieldOf(report, "container"),
                  "GDF, " + std::to_string(packed.size()) + " bytes packed, " + std::to_string(file.size()) +
                      " bytes of content");
    }
}

}  // namespace
