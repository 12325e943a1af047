#include "tools/patchpub/server_tree.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "shared/posix_io.h"
#include "tools/patchpub/tree_files.h"

namespace fs = std::filesystem;

namespace patchpub {

namespace {

constexpr char kBuilding[] = ".building";
constexpr char kLegacy[] = "legacy-";

// The entries of `dir` on disk. A directory we may write but not open
// keeps nothing back that we could have saved, so that is no failure.
bool syncDir(const std::string& dir, std::string* error) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int failure = fd < 0 && errno == EIO ? EIO : 0;
    if (fd >= 0 && !quask::syncDirectory(fd)) failure = errno;
    if (fd >= 0) ::close(fd);
    if (failure != 0) *error = "cannot sync " + dir + ": " + std::strerror(failure);
    return failure == 0;
}

// `root` and every directory below it (links not followed).
bool syncTree(const std::string& root, std::string* error) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec) && !syncDir(it->path().string(), error)) return false;
    }
    if (ec) {
        *error = "cannot read " + root + ": " + ec.message();
        return false;
    }
    return syncDir(root, error);
}

// A link in the live tree: patchpub writes none there, and what the next
// tree wrote through it would land wherever it points, outside the trees or
// in an older tree that players are still fetching from.
std::string plantedLink(const std::string& serverDir, const std::string& link, std::size_t others) {
    return "the server tree " + serverDir + " holds a link patchpub did not write: " + serverDir + "/" + link +
           (others > 0 ? " (and " + std::to_string(others) + " more)" : std::string()) +
           "; the next tree's files would be written through it: put in its place what it links to";
}

// Every entry of `from` into the empty directory `to`: directories made,
// files hard-linked (copied where the file system cannot link). A link
// planted since the tree was checked stops the copy.
bool linkTree(const fs::path& from, const fs::path& to, std::string* error) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path target = to / it->path().lexically_relative(from);
        const fs::file_status st = it->symlink_status(ec);
        if (ec) break;
        if (fs::is_directory(st)) {
            fs::create_directory(target, ec);
        } else if (fs::is_symlink(st)) {
            *error = plantedLink(from.string(), it->path().lexically_relative(from).generic_string(), 0);
            return false;
        } else if (::link(it->path().c_str(), target.c_str()) != 0) {
            fs::copy_file(it->path(), target, ec);
        }
        if (ec) break;
    }
    if (ec) *error = "cannot copy the live tree " + from.string() + ": " + ec.message();
    return !ec;
}

// Trees by age: "<revision>" and its refreshes "<revision>.<n>", a moved
// plain directory before them all; {-2, 0} for any other name.
std::pair<long long, long long> treeOrder(const std::string& name) {
    if (name.rfind(kLegacy, 0) == 0) return {-1, 0};
    const std::size_t dot = name.find('.');
    const std::string rev = name.substr(0, dot), step = dot == std::string::npos ? "0" : name.substr(dot + 1);
    for (const std::string& part : {rev, step})
        if (part.empty() || part.size() > 12 || part.find_first_not_of("0123456789") != std::string::npos)
            return {-2, 0};
    return {std::stoll(rev), std::stoll(step)};
}

}  // namespace

ServerTrees::ServerTrees(std::string serverDir) : m_serverDir(std::move(serverDir)) {
    while (m_serverDir.size() > 1 && m_serverDir.back() == '/') m_serverDir.pop_back();
    m_treesDir = m_serverDir + ".trees";
}

ServerTrees::~ServerTrees() {
    if (m_lockFd >= 0) ::close(m_lockFd);
}

