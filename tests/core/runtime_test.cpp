// Heap contract and exit routine.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "client/core/runtime.h"

using namespace velmar;

namespace {

// A raw allocator that refuses the next `g_failures` requests.
int g_failures = 0;
int g_sleeps = 0;
unsigned g_lastSleep = 0;
void* failingAlloc(std::size_t n) {
    if (g_failures > 0) {
        --g_failures;
        return nullptr;
    }
    return std::malloc(n);
}
void countingSleep(unsigned ms) {
    ++g_sleeps;
    g_lastSleep = ms;
}

class Heap : public ::testing::Test {
protected:
    void SetUp() override {
        g_failures = 0;
        g_sleeps = 0;
        setRawAllocator(RawAllocator{failingAlloc, std::free, countingSleep});
    }
    void TearDown() override { setRawAllocator(defaultRawAllocator()); }
};

}  // namespace

TEST_F(Heap, BlocksAreSixteenByteAlignedForEverySize) {
    std::vector<void*> blocks;
    for (std::size_t size : {0, 1, 3, 15, 16, 17, 28, 100, 4095, 1 << 20}) {
        void* p = allocate(size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u) << size;
        std::memset(p, 0xAB, size);  // the whole requested size is usable
        blocks.push_back(p);
    }
    for (void* p : blocks) release(p);
    release(nullptr);
}

TEST_F(Heap, ReallocateCopiesTheSmallerOfOldAndNewSize) {
    auto* p = static_cast<unsigned char*>(allocate(64));
    for (int i = 0; i < 64; ++i) p[i] = static_cast<unsigned char>(i);
    p = static_cast<unsigned char*>(reallocate(p, 4096));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], i);
    p = static_cast<unsigned char*>(reallocate(p, 10));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(p[i], i);
    release(p);
    void* fresh = reallocate(nullptr, 32);  // a null block allocates
    EXPECT_NE(fresh, nullptr);
    release(fresh);
}

TEST_F(Heap, AllocationThatSucceedsOnTheEleventhAttemptReturns) {
    g_failures = 10;
    void* p = allocate(100);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(g_sleeps, 10);
    EXPECT_EQ(g_lastSleep, 80u);
    release(p);
}

TEST_F(Heap, ElevenRefusalsShowTheOomBoxOnceAndExitOne) {
    EXPECT_EXIT(
        {
            g_failures = 11;
            allocate(100);
        },
        ::testing::ExitedWithCode(1), "^OOM: _stdc_malloc => Out of memory.\n\n$");
}

TEST_F(Heap, SizeWhoseOverheadWrapsTakesTheOomPath) {
    EXPECT_EXIT(allocate(SIZE_MAX - 3), ::testing::ExitedWithCode(1), "OOM: _stdc_malloc");
    EXPECT_EXIT(reallocate(allocate(8), SIZE_MAX), ::testing::ExitedWithCode(1),
                "OOM: _stdc_realloc => Out of memory \\(copy memblock method\\)");
}

TEST_F(Heap, ReallocateDoesNotRetry) {
    void* p = allocate(16);
    EXPECT_EXIT(
        {
            g_failures = 1;
            reallocate(p, 64);
        },
        ::testing::ExitedWithCode(1), "_stdc_realloc => Out of memory \\(copy memblock method\\)");
    release(p);
}

// --- Exit ---

namespace {
void handlerA() { std::fputs("A", stderr); }
void handlerB() { std::fputs("B", stderr); }
void handlerC() { std::fputs("C", stderr); }
void handlerDot() { std::fputs(".", stderr); }
void handlerExitsAgain() {
    std::fputs("X", stderr);
    exitProcess(7);
}
}  // namespace

TEST(Exit, HandlersRunLastRegisteredFirstThenTheCodeIsReturned) {
    EXPECT_EXIT(
        {
            registerExitHandler(handlerA);
            registerExitHandler(handlerB);
            registerExitHandler(handlerC);
            exitProcess(3);
        },
        ::testing::ExitedWithCode(3), "^CBA$");
}

TEST(Exit, SixtyFifthHandlerIsIgnored) {
    EXPECT_EXIT(
        {
            for (int i = 0; i < kMaxExitHandlers; ++i) registerExitHandler(handlerDot);
            registerExitHandler(handlerA);
            std::fprintf(stderr, "%d:", exitHandlerCount());
            exitProcess(0);
        },
        ::testing::ExitedWithCode(0), "^64:\\.{64}$");
}

TEST(Exit, HandlerThatExitsAgainLetsTheRemainingHandlersRun) {
    // A failure inside the shutdown must neither loop nor skip the handlers
    // registered before the failing one.
    EXPECT_EXIT(
        {
            registerExitHandler(handlerA);
            registerExitHandler(handlerExitsAgain);
            registerExitHandler(handlerC);
            exitProcess(1);
        },
        ::testing::ExitedWithCode(7), "^CXA$");
}
