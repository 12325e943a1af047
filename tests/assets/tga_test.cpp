// The TGA decoder: the three picture types, both origins, run-length packets
// across rows, and truncated, hostile and mutated files that must never be
// read or written past their buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "client/assets/tga.h"
#include "client/core/log.h"
#include "client/core/runtime.h"
#include "tests/support/child_process.h"
#include "tests/support/logged_test.h"
#include "tests/support/xvfb_display.h"

namespace velmar {
namespace {

using Bytes = std::vector<std::uint8_t>;

// --- Helpers ---

struct Rgba {
    std::uint8_t r, g, b, a;
};

Bytes header(int type, unsigned width, unsigned height, int depth, int descriptor = 0,
             int idLength = 0, int colorMap = 0) {
    Bytes h(18, 0);
    h[0] = static_cast<std::uint8_t>(idLength);
    h[1] = static_cast<std::uint8_t>(colorMap);
    h[2] = static_cast<std::uint8_t>(type);
    h[12] = width & 0xFF;
    h[13] = (width >> 8) & 0xFF;
    h[14] = height & 0xFF;
    h[15] = (height >> 8) & 0xFF;
    h[16] = static_cast<std::uint8_t>(depth);
    h[17] = static_cast<std::uint8_t>(descriptor);
    for (int i = 0; i < idLength; ++i) h.push_back(static_cast<std::uint8_t>(0xA0 + i));
    return h;
}

void appendPixel(Bytes* out, const Rgba& p, int depth) {
    out->insert(out->end(), {p.b, p.g, p.r});
    if (depth == 32) out->push_back(p.a);
}

// A 3 x 2 picture, every pixel different, top row first.
const std::vector<Rgba> kPicture = {
    {10, 20, 30, 40}, {11, 21, 31, 41}, {12, 22, 32, 42},
    {50, 60, 70, 80}, {51, 61, 71, 81}, {52, 62, 72, 82},
};

Bytes expectedRgba(const std::vector<Rgba>& picture, bool opaque) {
    Bytes out;
    for (const Rgba& p : picture) out.insert(out.end(), {p.r, p.g, p.b, opaque ? std::uint8_t{255} : p.a});
    return out;
}

// Type 2 file of kPicture; `topDown` stores the top row first.
Bytes uncompressedFile(int depth, bool topDown, int idLength = 0) {
    Bytes f = header(2, 3, 2, depth, topDown ? 0x20 : 0, idLength);
    for (int stored = 0; stored < 2; ++stored) {
        const int row = topDown ? stored : 1 - stored;
        for (int x = 0; x < 3; ++x) appendPixel(&f, kPicture[row * 3 + x], depth);
    }
    return f;
}

struct Decoded {
    bool ok = false;
    std::uint32_t width = 99, height = 99;
    Bytes pixels;
};

Decoded decode(const Bytes& file) {
    Decoded d;
    std::uint8_t* image = tex_LoadTGA(file.size(), file.data(), &d.width, &d.height);
    d.ok = image != nullptr;
    if (image) {
        d.pixels.assign(image, image + std::size_t{d.width} * d.height * 4);
        release(image);
    }
    return d;
}

class TgaTest : public quask_test::LoggedTest {
protected:
    // The file must fail with exactly this WARN line as its newest line.
    void expectRefused(const Bytes& file, const std::string& message) {
        const Decoded d = decode(file);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.width, 0u);
        EXPECT_EQ(d.height, 0u);
        const std::string text = logText();
        const std::string tail = "(WARN) " + message + "\r\n";
        ASSERT_GE(text.size(), tail.size());
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    }
};

// --- Pictures that decode ---

TEST_F(TgaTest, BottomUpRowsComeOutTopRowFirst) {
    for (int depth : {24, 32}) {
        const Decoded d = decode(uncompressedFile(depth, false));
        ASSERT_TRUE(d.ok) << depth;
        EXPECT_EQ(d.width, 3u);
        EXPECT_EQ(d.height, 2u);
        EXPECT_EQ(d.pixels, expectedRgba(kPicture, depth == 24)) << depth;
    }
}

TEST_F(TgaTest, TopLeftOriginGivesTheSamePictureAsBottomUp) {
    for (int depth : {24, 32}) {
        EXPECT_EQ(decode(uncompressedFile(depth, true)).pixels,
                  decode(uncompressedFile(depth, false)).pixels) << depth;
        EXPECT_EQ(decode(uncompressedFile(depth, true)).pixels, expectedRgba(kPicture, depth == 24));
    }
}

TEST_F(TgaTest, IdFieldIsSkippedBeforeThePixels) {
    EXPECT_EQ(decode(uncompressedFile(32, false, 7)).pixels, expectedRgba(kPicture, false));
}

TEST_F(TgaTest, GreyTypeGivesGreyOpaquePixelsAndOtherDepthsAreIllegal) {
    Bytes f = header(3, 2, 1, 8);
    f.insert(f.end(), {0x00, 0xC8});
    const Decoded d = decode(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, (Bytes{0, 0, 0, 255, 0xC8, 0xC8, 0xC8, 255}));

    Bytes sixteen = header(3, 2, 1, 16);
    sixteen.insert(sixteen.end(), 4, 0x11);
    expectRefused(sixteen, "tex_loadTGA: illegal pixel_size '16'\n");
}

// Run packets of 4 and 2 pixels over a 3-pixel-wide picture: the first
// packet ends in the second stored row.
Bytes runLengthFile(bool topDown) {
    Bytes f = header(10, 3, 2, 32, topDown ? 0x20 : 0);
    const Rgba a{1, 2, 3, 4}, b{5, 6, 7, 8}, c{9, 10, 11, 12};
    f.push_back(0x80 | 3);
    appendPixel(&f, a, 32);
    f.push_back(1);  // raw, two pixels
    appendPixel(&f, b, 32);
    appendPixel(&f, c, 32);
    return f;
}

TEST_F(TgaTest, RunLengthPacketContinuesOnTheNextRow) {
    const Rgba a{1, 2, 3, 4}, b{5, 6, 7, 8}, c{9, 10, 11, 12};
    const Decoded bottomUp = decode(runLengthFile(false));
    ASSERT_TRUE(bottomUp.ok);
    // Stored rows: [a a a] [a b c]; the first stored row is the bottom one.
    EXPECT_EQ(bottomUp.pixels, expectedRgba({a, b, c, a, a, a}, false));
    const Decoded topDown = decode(runLengthFile(true));
    ASSERT_TRUE(topDown.ok);
    EXPECT_EQ(topDown.pixels, expectedRgba({a, a, a, a, b, c}, false));
}

TEST_F(TgaTest, PacketsLongerThanThePictureAreCutToThePixelsLeft) {
    // A run of 128 into 2 x 2 pixels, and a raw packet of 128 of which only
    // the 4 pixels needed are present.
    Bytes run = header(10, 2, 2, 32);
    run.insert(run.end(), {0xFF, 3, 2, 1, 9});
    const Decoded d = decode(run);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, expectedRgba({{1, 2, 3, 9}, {1, 2, 3, 9}, {1, 2, 3, 9}, {1, 2, 3, 9}}, false));

