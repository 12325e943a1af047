#include "client/core/timer.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/runtime.h"
#include "tests/support/log_socket.h"

namespace {

using namespace std::chrono_literals;
using velmar::CTimer;
using velmar::PerfClock;

class ClockEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(PerfClock::Create()); }
};
::testing::Environment* const g_clock =
    ::testing::AddGlobalTestEnvironment(new ClockEnvironment);

std::int64_t now() { return PerfClock::milliseconds(); }
constexpr std::int64_t kFar = 10 * 60 * 1000;  // never due while a test runs

// Values recorded by callbacks on the worker, read by the test thread.
class CallLog {
public:
    void add(int value) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_values.push_back(value);
        m_changed.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 2000ms) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, timeout, [&] { return m_values.size() >= count; });
    }
    std::vector<int> values() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_values;
    }
    std::size_t size() { return values().size(); }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<int> m_values;
};

struct Tagged {
    CallLog* log;
    int tag;
};

void logTag(int, void* userData, int extra) {
    auto* t = static_cast<Tagged*>(userData);
    t->log->add(extra == 0 ? t->tag : -1);
}

// Arbitrary work on the worker thread, given the firing timer's id.
struct Hook {
    std::function<void(int id)> fn;
};

void runHook(int id, void* userData, int extra) {
    EXPECT_EQ(extra, 0);
    static_cast<Hook*>(userData)->fn(id);
}

// Declared after the logs and hooks a test hands out, so the worker is gone
// before they are.
struct TimerGuard {
    CTimer* timer = CTimer::Create();
    ~TimerGuard() { CTimer::Destroy(timer); }
    CTimer* operator->() const { return timer; }
};

// Holds the worker inside a callback so the test can fill the queue first.
struct Gate {
    std::mutex lock;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;
    Hook hook{[this](int) {
        std::unique_lock<std::mutex> l(lock);
        entered = true;
        cv.notify_all();
        cv.wait(l, [this] { return open; });
    }};
    void close(CTimer* timer) {
        timer->Add(0, 0, 0, runHook, &hook);
        std::unique_lock<std::mutex> l(lock);
        ASSERT_TRUE(cv.wait_for(l, 2s, [this] { return entered; }));
    }
    void release() {
        std::lock_guard<std::mutex> l(lock);
        open = true;
        cv.notify_all();
    }
};

// --- Queue order ---

TEST(TimerOrder, EqualDueTimesFireInOrderAdded) {
    CallLog log;
    Tagged first{&log, 1}, second{&log, 2}, earlier{&log, 3};
    TimerGuard timer;
    const std::int64_t due = now() + 40;
    timer->Add(due, 0, 0, logTag, &first);
    timer->Add(due, 0, 0, logTag, &second);
    timer->Add(due - 20, 0, 0, logTag, &earlier);
    ASSERT_TRUE(log.waitFor(3));
    EXPECT_EQ(log.values(), (std::vector<int>{3, 1, 2}));
}

TEST(TimerOrder, HintedInsertsKeepDueOrderAndInsertionOrder) {
    // Due times straddle zero and share residues modulo 512, so inserts start
    // from hints that are due earlier, equal and later, some of them negative.
    while (now() < 300) std::this_thread::sleep_for(10ms);  // so every due time has passed
    constexpr int kCount = 400;
    constexpr int kOffsets[] = {0, 1, 7};
    CallLog log;
    std::vector<Tagged> tags(kCount);
    Gate gate;
    TimerGuard timer;
    gate.close(timer.timer);
    std::vector<std::pair<std::int64_t, int>> expected;
    std::uint32_t seed = 12345;
    for (int i = 0; i < kCount; ++i) {
        seed = seed * 1103515245u + 12345u;
        const std::uint32_t pick = seed >> 16;
        const std::int64_t due =
            -1300 + 512 * (static_cast<int>(pick % 4) - 1) + kOffsets[pick / 4 % 3];
        tags[i] = Tagged{&log, i};
        timer->Add(due, 0, 0, logTag, &tags[i]);
        expected.emplace_back(due, i);
    }
    gate.release();
    ASSERT_TRUE(log.waitFor(kCount));
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<int> order;
    for (const auto& e : expected) order.push_back(e.second);
    EXPECT_EQ(log.values(), order);
}

// --- Runs and cancelling ---

