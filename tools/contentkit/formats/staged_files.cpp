#include "tools/contentkit/formats/staged_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace contentkit {

namespace {

namespace fs = std::filesystem;

// The file `path` stands for: links followed, the last one also when what
// it names is missing (the file is then made there).
fs::path followLinks(fs::path path) {
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(path, ec); ++hops) {
        const fs::path to = fs::read_symlink(path, ec);
        if (ec) break;
        path = to.is_absolute() ? to : path.parent_path() / to;
    }
    return path;
}

enum class Target { Missing, Regular, Folder, Other };

// What `path` names, links followed (a link to nothing names nothing yet).
Target kindOf(const fs::path& path, mode_t* mode) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Target::Missing;
    *mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) return Target::Folder;
    return S_ISREG(st.st_mode) ? Target::Regular : Target::Other;
}

fs::path tempBeside(const fs::path& path) {
    return path.parent_path() / ("." + path.filename().string() + ".contentkit.tmp");
}

bool writeAll(int fd, const Bytes& data, std::string* why) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = n < 0 ? std::strerror(errno) : "nothing written";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The whole of `data` into a new file `path` (never through a link left
// there), with `mode` when it is not negative; on the disk when it returns.
bool writeSynced(const std::string& path, const Bytes& data, int mode, std::string* why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    bool ok = true;
    if (mode >= 0 && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        *why = std::strerror(errno);
        ok = false;
    }
    ok = ok && writeAll(fd, data, why);
    // A full disk may only show when the data reaches it.
    if (ok && ::fsync(fd) != 0) {
        *why = std::strerror(errno);
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        *why = std::strerror(errno);
        ok = false;
    }
    return ok;
}

// A device or a pipe takes the bytes as they come: there is nothing to
// replace it with.
bool writeThrough(const fs::path& path, const Bytes& data, std::string* why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    bool ok = writeAll(fd, data, why);
    if (::close(fd) != 0 && ok) {
        *why = std::strerror(errno);
        ok = false;
    }
    return ok;
}

// Makes the folders up to `dir` that are missing, remembering them.
bool makeFolders(const fs::path& dir, std::vector<fs::path>* made, std::string* why) {
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = dir; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) missing.push_back(p);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!fs::create_directory(*it, ec)) {
            *why = "cannot make its folder " + it->string() + ": " + (ec ? ec.message() : "it exists");
            return false;
        }
        made->push_back(*it);
    }
    if (!fs::is_directory(dir, ec)) {
        *why = dir.string() + " is not a folder";
        return false;
    }
    return true;
}

// The folder's entries on disk: a rename is durable only then.
void syncFolder(const fs::path& dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// The list: the names of the files, as given below the root, each ended by
// a NUL. Each staged file lies beside the file its name stands for, so a
// root named another way (a relative one, a copy) finds them all again.
bool writeMoves(const fs::path& root, const std::vector<std::string>& names, std::string* why) {
    Bytes text;
    for (const std::string& name : names) {
        text.insert(text.end(), name.begin(), name.end());
        text.push_back(0);
    }
    const fs::path list = root / kPendingMovesName, temp = tempBeside(list);
    std::error_code ec;
    fs::remove(temp, ec);
    if (!writeSynced(temp.string(), text, -1, why)) {
        fs::remove(temp, ec);
        return false;
    }
    if (::rename(temp.c_str(), list.c_str()) != 0) {
        *why = std::strerror(errno);
        fs::remove(temp, ec);
        return false;
    }
    syncFolder(root);
    return true;
}

bool laterThan(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

void dropMoves(const fs::path& root) {
    std::error_code ec;
    fs::remove(root / kPendingMovesName, ec);
    syncFolder(root);
}

}  // namespace

bool parsePendingMoves(const std::string& text, std::vector<std::string>* names) {
    names->clear();
    if (text.empty()) return false;  // a run with nothing to move writes no list
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\0', at);
        if (end == std::string::npos) return false;
        const std::string name = text.substr(at, end - at);
        at = end + 1;
        // Only names below the root, as a run gives them.
        if (name.empty() || name[0] == '/') return false;
        for (const fs::path& part : fs::path(name))
            if (part == "..") return false;
        names->push_back(name);
    }
    return true;
}

