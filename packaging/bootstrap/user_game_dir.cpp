#include "packaging/bootstrap/user_game_dir.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "shared/program_file.h"

// The install layout's path from the bootstrap's folder to the launcher's.
#ifndef QUASK_PACKAGED_FROM_BOOTSTRAP
#define QUASK_PACKAGED_FROM_BOOTSTRAP "../lib/quask"
#endif

namespace fs = std::filesystem;

namespace quask::bootstrap {

namespace {

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir || !*found->pw_dir) {
        return "";
    }
    return found->pw_dir;
}

std::string failure(const std::string& what, int code) { return what + ": " + std::strerror(code); }

bool copyAll(int from, int to) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        for (ssize_t at = 0; at < got;) {
            const ssize_t put = ::write(to, buffer.data() + at, static_cast<std::size_t>(got - at));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            at += put;
        }
    }
}

// Writes the whole copy to `staging` and flushes it to the disk.
bool writeCopy(const std::string& source, const std::string& staging, std::string* error) {
    const int from = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0) {
        *error = failure("cannot read the installed launcher " + source, errno);
        return false;
    }
    const int to = ::open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (to < 0) {
        *error = failure("cannot write " + staging, errno);
        ::close(from);
        return false;
    }
    const bool copied = copyAll(from, to);
    const int copyErrno = errno;
    const bool flushed = copied && ::fsync(to) == 0;
    const int flushErrno = errno;
    ::close(from);
    const bool closed = ::close(to) == 0;
    if (copied && flushed && closed) return true;
    *error = failure("cannot write " + staging, !copied ? copyErrno : !flushed ? flushErrno : errno);
    ::unlink(staging.c_str());
    return false;
}

}  // namespace

std::string userGameDirectory() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/') return std::string(data) + "/quask";
    const std::string home = homeDirectory();
    if (home.empty()) return "";
    return home + "/.local/share/quask";
}

std::string packagedProgramDirectory(const std::string& bootstrapDirectory) {
    return (fs::path(bootstrapDirectory) / QUASK_PACKAGED_FROM_BOOTSTRAP).lexically_normal().string();
}

namespace {

// A launcher the bootstrap can hand over to: a program of this machine
// that it may run.
bool canStart(const std::string& launcher) {
    const int fd = ::open(launcher.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool program = quask::checkProgramFile(fd) == quask::ProgramCheck::Runnable;
    ::close(fd);
    return program && ::access(launcher.c_str(), X_OK) == 0;
}

}  // namespace

SeedStatus seedGameDirectory(const std::string& gameDir, const std::string& packagedLauncher,
                             std::string* error) {
    const std::string launcher = gameDir + "/" + kLauncherName;
    struct stat st {};
    const bool present = ::lstat(launcher.c_str(), &st) == 0;
    if (present && canStart(launcher)) return SeedStatus::Present;

    std::error_code ec;
    fs::create_directories(gameDir, ec);
    if (ec) {
        *error = "cannot create the game directory " + gameDir + ": " + ec.message();
        // A link whose folder is gone (a drive not mounted) reads as "File
        // exists": say where it leads, and make nothing there ourselves.
        std::error_code linkError;
        if (fs::is_symlink(gameDir, linkError) && !fs::exists(gameDir, linkError))
            *error = "cannot create the game directory " + gameDir + ": it is a link to " +
                     fs::read_symlink(gameDir, linkError).string() + ", which does not exist";
        return SeedStatus::Failed;
    }
    const std::string staging = gameDir + "/." + kLauncherName + ".seed-" + std::to_string(::getpid());
    ::unlink(staging.c_str());  // a leftover of a bootstrap that died with our process id
    if (!writeCopy(packagedLauncher, staging, error)) return SeedStatus::Failed;

    // A broken launcher is replaced whole in one step.
    if (present) {
        if (::rename(staging.c_str(), launcher.c_str()) == 0) return SeedStatus::Repaired;
        *error = failure("cannot replace the launcher in " + gameDir, errno);
        ::unlink(staging.c_str());
        return SeedStatus::Failed;
    }
    // link() never replaces: a launcher that appeared meanwhile stays.
    int linked = ::link(staging.c_str(), launcher.c_str());
    const int linkErrno = errno;
    if (linked != 0 && linkErrno != EEXIST) {
        // Some file systems have no hard links; a rename also lands whole.
        linked = ::rename(staging.c_str(), launcher.c_str());
        if (linked != 0) {
            *error = failure("cannot place the launcher in " + gameDir, errno);
            ::unlink(staging.c_str());
            return SeedStatus::Failed;
        }
        return SeedStatus::Seeded;
    }
    ::unlink(staging.c_str());
    return linked == 0 ? SeedStatus::Seeded : SeedStatus::Present;
}

}  // namespace quask::bootstrap