TEST(TimerRuns, CountedRunsCallExactlyThatOftenThenFreeTheRecord) {
    // runs 0 means one call. The record must be back on the free list by the
    // time a later timer fires: a timer added then takes the same id.
    const std::pair<int, int> cases[] = {{0, 1}, {1, 1}, {3, 3}};
    for (const auto& [runs, calls] : cases) {
        SCOPED_TRACE(runs);
        std::atomic<int> count{0};
        std::atomic<int> reused{-2};
        CallLog done;
        Hook after{[&](int) {
            reused = CTimer::instance()->Add(now() + kFar, 0, 0, nullptr, nullptr);
            done.add(1);
        }};
        Hook counted{[&](int) {
            if (++count == calls) CTimer::instance()->Add(0, 0, 0, runHook, &after);
        }};
        TimerGuard timer;
        ASSERT_EQ(CTimer::instance(), timer.timer);
        const int id = timer->Add(0, 1, runs, runHook, &counted);
        ASSERT_TRUE(done.waitFor(1));
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(count.load(), calls);
        EXPECT_EQ(reused.load(), id);
    }
}

TEST(TimerRuns, NegativeRunsRepeatUntilCancelled) {
    std::atomic<int> inner{0};
    std::atomic<int> outer{0};
    Hook selfCancel{[&](int id) {
        if (++inner == 12) CTimer::instance()->Cancel(id);
    }};
    Hook counted{[&](int) { ++outer; }};
    TimerGuard timer;
    timer->Add(0, 1, -5, runHook, &selfCancel);
    const int id = timer->Add(0, 1, -1, runHook, &counted);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while ((inner < 12 || outer < 12) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    timer->Cancel(id);
    const int atCancel = outer.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(inner.load(), 12);
    EXPECT_GE(atCancel, 12);
    EXPECT_LE(outer.load(), atCancel + 1);  // a call already running may finish
}

TEST(TimerRuns, RepeatWithPeriodZeroIsSlowedToOneCallPerMillisecond) {
    // Due again at once, it would run without pause on the worker.
    for (const std::int64_t period : {0, -5}) {
        SCOPED_TRACE(period);
        std::atomic<int> calls{0};
        Hook counted{[&](int) { ++calls; }};
        TimerGuard timer;
        const std::int64_t start = now();
        const int id = timer->Add(0, period, -1, runHook, &counted);
        std::this_thread::sleep_for(50ms);
        timer->Cancel(id);
        const std::int64_t elapsed = now() - start;
        EXPECT_GE(calls.load(), 1);
        EXPECT_LE(calls.load(), elapsed + 2);
    }
}

TEST(TimerRuns, CancelBeforeDueNeverCallsAndFreesTheIdAtDue) {
    std::atomic<int> cancelledCalls{0};
    std::atomic<int> reused{-2};
    CallLog done;
    Hook cancelled{[&](int) { ++cancelledCalls; }};
    Hook later{[&](int) {
        reused = CTimer::instance()->Add(now() + kFar, 0, 0, nullptr, nullptr);
        done.add(1);
    }};
    TimerGuard timer;
    const std::int64_t start = now();
    const int id = timer->Add(start + 100, 0, 0, runHook, &cancelled);
    timer->Cancel(id);
    timer->Add(start + 130, 0, 0, runHook, &later);
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(cancelledCalls.load(), 0);
    EXPECT_EQ(reused.load(), id);
}

TEST(TimerRuns, CancelWithUnknownIdChangesNothing) {
    CallLog log;
    Tagged tag{&log, 7};
    TimerGuard timer;
    timer->Add(now() + 20, 0, 0, logTag, &tag);
    for (int id : {-1, INT_MIN, timer->capacity(), INT_MAX, 0}) timer->Cancel(id);
    ASSERT_TRUE(log.waitFor(1));
    EXPECT_EQ(log.values(), std::vector<int>{7});
    EXPECT_EQ(timer->capacity(), 80);
}

// --- Pool ---

TEST(TimerPool, EightyFirstAddGrowsIdTableAndKeepsOldIds) {
    CallLog log;
    std::vector<Tagged> tags(81);
    Gate gate;
    TimerGuard timer;
    EXPECT_EQ(timer->capacity(), 80);
    gate.close(timer.timer);  // takes id 79
    std::vector<int> ids;
    for (int i = 0; i < 81; ++i) {
        tags[i] = Tagged{&log, i};
        ids.push_back(timer->Add(0, 0, 0, logTag, &tags[i]));
    }
    EXPECT_EQ(timer->capacity(), 160);
    // The last record made is handed out first.
    EXPECT_EQ(ids[0], 78);
    EXPECT_EQ(ids[78], 0);
    EXPECT_EQ(ids[79], 159);
    EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), 81u);
    // Cancel reaches ids from before and after the growth.
    std::vector<int> expected;
    for (int i = 0; i < 81; ++i) {
        if (i % 2 == 0) timer->Cancel(ids[i]);
        else expected.push_back(i);
    }
    gate.release();
    ASSERT_TRUE(log.waitFor(expected.size()));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.values(), expected);
}

