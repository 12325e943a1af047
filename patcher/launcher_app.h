// The launcher program's start-up and end: the single-instance lock, the
// front end (the GTK dialog, or the console with --console or without a
// display), the game directory, the revision record, the worker (a full
// check when one was asked for, else the patch run), the game start and the
// exit code. Called once, from main(); with the dialog it ends the process
// itself and does not return.
#pragma once

#include <optional>
#include <string>

namespace quillon {

struct LaunchOptions {
    bool console = false;  // --console
    bool noStart = false;  // --no-start: the console does not start the game
};

// Reads --console and --no-start into `options`. Returns the exit code when
// the command line ends the program before anything starts: 0 after --help
// or --version, 2 after any other option. Words that are not options are
// reported on standard error and ignored, as shortcuts may pass anything.
std::optional<int> parseLaunchArgs(int argc, char** argv, LaunchOptions* options);

// $XDG_RUNTIME_DIR/QuaskPatchClient.lock, else /tmp/QuaskPatchClient-<uid>.lock.
std::string instanceLockPath();
// The lock of the game directory itself, data/quillon.lock below it: two
// sessions have two runtime directories but patch one game directory.
constexpr char kGameLockName[] = "/data/quillon.lock";

// The launcher's named mutex: an exclusive flock on the lock file, held for
// the life of the object (the process).
class InstanceLock {
public:
    enum Result { Acquired, HeldElsewhere, Unavailable };
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // A link or another user's file at `path` (a shared /tmp) is no lock:
    // Unavailable, and the launcher goes on.
    Result acquire(const std::string& path);
    // The lock file of the game directory (made with data/ when missing);
    // a link planted at its name is replaced, never followed.
    Result acquireInGame(const std::string& gameDir);

private:
    int m_fd = -1;
};

// The whole program; returns the exit code: 0 after a normal end (also when
// another launcher runs, in this session or on this game directory, or the
// server is under maintenance), 1 after an error, which has been shown in a
// box (a malformed QUILLON_PUBLIC_KEY is one), and after a game that could
// not be started. The console starts the game after a run that ended well.
int runLauncher(const LaunchOptions& options, const char* selfLink = "/proc/self/exe");

}  // namespace quillon
