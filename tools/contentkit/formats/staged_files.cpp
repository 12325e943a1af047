#include "tools/contentkit/formats/staged_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

bool writeAllOrNothing(const std::string& root, const std::vector<std::pair<std::string, const Bytes*>>& files,
                       std::string* error, bool* moved) {
    if (moved) *moved = false;
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
    for (std::size_t i = 0; i < staged.size(); ++i) {
        if (::rename(staged[i].first.c_str(), staged[i].second.c_str()) != 0) {
            // Only a file system that refuses renames gets here; what is in
            // place stays, the rest is removed.
            *error = staged[i].second.string() + ": cannot move into place: " + std::strerror(errno) +
                     (i > 0 ? " (the files before it are in place)" : "");
            if (moved) *moved = i > 0;
            staged.erase(staged.begin(), staged.begin() + static_cast<std::ptrdiff_t>(i));
            if (i > 0) made.clear();
            undo();
            return false;
        }
    }
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
