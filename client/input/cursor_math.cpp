#include "client/input/cursor_math.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velmar {
namespace {

// Largest whole-pixel step taken from one event; anything beyond is far
// outside any window and clamped there anyway.
constexpr double kMaxStep = 1e9;

// Adds the scaled raw delta to the fraction and takes out the whole pixels.
int takeWholePixels(double* fraction, std::int64_t rawDelta, float speed) {
    const double sum = *fraction + static_cast<double>(rawDelta) * speed;
    const double whole = std::floor(sum);
    if (!std::isfinite(whole) || whole > kMaxStep || whole < -kMaxStep) {
        *fraction = 0.0;
        return std::isfinite(whole) ? static_cast<int>(whole > 0 ? kMaxStep : -kMaxStep) : 0;
    }
    *fraction = sum - whole;
    return static_cast<int>(whole);
}

int saturate(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}

}  // namespace

void SoftCursor::setPosition(int x, int y) {
    m_x = x;
    m_y = y;
    m_drawX = static_cast<float>(x);
    m_drawY = static_cast<float>(y);
}

void SoftCursor::capture(int x, int y) {
    setPosition(x, y);
    m_captured = true;
    m_skipNext = true;
    m_released = false;
}

bool SoftCursor::mayCapture(int x, int y, const CursorBounds& bounds) const {
    if (!m_released) return true;
    return m_pointerLeft && x >= 0 && y >= 0 && x <= bounds.width && y <= bounds.height;
}

CursorMove SoftCursor::track(int rawX, int rawY, const CursorBounds& bounds) {
    CursorMove m;
    const int dx = takeWholePixels(&m_fracX, std::int64_t{rawX} - m_lastRawX, m_speed);
    const int dy = takeWholePixels(&m_fracY, std::int64_t{rawY} - m_lastRawY, m_speed);
    m_lastRawX = rawX;
    m_lastRawY = rawY;
    if (dx == 0 && dy == 0) return m;
    m_ix += static_cast<std::uint64_t>(static_cast<std::int64_t>(dx));
    m_iy += static_cast<std::uint64_t>(static_cast<std::int64_t>(dy));
    if (m_skipNext) {
        m_skipNext = false;
        return m;
    }
    m.moved = true;
    m.ix = static_cast<std::int64_t>(m_ix);
    m.iy = static_cast<std::int64_t>(m_iy);
    m.dx = dx;
    m.dy = dy;
    m.guiX = m_x;
    m.guiY = m_y;

    std::int64_t nx = std::int64_t{m_x} + dx;
    std::int64_t ny = std::int64_t{m_y} + dy;
    // The last column and row (x = width, y = height) are still inside.
    if (nx > bounds.width || nx < 0) {
        if (bounds.mayRelease) {
            m.release = true;
            m.systemX = saturate(bounds.left + nx + (nx > bounds.width ? kReleaseMargin : 0));
            m.systemY = saturate(bounds.top + ny);
        }
        nx = nx > bounds.width ? bounds.width : 0;
    }
    if (ny > bounds.height || ny < 0) {
        if (bounds.mayRelease) {
            m.release = true;
            m.systemX = saturate(bounds.left + nx);
            m.systemY = saturate(bounds.top + ny + (ny > bounds.height ? kReleaseMargin : 0));
        }
        ny = ny > bounds.height ? bounds.height : 0;
    }
    if (m.release) {
        m_captured = false;
        m_released = true;
        m_pointerLeft = false;
    }
    m.nx = static_cast<int>(nx);
    m.ny = static_cast<int>(ny);
    return m;
}

KeyCommand keyCommand(int key, int escapeKey, int f12Key) {
    if (key == escapeKey) return KeyCommand::kQuit;
    if (key == f12Key) return KeyCommand::kScreenshot;
    return KeyCommand::kNone;
}

}  // namespace velmar
