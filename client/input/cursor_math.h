// The software cursor's arithmetic, free of any window or GL: raw mouse
// positions from the window layer are scaled by `MouseSpeed` and integrated
// into a cursor position in window pixels (origin top left), clamped to the
// window; leaving a window that does not hold the mouse releases the lock.
// Also the choice of what a key does (Escape quits, F12 takes a screenshot).
//
// The input handlers own one SoftCursor and drive it on the main thread:
//   if (!c.captured()) {
//       if (!c.mayCapture(rawX, rawY, bounds)) return;
//       c.capture(layerX, layerY); lock the mouse;
//   }
//   CursorMove m = c.track(rawX, rawY, bounds);
//   if (!m.moved) return;
//   if (m.release) { place the system cursor at (m.systemX, m.systemY); unlock; }
//   give the GUI (m.guiX, m.guiY); offer (m.ix, m.iy) to the camera;
//   when the camera does not take it: c.accept(m).
#pragma once

#include <cstdint>

namespace velmar {

struct CursorBounds {
    int width = 0, height = 0;  // client area in pixels; x = width is still inside
    int left = 0, top = 0;      // client area on the screen
    bool mayRelease = false;    // windowed and MouseLockedInWindow off
};

struct CursorMove {
    bool moved = false;             // false: nothing to do for this event
    std::int64_t ix = 0, iy = 0;    // integrated integer position (for the camera)
    int dx = 0, dy = 0;             // its change in this event
    int guiX = 0, guiY = 0;         // the cursor before this movement
    int nx = 0, ny = 0;             // the new cursor, clamped to the window
    bool release = false;           // the mouse lock ends here
    int systemX = 0, systemY = 0;   // where the system cursor then appears
};

class SoftCursor {
public:
    // Offset of the system cursor past the right or bottom edge on release.
    static constexpr int kReleaseMargin = 30;

    void setSpeed(float speed) { m_speed = speed; }
    float speed() const { return m_speed; }

    void setPosition(int x, int y);
    int x() const { return m_x; }
    int y() const { return m_y; }
    float drawX() const { return m_drawX; }
    float drawY() const { return m_drawY; }

    bool captured() const { return m_captured; }
    // Marks the mouse captured without moving the cursor (initialisation).
    void setCaptured(bool captured) { m_captured = captured; }
    // The mouse comes back into the window at (x, y): the cursor goes there
    // and the jump of the next movement is not applied.
    void capture(int x, int y);
    // The window layer reports that the pointer left the window.
    void pointerLeft() { m_pointerLeft = true; }
    // Whether a position reported while the mouse is free is a way back in.
    // Before any release, always (the first event takes the mouse). After a
    // release only a position inside the window once the pointer has been
    // out: unlocking makes the window layer warp the pointer back to where
    // the lock began, and that motion arrives before the pointer leaves.
    bool mayCapture(int x, int y, const CursorBounds& bounds) const;

    // Integrates one raw position. A release clears captured() at once.
    CursorMove track(int rawX, int rawY, const CursorBounds& bounds);
    // The camera did not take the movement: the cursor moves to (nx, ny).
    void accept(const CursorMove& move) { setPosition(move.nx, move.ny); }

private:
    float m_speed = 1.0f;
    int m_x = 0, m_y = 0;
    float m_drawX = 0.0f, m_drawY = 0.0f;
    // Only the fraction in [0, 1) is kept: a large running sum would lose the
    // small steps of slow speeds to rounding and freeze the cursor.
    double m_fracX = 0.0, m_fracY = 0.0;
    std::uint64_t m_ix = 0, m_iy = 0;  // wrap instead of overflowing
    int m_lastRawX = 0, m_lastRawY = 0;
    bool m_captured = false;
    bool m_skipNext = false;
    bool m_released = false;     // free since a release, not yet taken back
    bool m_pointerLeft = false;  // seen leaving the window since that release
};

enum class KeyCommand { kNone, kQuit, kScreenshot };

// What a key event does, by its code alone (the window layer's): presses,
// repeats and releases alike. Escape quits; F12 asks for a screenshot, which
// the caller refuses while the previous one is being written.
KeyCommand keyCommand(int key, int escapeKey, int f12Key);

}  // namespace velmar