    Bytes raw = header(10, 2, 2, 24);
    raw.push_back(0x7F);
    for (int i = 0; i < 4; ++i) raw.insert(raw.end(), {0, 0, static_cast<std::uint8_t>(i)});
    const Decoded r = decode(raw);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.pixels, expectedRgba({{2, 0, 0, 0}, {3, 0, 0, 0}, {0, 0, 0, 0}, {1, 0, 0, 0}}, true));
}

// --- Refused files ---

TEST_F(TgaTest, HeaderFieldsAreRefusedWithTheirOwnMessages) {
    expectRefused(Bytes(17, 0), "tex_LoadTGA: header too short!");
    expectRefused(header(1, 2, 2, 24),
                  "tex_LoadTGA: Only type 2 (RGB), 3 (gray), and 10 (RGB) TGA images supported");
    expectRefused(header(2, 2, 2, 24, 0, 0, 1), "tex_LoadTGA: Color Maps are not supported");
    expectRefused(header(10, 2, 2, 16),
                  "tex_LoadTGA: Only 32 or 24 bit images supported (no colormaps)");
    expectRefused(header(2, 0, 2, 24), "tex_LoadTGA: invalid image size!");
    expectRefused(header(2, 2, 0, 24), "tex_LoadTGA: invalid image size!");
    Bytes id = header(2, 1, 1, 24, 0, 5);
    id.resize(20);
    expectRefused(id, "tex_LoadTGA: header too short @ id_lengh");
}

TEST_F(TgaTest, SizesOverTwoGigabytesAreRefusedWithoutOverflow) {
    // 65535 x 65535 x 4 wraps a 32-bit product; 65535 x 8193 x 4 just passes 2^31.
    expectRefused(header(2, 65535, 65535, 32), "tex_LoadTGA: invalid image size!");
    expectRefused(header(10, 65535, 8193, 32), "tex_LoadTGA: invalid image size!");
}

std::size_t g_largestAllocation = 0;
void* countingAlloc(std::size_t size) {
    g_largestAllocation = std::max(g_largestAllocation, size);
    return std::malloc(size);
}

TEST_F(TgaTest, HugeHeaderOverTinyDataIsRefusedBeforeAllocating) {
    const RawAllocator saved = defaultRawAllocator();
    RawAllocator counting = saved;
    counting.allocFn = countingAlloc;
    setRawAllocator(counting);
    g_largestAllocation = 0;
    Bytes raw = header(2, 32768, 16383, 32);
    raw.insert(raw.end(), 64, 0);
    expectRefused(raw, "tex_loadTGA: file truncated / defect");
    Bytes rle = header(10, 32768, 16383, 32);
    for (int i = 0; i < 64; ++i) rle.insert(rle.end(), {0xFF, 1, 2, 3, 4});
    expectRefused(rle, "tex_loadTGA: file truncated / defect");
    setRawAllocator(saved);
    EXPECT_LT(g_largestAllocation, 1u << 20);
}

