#include "tools/contentkit/formats/staged_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace contentkit {

namespace {

namespace fs = std::filesystem;

// The whole of `data` into a new file `path`, on the disk when it returns.
bool writeSynced(const std::string& path, const Bytes& data, std::string* why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = n < 0 ? std::strerror(errno) : "nothing written";
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    // A full disk may only show when the data reaches it.
    if (::fsync(fd) != 0) {
        *why = std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (::close(fd) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    return true;
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
                       std::string* error) {
    std::vector<std::pair<fs::path, fs::path>> staged;  // temporary, final
    std::vector<fs::path> made;
    auto undo = [&] {
        std::error_code ec;
        for (const auto& s : staged) fs::remove(s.first, ec);
        for (auto it = made.rbegin(); it != made.rend(); ++it) fs::remove(*it, ec);
    };
    for (const auto& [relative, bytes] : files) {
        const fs::path path = fs::path(root) / relative;
        const fs::path temp = path.parent_path() / ("." + path.filename().string() + ".contentkit.tmp");
        std::string why;
        std::error_code ec;
        if (fs::is_directory(path, ec)) why = "a folder stands in its place";
        if (why.empty() && makeFolders(path.parent_path(), &made, &why)) {
            fs::remove(temp, ec);  // left by a run that was killed
            if (writeSynced(temp.string(), *bytes, &why)) {
                staged.emplace_back(temp, path);
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
                     " (the files before it are in place)";
            staged.erase(staged.begin(), staged.begin() + static_cast<std::ptrdiff_t>(i));
            made.clear();
            undo();
            return false;
        }
    }
    return true;
}

}  // namespace contentkit
