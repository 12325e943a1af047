#include "client/core/perf_clock.h"

#include <time.h>

#include <atomic>

namespace velmar {

namespace {

constexpr std::int64_t kFrequency = 1000000000;  // CLOCK_MONOTONIC counts nanoseconds
std::atomic<std::int64_t> g_start{0};
std::atomic<bool> g_created{false};

bool readCounter(std::int64_t* out) {
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
    *out = static_cast<std::int64_t>(ts.tv_sec) * kFrequency + ts.tv_nsec;
    return true;
}

}  // namespace

bool PerfClock::Create() {
    std::int64_t now;
    if (!readCounter(&now)) return false;
    g_start.store(now);
    g_created.store(true);
    return true;
}

void PerfClock::Release() { g_created.store(false); }
bool PerfClock::isCreated() { return g_created.load(); }
std::int64_t PerfClock::frequency() { return kFrequency; }
std::int64_t PerfClock::ticksPerMs() { return kFrequency / 1000; }
std::int64_t PerfClock::startCount() { return g_start.load(); }

std::int64_t PerfClock::counterNow() {
    std::int64_t now = 0;
    readCounter(&now);
    return now;
}

double PerfClock::seconds() {
    return static_cast<double>(counterNow() - startCount()) / static_cast<double>(kFrequency);
}

std::int64_t PerfClock::milliseconds() {
    return (counterNow() - startCount()) / ticksPerMs();
}

}  // namespace velmar