long finishPendingMoves(const std::string& root, std::string* error) {
    const fs::path list = fs::path(root) / kPendingMovesName;
    std::error_code ec;
    if (!fs::is_regular_file(list, ec)) return 0;
    const int fd = ::open(list.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    std::string text;
    char buffer[65536];
    ssize_t n = 0;
    while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < (64u << 20))
        text.append(buffer, static_cast<std::size_t>(n));
    struct stat listed {};
    const bool dated = fd >= 0 && ::fstat(fd, &listed) == 0;
    if (fd >= 0) ::close(fd);
    std::vector<std::string> names;
    if (!dated || n != 0 || !parsePendingMoves(text, &names)) {
        *error = list.string() + ": the list of an earlier run's moves is damaged; check the files it names, then "
                                 "remove it";
        return -1;
    }
    // The list was written after every staged file and before the first
    // move: a file still to be replaced that is newer than the list was
    // saved after the run stopped (an author's edit), and is not overwritten.
    for (const std::string& name : names) {
        const fs::path target = followLinks(fs::path(root) / name), temp = tempBeside(target);
        struct stat st {};
        if (!fs::exists(fs::symlink_status(temp, ec)) || ::stat(target.c_str(), &st) != 0 ||
            !laterThan(st.st_mtim, listed.st_mtim))
            continue;
        *error = list.string() + ": an earlier run was stopped among these moves, and " + target.string() +
                 " was changed after it stopped; that run's version of it is " + temp.string() +
                 ". Keep the one you want there (remove the other), then run contentkit again, which finishes the rest";
        return -1;
    }
    long moved = 0;
    for (const std::string& name : names) {
        const fs::path target = followLinks(fs::path(root) / name), temp = tempBeside(target);
        if (!fs::exists(fs::symlink_status(temp, ec))) continue;  // moved before the run stopped
        if (::rename(temp.c_str(), target.c_str()) != 0) {
            *error = list.string() + ": an earlier run was stopped among these moves, and " + target.string() +
                     " cannot be moved into place: " + std::strerror(errno) +
                     "; make room for it and run contentkit again, which finishes them";
            return -1;
        }
        syncFolder(target.parent_path());
        ++moved;
    }
    dropMoves(root);
    return moved;
}

bool writeAllOrNothing(const std::string& root, const std::vector<std::pair<std::string, const Bytes*>>& files,
                       std::string* error, bool* moved) {
    if (moved) *moved = false;
    if (finishPendingMoves(root, error) < 0) return false;
    std::vector<std::pair<fs::path, fs::path>> staged;  // temporary, final
    std::vector<fs::path> made;
    auto undo = [&] {
        std::error_code ec;
        for (const auto& s : staged) fs::remove(s.first, ec);
        for (auto it = made.rbegin(); it != made.rend(); ++it) fs::remove(*it, ec);
    };
    for (const auto& [relative, bytes] : files) {
        const fs::path path = fs::path(root) / relative;
        mode_t mode = 0;
        const Target kind = kindOf(path, &mode);
        const fs::path target = followLinks(path);
        std::string why;
        if (kind == Target::Folder) why = "a folder stands in its place";
        if (kind == Target::Other) why = "it is not a regular file";
        // Folders are made below the root only, not where a link leads.
        const bool folders = why.empty() && (target != path || makeFolders(path.parent_path(), &made, &why));
        const fs::path temp = tempBeside(target);
        std::error_code ec;
        if (folders) {
            fs::remove(temp, ec);  // left by a run that was killed
            if (writeSynced(temp.string(), *bytes, kind == Target::Regular ? static_cast<int>(mode) : -1, &why)) {
                staged.emplace_back(temp, target);
                continue;
            }
            fs::remove(temp, ec);
        }
        undo();
        *error = path.string() + ": cannot write: " + why;
        return false;
    }
    // A run killed among the moves leaves the list for the next to finish.
    std::vector<std::string> names;
    for (const auto& [relative, bytes] : files) names.push_back(relative);
    std::string why;
    if (!staged.empty() && !writeMoves(root, names, &why)) {
        undo();
        *error = (fs::path(root) / kPendingMovesName).string() + ": cannot write: " + why;
        return false;
    }
    for (std::size_t i = 0; i < staged.size(); ++i) {
        if (::rename(staged[i].first.c_str(), staged[i].second.c_str()) != 0) {
            // Only a file system that refuses renames gets here. Before the
            // first move the tree is as it was; after it, the rest stays
            // staged with its list, for the next run to finish as after a kill.
            *error = staged[i].second.string() + ": cannot move into place: " + std::strerror(errno);
            if (i == 0) {
                undo();
                dropMoves(root);
                return false;
            }
            *error += " (the files before it are in place; run contentkit again to move the rest)";
            if (moved) *moved = true;
            return false;
        }
    }
    std::vector<fs::path> folders;
    for (const auto& s : staged)
        if (std::find(folders.begin(), folders.end(), s.second.parent_path()) == folders.end())
            folders.push_back(s.second.parent_path());
    for (const fs::path& dir : folders) syncFolder(dir);
    dropMoves(root);
    return true;
}

bool replaceFile(const std::string& path, const Bytes& data, std::string* why) {
    mode_t mode = 0;
    const Target kind = kindOf(path, &mode);
    if (kind == Target::Folder) {
        *why = std::strerror(EISDIR);
        return false;
    }
    // Through the name as given: the system's own links (/dev/stdout) name
    // no path of their own.
    if (kind == Target::Other) return writeThrough(path, data, why);
    const fs::path target = followLinks(path);
    const fs::path temp = tempBeside(target);
    std::error_code ec;
    fs::remove(temp, ec);  // left by a run that was killed
    bool ok = writeSynced(temp.string(), data, kind == Target::Regular ? static_cast<int>(mode) : -1, why);
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        *why = std::strerror(errno);
        ok = false;
    }
    if (!ok) fs::remove(temp, ec);
    return ok;
}

}  // namespace contentkit
