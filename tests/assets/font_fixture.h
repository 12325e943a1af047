// A tiny RFNT font whose glyphs are easy to find in a read-back frame, and a
// window on the test's own Xvfb server with a 2D projection in window pixels.
//
// The atlas is 8 texels wide and 4 high: the left half is opaque, the right
// half clear. 'A' is an opaque 4 x 8 block, 'b' a clear 3 x 8 block, byte 0 an
// opaque 2 x 8 block, 'Z' has advance 0; every other byte has advance 0 and an
// empty rectangle.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "client/gl/gl_ext.h"
#include "client/platform/window.h"
#include "tests/support/child_process.h"
#include "tests/support/xvfb_suite.h"
#include "tools/contentkit/formats/rfnt_writer.h"

namespace font_fixture {

constexpr int kSize = 8;
constexpr std::uint32_t kAtlasWidth = 8;
constexpr std::uint32_t kAtlasHeight = 4;

inline contentkit::BitmapFont font() {
    contentkit::BitmapFont f;
    f.size = kSize;
    f.width = kAtlasWidth;
    f.height = kAtlasHeight;
    for (std::uint32_t row = 0; row < kAtlasHeight; ++row)
        for (std::uint32_t col = 0; col < kAtlasWidth; ++col)
            f.alpha.push_back(col < kAtlasWidth / 2 ? 255 : 0);
    const contentkit::GlyphRect opaque{0.0, 0.5, 0.0, 1.0};
    f.advances['A'] = 4;
    f.rects['A'] = opaque;
    f.advances['b'] = 3;
    f.rects['b'] = contentkit::GlyphRect{0.5, 1.0, 0.0, 1.0};
    f.advances[0] = 2;
    f.rects[0] = opaque;
    f.rects['Z'] = opaque;
    return f;
}

inline contentkit::Bytes fileBytes(const contentkit::BitmapFont& f = font()) {
    contentkit::Bytes out;
    std::string error;
    EXPECT_TRUE(contentkit::writeRfnt(f, &out, &error)) << error;
    return out;
}

using quask_test::writeBytes;

// One window per test on a server shared by the suite; the frame is cleared
// to `background` with a 2D projection (origin top left), texturing and
// blending on, white colour.
class GLWindowTest : public quask_test::OnXvfb<> {
protected:
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 200;

    void SetUp() override {
        OnXvfb::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(velmar::windowInit());
        ASSERT_TRUE(velmar::windowOpen(kWidth, kHeight, velmar::WindowMode::Windowed));
        m_open = true;
    }
    void TearDown() override {
        if (m_open) velmar::windowTerminate();
    }

    void beginFrame(float background) {
        glViewport(0, 0, kWidth, kHeight);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(0.0, kWidth, kHeight, 0.0, -1.0, 1.0);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glDisable(GL_DEPTH_TEST);
        glEnable(GL_TEXTURE_2D);
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glClearColor(background, background, background, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    }

    // The red channel of the frame, rows from the top.
    std::vector<std::uint8_t> readRed() {
        glFinish();
        std::vector<std::uint8_t> rgba(static_cast<std::size_t>(kWidth) * kHeight * 4);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        std::vector<std::uint8_t> red(static_cast<std::size_t>(kWidth) * kHeight);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                red[static_cast<std::size_t>(y) * kWidth + x] =
                    rgba[(static_cast<std::size_t>(kHeight - 1 - y) * kWidth + x) * 4];
        return red;
    }
    static std::uint8_t at(const std::vector<std::uint8_t>& red, int x, int y) {
        return red[static_cast<std::size_t>(y) * kWidth + x];
    }
    // One row as '#' (255), '.' (0) or '?' from x0 to x1 inclusive.
    static std::string row(const std::vector<std::uint8_t>& red, int y, int x0, int x1) {
        std::string s;
        for (int x = x0; x <= x1; ++x) {
            const std::uint8_t v = at(red, x, y);
            s += v == 255 ? '#' : v == 0 ? '.' : '?';
        }
        return s;
    }

    bool m_open = false;
};

}  // namespace font_fixture