// SERVER_DIR must be patchpub's own: a link into SERVER_DIR.trees/ (or a
// plain tree, which is moved there, or nothing yet). A link made by hand to
// a tree elsewhere would be replaced and its tree left behind unseen, and a
// tree inside some other SERVER_DIR.trees/ would grow trees of its own.
bool refuseForeignPlace(const std::string& serverDir, const std::string& treesDir, std::string* error) {
    std::error_code ec;
    const fs::path parent = fs::weakly_canonical(fs::absolute(serverDir, ec).parent_path(), ec);
    const std::string parentName = parent.filename().string();
    if (parentName.size() > 6 && parentName.compare(parentName.size() - 6, 6, ".trees") == 0) {
        const std::string owner = (parent.parent_path() / parentName.substr(0, parentName.size() - 6)).string();
        *error = serverDir + " lies in " + parent.string() + "/, where patchpub keeps the trees of " + owner +
                 ": give " + owner + " as SERVER_DIR";
        return false;
    }
    if (!fs::is_symlink(fs::symlink_status(serverDir, ec))) return true;
    const fs::path target = fs::weakly_canonical(serverDir, ec);
    if (!fs::exists(treesDir, ec) ||
        target.parent_path() != fs::weakly_canonical(treesDir, ec)) {
        *error = serverDir + " is a link to " + target.string() + ", not to a tree of patchpub's in " + treesDir +
                 "/: give " + target.string() + " itself as SERVER_DIR (patchpub moves that tree into " +
                 target.string() + ".trees/ and makes it a link there; the link " + serverDir + " then still " +
                 "leads to the live revision)";
        return false;
    }
    return true;
}

bool ServerTrees::lock(std::string* error) {
    if (!refuseForeignPlace(m_serverDir, m_treesDir, error)) return false;
    std::error_code ec;
    fs::create_directories(m_treesDir, ec);
    const std::string path = m_treesDir + "/.lock";
    m_lockFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd < 0) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        *error = "another patchpub is publishing to " + m_serverDir;
        return false;
    }
    clearInterruptedSwitches();
    // Before anything reads the live tree to build on it: every command
    // that makes a tree starts here.
    std::vector<std::string> links;
    if (!fs::is_directory(m_serverDir, ec)) return true;
    if (!findLinks(m_serverDir, &links, error)) return false;
    if (links.empty()) return true;
    *error = plantedLink(m_serverDir, links[0], links.size() - 1);
    return false;
}

bool ServerTrees::beginNext(std::uint32_t revision, std::string* path, std::string* error) {
    return begin(std::to_string(revision), path, error);
}

bool ServerTrees::beginRefresh(std::uint32_t revision, std::string* path, std::string* error) {
    long long step = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(m_treesDir, ec)) {
        const auto order = treeOrder(e.path().filename().string());
        if (order.first == revision) step = std::max(step, order.second);
    }
    return begin(std::to_string(revision) + "." + std::to_string(step + 1), path, error);
}

bool ServerTrees::begin(const std::string& name, std::string* path, std::string* error) {
    m_name = name;
    *path = m_treesDir + "/" + name + kBuilding;
    std::error_code ec;
    fs::remove_all(*path, ec);  // left by a run that was killed
    if (ec) {
        *error = "cannot remove " + *path + ", left by an earlier run: " + ec.message();
        return false;
    }
    if (!fs::create_directories(*path, ec)) {
        *error = "cannot create " + *path + ": " + ec.message();
        return false;
    }
    if (fs::is_directory(m_serverDir, ec) && !linkTree(m_serverDir, *path, error)) {
        discard(*path);
        return false;
    }
    return true;
}

bool ServerTrees::switchTo(const std::string& path, std::string* note, std::string* error) {
    std::error_code ec;
    const std::string& name = m_name;
    const std::string tree = m_treesDir + "/" + name;
    const fs::path live = fs::exists(m_serverDir, ec) ? fs::canonical(m_serverDir, ec) : fs::path();
    if (fs::exists(tree, ec)) {
        if (!live.empty() && fs::equivalent(tree, live, ec)) {
            *error = tree + " is the live tree";
            return false;
        }
        fs::remove_all(tree, ec);  // an earlier run stopped before its switch
        if (ec) {
            *error = "cannot remove " + tree + ", left by an earlier run: " + ec.message();
            return false;
        }
    }
    // The new tree is whole on disk before anything points to it: its
    // files were synced as they were written, the names in each of its
    // directories are synced here, and its own name after the rename.
    if (!syncTree(path, error)) return false;
    if (::rename(path.c_str(), tree.c_str()) != 0) {
        *error = "cannot rename " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!syncDir(m_treesDir, error)) return false;

    const std::string link = m_serverDir + ".link-" + std::to_string(::getpid());
    ::unlink(link.c_str());
    const std::string target = fs::path(m_serverDir).filename().string() + ".trees/" + name;
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        *error = "cannot create the link " + link + ": " + std::strerror(errno);
        return false;
    }
    std::string moved;
    struct stat st;
    if (::lstat(m_serverDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        moved = m_treesDir + "/" + kLegacy + std::to_string(std::time(nullptr));
        if (!replaceDirectory(link, &moved, error)) return false;
        *note = m_serverDir + " was a directory: it lies in " + moved + " now, and " + m_serverDir +
                " is a link to the tree of the live revision";
    } else if (::rename(link.c_str(), m_serverDir.c_str()) != 0) {
        *error = "cannot switch " + m_serverDir + ": " + std::strerror(errno);
        ::unlink(link.c_str());
        return false;
    }
    // Served already, so no longer undone here; but a switch a power cut may
    // take back is no success: a later revision would take this number again.
    const fs::path parent = fs::path(m_serverDir).parent_path();
    if (!syncDir(parent.empty() ? "." : parent.string(), error)) {
        *error += " (" + m_serverDir + " serves the new tree already, but a power cut may take it back)";
        if (!note->empty()) *error += "; " + *note;
        return false;
    }
    prune();
    return true;
}

