#include "patcher/disk/stale_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <set>

#include "shared/replacing_file.h"

namespace quillon {

namespace {

unsigned removeFrom(int dirFd) {
    // The directory stream takes a descriptor of its own.
    const int own = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = own >= 0 ? ::fdopendir(own) : nullptr;
    if (!dir) {
        if (own >= 0) ::close(own);
        return 0;
    }
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(dir)) {
        if ((e->d_type == DT_REG || e->d_type == DT_UNKNOWN) && quask::isAbandonedTemporary(e->d_name))
            stale.emplace_back(e->d_name);
    }
    ::closedir(dir);
    unsigned removed = 0;
    for (const std::string& leaf : stale) removed += quask::removeIfAbandoned(dirFd, leaf);
    return removed;
}

}  // namespace

unsigned removeAbandonedTemporaries(GameTree& tree, const std::vector<std::string>& names) {
    std::set<std::string> dirs;
    for (const std::string& name : names) dirs.insert(parentOf(name));
    unsigned removed = 0;
    for (const std::string& dir : dirs) {
        Fd fd = tree.openDir(dir, false);
        if (fd.valid()) removed += removeFrom(fd.get());
    }
    return removed;
}

}  // namespace quillon