// --- Worker ---

TEST(TimerWorker, CallbackMayAddAndCancelTimers) {
    std::atomic<int> spawnedCalls{0};
    std::atomic<int> farCalls{0};
    CallLog done;
    Hook spawned{[&](int) {
        if (++spawnedCalls == 20) done.add(1);
    }};
    Hook farAway{[&](int) { ++farCalls; }};
    int calls = 0;
    Hook parent{[&](int id) {
        CTimer* timer = CTimer::instance();
        timer->Add(0, 0, 0, runHook, &spawned);
        timer->Cancel(timer->Add(now() + 5, 0, 0, runHook, &farAway));
        if (++calls == 20) timer->Cancel(id);
    }};
    TimerGuard timer;
    timer->Add(0, 1, -1, runHook, &parent);
    ASSERT_TRUE(done.waitFor(1));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(spawnedCalls.load(), 20);
    EXPECT_EQ(farCalls.load(), 0);
}

TEST(TimerWorker, EarlierAddWakesSleepingWorker) {
    CallLog log;
    Tagged far{&log, 1}, nearA{&log, 2}, nearB{&log, 3};
    TimerGuard timer;
    // Empty queue: the worker sleeps until an Add.
    std::this_thread::sleep_for(30ms);
    timer->Add(now() + 10000, 0, 0, logTag, &far);
    std::this_thread::sleep_for(30ms);
    // Now it sleeps towards the timer 10 s away.
    timer->Add(now() + 20, 0, 0, logTag, &nearA);
    ASSERT_TRUE(log.waitFor(1, 1000ms));
    std::this_thread::sleep_for(30ms);
    timer->Add(now() + 20, 0, 0, logTag, &nearB);
    ASSERT_TRUE(log.waitFor(2, 1000ms));
    EXPECT_EQ(log.values(), (std::vector<int>{2, 3}));
}

TEST(TimerWorker, DueTimesAndPeriodsBeyond32BitsStayFar) {
    CallLog log;
    Tagged far32{&log, 1}, far31{&log, 2}, near{&log, 3}, longPeriod{&log, 4};
    TimerGuard timer;
    const std::int64_t start = now();
    timer->Add(start + (std::int64_t{1} << 32), 0, 0, logTag, &far32);
    timer->Add(start + (std::int64_t{1} << 31) + 5, 0, 0, logTag, &far31);
    timer->Add(0, std::int64_t{1} << 33, -1, logTag, &longPeriod);
    timer->Add(start + 20, 0, 0, logTag, &near);
    ASSERT_TRUE(log.waitFor(2));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(log.values(), (std::vector<int>{4, 3}));
}

// --- Lifecycle ---

TEST(TimerLifecycle, DestroyWithQueuedTimersIsPromptAndCallsNothingAfter) {
    std::atomic<int> calls{0};
    Hook counted{[&](int) { ++calls; }};
    CTimer* timer = CTimer::Create();
    ASSERT_EQ(CTimer::instance(), timer);
    CTimer* second = CTimer::Create();
    EXPECT_EQ(CTimer::instance(), timer);
    CTimer::Destroy(second);
    timer->Add(0, 1, -1, runHook, &counted);
    for (int i = 0; i < 100; ++i) timer->Add(now() + 10000 + i, 0, 0, runHook, &counted);
    while (calls < 3) std::this_thread::sleep_for(1ms);
    const auto before = std::chrono::steady_clock::now();
    CTimer::Destroy(timer);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(CTimer::instance(), nullptr);
    const int atDestroy = calls.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(calls.load(), atDestroy);
}

// The death-test child logs into its own directory and removes it on exit.
std::string g_childLogDir;
// The address space is given back first: removing needs memory of its own.
void removeChildLogDir() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_AS, &limit);
    }
    std::error_code ec;
    std::filesystem::remove_all(g_childLogDir, ec);
}

