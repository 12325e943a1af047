// A stop for crash tests: when QUILLON_PAUSE_AT names a point of the run, the
// launcher says "paused at <point>" on standard error and waits there until
// it is killed, so a test can end it at exactly that moment. The variable is
// read once; without it a call costs one comparison. Any thread may call it.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillon {

inline void pauseHereForTest(const char* point) {
    static const char* const at = std::getenv("QUILLON_PAUSE_AT");
    if (!at || std::strcmp(at, point) != 0) return;
    std::fprintf(stderr, "paused at %s\n", point);
    std::fflush(stderr);
    for (;;) ::pause();
}

}  // namespace quillon