TEST_F(TgaTest, EveryTruncationIsRefusedWithTheMessageOfWhereItStops) {
    const std::vector<Bytes> files = {uncompressedFile(24, false, 3), uncompressedFile(32, true),
                                      runLengthFile(false), runLengthFile(true)};
    for (const Bytes& full : files) {
        const std::size_t idEnd = 18 + full[0];
        for (std::size_t len = 0; len < full.size(); ++len) {
            SCOPED_TRACE(len);
            const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
            if (len < 18)
                expectRefused(cut, "tex_LoadTGA: header too short!");
            else if (len < idEnd)
                expectRefused(cut, "tex_LoadTGA: header too short @ id_lengh");
            else
                expectRefused(cut, "tex_loadTGA: file truncated / defect");
        }
        EXPECT_TRUE(decode(full).ok);
    }
}

TEST_F(TgaTest, RunLengthPacketDataPastTheEndIsRefused) {
    Bytes runCut = header(10, 4, 4, 32);
    runCut.insert(runCut.end(), {0x8F, 1, 2});  // run pixel cut short
    expectRefused(runCut, "tex_loadTGA: file truncated / defect");
    Bytes rawCut = header(10, 4, 1, 24);
    rawCut.insert(rawCut.end(), {0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});  // 4 raw pixels, 3.67 present
    expectRefused(rawCut, "tex_loadTGA: file truncated / defect");
}

TEST_F(TgaTest, MutatedFilesEitherDecodeToTheirHeaderSizeOrFailCleanly) {
    std::mt19937 rng(1234);
    const std::vector<Bytes> seeds = {uncompressedFile(32, false, 2), runLengthFile(true)};
    for (int round = 0; round < 3000; ++round) {
        Bytes f = seeds[round % 2];
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) f[rng() % f.size()] = static_cast<std::uint8_t>(rng());
        if (rng() % 3 == 0) f.resize(rng() % (f.size() + 1));
        const Decoded d = decode(f);
        if (d.ok) {
            ASSERT_GE(f.size(), 18u);
            EXPECT_EQ(d.width, static_cast<std::uint32_t>(f[12] | f[13] << 8));
            EXPECT_EQ(d.height, static_cast<std::uint32_t>(f[14] | f[15] << 8));
        } else {
            EXPECT_EQ(d.width, 0u);
            EXPECT_EQ(d.height, 0u);
        }
    }
}
// ImageMagick, an encoder we did not write, told where the origin is (its
// default TGA stores rows top first while the header says bottom-left,
// which every origin-reading program shows upside down).
TEST_F(TgaTest, ImageMagickCursorsWithTheirOriginDecodeUpright) {
    if (quask_test::findProgram("convert").empty()) GTEST_SKIP() << "ImageMagick is not installed";
    const std::string raw = m_dir + "/cursor.rgba";
    const Bytes pixels = expectedRgba(kPicture, false);
    std::ofstream(raw, std::ios::binary)
        .write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
    for (const char* compression : {"None", "RLE"}) {
        SCOPED_TRACE(compression);
        const std::string tga = m_dir + "/cursor.tga";
        int code = -1;
        quask_test::runTool({"convert", "-size", "3x2", "-depth", "8", "rgba:" + raw, "-type",
                             "TrueColorAlpha", "-orient", "TopLeft", "-compress", compression, tga},
                            &code);
        ASSERT_EQ(code, 0);
        const std::string text = quask_test::readFile(tga);
        const Bytes file(text.begin(), text.end());
        ASSERT_GE(file.size(), 18u);
        EXPECT_EQ(file[2], compression[0] == 'R' ? 10 : 2);
        EXPECT_EQ(file[17] & 0x20, 0x20);
        const Decoded d = decode(file);
        ASSERT_TRUE(d.ok) << logText();
        EXPECT_EQ(d.pixels, pixels);
    }
}

// --- By file ---

TEST_F(TgaTest, FileWrapperDecodesThePlainFileAndReportsAMissingOne) {
    const std::string path = m_dir + "/standard.tga";
    const Bytes file = uncompressedFile(32, false);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    std::uint32_t w = 0, h = 0;
    std::uint8_t* image = tex_LoadTGAFile(path.c_str(), &w, &h);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image, image + 24), expectedRgba(kPicture, false));
    release(image);

    const std::string missing = m_dir + "/none.tga";
    w = h = 7;
    EXPECT_EQ(tex_LoadTGAFile(missing.c_str(), &w, &h), nullptr);
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(h, 0u);
    EXPECT_NE(logText().find("(WARN) tex_LoadTGA: (by File) '" + missing + "' IO Open Error.\r\n"),
              std::string::npos);
}

}  // namespace
}  // namespace velmar
