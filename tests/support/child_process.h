// A program started by a test: its output goes to files, it is waited for
// with a time limit, and it is killed by its id when the test ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quask_test {

class ChildProcess {
public:
    struct Options {
        std::string workDir;                 // empty: the test's own
        // Changes to the test's environment: "NAME=value" sets or replaces
        // NAME, a bare "NAME" removes it.
        std::vector<std::string> extraEnv;
        // Empty: the program starts with that stream closed, as `>&-` leaves it.
        std::string stdoutPath = "/dev/null";
        std::string stderrPath = "/dev/null";
    };

    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    ~ChildProcess();  // kills the process if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    // Exit code; -1 when killed by a signal, -2 when still running after `ms`.
    int waitExit(int ms);

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
};

// Waits up to `ms` for the child `pid` to end and then reaps it (`reaped`
// set): its exit code, -1 after a signal, -2 while it still runs.
int reapWithin(pid_t pid, int ms, bool* reaped);

// A tool run to its end: the exit code (-1 when it did not exit normally, -2
// when it ran past the limit and was killed) and both streams.
struct RunResult {
    int code = -1;
    std::string out, err;
};
// Runs argv[0] (a path) with the rest as its arguments; the streams are
// captured in stdout.txt and stderr.txt of `dir`.
RunResult runToEnd(const std::vector<std::string>& argv, const std::string& dir, int ms = 300000);

// A whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
std::vector<std::uint8_t> readBytes(const std::string& path);
// Replaces the file's contents; false when it cannot be written.
bool writeFile(const std::string& path, const std::string& text);
bool writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
// Waits until the file holds `text`; false after `ms`.
bool waitForText(const std::string& path, const std::string& text, int ms);
std::string makeTempDir(const char* prefix);
void removeTree(const std::string& path);

}  // namespace quask_test
