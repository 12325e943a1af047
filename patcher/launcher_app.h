// The launcher program's start-up and end: the single-instance lock, the
// game directory, the revision record, the worker (a full check when one was
// asked for, else the patch run) and the exit code. The front end is the
// console for now. Called once, from main().
#pragma once

#include <string>

namespace quillon {

struct LaunchOptions {
    bool console = false;  // --console
};

// Unknown arguments are reported on standard error and ignored.
LaunchOptions parseLaunchArgs(int argc, char** argv);

// $XDG_RUNTIME_DIR/QuaskPatchClient.lock, else /tmp/QuaskPatchClient-<uid>.lock.
std::string instanceLockPath();

// The launcher's named mutex: an exclusive flock on the lock file, held for
// the life of the object (the process).
class InstanceLock {
public:
    enum Result { Acquired, HeldElsewhere, Unavailable };
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    Result acquire(const std::string& path);

private:
    int m_fd = -1;
};

// The whole program; returns the exit code: 0 after a normal end (also when
// another launcher runs or the server is under maintenance), 1 after an
// error, which has been shown in a box.
int runLauncher(const LaunchOptions& options, const char* selfLink = "/proc/self/exe");

}  // namespace quillon
