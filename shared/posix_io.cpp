#include "shared/posix_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

namespace quask {

namespace {

// No single call moves more than this: Linux moves at most about 2 GiB at
// once, and ssize_t must hold the count.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

int UniqueFd::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void holdStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: the lower ones are open by now.
        const int held = ::open("/", O_RDONLY | O_DIRECTORY);
        if (held >= 0 && held != fd) ::close(held);
    }
}

bool UniqueFd::close() {
    if (m_fd < 0) return false;
    const int rc = ::close(release());
    return rc == 0;
}

namespace {

// Calls `move` (a read or a write) until all `size` bytes are through.
template <class Byte, class Move>
bool moveFully(Byte* at, std::size_t size, Move move) {
    while (size > 0) {
        const ssize_t moved = move(at, std::min(size, kMaxChunk));
        if (moved < 0 && errno == EINTR) continue;
        if (moved <= 0) return false;
        at += moved;
        size -= static_cast<std::size_t>(moved);
    }
    return true;
}

}  // namespace

bool readFully(int fd, void* data, std::size_t size) {
    return moveFully(static_cast<std::uint8_t*>(data), size,
                     [fd](std::uint8_t* at, std::size_t n) { return ::read(fd, at, n); });
}

bool writeFully(int fd, const void* data, std::size_t size) {
    return moveFully(static_cast<const std::uint8_t*>(data), size,
                     [fd](const std::uint8_t* at, std::size_t n) { return ::write(fd, at, n); });
}

bool readWholeFile(const std::string& path, std::string* out) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return false;
    std::string text;
    char block[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.get(), block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        text.append(block, static_cast<std::size_t>(got));
    }
    *out = std::move(text);
    return true;
}

bool syncDirectory(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

int openOwnLockFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

FolderLock lockFolder(const std::string& dir, bool exclusive, UniqueFd* held) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return FolderLock::NotTaken;
    int rc;
    do {
        rc = ::flock(fd.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return errno == EWOULDBLOCK ? FolderLock::Busy : FolderLock::NotTaken;
    *held = std::move(fd);
    return FolderLock::Taken;
}

bool modeNotKept(int error) { return error == EPERM || error == ENOSYS || error == EOPNOTSUPP; }

}  // namespace quask
