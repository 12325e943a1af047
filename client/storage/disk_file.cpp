#include "client/storage/disk_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "shared/loose_path.h"

namespace velmar {

namespace {

// --- Opening ---

int openFlagsFor(int mode) {
    switch (mode) {
        case kFileReadOnly: return O_RDONLY;
        case kFileReadWriteExisting: return O_RDWR;
        case kFileCreateReadWrite:
        case kFileCreateReadWriteAlt: return O_RDWR | O_CREAT | O_TRUNC;
        default: return -1;
    }
}

int openRegular(const char* path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    // A directory opens on Linux but never as a file of ours.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string slashForm(const char* path) {
    std::string out(path);
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

}  // namespace

// --- Path resolution ---

std::string resolveDataPath(const char* path) {
    if (!path) return {};
    const std::string slashed = slashForm(path);
    struct stat st {};
    if (slashed.empty() || ::stat(slashed.c_str(), &st) == 0) return slashed;
    std::string resolved = quask::resolveLoosePath(slashed);
    return resolved.empty() ? slashed : resolved;
}

// --- DiskFile ---

DiskFile::~DiskFile() { Close(); }

DiskFile& DiskFile::Open(const char* path, int mode) {
    Close();
    const int flags = openFlagsFor(mode);
    if (!path || flags < 0) return *this;
    // A path that does not fit is refused; a cut path could name another file.
    if (::strnlen(path, kDiskFilePathMax) >= kDiskFilePathMax) return *this;

    const std::string slashed = slashForm(path);
    int fd = openRegular(slashed.c_str(), flags);
    if (fd < 0 && (flags & O_CREAT) == 0 && (errno == ENOENT || errno == ENOTDIR)) {
        const std::string resolved = resolveDataPath(path);
        if (resolved != slashed) fd = openRegular(resolved.c_str(), flags);
    }
    if (fd < 0) return *this;
    m_fd = fd;
    m_byteCount = 0;
    m_mode = mode;
    return *this;
}

std::uint64_t DiskFile::GetSize() const {
    if (m_fd < 0) return 0;
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::size_t DiskFile::Read(void* buffer, std::size_t count) {
    m_readFailed = false;
    if (m_fd < 0 || !buffer || count == 0) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(m_fd, out + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        m_readFailed = n < 0;
        if (n <= 0) break;  // end of file, or an error after what was read
        done += static_cast<std::size_t>(n);
    }
    m_byteCount += done;
    return done;
}

std::size_t DiskFile::Write(const void* buffer, std::size_t count) {
    if (m_fd < 0 || !buffer || count == 0) return 0;
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_fd, in + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        done += static_cast<std::size_t>(n);
    }
    m_byteCount += count;
    return count;
}

void DiskFile::Close() {
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace velmar