// The plain directory SERVER_DIR and the link trade places in one step, so
// that no moment (and no kill) finds SERVER_DIR missing; the directory then
// goes into the trees. Where the file system cannot trade, it is moved aside
// first (the server answers 404 for that moment).
bool ServerTrees::replaceDirectory(const std::string& link, std::string* moved, std::string* error) {
    if (::renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, m_serverDir.c_str(), RENAME_EXCHANGE) == 0) {
        // Served already; a directory left at `link` is moved at the next switch.
        if (::rename(link.c_str(), moved->c_str()) != 0) *moved = link;
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        *error = "cannot switch " + m_serverDir + ": " + std::strerror(errno);
        ::unlink(link.c_str());
        return false;
    }
    if (::rename(m_serverDir.c_str(), moved->c_str()) != 0) {
        *error = "cannot move " + m_serverDir + " aside: " + std::strerror(errno);
        ::unlink(link.c_str());
        return false;
    }
    if (::rename(link.c_str(), m_serverDir.c_str()) != 0) {
        *error = "cannot switch " + m_serverDir + ": " + std::strerror(errno);
        ::rename(moved->c_str(), m_serverDir.c_str());
        ::unlink(link.c_str());
        return false;
    }
    return true;
}

// What a switch that was killed half-way left beside SERVER_DIR: its new
// link (nothing serves it), or the plain directory it traded places with.
// Each killed run has a name of its own, so nothing else would ever remove
// them. Only the lock's holder switches, so none of them is in use.
void ServerTrees::clearInterruptedSwitches() {
    const fs::path server(m_serverDir);
    const fs::path parent = server.parent_path().empty() ? fs::path(".") : server.parent_path();
    const std::string prefix = server.filename().string() + ".link-";
    std::error_code ec;
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(parent, ec)) {
        const std::string leaf = e.path().filename().string();
        if (leaf.size() > prefix.size() && leaf.rfind(prefix, 0) == 0 &&
            leaf.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
            found.push_back(e.path());
    }
    for (const fs::path& path : found) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) ::unlink(path.c_str());
        else if (S_ISDIR(st.st_mode))
            ::rename(path.c_str(), (m_treesDir + "/" + kLegacy + std::to_string(std::time(nullptr)) + "-" +
                                    path.filename().string().substr(prefix.size()))
                                       .c_str());
    }
}

void ServerTrees::discard(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void ServerTrees::prune() {
    std::error_code ec;
    const fs::path live = fs::canonical(m_serverDir, ec);
    std::vector<std::pair<std::pair<long long, long long>, fs::path>> trees;
    for (const auto& e : fs::directory_iterator(m_treesDir, ec)) {
        const auto order = treeOrder(e.path().filename().string());
        if (order.first >= -1 && e.is_directory(ec) && !e.is_symlink(ec)) trees.emplace_back(order, e.path());
    }
    std::sort(trees.begin(), trees.end());
    const std::size_t keep = static_cast<std::size_t>(kKeptTrees);
    for (std::size_t i = 0; i + keep < trees.size(); ++i)
        if (!fs::equivalent(trees[i].second, live, ec)) fs::remove_all(trees[i].second, ec);
}

}  // namespace patchpub
