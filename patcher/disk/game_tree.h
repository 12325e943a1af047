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
// A tree keeps the directories of its last walk: the next walk opens only
// what it does not share with it, climbing back through ".." where that is
// shorter, each step checked to reach the very directory the walk passed.
// So a deep path costs its length once, not once per directory above it.
// What the last walk opened is taken as it was judged then; a walk that
// fails from there is tried once more from the game directory.
//
// Descriptors are close-on-exec and owned by Fd. One thread uses one GameTree.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

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
    // The same directory, lent: the tree keeps the descriptor, which stays
    // valid until its next walk (this or any other call that opens a
    // directory). -1, with errno set, where openParent is invalid. Steps
    // taken once per file of a run use it: a descriptor of their own cost
    // two system calls more each time.
    int lendParent(const std::string& name, bool create);
    // Why the directory `dir` ("/a/b") cannot be opened or made, for the
    // player: a name on its way that is a file, or a link to nothing or out
    // of the game directory. Empty when nothing stands in the way.
    std::string blockerOf(const std::string& dir);

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
    // One directory of the last walk: where its name ends in m_chainPath,
    // and which directory it was.
    struct Level {
        std::size_t end;
        dev_t dev;
        ino_t ino;
    };

    bool resolveRoot();
    Fd walk(std::string_view dir, bool create);
    int reach(std::string_view dir, bool create);
    std::size_t sharedLevels(const std::string& path) const;
    void climbTo(std::size_t level);
    bool descendTo(const std::string& path, bool create);
    bool descend(std::string_view part, bool create, bool* made);
    Fd followLink(const std::string& path);
    // The directory `dir` up to `next`, from the chain when it ends at `end`.
    Fd stepDown(const std::string& dir, std::size_t end, std::size_t next);
    Fd openWithoutLinks(const std::string& dir);
    int deepest() const { return m_levels.empty() ? m_root.get() : m_deepest.get(); }
    void dropChain();
    void noteChanged(const std::string& dir, std::size_t from);

    std::string m_gameDir;
    std::string m_realRoot;  // the game directory with every symlink resolved
    Fd m_root;
    std::string m_chainPath;     // the last walk's directory, "" or "/a/b"
    std::vector<Level> m_levels;  // one per name of m_chainPath
    Fd m_deepest;                 // the last of them
    // Directories whose entries changed: each path with the depth from
    // which every directory on its way changed too (a chain of new ones).
    std::map<std::string, std::size_t> m_changed;
};

// A run that ran out of descriptors (a low ulimit -n) fails where some
// open fails, with that step's box: the box then says why. `fd` is an open's
// result, passed through; errno is the open's.
int noteDescriptorLimit(int fd);
bool descriptorLimitReached();
// A new run starts with none noted.
void forgetDescriptorLimit();

// "/a/b/c" -> "/a/b" and "c"; "/c" -> "" and "c".
std::string parentOf(const std::string& name);
std::string leafOf(const std::string& name);

}  // namespace quillon
