// Every write of the launcher below the game directory, made so that it can
// neither leave the game directory nor be lost to a power cut.
//
// Directories are walked from the game directory one name at a time and
// never through a symlink unless that symlink resolves inside the game
// directory. Every file the launcher writes is created fresh with
// O_CREAT|O_EXCL|O_NOFOLLOW after whatever stood at its name was removed, so
// a planted symlink is replaced, never written through. The directories in
// which entries were created, renamed or removed are remembered, so that
// syncChanged() can make them durable before the revision record says the
// work is done.
//
// Descriptors are close-on-exec and owned by Fd. One thread uses one GameTree.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "shared/posix_io.h"

namespace quillon {

// An owned file descriptor; -1 when none.
using Fd = quask::UniqueFd;

class GameTree {
public:
    explicit GameTree(std::string gameDir);

    // The directory `dir` below the game directory ("" is the game
    // directory itself, else "/a/b"). With `create`, missing directories are
    // made (0755). Invalid when it cannot be opened, is not a directory, or
    // would lead outside the game directory.
    Fd openDir(const std::string& dir, bool create);
    // The directory holding the entry `name` ("/a/b/file").
    Fd openParent(const std::string& name, bool create);

    // A new, empty file `leaf` in `dir`, opened for writing; a file or
    // symlink standing at that name is removed first (a directory is not).
    static Fd createFile(int dir, const std::string& leaf, mode_t mode = 0666);
    // Opens `leaf` in `dir` for reading without following a symlink.
    static Fd openForReading(int dir, const std::string& leaf);
    // Opens the file `leaf` in `dir` to write on at its end, which must be
    // at `size`: only a regular file of exactly that size with no other
    // name (a hard link planted there would be written through) and no
    // symlink in its place. Invalid otherwise.
    static Fd openToContinue(int dir, const std::string& leaf, std::uint64_t size);

    // Records that entries of the directory holding `name` changed.
    void changedEntryOf(const std::string& name);
    // fsync on every directory recorded since the last call. False when one
    // of them cannot be opened or synced.
    bool syncChanged();

    const std::string& gameDir() const { return m_gameDir; }

private:
    bool resolveRoot();
    Fd walk(const std::string& dir, bool create, bool allowLinks);

    std::string m_gameDir;
    std::string m_realRoot;  // the game directory with every symlink resolved
    std::set<std::string> m_changed;
};

// "/a/b/c" -> "/a/b" and "c"; "/c" -> "" and "c".
std::string parentOf(const std::string& name);
std::string leafOf(const std::string& name);

}  // namespace quillon
