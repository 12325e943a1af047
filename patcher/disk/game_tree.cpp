#include "patcher/disk/game_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <utility>

namespace quillon {

namespace {
std::atomic<bool> g_descriptorLimitReached{false};
}  // namespace

int noteDescriptorLimit(int fd) {
    if (fd < 0 && (errno == EMFILE || errno == ENFILE)) g_descriptorLimitReached = true;
    return fd;
}

bool descriptorLimitReached() { return g_descriptorLimitReached; }

void forgetDescriptorLimit() { g_descriptorLimitReached = false; }

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

// `dir` as "/a/b": empty names dropped; false for "." or "..", which no walk
// takes. Names from the server are in that form already, and deep ones are
// long: they are only scanned and copied.
bool canonicalPath(std::string_view dir, std::string* path) {
    bool plain = dir.empty() || (dir[0] == '/' && dir.back() != '/');
    for (std::size_t i = 0; i < dir.size() && plain; ++i) {
        if (dir[i] != '/') continue;
        const std::size_t n = dir.size() - i - 1;
        plain = n > 0 && dir[i + 1] != '/' &&
                !(dir[i + 1] == '.' && (n == 1 || dir[i + 2] == '/' || (dir[i + 2] == '.' && (n == 2 || dir[i + 3] == '/'))));
    }
    if (plain) {
        path->assign(dir);
        return true;
    }
    path->clear();
    std::size_t start = 0;
    while (start < dir.size()) {
        std::size_t end = dir.find('/', start);
        if (end == std::string_view::npos) end = dir.size();
        const std::string_view part = dir.substr(start, end - start);
        if (part == "." || part == "..") return false;
        if (!part.empty()) {
            *path += '/';
            *path += part;
        }
        start = end + 1;
    }
    return true;
}

int openDirAt(int at, const char* name) {
    return noteDescriptorLimit(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool isSymlinkAt(int at, const char* name) {
    struct stat st;
    return ::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

Fd duplicate(int fd) { return Fd(noteDescriptorLimit(::fcntl(fd, F_DUPFD_CLOEXEC, 0))); }

}  // namespace

// --- Walking ---

GameTree::GameTree(std::string gameDir) : m_gameDir(std::move(gameDir)) {}

bool GameTree::resolveRoot() {
    if (m_root.valid()) return true;
    char real[PATH_MAX];
    if (!::realpath(m_gameDir.c_str(), real)) return false;
    Fd root(noteDescriptorLimit(::open(real, O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (!root.valid()) return false;
    m_realRoot = real;
    m_root = std::move(root);
    return true;
}

void GameTree::dropChain() {
    m_chainPath.clear();
    m_levels.clear();
    m_deepest.reset();
}

// How many directories of the last walk `path` begins with.
std::size_t GameTree::sharedLevels(const std::string& path) const {
    const std::size_t common = static_cast<std::size_t>(
        std::mismatch(path.begin(), path.begin() + std::min(path.size(), m_chainPath.size()), m_chainPath.begin())
            .first -
        path.begin());
    // The levels whose names end within the common part, the last of them
    // only when `path` has a name boundary there too.
    auto level = std::upper_bound(m_levels.begin(), m_levels.end(), common,
                                  [](std::size_t at, const Level& l) { return at < l.end; });
    std::size_t shared = static_cast<std::size_t>(level - m_levels.begin());
    if (shared > 0) {
        const std::size_t end = m_levels[shared - 1].end;
        if (end != path.size() && path[end] != '/') --shared;
    }
    return shared;
}

void GameTree::climbTo(std::size_t level) {
    if (level >= m_levels.size()) return;
    // From the root, when that opens fewer directories than the climb.
    if (level == 0 || m_levels.size() - level > level) {
        dropChain();
        return;
    }
    Fd at;
    for (std::size_t i = m_levels.size(); i > level; --i) {
        Fd up(openDirAt(at.valid() ? at.get() : m_deepest.get(), ".."));
        // ".." of a directory reached through a link, or one moved since,
        // is not the directory above it in the walk: start again from the root.
        const Level& want = m_levels[i - 2];
        struct stat st;
        if (!up.valid() || ::fstat(up.get(), &st) != 0 || st.st_dev != want.dev || st.st_ino != want.ino) {
            dropChain();
            return;
        }
        at = std::move(up);
    }
    m_levels.resize(level);
    m_chainPath.resize(m_levels.back().end);
    m_deepest = std::move(at);
}

// One directory further down from the end of the chain; `*made` when it
// had to be created.
bool GameTree::descend(std::string_view part, bool create, bool* made) {
    const std::string name(part);
    const int here = deepest();
    Fd next(openDirAt(here, name.c_str()));
    if (!next.valid() && errno == ENOENT && create) {
        if (::mkdirat(here, name.c_str(), 0755) != 0 && errno != EEXIST) return false;
        *made = true;
        next.reset(openDirAt(here, name.c_str()));
    }
    if (!next.valid() && (errno == ELOOP || errno == ENOTDIR) && isSymlinkAt(here, name.c_str()))
        next = followLink(m_chainPath + "/" + name);
    struct stat st;
    if (!next.valid() || ::fstat(next.get(), &st) != 0) return false;
    m_chainPath += '/';
    m_chainPath += part;
    m_levels.push_back(Level{m_chainPath.size(), st.st_dev, st.st_ino});
    m_deepest = std::move(next);
    return true;
}

bool GameTree::descendTo(const std::string& path, bool create) {
    // The directories made form one chain: recorded once, as its deepest
    // parent and the depth it starts at.
    std::size_t firstIn = SIZE_MAX, lastIn = 0;
    bool ok = true;
    while (ok && m_chainPath.size() < path.size()) {
        const std::size_t start = m_chainPath.size() + 1;
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::size_t depth = m_levels.size();
        bool made = false;
        ok = descend(std::string_view(path).substr(start, end - start), create, &made);
        if (made) {
            firstIn = std::min(firstIn, depth);
            lastIn = depth;
        }
    }
    if (firstIn != SIZE_MAX) noteChanged(m_chainPath.substr(0, lastIn == 0 ? 0 : m_levels[lastIn - 1].end), firstIn);
    return ok;
}

Fd GameTree::followLink(const std::string& path) {
    // A link is a way to another directory of the game, never out of it.
    char real[PATH_MAX];
    if (!::realpath((m_realRoot + path).c_str(), real)) return Fd();
    const std::string target = real;
    const bool inside = m_realRoot == "/" || target == m_realRoot ||
                        target.compare(0, m_realRoot.size() + 1, m_realRoot + "/") == 0;
    if (!inside) {
        errno = EACCES;
        return Fd();
    }
    // Walked again without links: a link swapped in meanwhile fails.
    return openWithoutLinks(target == m_realRoot ? std::string()
                                                 : target.substr(m_realRoot == "/" ? 0 : m_realRoot.size()));
}

std::string GameTree::blockerOf(const std::string& dir) {
    if (!resolveRoot()) return {};
    for (std::size_t end = dir.find('/', 1); !dir.empty(); end = dir.find('/', end + 1)) {
        const std::string path = dir.substr(0, end);
        const std::string shown = "'" + path.substr(1) + "'";
        struct stat st;
        if (::fstatat(AT_FDCWD, (m_realRoot + path).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
        if (S_ISLNK(st.st_mode)) {
            char real[PATH_MAX];
            if (!::realpath((m_realRoot + path).c_str(), real)) return shown + " is a link to nothing";
            const std::string target = real;
            if (m_realRoot != "/" && target != m_realRoot && target.compare(0, m_realRoot.size() + 1, m_realRoot + "/") != 0)
                return shown + " is a link to " + target + ", outside the game directory, where the Launcher "
                                                        "writes nothing: put that folder itself in its place";
            if (::stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) return shown + " is a link to no folder";
        } else if (!S_ISDIR(st.st_mode)) {
            return shown + " is a file where this update needs a folder: move it away";
        }
        if (end == std::string::npos) break;
    }
    return {};
}

Fd GameTree::openWithoutLinks(const std::string& dir) {
    Fd current = duplicate(m_root.get());
    std::size_t start = 0;
    while (current.valid() && start < dir.size()) {
        std::size_t end = dir.find('/', start);
        if (end == std::string::npos) end = dir.size();
        if (end > start) current.reset(openDirAt(current.get(), dir.substr(start, end - start).c_str()));
        start = end + 1;
    }
    return current;
}

int GameTree::reach(std::string_view dir, bool create) {
    std::string path;
    if (!canonicalPath(dir, &path)) {
        errno = EACCES;
        return -1;
    }
    if (!resolveRoot()) return -1;
    climbTo(sharedLevels(path));
    const bool fromChain = !m_levels.empty();
    if (!descendTo(path, create)) {
        // What the last walk opened may have gone since: one walk from the
        // root decides.
        if (!fromChain) return -1;
        dropChain();
        if (!descendTo(path, create)) return -1;
    }
    return deepest();
}

Fd GameTree::walk(std::string_view dir, bool create) {
    const int fd = reach(dir, create);
    return fd < 0 ? Fd() : duplicate(fd);
}

Fd GameTree::openDir(const std::string& dir, bool create) { return walk(dir, create); }

Fd GameTree::openParent(const std::string& name, bool create) {
    return openDir(parentOf(name), create);
}

int GameTree::lendParent(const std::string& name, bool create) { return reach(parentOf(name), create); }

// --- Files ---

Fd GameTree::createFile(int dir, const std::string& leaf, mode_t mode) {
    if (::unlinkat(dir, leaf.c_str(), 0) != 0 && errno != ENOENT) return Fd();
    return Fd(noteDescriptorLimit(::openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)));
}

Fd GameTree::openForReading(int dir, const std::string& leaf) {
    return Fd(noteDescriptorLimit(::openat(dir, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)));
}

Fd GameTree::openToContinue(int dir, const std::string& leaf, std::uint64_t size) {
    // Non-blocking: a FIFO planted at the name must not hang the launcher.
    Fd fd(noteDescriptorLimit(::openat(dir, leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        static_cast<std::uint64_t>(st.st_size) != size ||
        ::lseek(fd.get(), static_cast<off_t>(size), SEEK_SET) != static_cast<off_t>(size)) {
        return Fd();
    }
    return fd;
}

// --- Durability ---

void GameTree::noteChanged(const std::string& dir, std::size_t from) {
    auto changed = m_changed.emplace(dir, from).first;
    changed->second = std::min(changed->second, from);
}

void GameTree::changedEntryOf(const std::string& name) {
    const std::string dir = parentOf(name);
    noteChanged(dir, static_cast<std::size_t>(std::count(dir.begin(), dir.end(), '/')));
}

bool GameTree::syncChanged() {
    bool ok = true;
    std::set<std::pair<dev_t, ino_t>> synced;
    for (const auto& [dir, from] : m_changed) {
        // The directories of `dir` from depth `from` on, parents first: the
        // first one walked to, each further one a step down the chain.
        std::size_t end = 0;
        for (std::size_t depth = 0; end < dir.size(); ++end)
            if (dir[end] == '/' && depth++ == from) break;
        Fd fd = walk(std::string_view(dir).substr(0, end), false);
        for (;;) {
            struct stat st;
            if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
                ok = false;
                break;  // nothing below it can be reached either
            }
            if (synced.emplace(st.st_dev, st.st_ino).second) ok = quask::syncDirectory(fd.get()) && ok;
            if (end >= dir.size()) break;
            std::size_t next = end + 1;
            while (next < dir.size() && dir[next] != '/') ++next;
            fd = stepDown(dir, end, next);
            end = next;
        }
    }
    m_changed.clear();
    return ok;
}

Fd GameTree::stepDown(const std::string& dir, std::size_t end, std::size_t next) {
    const std::string_view part = std::string_view(dir).substr(end + 1, next - end - 1);
    bool made = false;
    if (!part.empty() && part != "." && part != ".." && m_chainPath.size() == end &&
        dir.compare(0, end, m_chainPath) == 0 && descend(part, false, &made))
        return duplicate(deepest());
    // Anything else as any walk takes it (and refuses it).
    return walk(std::string_view(dir).substr(0, next), false);
}

}  // namespace quillon
