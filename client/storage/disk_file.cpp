#include "client/storage/disk_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "shared/name_case.h"

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

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The entry of `dir` that an author's `name` opens (shared/name_case.h);
// empty when none.
std::string findIgnoringCase(const std::string& dir, const std::string& name) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return {};
    std::vector<std::string> entries;
    while (const dirent* e = ::readdir(d)) entries.emplace_back(e->d_name);
    ::closedir(d);
    return quask::pickLooseMatch(entries, name);
}

}  // namespace

// --- Path resolution ---

std::string resolveDataPath(const char* path) {
    if (!path) return {};
    const std::string slashed = slashForm(path);
    if (slashed.empty() || exists(slashed)) return slashed;

    std::string resolved;
    std::size_t pos = 0;
    if (slashed[0] == '/') {
        resolved = "/";
        pos = 1;
    }
    while (pos <= slashed.size()) {
        std::size_t end = slashed.find('/', pos);
        if (end == std::string::npos) end = slashed.size();
        const std::string part = slashed.substr(pos, end - pos);
        const bool last = end == slashed.size();
        pos = end + 1;
        if (part.empty()) {
            if (last) break;
            continue;  // doubled slashes
        }
        const std::string dir = resolved;
        std::string candidate = dir;
        if (!candidate.empty() && candidate.back() != '/') candidate += '/';
        if (part == "." || part == ".." || exists(candidate + part)) {
            resolved = candidate + part;
            continue;
        }
        std::string match = findIgnoringCase(dir, part);
        // Windows drops blanks and dots at the end of a name ("rock.dds "
        // opens rock.dds), and def file paths keep their trailing blanks.
        const std::size_t kept = part.find_last_not_of(" .");
        if (match.empty() && kept != std::string::npos && kept + 1 < part.size()) {
            const std::string trimmed = part.substr(0, kept + 1);
            match = exists(candidate + trimmed) ? trimmed : findIgnoringCase(dir, trimmed);
        }
        if (match.empty()) return slashed;
        resolved = candidate + match;
    }
    if (slashed.back() == '/' && !resolved.empty() && resolved.back() != '/') resolved += '/';
    return resolved;
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
