// RFNT fonts: DejaVu rasterised by the writer and read back field by field
// by a reader of the test's own, the atlas checked glyph by glyph the way the
// client draws it, and the RFNT info reader fed cut and damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "tests/contentkit/test_util.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/formats/rfnt_writer.h"

namespace {

using cktest::Bytes;
using contentkit::InfoReport;

// --- An independent reader ---

struct ParsedFont {
    int size = 0;
    int advance[256] = {};
    double rect[256][4] = {};  // s0, s1, t0, t1
    std::int64_t width = 0, height = 0;
    Bytes texels;

    std::uint8_t texel(std::int64_t x, std::int64_t y) const {
        return texels[static_cast<std::size_t>(y * width + x)];
    }
};

// Texel box of glyph i: [x0, x1) x [y0, y1).
struct Box {
    std::int64_t x0, x1, y0, y1;
};

class Cursor {
public:
    explicit Cursor(const Bytes& b) : m_b(b) {}
    std::size_t pos() const { return m_pos; }
    bool take(void* out, std::size_t n) {
        if (m_b.size() - m_pos < n) return false;
        std::memcpy(out, m_b.data() + m_pos, n);
        m_pos += n;
        return true;
    }
    std::uint32_t le32() {
        std::uint8_t b[4] = {};
        EXPECT_TRUE(take(b, 4));
        return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    }
    double f64() {
        std::uint8_t b[8] = {};
        EXPECT_TRUE(take(b, 8));
        std::uint64_t bits = 0;
        for (int i = 7; i >= 0; --i) bits = (bits << 8) | b[i];
        double v = 0;
        std::memcpy(&v, &bits, 8);
        return v;
    }

private:
    const Bytes& m_b;
    std::size_t m_pos = 0;
};

void parseFont(const Bytes& file, ParsedFont* f) {
    ASSERT_GE(file.size(), 8463u);
    Cursor c(file);
    ASSERT_EQ(c.le32(), 0x544E4652u);
    ASSERT_EQ(std::memcmp(file.data(), "RFNT", 4), 0);
    std::uint8_t skipped[2], size = 0;
    ASSERT_TRUE(c.take(skipped, 2));
    ASSERT_TRUE(c.take(&size, 1));
    f->size = size;
    ASSERT_EQ(c.pos(), 7u);
    for (int& a : f->advance) {
        std::uint8_t v = 0;
        ASSERT_TRUE(c.take(&v, 1));
        a = v;
    }
    ASSERT_EQ(c.pos(), 263u);
    for (auto& r : f->rect) {
        for (double& v : r) v = c.f64();
    }
    ASSERT_EQ(c.pos(), 8455u);
    f->height = static_cast<std::int32_t>(c.le32());
    f->width = static_cast<std::int32_t>(c.le32());
    ASSERT_EQ(c.pos(), 8463u);
    ASSERT_GT(f->width, 0);
    ASSERT_GT(f->height, 0);
    ASSERT_EQ(file.size() - 8463, static_cast<std::size_t>(f->width * f->height));
    f->texels.assign(file.begin() + 8463, file.end());
}

bool isControl(int i) { return i < 32 || (i >= 127 && i < 160); }

Box boxOf(const ParsedFont& f, int i) {
    return {std::llround(f.rect[i][0] * f.width), std::llround(f.rect[i][1] * f.width),
            std::llround(f.rect[i][2] * f.height), std::llround(f.rect[i][3] * f.height)};
}

int inkIn(const ParsedFont& f, const Box& b) {
    int ink = 0;
    for (std::int64_t y = b.y0; y < b.y1; ++y) {
        for (std::int64_t x = b.x0; x < b.x1; ++x) ink += f.texel(x, y) != 0;
    }
    return ink;
}

Bytes makeFont(contentkit::FontFace face, int size) {
    contentkit::BitmapFont font;
    std::string error;
    EXPECT_TRUE(contentkit::rasteriseFont(contentkit::dejaVuPath(face), size, &font, &error)) << error;
    return cktest::written(contentkit::writeRfnt, font);
}

// --- The rasterised fonts ---

TEST(RfntWriter, GlyphCellsAreExactTexelBoxesInsideTheAtlasWithoutOverlap) {
    ParsedFont f;
    ASSERT_NO_FATAL_FAILURE(parseFont(makeFont(contentkit::FontFace::Regular, 10), &f));
    EXPECT_EQ(f.size, 10);
    EXPECT_EQ(f.width & (f.width - 1), 0) << f.width;
    EXPECT_EQ(f.height & (f.height - 1), 0) << f.height;
    std::vector<bool> covered(f.texels.size(), false);
    for (int i = 0; i < 256; ++i) {
        if (isControl(i)) {
            EXPECT_EQ(f.advance[i], 0) << i;
            for (double v : f.rect[i]) EXPECT_EQ(v, 0.0) << i;
            continue;
        }
        ASSERT_GT(f.advance[i], 0) << i;
        const Box b = boxOf(f, i);
        // Edges are texel edges: the quad of advance x size shows texels 1:1.
        EXPECT_EQ(static_cast<double>(b.x0) / f.width, f.rect[i][0]) << i;
        EXPECT_EQ(static_cast<double>(b.y1) / f.height, f.rect[i][3]) << i;
        EXPECT_EQ(b.x1 - b.x0, f.advance[i]) << i;
        EXPECT_EQ(b.y1 - b.y0, 10) << i;
        ASSERT_TRUE(b.x0 >= 0 && b.x1 <= f.width && b.y0 >= 0 && b.y1 <= f.height) << i;
        for (std::int64_t y = b.y0; y < b.y1; ++y) {
            for (std::int64_t x = b.x0; x < b.x1; ++x) {
                const std::size_t at = static_cast<std::size_t>(y * f.width + x);
                ASSERT_FALSE(covered[at]) << "glyph " << i << " overlaps another at " << x << "," << y;
                covered[at] = true;
            }
        }
    }
    // No ink outside the glyph cells: gaps and spare rows stay clear.
    for (std::size_t at = 0; at < covered.size(); ++at) {
        if (!covered[at]) {
            ASSERT_EQ(f.texels[at], 0) << at;
        }
    }
    EXPECT_GT(inkIn(f, boxOf(f, 'A')), 5);
    EXPECT_EQ(inkIn(f, boxOf(f, ' ')), 0);
}

// A y-down quad shows t0 at its top: a full stop's ink sits in the lower
// half of its cell, an apostrophe's in the upper half, and a descender
// reaches below the baseline that 'x' stands on.
TEST(RfntWriter, GlyphsStandUprightWithACommonBaseline) {
    ParsedFont f;
    ASSERT_NO_FATAL_FAILURE(parseFont(makeFont(contentkit::FontFace::Regular, 20), &f));
    auto inkRows = [&f](int glyph, std::int64_t* first, std::int64_t* last) {
        const Box b = boxOf(f, glyph);
        *first = -1;
        for (std::int64_t y = b.y0; y < b.y1; ++y) {
            if (inkIn(f, {b.x0, b.x1, y, y + 1}) == 0) continue;
            if (*first < 0) *first = y - b.y0;
            *last = y - b.y0;
        }
    };
    std::int64_t first = 0, last = 0, xLast = 0, pLast = 0;
    inkRows('.', &first, &last);
    EXPECT_GE(first, 10);
    inkRows('\'', &first, &last);
    ASSERT_GE(first, 0);
    EXPECT_LT(last, 10);
    inkRows('x', &first, &xLast);
    inkRows('H', &first, &last);
    EXPECT_EQ(last, xLast);
    inkRows('p', &first, &pLast);
    EXPECT_GT(pLast, xLast + 2);
    EXPECT_LT(pLast, 20);
}

TEST(RfntWriter, AdvancesFollowTheFaceAndBoldIsNeverNarrower) {
    ParsedFont regular, bold;
    ASSERT_NO_FATAL_FAILURE(parseFont(makeFont(contentkit::FontFace::Regular, 10), &regular));
    ASSERT_NO_FATAL_FAILURE(parseFont(makeFont(contentkit::FontFace::Bold, 10), &bold));
    EXPECT_LT(regular.advance['i'], regular.advance['W']);
    EXPECT_LT(bold.advance['i'], bold.advance['W']);
    EXPECT_EQ(regular.advance['0'], regular.advance['8']);  // tabular digits
    int wider = 0;
    for (int i = 0; i < 256; ++i) {
        EXPECT_GE(bold.advance[i], regular.advance[i]) << i;
        wider += bold.advance[i] > regular.advance[i];
    }
    EXPECT_GT(wider, 50);
    EXPECT_GT(inkIn(bold, boxOf(bold, 'A')), inkIn(regular, boxOf(regular, 'A')));
}

TEST(RfntWriter, SameFaceAndSizeGiveSameBytes) {
    const Bytes a = makeFont(contentkit::FontFace::Bold, 12);
    EXPECT_TRUE(a == makeFont(contentkit::FontFace::Bold, 12));
    EXPECT_FALSE(a == makeFont(contentkit::FontFace::Bold, 13));
}

TEST(RfntWriter, RefusesBadSizesFacesAndInconsistentFonts) {
    contentkit::BitmapFont font;
    std::string error;
    EXPECT_FALSE(contentkit::rasteriseFont(contentkit::dejaVuPath(contentkit::FontFace::Regular), 3, &font, &error));
    EXPECT_EQ(error, "font size 3 outside 4..64");
    EXPECT_FALSE(contentkit::rasteriseFont("/nonexistent/face.ttf", 10, &font, &error));
    EXPECT_EQ(error.find("cannot read font face '/nonexistent/face.ttf'"), 0u) << error;

    font = contentkit::BitmapFont();
    font.size = 8;
    font.width = 4;
    font.height = 2;
    font.alpha.assign(8, 0);
    Bytes out;
    EXPECT_TRUE(contentkit::writeRfnt(font, &out, &error)) << error;
    EXPECT_EQ(out.size(), 8463u + 8u);
    font.alpha.pop_back();
    EXPECT_FALSE(contentkit::writeRfnt(font, &out, &error));
    EXPECT_EQ(error, "atlas of 4 x 2 with 7 texels is inconsistent");
    font.alpha.push_back(0);
    font.rects[65].t0 = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(contentkit::writeRfnt(font, &out, &error));
    EXPECT_EQ(error, "glyph 65 has a rectangle that is not finite, outside 0..1 or inverted");
}

// --- Info ---

// A hand-made font with a 4 x 2 atlas and one glyph, small enough to cut at
// every offset.
Bytes smallFont() {
    contentkit::BitmapFont font;
    font.size = 2;
    font.width = 4;
    font.height = 2;
    font.alpha = {0, 255, 0, 0, 0, 255, 0, 0};
    font.advances['l'] = 2;
    font.rects['l'] = {0.0, 0.5, 0.0, 1.0};
    return cktest::written(contentkit::writeRfnt, font);
}

InfoReport infoOf(const Bytes& file, std::size_t len, bool* ok) {
    return cktest::infoOnPrefix(contentkit::infoRfnt, file, len, ok);
}
std::string errorOf(const Bytes& file) { return cktest::infoError(contentkit::infoRfnt, file); }

void putDouble(Bytes* b, std::size_t at, double v) { std::memcpy(&(*b)[at], &v, 8); }

TEST(RfntInfo, AcceptsWrittenFontsAndReportsTheHeader) {
    const Bytes file = makeFont(contentkit::FontFace::Regular, 10);
    InfoReport report;
    ASSERT_TRUE(contentkit::inspectFile("data/fonts/default_10.dat", file.data(), file.size(), &report)) << report.error;
    EXPECT_EQ(report.format, "RFNT");
    EXPECT_TRUE(report.warnings.empty()) << report.warnings[0];
    ASSERT_GE(report.fields.size(), 4u);
    EXPECT_EQ(report.fields[0], std::make_pair(std::string("font size"), std::string("10")));
    EXPECT_EQ(report.fields[1], std::make_pair(std::string("glyphs with an advance"), std::string("191 of 256")));
    bool ok = false;
    EXPECT_TRUE(infoOf(smallFont(), smallFont().size(), &ok).warnings.empty());
    EXPECT_TRUE(ok);
}

TEST(RfntInfo, EveryTruncationIsRefusedWithAMessage) {
    const Bytes file = smallFont();
    for (std::size_t len = 0; len < file.size(); ++len) {
        bool ok = true;
        const InfoReport report = infoOf(file, len, &ok);
        ASSERT_FALSE(ok) << "prefix of " << len;
        ASSERT_FALSE(report.error.empty()) << "prefix of " << len;
    }
    Bytes cut = file;
    cut.resize(8462);
    EXPECT_EQ(errorOf(cut), "file is 8462 bytes, shorter than the 8463-byte RFNT header");
    EXPECT_EQ(errorOf(Bytes(file.begin(), file.begin() + 8466)), "texture of 4 x 2 needs 8 texel bytes, the file holds 3");
    Bytes longer = file;
    longer.push_back(0);
    EXPECT_EQ(errorOf(longer), "texture of 4 x 2 needs 8 texel bytes, the file holds 9");
    cut.resize(3);
    EXPECT_EQ(errorOf(cut), "file is 3 bytes, too short for the RFNT magic");
    Bytes magic = file;
    magic[3] = 'X';
    EXPECT_EQ(errorOf(magic), "no RFNT magic ('RFNT' at offset 0)");
}

TEST(RfntInfo, TextureSizesThatOverflowOrAreNotPositiveAreRefused) {
    Bytes file = smallFont();
    // 0x10000 x 0x10000 wraps to 0 in 32 bits; 0 texel bytes would then match.
    file.resize(8463);
    const std::uint8_t big[8] = {0, 0, 1, 0, 0, 0, 1, 0};
    std::memcpy(&file[8455], big, 8);
    EXPECT_EQ(errorOf(file), "texture of 65536 x 65536 needs 4294967296 texel bytes, the file holds 0");
    const std::uint8_t negative[8] = {2, 0, 0, 0, 0xFC, 0xFF, 0xFF, 0xFF};  // height 2, width -4
    std::memcpy(&file[8455], negative, 8);
    file.resize(8463 + 8);
    EXPECT_EQ(errorOf(file), "texture width and height must be positive, read -4 x 2");
}

TEST(RfntInfo, RectanglesThatAreNotFiniteOutOfRangeOrInvertedAreRefused) {
    const std::size_t l = 263 + 32 * 'l';
    Bytes nan = smallFont();
    putDouble(&nan, l + 24, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(errorOf(nan), "glyph 108 rectangle has a coordinate that is not a finite number");
    Bytes inf = smallFont();
    putDouble(&inf, 263, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(errorOf(inf), "glyph 0 rectangle has a coordinate that is not a finite number");
    Bytes outside = smallFont();
    putDouble(&outside, l + 8, 1.25);
    EXPECT_EQ(errorOf(outside), "glyph 108 rectangle (s 0..1.25, t 0..1) lies outside 0..1");
    Bytes inverted = smallFont();
    putDouble(&inverted, l + 16, 0.75);
    putDouble(&inverted, l + 24, 0.25);
    EXPECT_EQ(errorOf(inverted), "glyph 108 rectangle (s 0..0.5, t 0.75..0.25) is inverted");
    // A rectangle that is not advance x size texels is usable but draws scaled.
    Bytes scaled = smallFont();
    putDouble(&scaled, l + 8, 0.75);
    bool ok = false;
    const InfoReport report = infoOf(scaled, scaled.size(), &ok);
    EXPECT_TRUE(ok) << report.error;
    ASSERT_EQ(report.warnings.size(), 1u);
    EXPECT_EQ(report.warnings[0], "1 glyph rectangles (the first of byte value 108) are not advance x size "
                                  "texels; those glyphs draw scaled");
}

// --- The program ---

class ContentkitFont : public cktest::TempDirTest {
protected:
    cktest::RunResult run(const std::vector<std::string>& args) {
        return cktest::runProgram(QUASK_BIN_DIR "/tools/contentkit/contentkit", args, m_dir);
    }
};

TEST_F(ContentkitFont, WritesTheLibrarysBytesAndInfoChecksThem) {
    for (const char* name : {"a.dat", "b.dat"}) {
        const cktest::RunResult r = run({"font", "--face", "bold", "--size", "10", at(name)});
        ASSERT_EQ(r.code, 0) << r.err;
    }
    const Bytes a = cktest::readBytes(at("a.dat"));
    EXPECT_TRUE(a == makeFont(contentkit::FontFace::Bold, 10));
    EXPECT_TRUE(a == cktest::readBytes(at("b.dat")));
    const std::string ttf = contentkit::dejaVuPath(contentkit::FontFace::Regular);
    ASSERT_EQ(run({"font", "--face", ttf, "--size", "10", at("c.dat")}).code, 0);
    EXPECT_TRUE(cktest::readBytes(at("c.dat")) == makeFont(contentkit::FontFace::Regular, 10));

    cktest::RunResult r = run({"info", at("a.dat")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(at("a.dat") + ": RFNT\n  font size: 10\n"), std::string::npos) << r.out;

    Bytes cut = a;
    cut.resize(a.size() - 1);
    cktest::writeBytes(at("cut.dat"), cut);
    r = run({"info", at("cut.dat")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("malformed RFNT: texture of "), std::string::npos) << r.err;
}

TEST_F(ContentkitFont, BadArgumentsAndMissingFacesFail) {
    EXPECT_EQ(run({"font", "--size", "3", at("x.dat")}).code, 2);
    EXPECT_EQ(run({"font", "--size", "10"}).code, 2);
    EXPECT_EQ(run({"font", at("x.dat")}).code, 2);
    const cktest::RunResult r = run({"font", "--face", at("none.ttf"), "--size", "10", at("x.dat")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cannot read font face"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(at("x.dat")));
}

}  // namespace
