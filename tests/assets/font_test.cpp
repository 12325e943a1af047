// RFNT fonts: the parser on well-formed, truncated, mistyped and oversized
// files, the fatal refusals of the loader, the formatted-text buffer, and a
// real font drawn on Xvfb and read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "client/assets/font.h"
#include "client/core/frame_stats.h"
#include "client/core/log.h"
#include "client/core/runtime.h"
#include "tests/assets/font_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/log_socket.h"
#include "tests/support/logged_test.h"

namespace velmar {
namespace {

using contentkit::Bytes;

void putU32(Bytes* bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

RfntStatus parseCopy(const Bytes& bytes, std::size_t length, RfntData* out) {
    // An exact-size heap copy, so reading past its end is caught by the tools
    // that watch the heap.
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    return parseRfnt(copy.empty() ? nullptr : copy.data(), copy.size(), out);
}

// --- Parsing ---

TEST(RfntParse, GoodFileGivesEveryFieldInPlace) {
    contentkit::BitmapFont f = font_fixture::font();
    f.alpha[5] = 77;  // marks where the texel block starts
    const Bytes bytes = font_fixture::fileBytes(f);
    RfntData data;
    ASSERT_EQ(parseRfnt(bytes.data(), bytes.size(), &data), RfntStatus::Ok);
    EXPECT_EQ(data.size, 8);
    EXPECT_EQ(data.advances['A'], 4);
    EXPECT_EQ(data.advances['b'], 3);
    EXPECT_EQ(data.advances[0], 2);
    EXPECT_EQ(data.advances['Z'], 0);
    EXPECT_EQ(data.rects['b'].s0, 0.5);
    EXPECT_EQ(data.rects['b'].s1, 1.0);
    EXPECT_EQ(data.rects['b'].t0, 0.0);
    EXPECT_EQ(data.rects['b'].t1, 1.0);
    EXPECT_EQ(data.rects['A'].s1, 0.5);
    EXPECT_EQ(data.rects[255].s1, 0.0);
    // Height comes before width in the file.
    EXPECT_EQ(data.width, 8u);
    EXPECT_EQ(data.height, 4u);
    EXPECT_EQ(data.texels, bytes.data() + kRfntHeaderSize);
    EXPECT_EQ(data.texels[5], 77);
}

TEST(RfntParse, EveryTruncationIsRefusedAsTooShort) {
    const Bytes bytes = font_fixture::fileBytes();
    ASSERT_EQ(bytes.size(), kRfntHeaderSize + 32);
    RfntData data;
    for (std::size_t length = 0; length < bytes.size(); ++length)
        ASSERT_EQ(parseCopy(bytes, length, &data), RfntStatus::TooShort) << length;
    EXPECT_EQ(parseCopy(bytes, bytes.size(), &data), RfntStatus::Ok);
}

TEST(RfntParse, WrongMagicIsWrongTypeButOnlyFromFourBytes) {
    Bytes bytes = font_fixture::fileBytes();
    bytes[3] = 'X';
    RfntData data;
    EXPECT_EQ(parseCopy(bytes, bytes.size(), &data), RfntStatus::WrongType);
    EXPECT_EQ(parseCopy(bytes, 4, &data), RfntStatus::WrongType);
    EXPECT_EQ(parseCopy(bytes, 3, &data), RfntStatus::TooShort);
}

TEST(RfntParse, AtlasSizesBeyondTheBytesPresentAreRefused) {
    Bytes bytes = font_fixture::fileBytes();
    bytes.push_back(0);  // one spare texel
    RfntData data;
    struct Case {
        std::uint32_t width, height;
        RfntStatus expected;
    };
    const Case cases[] = {
        {8, 4, RfntStatus::Ok},             // trailing bytes are ignored
        {33, 1, RfntStatus::Ok},            // exactly the bytes present
        {34, 1, RfntStatus::TooShort},
        {0x10000, 0x10000, RfntStatus::TooShort},          // 0 in 32-bit arithmetic
        {0xFFFFFFFFu, 0xFFFFFFFFu, RfntStatus::TooShort},  // 1 in 32-bit arithmetic
        {0x80000000u, 0, RfntStatus::TooShort},            // no texels, but no GL size either
        {0, 0x80000000u, RfntStatus::TooShort},
        {0x7FFFFFFF, 0, RfntStatus::Ok},
    };
    for (const Case& c : cases) {
        putU32(&bytes, kRfntWidthOffset, c.width);
        putU32(&bytes, kRfntHeightOffset, c.height);
        EXPECT_EQ(parseCopy(bytes, bytes.size(), &data), c.expected) << c.width << " x " << c.height;
    }
}

// --- Formatted text ---

std::size_t format(char (&buffer)[kFontTextBuffer], const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::size_t n = formatFontText(buffer, fmt, args);
    va_end(args);
    return n;
}

TEST(FontText, LongTextIsCutInsideTheBuffer) {
    char buffer[kFontTextBuffer];
    for (std::size_t length : {std::size_t{0}, std::size_t{502}, std::size_t{503}, std::size_t{504},
                               std::size_t{600}}) {
        std::memset(buffer, '#', sizeof buffer);
        const std::string text(length, 'x');
        const std::size_t n = format(buffer, "%s", text.c_str());
        const std::size_t kept = length < 503 ? length : 503;
        EXPECT_EQ(n, kept) << length;
        EXPECT_EQ(std::string(buffer, n), std::string(kept, 'x'));
        EXPECT_EQ(buffer[kept], '\0') << length;
    }
    EXPECT_EQ(format(buffer, "Cubes: %d", 42), 9u);
    EXPECT_STREQ(buffer, "Cubes: 42");
}

// --- Fatal refusals ---

class RfntLoadDeath : public quask_test::LoggedTest {
protected:
    void SetUp() override {
        ::setenv("QUASK_NONINTERACTIVE", "1", 1);
        LoggedTest::SetUp();
    }

    // The child ends through the exit routine, so its own directory goes
    // with an exit handler.
    void expectRefusal(const Bytes& bytes, const std::string& why) {
        const std::string path = at("font.dat");
        font_fixture::writeBytes(path, bytes);
        s_cleanup = m_dir;
        s_owner = ::getpid();
        EXPECT_EXIT(
            {
                registerExitHandler(&removeOwnDir);
                rFont font(path.c_str());
            },
            ::testing::ExitedWithCode(1),
            "Critical Log Message: .*rFont::rFont => Cant load font '[^']*/font.dat' - " + why);
    }
    static void removeOwnDir() {
        if (::getpid() == s_owner) std::filesystem::remove_all(s_cleanup);
    }
    static std::string s_cleanup;
    static pid_t s_owner;
};
std::string RfntLoadDeath::s_cleanup;
pid_t RfntLoadDeath::s_owner = 0;

TEST_F(RfntLoadDeath, ThreeByteFileEndsTheProcessAsWrongFilesize) {
    expectRefusal(Bytes{'R', 'F', 'N'}, "wrong filesize / Corrupted\\?");
}

TEST_F(RfntLoadDeath, OtherMagicEndsTheProcessAsWrongFileType) {
    Bytes bytes = font_fixture::fileBytes();
    bytes[0] = 'X';
    expectRefusal(bytes, "Wrong File Type");
}

TEST_F(RfntLoadDeath, MissingTexelsEndTheProcessAsWrongFilesize) {
    Bytes bytes = font_fixture::fileBytes();
    bytes.resize(bytes.size() - 1);
    expectRefusal(bytes, "wrong filesize / Corrupted\\?");
}

// --- Drawing on a real context ---

class FontDraw : public font_fixture::GLWindowTest {
protected:
    void SetUp() override {
        GLWindowTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_dir = quask_test::makeTempDir("quask-font-");
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override {
        if (!m_dir.empty()) quask_test::removeTree(m_dir);
        GLWindowTest::TearDown();
    }
    std::string writeFont(const Bytes& bytes) {
        const std::string path = m_dir + "/font.dat";
        font_fixture::writeBytes(path, bytes);
        return path;
    }

    std::string m_dir;
};

TEST_F(FontDraw, StringDrawsItsGlyphsAndLeavesTheMatrixAndListBaseAsFound) {
    rFont font(writeFont(font_fixture::fileBytes()).c_str());
    EXPECT_EQ(font.size(), 8);
    EXPECT_EQ(font.advance('A'), 4);
    beginFrame(0.0f);
    glTranslatef(2.0f, 1.0f, 0.0f);
    glListBase(7);
    GLfloat before[16];
    glGetFloatv(GL_MODELVIEW_MATRIX, before);
    const std::uint32_t calls = frameStats().pendingDrawCalls();

    font.drawText(10.0f, 5.0f, "AbA", 0);

    EXPECT_EQ(frameStats().pendingDrawCalls(), calls + 1);
    GLfloat after[16];
    glGetFloatv(GL_MODELVIEW_MATRIX, after);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(after[i], before[i]) << i;
    GLint listBase = 0;
    glGetIntegerv(GL_LIST_BASE, &listBase);
    EXPECT_EQ(listBase, 7);
    const auto red = readRed();
    // Pen at (12, 6): 'A' 12..15, clear 'b' 16..18, 'A' 19..22; rows 6..13.
    EXPECT_EQ(row(red, 6, 10, 24), "..####...####..");
    EXPECT_EQ(row(red, 13, 10, 24), "..####...####..");
    EXPECT_EQ(row(red, 5, 10, 24), "...............");
    EXPECT_EQ(row(red, 14, 10, 24), "...............");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(FontDraw, ExplicitLengthDrawsNulsWhileZeroLengthStopsAtTheNul) {
    rFont font(writeFont(font_fixture::fileBytes()).c_str());
    beginFrame(0.0f);
    font.drawText(10.0f, 5.0f, "A\0A", 3);
    font.drawText(10.0f, 20.0f, "A\0A", 0);
    const auto red = readRed();
    EXPECT_EQ(row(red, 8, 9, 21), ".##########..");
    EXPECT_EQ(row(red, 23, 9, 21), ".####........");
}

TEST_F(FontDraw, ZeroAdvanceGlyphNeitherDrawsNorMovesThePen) {
    rFont font(writeFont(font_fixture::fileBytes()).c_str());
    beginFrame(0.0f);
    font.drawText(10.0f, 5.0f, "AZbZA", 0);
    const auto red = readRed();
    EXPECT_EQ(row(red, 8, 9, 22), ".####...####..");
}

TEST_F(FontDraw, FormattedTextDrawsTheFormattedBytesAsOneCall) {
    rFont font(writeFont(font_fixture::fileBytes()).c_str());
    beginFrame(0.0f);
    const std::uint32_t calls = frameStats().pendingDrawCalls();
    font.drawTextF(10.0f, 5.0f, "%sb%c", "A", 'A');
    EXPECT_EQ(frameStats().pendingDrawCalls(), calls + 1);
    const auto red = readRed();
    EXPECT_EQ(row(red, 8, 9, 22), ".####...####..");
}

TEST_F(FontDraw, ColourTintsTheGlyphs) {
    rFont font(writeFont(font_fixture::fileBytes()).c_str());
    beginFrame(0.0f);
    glColor4ub(255, 102, 0, 255);
    font.drawText(10.0f, 5.0f, "A", 0);
    glFinish();
    std::uint8_t rgba[4] = {};
    glReadPixels(11, font_fixture::GLWindowTest::kHeight - 1 - 8, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
    EXPECT_EQ(rgba[0], 255);
    EXPECT_EQ(rgba[1], 102);
    EXPECT_EQ(rgba[2], 0);
}

TEST_F(FontDraw, TextureUploadErrorIsReportedAndLoadingGoesOn) {
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    ASSERT_GT(maxSize, 0);
    Bytes bytes = font_fixture::fileBytes();
    bytes.resize(kRfntHeaderSize);
    const std::uint32_t width = static_cast<std::uint32_t>(maxSize) + 1;
    putU32(&bytes, kRfntWidthOffset, width);
    putU32(&bytes, kRfntHeightOffset, 1);
    bytes.resize(kRfntHeaderSize + width, 255);
    const std::string path = writeFont(bytes);
    ::setenv("QUASK_NONINTERACTIVE", "1", 1);
    CLOG::Create(m_dir, quask_test::quietLogPort());
    ::testing::internal::CaptureStderr();
    {
        rFont font(path.c_str());
        EXPECT_EQ(font.size(), 8);
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    CLOG::Destroy();
    const std::string log = quask_test::readFile(m_dir + "/LastRun.log");
    EXPECT_NE(log.find("rFont::rFont => Font '" + path + "' Texture Creation Error (1281)\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("rFont::rFont => Font '" + path + "' (Size: 8) loaded, in "), std::string::npos)
        << log;
    EXPECT_NE(err.find("Texture Creation Error (1281)"), std::string::npos) << err;
}

}  // namespace
}  // namespace velmar
