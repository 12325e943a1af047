#include "patcher/disk/game_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace quillon {

// --- Names ---

std::string parentOf(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

std::string leafOf(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

namespace {

std::vector<std::string> components(const std::string& dir) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < dir.size()) {
        std::size_t end = dir.find('/', start);
        if (end == std::string::npos) end = dir.size();
        if (end > start) parts.push_back(dir.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

int openDirAt(int at, const std::string& name) {
    return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool isSymlinkAt(int at, const std::string& name) {
    struct stat st;
    return ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

// --- Walking ---

GameTree::GameTree(std::string gameDir) : m_gameDir(std::move(gameDir)) {}

bool GameTree::resolveRoot() {
    if (!m_realRoot.empty()) return true;
    char real[PATH_MAX];
    if (!::realpath(m_gameDir.c_str(), real)) return false;
    m_realRoot = real;
    return true;
}

Fd GameTree::walk(const std::string& dir, bool create, bool allowLinks) {
    if (!resolveRoot()) return Fd();
    Fd current(::open(m_realRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string reached;  // below the real game directory, without links
    for (const std::string& part : components(dir)) {
        if (part == "." || part == "..") {
            errno = EACCES;
            return Fd();
        }
        int fd = openDirAt(current.get(), part);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.get(), part.c_str(), 0755) != 0 && errno != EEXIST) return Fd();
            changedEntryOf(reached + "/" + part);
            fd = openDirAt(current.get(), part);
        }
        std::string next = reached + "/" + part;
        if (fd < 0 && (errno == ELOOP || errno == ENOTDIR) && allowLinks &&
            isSymlinkAt(current.get(), part)) {
            // A link is a way to another directory of the game, never out of it.
            char real[PATH_MAX];
            if (!::realpath((m_realRoot + next).c_str(), real)) return Fd();
            const std::string target = real;
            const bool inside = m_realRoot == "/" || target == m_realRoot ||
                                target.compare(0, m_realRoot.size() + 1, m_realRoot + "/") == 0;
            if (!inside) {
                errno = EACCES;
                return Fd();
            }
            next = target == m_realRoot ? std::string() : target.substr(m_realRoot == "/" ? 0 : m_realRoot.size());
            // Walked again without links: a link swapped in meanwhile fails.
            Fd resolved = walk(next, false, false);
            if (!resolved.valid()) return Fd();
            current = std::move(resolved);
            reached = next;
            continue;
        }
        if (fd < 0) return Fd();
        current = Fd(fd);
        reached = next;
    }
    return current;
}

Fd GameTree::openDir(const std::string& dir, bool create) { return walk(dir, create, true); }

Fd GameTree::openParent(const std::string& name, bool create) {
    return openDir(parentOf(name), create);
}

// --- Files ---

Fd GameTree::createFile(int dir, const std::string& leaf, mode_t mode) {
    if (::unlinkat(dir, leaf.c_str(), 0) != 0 && errno != ENOENT) return Fd();
    return Fd(::openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
}

Fd GameTree::openForReading(int dir, const std::string& leaf) {
    return Fd(::openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
}

Fd GameTree::openToContinue(int dir, const std::string& leaf, std::uint64_t size) {
    // Non-blocking: a FIFO planted at the name must not hang the launcher.
    Fd fd(::openat(dir, leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        static_cast<std::uint64_t>(st.st_size) != size ||
        ::lseek(fd.get(), static_cast<off_t>(size), SEEK_SET) != static_cast<off_t>(size)) {
        return Fd();
    }
    return fd;
}

// --- Durability ---

void GameTree::changedEntryOf(const std::string& name) { m_changed.insert(parentOf(name)); }

bool GameTree::syncChanged() {
    bool ok = true;
    for (const std::string& dir : m_changed) {
        Fd fd = walk(dir, false, true);
        ok = fd.valid() && ::fsync(fd.get()) == 0 && ok;
    }
    m_changed.clear();
    return ok;
}

}  // namespace quillon
