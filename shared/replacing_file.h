// Writing a file so that it replaces the old one whole or not at all: the
// bytes go to a temporary file beside it, and commit() syncs and closes that
// and renames it over the target. Anything not committed is removed, leaving
// the target untouched. The temporary is always made fresh (O_EXCL and
// O_NOFOLLOW), so a link planted at its name is never written through. Used
// for the settings file, the launcher's revision record, unpacked patch
// files and the tools' outputs. One thread uses one object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quask {

// The name of a temporary file this process owns: ".quask-<pid>-<tag>.tmp".
// ReplacingFile names its temporaries so when given no suffix.
std::string ownTemporaryName(const std::string& tag);
// True when `leaf` is such a name of a process that is no longer running:
// what a crash or a kill left behind, which nobody will commit or remove.
bool isAbandonedTemporary(const std::string& leaf);
// Removes `leaf` from `dirFd` when it is such a file and no writer holds it
// locked (one in another PID namespace, or on another host, whose process
// id only looks ended); true when it went.
bool removeIfAbandoned(int dirFd, const std::string& leaf);
// Removes such files from the directory of `path`: each killed writer leaves
// one of its own name, which nobody else would remove.
void removeAbandonedTemporariesBeside(const std::string& path);

class ReplacingFile {
public:
    // Where the bytes wait. Without a suffix the temporary gets a name of its
    // own, unique in the directory; with one it is "<leaf><suffix>", a name
    // others know (whatever stands there is removed first).
    struct Temporary {
        const char* suffix = nullptr;
        unsigned mode = 0666;  // creation mode, before the umask
    };

    ReplacingFile() = default;
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    bool open(const std::string& path);
    bool open(const std::string& path, const Temporary& temporary);
    // The file `leaf` of the directory open as `dirFd` (not kept; a copy is).
    bool openAt(int dirFd, const std::string& leaf);
    bool openAt(int dirFd, const std::string& leaf, const Temporary& temporary);
    // Permission bits the file gets before it appears; 0 leaves the default.
    void setMode(unsigned mode) { m_mode = mode; }
    bool write(const std::uint8_t* data, std::size_t len);
    // Flushes to disk, closes and renames; false when any step (or an
    // earlier write) failed.
    bool commit();
    // After commit(): syncs the directory, so that the new name survives a
    // power cut as well. False when it cannot.
    bool syncDirectory();

private:
    void discard();

    std::string m_leaf;
    std::string m_tmpLeaf;
    int m_dirFd = -1;
    int m_fd = -1;
    bool m_failed = false;
    unsigned m_mode = 0;
};

}  // namespace quask
