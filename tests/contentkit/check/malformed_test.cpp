// The info readers on hostile input: every prefix of a small sample of each
// format, counts that overflow, indices out of range. Each must give a clear
// verdict (an error text exactly when it refuses) and never read outside the
// span: the samples are copied to exact-size heap blocks so a sanitizer build
// sees any overrun.
#include <gtest/gtest.h>

#include <cstring>

#include "client/storage/gdf.h"
#include "tests/contentkit/test_util.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/bmp_writer.h"
#include "tools/contentkit/formats/dds_writer.h"
#include "tools/contentkit/formats/def_writer.h"
#include "tools/contentkit/formats/ini_writer.h"
#include "tools/contentkit/formats/tga_writer.h"

namespace {

using contentkit::Image;
using contentkit::InfoReport;
using cktest::Bytes;
using cktest::infoOnPrefix;
using cktest::put32;

InfoReport inspect(const std::string& name, const Bytes& file) {
    InfoReport report;
    const bool ok = contentkit::inspectFile(name, file.data(), file.size(), &report);
    EXPECT_EQ(ok, report.ok());
    return report;
}

Bytes sampleDds(contentkit::DxtFormat format) {
    contentkit::DdsOptions options;
    options.format = format;
    return cktest::written(contentkit::writeDds, contentkit::makeGrass(8, 4, 1), options);
}

Bytes sampleTga(int type) {
    contentkit::TgaOptions options;
    options.imageType = type;
    options.imageId = "id";
    return cktest::written(contentkit::writeTga, contentkit::makeCursor(contentkit::CursorKind::Standard, 8), options);
}

Bytes sampleBmp() { return cktest::written(contentkit::writeBmp, contentkit::makeSplash(5, 3, 1), contentkit::BmpOptions()); }

// --- Truncation and changed bytes ---

TEST(InfoTruncation, EveryPrefixOfBinarySamplesIsRefusedWithAMessage) {
    const std::pair<contentkit::InfoReader, Bytes> samples[] = {
        {contentkit::infoDds, sampleDds(contentkit::DxtFormat::Dxt1)},
        {contentkit::infoDds, sampleDds(contentkit::DxtFormat::Dxt5)},
        {contentkit::infoTga, sampleTga(2)},
        {contentkit::infoTga, sampleTga(10)},
        {contentkit::infoBmp, sampleBmp()},
    };
    for (const auto& [reader, file] : samples) {
        bool ok = false;
        infoOnPrefix(reader, file, file.size(), &ok);
        ASSERT_TRUE(ok) << "the whole sample must pass";
        for (std::size_t len = 0; len < file.size(); ++len) {
            const InfoReport report = infoOnPrefix(reader, file, len, &ok);
            ASSERT_FALSE(ok) << report.format << " prefix of " << len << " bytes";
            ASSERT_FALSE(report.error.empty()) << report.format << " prefix of " << len;
        }
    }
}

TEST(InfoTruncation, EveryPrefixOfTextSamplesGivesAConsistentVerdict) {
    contentkit::DefFile def;
    def.comment("c").entry(1, "a.dds").include("b.def").entry(22, "c.dds");
    contentkit::MapIni map;
    map.rmap = "m.rmap";
    contentkit::IniFile ini;
    std::string error;
    ASSERT_TRUE(contentkit::buildMapIni(map, &ini, &error));
    Bytes defBytes, iniBytes;
    ASSERT_TRUE(contentkit::writeDef(def, &defBytes, &error));
    ASSERT_TRUE(contentkit::writeIni(ini, &iniBytes, &error));
    std::size_t defRefusals = 0;
    for (const auto& [reader, file] : {std::make_pair(contentkit::infoDef, defBytes),
                                       std::make_pair(contentkit::infoIni, iniBytes)}) {
        for (std::size_t len = 0; len <= file.size(); ++len) {
            bool ok = false;
            const InfoReport report = infoOnPrefix(reader, file, len, &ok);
            ASSERT_EQ(ok, report.error.empty()) << "prefix of " << len;
            if (reader == contentkit::infoDef && !ok) ++defRefusals;
        }
    }
    // A def prefix that ends inside an entry line loses that entry.
    EXPECT_GT(defRefusals, defBytes.size() / 2);
}

TEST(InfoTruncation, TruncatedGdfContainersAreRefused) {
    const Bytes dds = sampleDds(contentkit::DxtFormat::Dxt3);
    for (bool compress : {true, false}) {
        const Bytes packed = velmar::gdfPack(dds.data(), dds.size(), compress, 3);
        for (std::size_t len = 4; len < packed.size(); ++len) {
            const InfoReport report = inspect("t.dds", Bytes(packed.begin(), packed.begin() + len));
            ASSERT_FALSE(report.ok()) << "prefix of " << len;
        }
        EXPECT_TRUE(inspect("t.dds", packed).ok());
    }
}

// Seeded byte changes in the headers of every sample: whatever the verdict,
// it comes with an error text exactly when the file is refused.
TEST(InfoTruncation, ChangedHeaderBytesGiveConsistentVerdicts) {
    const std::pair<std::string, Bytes> samples[] = {
        {"a.dds", sampleDds(contentkit::DxtFormat::Dxt5)}, {"a.tga", sampleTga(10)},
        {"a.tga", sampleTga(2)}, {"a.bmp", sampleBmp()}};
    std::uint32_t state = 12345;
    auto next = [&state]() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    std::size_t refused = 0;
    for (const auto& [name, sample] : samples) {
        for (int round = 0; round < 3000; ++round) {
            Bytes file = sample;
            const int changes = 1 + static_cast<int>(next() % 4);
            for (int c = 0; c < changes; ++c) {
                file[next() % std::min<std::size_t>(file.size(), 130)] = static_cast<std::uint8_t>(next());
            }
            const InfoReport report = inspect(name, file);
            ASSERT_EQ(report.ok(), report.error.empty());
            refused += !report.ok();
        }
    }
    EXPECT_GT(refused, 0u);
}

// --- Counts and indices out of range ---

TEST(InfoOverflow, DdsHugeSizesAndCountsStayInRange) {
    Bytes file = sampleDds(contentkit::DxtFormat::Dxt1);
    put32(&file, 12, 0x7FFFFFFF);
    put32(&file, 16, 0x7FFFFFFF);
    put32(&file, 28, 0xFFFFFFFF);
    EXPECT_EQ(cktest::infoError(contentkit::infoDds, file).find("the 31 levels need"), 0u);
    put32(&file, 16, 0x80000000);  // negative width
    EXPECT_EQ(cktest::infoError(contentkit::infoDds, file), "width and height must be positive, read -2147483648 x 2147483647");
    Bytes plain = sampleDds(contentkit::DxtFormat::Dxt1);
    std::memcpy(&plain[84], "DXT2", 4);
    EXPECT_EQ(cktest::infoError(contentkit::infoDds, plain), "pixel format FourCC DXT2 is not DXT1, DXT3 or DXT5");
    // A count past the chain only warns: the client stops at 1x1.
    Bytes longCount = sampleDds(contentkit::DxtFormat::Dxt1);
    put32(&longCount, 28, 1000);
    bool ok = false;
    const InfoReport report = infoOnPrefix(contentkit::infoDds, longCount, longCount.size(), &ok);
    EXPECT_TRUE(ok) << report.error;
    ASSERT_EQ(report.warnings.size(), 1u);
    EXPECT_EQ(report.warnings[0], "mipmap count 1000 is more than the 4 levels down to 1x1; the reader stops there");
    // Count 0: everything after the header is one level and must match it.
    Bytes single = sampleDds(contentkit::DxtFormat::Dxt1);
    put32(&single, 28, 0);
    EXPECT_EQ(cktest::infoError(contentkit::infoDds, single), "level 0 of 8 x 4 needs 16 bytes, the file holds 40");
    single.resize(128);
    EXPECT_EQ(cktest::infoError(contentkit::infoDds, single), "no image data after the header");
}

// Files the client would upload as some other flat picture than the
// author's, or not at all: each is refused with what it is.
TEST(InfoOverflow, DdsThatIsNoFlatCompressedPictureIsNamed) {
    struct Case {
        const char* name;
        std::size_t offset;
        std::uint32_t value;
        const char* error;
    };
    const Case cases[] = {
        {"cube map, all six faces", 112, 0x200 | 0xFC00,
         "cube map is not read (the client would show its first face only); save each face as a texture of its own"},
        {"volume of four slices", 112, 0x200000,
         "volume texture of depth 4 is not read (the client would show its first slice only); save a flat texture"},
        {"uncompressed 32-bit", 80, 0x41, "uncompressed DDS (32 bits per pixel) is not read; save it as DXT1, DXT3 or DXT5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = sampleDds(contentkit::DxtFormat::Dxt1);
        put32(&file, c.offset, c.value);
        put32(&file, 24, 4);  // depth, read only for a volume
        if (c.offset == 80) {
            put32(&file, 84, 0);
            put32(&file, 88, 32);
        }
        EXPECT_EQ(cktest::infoError(contentkit::infoDds, file), c.error);
    }
}

TEST(InfoOverflow, TgaSizesPacketsAndIdOutOfRange) {
    Bytes huge = sampleTga(2);
    huge[12] = huge[13] = huge[14] = huge[15] = 0xFF;
    EXPECT_EQ(cktest::infoError(contentkit::infoTga, huge), "invalid image size 65535 x 65535");
    Bytes overrun = sampleTga(10);
    const std::size_t pixels = 18 + 2;
    overrun.resize(pixels);
    overrun.push_back(0xFF);  // a run of 128 pixels in an 8x8 image
    overrun.insert(overrun.end(), 4, 0);
    EXPECT_EQ(cktest::infoError(contentkit::infoTga, overrun), "packet at offset 20 covers 128 pixels, only 64 are left in the image");
    Bytes id = sampleTga(2);
    id.resize(30);
    id[0] = 200;
    EXPECT_EQ(cktest::infoError(contentkit::infoTga, id), "image ID field of 200 bytes runs past the end");
    Bytes grey = sampleTga(2);
    grey[2] = 3;
    grey[16] = 16;
    EXPECT_EQ(cktest::infoError(contentkit::infoTga, grey), "pixel depth 16: type 3 needs 8 bits");
    Bytes mapped = sampleTga(2);
    mapped[1] = 1;
    EXPECT_EQ(cktest::infoError(contentkit::infoTga, mapped), "colour maps are not supported");
}

TEST(InfoOverflow, BmpSizesOffsetsAndPaletteOutOfRange) {
    Bytes huge = sampleBmp();
    put32(&huge, 18, 0x7FFFFFFF);
    put32(&huge, 22, 0x80000000);  // top-down, 2^31 rows
    huge[28] = 32;
    EXPECT_EQ(cktest::infoError(contentkit::infoBmp, huge).find("pixel data truncated: 2147483648 rows of 8589934588 bytes"), 0u) << cktest::infoError(contentkit::infoBmp, huge);
    Bytes offset = sampleBmp();
    put32(&offset, 10, 20);
    EXPECT_EQ(cktest::infoError(contentkit::infoBmp, offset), "pixel offset 20 lies inside the headers (they end at 54)");
    put32(&offset, 10, 0xFFFFFFF0);
    EXPECT_EQ(cktest::infoError(contentkit::infoBmp, offset).find("pixel data truncated"), 0u);
    Bytes palette = sampleBmp();
    palette[28] = 8;
    put32(&palette, 46, 257);
    EXPECT_EQ(cktest::infoError(contentkit::infoBmp, palette), "palette of 257 colours, at most 256 fit 8 bits");
    Bytes header = sampleBmp();
    put32(&header, 14, 64);
    EXPECT_EQ(cktest::infoError(contentkit::infoBmp, header), "info header size 64 is not one of 12, 40, 52, 56, 108, 124");
}

TEST(InfoDetect, UnknownFormatsAndBrokenContainersAreNamed) {
    EXPECT_EQ(inspect("notes.txt", cktest::bytesOf("hello")).error,
              "unknown format: no known magic and no known extension (.dds .tga .bmp .def .ini)");
    EXPECT_EQ(inspect("x.dds", cktest::bytesOf("GDF1short")).error, std::string("GDF container: ") +
              velmar::gdfStatusText(velmar::GdfStatus::NoContent));
    // Extension letter case and a ".gdf" suffix do not hide the format.
    EXPECT_EQ(inspect("DATA/DEF/TEXTURES.DEF.gdf", cktest::bytesOf("1: a.dds\n")).format, "DEF");
}

}  // namespace
