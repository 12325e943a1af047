#include "shared/process_start.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace quask {

namespace {

// posix_spawn objects are freed on every path out.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool haveActions = false;
    bool haveAttributes = false;
    ~SpawnSetup() {
        if (haveActions) posix_spawn_file_actions_destroy(&actions);
        if (haveAttributes) posix_spawnattr_destroy(&attributes);
    }
};

// `quiet`: the child reads and writes /dev/null instead of our descriptors.
int spawn(const std::vector<std::string>& argv, const std::string& workingDir, bool quiet, pid_t& pid) {
    if (argv.empty() || argv[0].empty()) return EINVAL;
    SpawnSetup setup;
    int error = posix_spawn_file_actions_init(&setup.actions);
    if (error != 0) return error;
    setup.haveActions = true;
    for (int fd = 0; quiet && fd <= 2; ++fd) {
        error = posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
        if (error != 0) return error;
    }
    if (!workingDir.empty()) {
        error = posix_spawn_file_actions_addchdir_np(&setup.actions, workingDir.c_str());
        if (error != 0) return error;
    }
    error = posix_spawnattr_init(&setup.attributes);
    if (error != 0) return error;
    setup.haveAttributes = true;
    // The caller's threads may block signals or ignore SIGPIPE; the child
    // starts as if run from a shell.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    return posix_spawn(&pid, argv[0].c_str(), &setup.actions, &setup.attributes, args.data(),
                       environ);
}

}  // namespace

int startProcess(const std::vector<std::string>& argv, const std::string& workingDir,
                 pid_t& pid) {
    return spawn(argv, workingDir, false, pid);
}

bool runsToSuccess(const std::vector<std::string>& argv, const std::string& workingDir, int timeoutMs) {
    pid_t pid = 0;
    if (spawn(argv, workingDir, true, pid) != 0) return false;
    const struct timespec pause {0, 5 * 1000 * 1000};
    for (int waited = 0;; waited += 5) {
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (got < 0 && errno != EINTR) return false;
        if (waited >= timeoutMs) break;
        nanosleep(&pause, nullptr);
    }
    kill(pid, SIGKILL);
    int code = 0;
    waitProcess(pid, code);
    return false;
}

ProcessEnd decodeWaitStatus(int status, int& code) {
    if (WIFEXITED(status)) {
        code = WEXITSTATUS(status);
        return ProcessEnd::Exited;
    }
    if (WIFSIGNALED(status)) {
        code = WTERMSIG(status);
        return ProcessEnd::Signalled;
    }
    code = 0;
    return ProcessEnd::Failed;
}

ProcessEnd waitProcess(pid_t pid, int& code) {
    int status = 0;
    for (;;) {
        const pid_t got = waitpid(pid, &status, 0);
        if (got == pid) return decodeWaitStatus(status, code);
        if (got < 0 && errno != EINTR) {
            code = 0;
            return ProcessEnd::Failed;
        }
    }
}

}  // namespace quask
