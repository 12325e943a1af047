// The settings file on disk: read whole, rewritten whole or not at all.
#include "client/core/rconf_files_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "client/core/rconf.h"
#include "client/core/runtime.h"
#include "shared/posix_io.h"
#include "shared/replacing_file.h"

namespace velmar {

ReadStatus readWholeFile(const char* path, char** data, std::size_t* size) {
    // O_NONBLOCK keeps a FIFO at the path from blocking the open.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ReadStatus::Unreadable : ReadStatus::Failed;
    struct stat st {};
    ReadStatus status = ReadStatus::Ok;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<std::uint64_t>(st.st_size) > kRConfMaxFileBytes) {
        status = ReadStatus::Unreadable;
    } else if (st.st_size == 0) {
        status = ReadStatus::Empty;
    } else {
        *size = static_cast<std::size_t>(st.st_size);
        *data = static_cast<char*>(allocate(*size));
        if (!quask::readFully(fd, *data, *size)) {  // an error, or a file that shrank under us
            release(*data);
            *data = nullptr;
            status = ReadStatus::Failed;
        }
    }
    ::close(fd);
    return status;
}

namespace {

// Where `path` leads when it is a link, a dangling one included (resolved
// by hand); else `path` itself.
std::string linkTarget(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) return resolved;
    char to[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), to, sizeof to - 1);
    if (n <= 0) return path;
    const std::string leads(to, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    return leads[0] == '/' || slash == std::string::npos ? leads : path.substr(0, slash + 1) + leads;
}

// Writes a temporary file beside `path` and renames it over `path`, so a
// failure at any step leaves the old file as it was. The temporary's name is
// this process's own: two clients of one game directory ending together
// would otherwise remove and rename each other's half-written file. The
// file keeps the permissions it was given; a new one gets `mode` (0: 0644).
WriteStatus replaceAt(const std::string& path, const std::string& text, unsigned mode) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 0777;
    quask::removeAbandonedTemporariesBeside(path);  // what a killed client left
    quask::ReplacingFile file;
    if (!file.open(path, quask::ReplacingFile::Temporary{nullptr, 0644})) return WriteStatus::OpenFailed;
    if (mode != 0) file.setMode(mode);
    file.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (!file.commit()) return WriteStatus::WriteFailed;
    file.syncDirectory();  // the rename already happened; this only hardens it
    return WriteStatus::Ok;
}

}  // namespace

// A link (a player's settings kept with their other dotfiles) is written
// through: the file it names is replaced and the link stays. Where the link
// leads into a folder the game cannot write, the settings are kept in the
// link's place rather than not at all.
WriteStatus replaceFile(const std::string& path, const std::string& text, unsigned mode) {
    const std::string target = linkTarget(path);
    const WriteStatus status = replaceAt(target, text, mode);
    return status == WriteStatus::OpenFailed && target != path ? replaceAt(path, text, mode) : status;
}

// Where the text of a file that could not be run is kept: "<path>.bad", or
// the first of "<path>.bad.2" to "<path>.bad.9" that is free, so a second
// broken file never replaces what was kept of the first; empty when none is.
std::string keptName(const std::string& path) {
    struct stat st;
    for (int n = 1; n <= 9; ++n) {
        const std::string name = path + ".bad" + (n == 1 ? "" : "." + std::to_string(n));
        if (::lstat(name.c_str(), &st) != 0 && errno == ENOENT) return name;
    }
    return {};
}

}  // namespace velmar
