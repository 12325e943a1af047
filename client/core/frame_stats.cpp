#include "client/core/frame_stats.h"

#include <cstdio>
#include <limits>

namespace velmar {

namespace {

// The figures are signed; a counter past that range keeps them positive
// rather than wrapping.
std::int32_t clampToInt32(std::uint32_t value) {
    constexpr auto kMax = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(value > kMax ? kMax : value);
}

}  // namespace

void FrameStats::completeSecond() {
    const std::uint32_t frames = m_frameCounter.exchange(0, std::memory_order_relaxed);
    m_lastSecondFrames.store(clampToInt32(frames), std::memory_order_relaxed);
    m_secondCompleted.store(true, std::memory_order_relaxed);
    if (frames == 0) return;
    m_frameTime.store(1.0f / static_cast<float>(frames), std::memory_order_relaxed);
    const std::uint32_t draws = m_drawCalls.exchange(0, std::memory_order_relaxed);
    m_drawCallsPerFrame.store(clampToInt32(draws / frames), std::memory_order_relaxed);
}

void FrameStats::reset() {
    m_frameTime.store(0.0f, std::memory_order_relaxed);
    m_frameCounter.store(0, std::memory_order_relaxed);
    m_lastSecondFrames.store(0, std::memory_order_relaxed);
    m_secondCompleted.store(false, std::memory_order_relaxed);
}

FpsText FrameStats::fpsText() const {
    FpsText out;
    if (!m_secondCompleted.load(std::memory_order_relaxed)) {
        out.length = std::snprintf(out.text, sizeof out.text, "FPS: -");
    } else {
        out.length = std::snprintf(out.text, sizeof out.text, "FPS: %d", lastSecondFrames());
    }
    return out;
}

FrameStats& frameStats() {
    static FrameStats stats;
    return stats;
}

void frameStatsCallback(int, void* userData, int) {
    static_cast<FrameStats*>(userData)->completeSecond();
}

}  // namespace velmar
