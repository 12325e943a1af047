// PerfClock: the client's one time base, created first at start-up.
//
// Log time stamps are seconds since creation; timer due times are whole
// milliseconds since creation. The clock is a process-wide singleton; it is
// read from any thread once created and released last at shutdown.
#pragma once

#include <cstdint>

namespace velmar {

class PerfClock {
public:
    // Reads the counter frequency and the start count. False when the
    // platform has no usable monotonic counter.
    static bool Create();
    static void Release();
    static bool isCreated();

    static std::int64_t frequency();     // counts per second
    static std::int64_t ticksPerMs();    // frequency / 1000
    static std::int64_t startCount();
    static std::int64_t counterNow();

    static double seconds();             // since Create
    static std::int64_t milliseconds();  // since Create, truncated
};

}  // namespace velmar
