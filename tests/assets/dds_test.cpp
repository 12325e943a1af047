// The DDS header check and mipmap level walk on byte spans (no GL), fed with
// files from the content tool's writer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "client/assets/dds.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/dds_writer.h"

namespace {

using namespace velmar;
using contentkit::Bytes;
using contentkit::DxtFormat;

Bytes ddsFile(int width, int height, DxtFormat format, bool mipmaps) {
    contentkit::DdsOptions options;
    options.format = format;
    options.mipmaps = mipmaps;
    options.highQuality = false;
    Bytes out;
    std::string error;
    EXPECT_TRUE(contentkit::writeDds(contentkit::makeChecker(width, height, 4), options, &out,
                                     &error)) << error;
    return out;
}

void setU32(Bytes* file, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) (*file)[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

DdsStatus read(const Bytes& file, DdsImage* image) {
    return readDds(file.data(), file.size(), image);
}

constexpr std::size_t kHeight = 12, kWidth = 16, kMipCount = 28, kFourCc = 84;

TEST(DdsLevels, FullDxt1ChainOf256By64HasItsNineSizes) {
    const Bytes file = ddsFile(256, 64, DxtFormat::Dxt1, true);
    DdsImage image;
    ASSERT_EQ(read(file, &image), DdsStatus::Ok);
    EXPECT_EQ(image.width, 256);
    EXPECT_EQ(image.height, 64);
    EXPECT_EQ(image.mipCount, 9u);
    EXPECT_EQ(image.internalFormat, 0x83F1u);
    EXPECT_EQ(image.blockBytes, 8u);
    ASSERT_EQ(image.levelCount, 9u);
    const std::int32_t widths[] = {256, 128, 64, 32, 16, 8, 4, 2, 1};
    const std::int32_t heights[] = {64, 32, 16, 8, 4, 2, 1, 1, 1};
    const std::uint64_t sizes[] = {8192, 2048, 512, 128, 32, 16, 8, 8, 8};
    std::uint64_t offset = 128;
    for (std::uint32_t i = 0; i < 9; ++i) {
        EXPECT_EQ(image.levels[i].width, widths[i]) << i;
        EXPECT_EQ(image.levels[i].height, heights[i]) << i;
        EXPECT_EQ(image.levels[i].size, sizes[i]) << i;
        EXPECT_EQ(image.levels[i].offset, offset) << i;
        offset += sizes[i];
    }
    EXPECT_EQ(offset, file.size());
}

TEST(DdsLevels, MipmapCountBeyondTheChainStopsAtOneByOne) {
    Bytes file = ddsFile(256, 64, DxtFormat::Dxt1, true);
    setU32(&file, kMipCount, 40);
    DdsImage image;
    ASSERT_EQ(read(file, &image), DdsStatus::Ok);
    EXPECT_EQ(image.levelCount, 9u);
}

TEST(DdsLevels, MipmapCountZeroTakesEveryByteWhateverTheSizeSays) {
    Bytes file = ddsFile(64, 64, DxtFormat::Dxt5, false);
    ASSERT_EQ(file.size(), 128u + 4096u);
    setU32(&file, kWidth, 7);
    setU32(&file, kHeight, 3);
    DdsImage image;
    ASSERT_EQ(read(file, &image), DdsStatus::Ok);
    EXPECT_EQ(image.mipCount, 0u);
    EXPECT_EQ(image.internalFormat, 0x83F3u);
    ASSERT_EQ(image.levelCount, 1u);
    EXPECT_EQ(image.levels[0].width, 7);
    EXPECT_EQ(image.levels[0].height, 3);
    EXPECT_EQ(image.levels[0].size, 4096u);
    EXPECT_EQ(image.levels[0].offset, 128u);
}

TEST(DdsLevels, HeaderOnlyFileHasNoImageData) {
    Bytes file = ddsFile(8, 8, DxtFormat::Dxt3, false);
    file.resize(128);
    DdsImage image;
    EXPECT_EQ(read(file, &image), DdsStatus::NoImageData);
    // With a mipmap count the same file is a chain past its end.
    setU32(&file, kMipCount, 1);
    EXPECT_EQ(read(file, &image), DdsStatus::BadFile);
}

TEST(DdsLevels, ChainLongerThanTheFileIsRefusedWhole) {
    Bytes file = ddsFile(256, 64, DxtFormat::Dxt1, true);
    file.pop_back();  // the last 1x1 level lacks one byte
    DdsImage image;
    EXPECT_EQ(read(file, &image), DdsStatus::BadFile);
    EXPECT_EQ(image.levelCount, 0u);
    // Bytes after a complete chain are harmless.
    Bytes longer = ddsFile(256, 64, DxtFormat::Dxt1, true);
    longer.resize(longer.size() + 100, 0xAB);
    EXPECT_EQ(read(longer, &image), DdsStatus::Ok);
    EXPECT_EQ(image.levelCount, 9u);
}

TEST(DdsLevels, LevelSizesDoNotWrapIn32Bits) {
    // 131072 x 131072 DXT1 needs 2^33 bytes, which is 0 in 32 bits.
    Bytes file = ddsFile(8, 8, DxtFormat::Dxt1, true);
    setU32(&file, kWidth, 131072);
    setU32(&file, kHeight, 131072);
    DdsImage image;
    EXPECT_EQ(read(file, &image), DdsStatus::BadFile);
    // Near the 31-bit limit (w + 3) / 4 overflows a signed 32-bit side.
    setU32(&file, kWidth, 0x7FFFFFFF);
    setU32(&file, kHeight, 1);
    setU32(&file, kMipCount, 1);
    EXPECT_EQ(read(file, &image), DdsStatus::BadFile);
}

TEST(DdsLevels, SidesOfZeroOrLessAreCorruptOnlyInAChain) {
    for (std::uint32_t side : {0u, 0xFFFFFFFFu, 0x80000000u}) {
        SCOPED_TRACE(side);
        for (std::size_t field : {kWidth, kHeight}) {
            // Without a mipmap count the bytes go up whatever the size says.
            Bytes file = ddsFile(16, 16, DxtFormat::Dxt1, false);
            setU32(&file, field, side);
            DdsImage image;
            ASSERT_EQ(read(file, &image), DdsStatus::Ok);
            ASSERT_EQ(image.levelCount, 1u);
            EXPECT_EQ(image.levels[0].size, 128u);
            // In a chain a 0 side is 1, a negative one corrupt.
            setU32(&file, kMipCount, 1);
            EXPECT_EQ(read(file, &image), side == 0 ? DdsStatus::Ok : DdsStatus::BadFile);
            if (side == 0) {
                EXPECT_EQ(image.levels[0].size, 32u);  // 1 x 16 or 16 x 1
            }
        }
    }
    // Both 0 end the chain before its first level.
    Bytes file = ddsFile(16, 16, DxtFormat::Dxt1, true);
    setU32(&file, kWidth, 0);
    setU32(&file, kHeight, 0);
    DdsImage image;
    EXPECT_EQ(read(file, &image), DdsStatus::Ok);
    EXPECT_EQ(image.levelCount, 0u);
}

TEST(DdsLevels, ShortFilesWrongMagicAndOtherFourCcsAreRefused) {
    Bytes file = ddsFile(16, 16, DxtFormat::Dxt5, true);
    DdsImage image;
    EXPECT_EQ(readDds(file.data(), 127, &image), DdsStatus::BadFile);
    EXPECT_EQ(readDds(nullptr, 0, &image), DdsStatus::BadFile);
    Bytes noSpace = file;
    noSpace[3] = 'X';
    EXPECT_EQ(read(noSpace, &image), DdsStatus::BadFile);
    for (const char* fourCc : {"DXT2", "DXT4", "dxt1", "ATI2"}) {
        Bytes other = file;
        for (int i = 0; i < 4; ++i) other[kFourCc + i] = static_cast<std::uint8_t>(fourCc[i]);
        EXPECT_EQ(read(other, &image), DdsStatus::UnsupportedFormat) << fourCc;
    }
    EXPECT_EQ(read(ddsFile(16, 16, DxtFormat::Dxt3, true), &image), DdsStatus::Ok);
    EXPECT_EQ(image.internalFormat, 0x83F2u);
    EXPECT_EQ(image.blockBytes, 16u);
}

}  // namespace
