// Small helpers of the starter's tests: temporary directories, files, and
// waiting for a child with a time limit (a hung child is killed, never left).
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/child_process.h"

namespace starter_test {

inline std::string makeTempDir() {
    std::string pattern = ::testing::TempDir() + "quask_starter_XXXXXX";
    if (!mkdtemp(&pattern[0])) return std::string();
    char resolved[4096];
    // The children report real paths; compare like with like.
    return realpath(pattern.c_str(), resolved) ? std::string(resolved) : pattern;
}

using quask_test::readFile;
using quask_test::writeFile;

// Reaps `pid` within `ms`; on time-out kills and reaps it and returns false.
inline bool waitExit(pid_t pid, int ms, int& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

// One environment variable set for a scope, restored after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_had = old != nullptr;
        if (m_had) m_old = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_had) setenv(m_name.c_str(), m_old.c_str(), 1);
        else unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

inline const char* kFakeClient = QUASK_BIN_DIR "/tests/quask_fake_client";

}  // namespace starter_test