void createTimerWithoutRoomForAThread() {
    setenv("QUASK_NONINTERACTIVE", "1", 1);
    std::string pattern = ::testing::TempDir() + "velmar_timer_XXXXXX";
    if (!mkdtemp(pattern.data())) return;
    g_childLogDir = pattern;
    velmar::registerExitHandler(removeChildLogDir);
    // The log's own thread allocates from the main heap: an arena of its
    // own, reserved while the size below is read, would leave room for a
    // thread stack after all.
    mallopt(M_ARENA_MAX, 1);
    velmar::CLOG::Create(g_childLogDir, quask_test::quietLogPort());
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    // Two more MiB of address space hold the records but no thread stack.
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (2u << 20);
    setrlimit(RLIMIT_AS, &limit);
    CTimer::Create();
}

TEST(TimerLifecycle, WorkerThatCannotStartEndsProcess) {
    EXPECT_EXIT(createTimerWithoutRoomForAThread(), ::testing::ExitedWithCode(1),
                "CTimer => Cannot Create Worker\\.");
}

// A fatal error inside a callback ends the process from the worker thread:
// the exit handlers, which destroy the timer, run there and must finish.
void destroyTimerAtExit() {
    CTimer::Destroy(CTimer::instance());
    std::fputs("handlers done\n", stderr);
}
void exitFromCallback(int, void*, int) { velmar::exitProcess(1); }

TEST(TimerLifecycle, ExitFromACallbackRunsTheHandlersAndEndsWithItsCode) {
    EXPECT_EXIT(
        {
            velmar::registerExitHandler(destroyTimerAtExit);
            CTimer::Create()->Add(0, 0, 0, exitFromCallback, nullptr);
            for (;;) std::this_thread::sleep_for(10ms);
        },
        ::testing::ExitedWithCode(1), "^handlers done\n$");
}

// The main thread ends the process while the worker, in a callback, also
// wants to: the handlers' Destroy may not wait for the worker for ever. Each
// side waits for the other's step, so no sleep decides who exits first.
std::atomic<bool> g_inCallback{false}, g_mainExiting{false};
void markMainExiting() { g_mainExiting = true; }
void exitFromCallbackOnceMainExits(int, void*, int) {
    g_inCallback = true;
    while (!g_mainExiting) std::this_thread::sleep_for(1ms);
    velmar::exitProcess(3);
}

TEST(TimerLifecycle, ExitOnTwoThreadsAtOnceDoesNotHang) {
    EXPECT_EXIT(
        {
            velmar::registerExitHandler(destroyTimerAtExit);
            velmar::registerExitHandler(markMainExiting);  // the last registered runs first
            CTimer::Create()->Add(0, 0, 0, exitFromCallbackOnceMainExits, nullptr);
            while (!g_inCallback) std::this_thread::sleep_for(1ms);
            velmar::exitProcess(2);
        },
        ::testing::ExitedWithCode(2), "^handlers done\n$");
}

// --- Concurrency ---

TEST(TimerStress, TwoThreadsAddAndCancelConcurrently) {
    constexpr int kPerThread = 400;
    std::vector<std::atomic<int>> hits(2 * kPerThread);
    std::atomic<int> fired{0};
    std::vector<Hook> hooks;
    hooks.reserve(2 * kPerThread);
    for (int i = 0; i < 2 * kPerThread; ++i)
        hooks.push_back(Hook{[&, i](int) {
            ++hits[i];
            ++fired;
        }});
    TimerGuard timer;
    std::int64_t lastCancelledDue[2] = {0, 0};
    auto work = [&](int first) {
        std::int64_t& last = lastCancelledDue[first / kPerThread];
        for (int i = first; i < first + kPerThread; ++i) {
            if (i % 2 == 0) {
                timer->Add(now() + i % 3, 0, 0, runHook, &hooks[i]);
            } else {
                const std::int64_t due = now() + 60;
                timer->Cancel(timer->Add(due, 0, 0, runHook, &hooks[i]));
                last = due;
            }
        }
    };
    std::thread a(work, 0);
    std::thread b(work, kPerThread);
    a.join();
    b.join();
    const std::int64_t settled = std::max(lastCancelledDue[0], lastCancelledDue[1]) + 30;
    while (now() < settled) std::this_thread::sleep_for(5ms);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (fired < kPerThread && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(fired.load(), kPerThread);
    for (int i = 0; i < 2 * kPerThread; ++i)
        ASSERT_EQ(hits[i].load(), i % 2 == 0 ? 1 : 0) << "timer " << i;
}

}  // namespace
