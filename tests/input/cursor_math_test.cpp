// The software cursor's arithmetic: speed scaling, long travel, clamping,
// leaving a window that does not hold the mouse, and the global keys.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "client/input/cursor_math.h"

namespace velmar {
namespace {

constexpr CursorBounds kFullScreen{800, 600, 0, 0, false};
constexpr CursorBounds kWindowed{800, 600, 100, 50, true};

// A captured cursor at (x, y) whose raw position starts at (0, 0).
SoftCursor cursorAt(int x, int y, float speed) {
    SoftCursor c;
    c.setSpeed(speed);
    c.setPosition(x, y);
    c.setCaptured(true);
    return c;
}

TEST(SoftCursor, HalfSpeedMovesOnePixelAfterTwoRawPixels) {
    SoftCursor c = cursorAt(100, 100, 0.5f);
    EXPECT_FALSE(c.track(1, 0, kFullScreen).moved);
    const CursorMove m = c.track(2, 0, kFullScreen);
    ASSERT_TRUE(m.moved);
    EXPECT_EQ(m.dx, 1);
    EXPECT_EQ(m.dy, 0);
    EXPECT_EQ(m.nx, 101);
    EXPECT_EQ(m.ny, 100);
    EXPECT_EQ(m.guiX, 100);  // the GUI sees where it stood before
    c.accept(m);
    EXPECT_EQ(c.x(), 101);
    EXPECT_EQ(c.drawX(), 101.0f);
}

TEST(SoftCursor, HalfSpeedMovesLeftAtTheSameRate) {
    SoftCursor c = cursorAt(100, 100, 0.5f);
    int moved = 0;
    for (int raw = -1; raw >= -8; --raw) {
        const CursorMove m = c.track(0, raw, kFullScreen);
        if (m.moved) {
            moved += m.dy;
            c.accept(m);
        }
    }
    EXPECT_EQ(moved, -4);
    EXPECT_EQ(c.y(), 96);
}

// Fifty million pixels of travel: a running float sum would by then swallow
// every half-pixel step and the cursor would stop for good.
TEST(SoftCursor, SlowStepsStillMoveAfterVeryLongTravel) {
    SoftCursor c = cursorAt(400, 300, 0.5f);
    int raw = 0;
    for (int i = 0; i < 100000; ++i) c.accept(c.track(raw += 1000, 0, kFullScreen));
    EXPECT_EQ(c.x(), 800);
    int steps = 0;
    CursorMove last;
    for (int i = 0; i < 200; ++i) {
        const int back = raw - 1 - i;
        const CursorMove m = c.track(back, 0, kFullScreen);
        if (!m.moved) continue;
        steps += m.dx;
        last = m;
        c.accept(m);
    }
    EXPECT_EQ(steps, -100);
    EXPECT_EQ(c.x(), 700);
    EXPECT_EQ(last.ix, 50000000 - 100);  // the camera's position stays exact
}

TEST(SoftCursor, FullScreenClampsAtTheEdgesAndKeepsTheMouse) {
    SoftCursor c = cursorAt(797, 2, 1.0f);
    CursorMove m = c.track(5, -5, kFullScreen);
    ASSERT_TRUE(m.moved);
    EXPECT_EQ(m.nx, 800);  // the last column is x = width
    EXPECT_EQ(m.ny, 0);
    EXPECT_FALSE(m.release);
    EXPECT_TRUE(c.captured());
    c.accept(m);
    m = c.track(5, 600, kFullScreen);
    EXPECT_EQ(m.ny, 600);
    EXPECT_FALSE(m.release);
}

TEST(SoftCursor, CursorMayRestOnTheLastColumnWithoutReleasing) {
    SoftCursor c = cursorAt(799, 599, 1.0f);
    const CursorMove m = c.track(1, 1, kWindowed);
    EXPECT_EQ(m.nx, 800);
    EXPECT_EQ(m.ny, 600);
    EXPECT_FALSE(m.release);
}

TEST(SoftCursor, LeavingAWindowReleasesTheMouseNextToWhereItWouldBe) {
    SoftCursor right = cursorAt(798, 300, 1.0f);
    CursorMove m = right.track(5, 0, kWindowed);
    ASSERT_TRUE(m.release);
    EXPECT_EQ(m.systemX, 100 + 803 + 30);
    EXPECT_EQ(m.systemY, 50 + 300);
    EXPECT_EQ(m.nx, 800);
    EXPECT_FALSE(right.captured());

    SoftCursor left = cursorAt(2, 300, 1.0f);
    m = left.track(-5, 0, kWindowed);
    ASSERT_TRUE(m.release);
    EXPECT_EQ(m.systemX, 100 - 3);
    EXPECT_EQ(m.nx, 0);

    SoftCursor down = cursorAt(400, 598, 1.0f);
    m = down.track(0, 7, kWindowed);
    ASSERT_TRUE(m.release);
    EXPECT_EQ(m.systemX, 100 + 400);
    EXPECT_EQ(m.systemY, 50 + 605 + 30);
    EXPECT_EQ(m.ny, 600);

    SoftCursor up = cursorAt(400, 1, 1.0f);
    m = up.track(0, -4, kWindowed);
    ASSERT_TRUE(m.release);
    EXPECT_EQ(m.systemY, 50 - 3);
    EXPECT_EQ(m.ny, 0);
}

TEST(SoftCursor, CornerExitPlacesTheSystemCursorByTheVerticalEdgeLast) {
    SoftCursor c = cursorAt(799, 599, 1.0f);
    const CursorMove m = c.track(4, 6, kWindowed);
    ASSERT_TRUE(m.release);
    EXPECT_EQ(m.systemX, 100 + 800);  // horizontal already clamped
    EXPECT_EQ(m.systemY, 50 + 605 + 30);
}

TEST(SoftCursor, CaptureAgainOnlyOnceBackInAndIgnoreTheFirstMovement) {
    EXPECT_TRUE(SoftCursor().mayCapture(-50, 900, kWindowed));  // the first event takes it
    SoftCursor c = cursorAt(798, 300, 1.0f);
    c.accept(c.track(10, 0, kWindowed));
    ASSERT_FALSE(c.captured());
    EXPECT_EQ(c.x(), 800);
    // Unlocking warps the pointer back to where the lock began; that motion
    // is no way back in, nor is one outside the window.
    EXPECT_FALSE(c.mayCapture(400, 300, kWindowed));
    c.pointerLeft();
    EXPECT_FALSE(c.mayCapture(830, 300, kWindowed));
    ASSERT_TRUE(c.mayCapture(780, 310, kWindowed));
    c.capture(780, 310);
    EXPECT_TRUE(c.captured());
    EXPECT_EQ(c.x(), 780);
    const CursorMove jump = c.track(-200, 0, kWindowed);
    EXPECT_FALSE(jump.moved);
    EXPECT_EQ(c.x(), 780);
    const CursorMove next = c.track(-203, 0, kWindowed);
    ASSERT_TRUE(next.moved);
    EXPECT_EQ(next.nx, 777);
    EXPECT_EQ(next.ix, 10 - 210 - 3);  // the skipped jump still counts for the camera
}

TEST(SoftCursor, BrokenSpeedsKeepTheCursorInsideTheWindow) {
    for (float speed : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(), 3e38f}) {
        SoftCursor c = cursorAt(400, 300, speed);
        int raw = 0;
        for (int i = 0; i < 4; ++i) {
            raw += (i % 2) ? -std::numeric_limits<int>::max() : std::numeric_limits<int>::max();
            const CursorMove m = c.track(raw, raw, kFullScreen);
            if (m.moved) c.accept(m);
            EXPECT_GE(c.x(), 0);
            EXPECT_LE(c.x(), 800);
            EXPECT_GE(c.y(), 0);
            EXPECT_LE(c.y(), 600);
        }
    }
}

// Keys are told apart by their code only: presses, repeats and releases alike.
TEST(KeyCommand, F12TakesScreenshotsOnPressRepeatAndRelease) {
    const int kEscape = 256, kF12 = 301;
    EXPECT_EQ(keyCommand(kF12, kEscape, kF12), KeyCommand::kScreenshot);
    EXPECT_EQ(keyCommand(kEscape, kEscape, kF12), KeyCommand::kQuit);
    EXPECT_EQ(keyCommand(65, kEscape, kF12), KeyCommand::kNone);
}

}  // namespace
}  // namespace velmar
