#include "shared/replacing_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "shared/posix_io.h"

namespace quask {

namespace {

constexpr char kTemporaryPrefix[] = ".quask-";
constexpr char kTemporarySuffix[] = ".tmp";

// A fresh temporary in `dirFd` (a rename never crosses file systems). A name
// of its own is short, so a long target name cannot make it too long, and
// two writers never share one.
int createTemporaryAt(int dirFd, const std::string& leaf, const ReplacingFile::Temporary& t,
                      std::string* tmpLeaf) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    if (t.suffix) {
        *tmpLeaf = leaf + t.suffix;
        if (::unlinkat(dirFd, tmpLeaf->c_str(), 0) != 0 && errno != ENOENT) return -1;
        return ::openat(dirFd, tmpLeaf->c_str(), kFlags, t.mode);
    }
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *tmpLeaf = ownTemporaryName(std::to_string(counter++));
        const int fd = ::openat(dirFd, tmpLeaf->c_str(), kFlags, t.mode);
        // Locked while it is written: a writer whose process id means
        // nothing here (another PID namespace, another host on a network
        // drive) still shows that the file is in use.
        if (fd >= 0) (void)::flock(fd, LOCK_EX | LOCK_NB);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

std::string ownTemporaryName(const std::string& tag) {
    return kTemporaryPrefix + std::to_string(::getpid()) + "-" + tag + kTemporarySuffix;
}

bool isAbandonedTemporary(const std::string& leaf) {
    const std::size_t prefix = sizeof kTemporaryPrefix - 1, suffix = sizeof kTemporarySuffix - 1;
    if (leaf.size() <= prefix + suffix || leaf.compare(0, prefix, kTemporaryPrefix) != 0 ||
        leaf.compare(leaf.size() - suffix, suffix, kTemporarySuffix) != 0)
        return false;
    std::size_t end = prefix;
    while (end < leaf.size() && leaf[end] >= '0' && leaf[end] <= '9' && end - prefix < 10) ++end;
    if (end == prefix || end >= leaf.size() || leaf[end] != '-') return false;
    const long pid = std::strtol(leaf.substr(prefix, end - prefix).c_str(), nullptr, 10);
    // A process id that is in use may be the writer, or one that reused its
    // number: either way the file is left alone.
    return pid > 0 && pid <= INT32_MAX && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

bool removeIfAbandoned(int dirFd, const std::string& leaf) {
    if (!isAbandonedTemporary(leaf)) return false;
    // A network drive emulates the lock with one that needs the file open
    // for writing (EBADF otherwise): read-only is only the fallback.
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd file(::openat(dirFd, leaf.c_str(), O_RDWR | kFlags));
    if (!file.valid()) file.reset(::openat(dirFd, leaf.c_str(), O_RDONLY | kFlags));
    if (file.valid() && ::flock(file.get(), LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EBADF))
        return false;
    return ::unlinkat(dirFd, leaf.c_str(), 0) == 0;
}

void removeAbandonedTemporariesBeside(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) removeIfAbandoned(::dirfd(d), e->d_name);
    ::closedir(d);
}

ReplacingFile::~ReplacingFile() {
    discard();
    if (m_dirFd >= 0) ::close(m_dirFd);
}

void ReplacingFile::discard() {
    const int failure = errno;  // the caller's message tells why the write failed, not the clean-up
    if (m_fd >= 0) ::close(m_fd);
    if (!m_tmpLeaf.empty() && m_dirFd >= 0) ::unlinkat(m_dirFd, m_tmpLeaf.c_str(), 0);
    m_fd = -1;
    m_tmpLeaf.clear();
    errno = failure;
}

bool ReplacingFile::open(const std::string& path) { return open(path, Temporary()); }

bool ReplacingFile::openAt(int dirFd, const std::string& leaf) { return openAt(dirFd, leaf, Temporary()); }

bool ReplacingFile::open(const std::string& path, const Temporary& temporary) {
    if (path.empty() || path.back() == '/') return false;
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return false;
    const bool ok = openAt(dirFd, slash == std::string::npos ? path : path.substr(slash + 1), temporary);
    ::close(dirFd);
    return ok;
}

bool ReplacingFile::openAt(int dirFd, const std::string& leaf, const Temporary& temporary) {
    discard();
    if (m_dirFd >= 0) ::close(m_dirFd);
    m_dirFd = -1;
    m_failed = false;
    m_mode = 0;
    m_leaf = leaf;
    if (leaf.empty() || leaf.find('/') != std::string::npos) return false;
    m_dirFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (m_dirFd < 0) return false;
    m_fd = createTemporaryAt(m_dirFd, leaf, temporary, &m_tmpLeaf);
    if (m_fd < 0) m_tmpLeaf.clear();
    return m_fd >= 0;
}

bool ReplacingFile::write(const std::uint8_t* data, std::size_t len) {
    if (m_fd < 0 || (!data && len > 0) || !writeFully(m_fd, data, len)) m_failed = true;
    return !m_failed;
}

bool ReplacingFile::commit() {
    if (m_fd < 0) return false;
    // A full disk may only show at the flush or the close; the mode is set
    // before the rename, so the file never appears without it.
    bool ok = !m_failed && (m_mode == 0 || ::fchmod(m_fd, m_mode) == 0 || modeNotKept(errno)) && ::fsync(m_fd) == 0;
    ok = ::close(m_fd) == 0 && ok;
    m_fd = -1;
    ok = ok && ::renameat(m_dirFd, m_tmpLeaf.c_str(), m_dirFd, m_leaf.c_str()) == 0;
    if (ok) m_tmpLeaf.clear();
    discard();
    return ok;
}

bool ReplacingFile::syncDirectory() { return m_dirFd >= 0 && quask::syncDirectory(m_dirFd); }

}  // namespace quask
