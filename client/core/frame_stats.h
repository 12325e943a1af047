// FrameStats: the frame and draw-call counters and the once-a-second figures
// derived from them (frames of the last second, FPS text, frame time, draw
// calls per frame) that the statistics overlay shows.
//
// The main loop counts frames and every drawing module counts draw calls from
// the main thread; the statistics callback on the CTimer worker takes both
// counters with an atomic exchange, so no count is lost between the two
// threads. The derived figures are written by the callback (and by the reset
// before the main loop) and read by the overlay; each is a single atomic
// value, so a reader sees either the old or the new figure, never a torn one.
#pragma once

#include <atomic>
#include <cstdint>

namespace velmar {

// "FPS: " and up to ten digits.
struct FpsText {
    char text[16];
    int length;
};

class FrameStats {
public:
    // --- Counting (main thread) ---
    void countFrame() { m_frameCounter.fetch_add(1, std::memory_order_relaxed); }
    void countDrawCall() { m_drawCalls.fetch_add(1, std::memory_order_relaxed); }

    // --- Once a second (timer worker) ---
    // Takes the frame counter; a second with frames also takes the draw-call
    // counter and updates the frame time and the average. A second with no
    // frames leaves those two as they were.
    void completeSecond();

    // Frame time 0, counters 0, FPS text "FPS: -".
    void reset();

    // --- Figures (any thread) ---
    FpsText fpsText() const;
    std::int32_t lastSecondFrames() const { return m_lastSecondFrames.load(std::memory_order_relaxed); }
    float frameTime() const { return m_frameTime.load(std::memory_order_relaxed); }
    std::int32_t drawCallsPerFrame() const { return m_drawCallsPerFrame.load(std::memory_order_relaxed); }
    std::uint32_t pendingFrames() const { return m_frameCounter.load(std::memory_order_relaxed); }
    std::uint32_t pendingDrawCalls() const { return m_drawCalls.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint32_t> m_frameCounter{0};
    std::atomic<std::uint32_t> m_drawCalls{0};
    std::atomic<std::int32_t> m_lastSecondFrames{0};
    std::atomic<bool> m_secondCompleted{false};  // false: the text reads "FPS: -"
    std::atomic<float> m_frameTime{0.0f};
    std::atomic<std::int32_t> m_drawCallsPerFrame{0};
};

// The process-wide record.
FrameStats& frameStats();

// The CTimer callback of the statistics timer; userData is the FrameStats.
void frameStatsCallback(int id, void* userData, int extra);

}  // namespace velmar
