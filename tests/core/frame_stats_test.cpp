// The once-a-second frame statistics: the FPS text, the figures a second with
// no frames must leave alone, and counts taken across threads.
#include "client/core/frame_stats.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using velmar::FrameStats;

std::string text(const FrameStats& stats) {
    const velmar::FpsText t = stats.fpsText();
    EXPECT_EQ(t.length, static_cast<int>(std::string(t.text).size()));
    return t.text;
}

void countFrames(FrameStats& stats, int frames, int drawCallsEach) {
    for (int f = 0; f < frames; ++f) {
        stats.countFrame();
        for (int d = 0; d < drawCallsEach; ++d) stats.countDrawCall();
    }
}

TEST(FrameStats, TextReadsDashUntilTheFirstSecondHasPassed) {
    FrameStats stats;
    stats.reset();
    countFrames(stats, 57, 0);
    EXPECT_EQ(text(stats), "FPS: -");
    stats.completeSecond();
    EXPECT_EQ(text(stats), "FPS: 57");
    EXPECT_EQ(stats.fpsText().length, 7);
    // The reset before the main loop starts over with the dash.
    stats.reset();
    EXPECT_EQ(text(stats), "FPS: -");
    EXPECT_EQ(stats.frameTime(), 0.0f);
    EXPECT_EQ(stats.pendingFrames(), 0u);
}

TEST(FrameStats, SecondWithFramesSetsFrameTimeAndIntegerDrawCallAverage) {
    FrameStats stats;
    stats.reset();
    for (int f = 0; f < 4; ++f) stats.countFrame();
    for (int d = 0; d < 11; ++d) stats.countDrawCall();
    stats.completeSecond();
    EXPECT_EQ(stats.lastSecondFrames(), 4);
    EXPECT_EQ(stats.frameTime(), 0.25f);
    EXPECT_EQ(stats.drawCallsPerFrame(), 2);  // 11 / 4, truncated
    EXPECT_EQ(stats.pendingFrames(), 0u);
    EXPECT_EQ(stats.pendingDrawCalls(), 0u);
}

TEST(FrameStats, SecondWithoutFramesWritesZeroAndKeepsFrameTimeAndAverage) {
    FrameStats stats;
    stats.reset();
    countFrames(stats, 8, 3);
    stats.completeSecond();
    ASSERT_EQ(stats.frameTime(), 0.125f);
    ASSERT_EQ(stats.drawCallsPerFrame(), 3);
    // Draw calls without a frame (a stalled loop) stay for the next second.
    for (int d = 0; d < 5; ++d) stats.countDrawCall();
    stats.completeSecond();
    EXPECT_EQ(text(stats), "FPS: 0");
    EXPECT_EQ(stats.lastSecondFrames(), 0);
    EXPECT_EQ(stats.frameTime(), 0.125f);
    EXPECT_EQ(stats.drawCallsPerFrame(), 3);
    EXPECT_EQ(stats.pendingDrawCalls(), 5u);
    // They count towards the next second that has frames.
    countFrames(stats, 1, 0);
    stats.completeSecond();
    EXPECT_EQ(stats.drawCallsPerFrame(), 5);
}

TEST(FrameStats, TimerCallbackCompletesTheSecondOfItsRecord) {
    FrameStats stats;
    stats.reset();
    countFrames(stats, 1234, 0);
    velmar::frameStatsCallback(7, &stats, 0);
    EXPECT_EQ(text(stats), "FPS: 1234");
}

TEST(FrameStats, NoCountIsLostBetweenCountingThreadAndTimerThread) {
    FrameStats stats;
    stats.reset();
    constexpr int kThreads = 3;
    constexpr int kFramesEach = 200000;
    std::atomic<int> running{kThreads};
    std::vector<std::thread> counters;
    for (int t = 0; t < kThreads; ++t) {
        counters.emplace_back([&] {
            countFrames(stats, kFramesEach, 1);
            running.fetch_sub(1);
        });
    }
    // The timer side takes the counters over and over while they grow.
    std::int64_t frames = 0;
    std::int64_t seconds = 0;
    while (running.load() > 0) {
        stats.completeSecond();
        frames += stats.lastSecondFrames();
        ++seconds;
    }
    for (std::thread& t : counters) t.join();
    stats.completeSecond();
    frames += stats.lastSecondFrames();
    EXPECT_EQ(frames, static_cast<std::int64_t>(kThreads) * kFramesEach);
    EXPECT_GT(seconds, 0);
    EXPECT_EQ(stats.pendingFrames(), 0u);
}

}  // namespace
