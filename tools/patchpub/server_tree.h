// The patch server tree as the web server sees it, switched from one
// revision to the next in one step. SERVER_DIR is a symbolic link to a
// complete tree in SERVER_DIR.trees/; a revision is published by building
// the next tree beside the live one (hard links to every file the live one
// has, new files written fresh), then renaming a new link over SERVER_DIR.
// Until that rename every client sees the old revision whole, after it the
// new one whole; a run that fails on the way leaves the live tree as it was.
// The last few trees stay for clients in the middle of a run.
//
// A SERVER_DIR that is still a plain directory (made by an older patchpub
// or by hand) is moved into SERVER_DIR.trees/ at the first switch. One
// publisher at a time: a lock file in SERVER_DIR.trees/ keeps a second one
// out. No write goes through a link inside the trees: a live tree that
// holds one is refused before the next tree is begun. Single-threaded.
#pragma once

#include <cstdint>
#include <string>

namespace patchpub {

class ServerTrees {
public:
    explicit ServerTrees(std::string serverDir);
    ~ServerTrees();
    ServerTrees(const ServerTrees&) = delete;
    ServerTrees& operator=(const ServerTrees&) = delete;

    // False (with a message) when another patchpub holds the lock, or when
    // the live tree holds a symbolic link (patchpub writes none there, and
    // the next tree would be written through it). Tidies what a killed
    // switch left beside SERVER_DIR.
    bool lock(std::string* error);
    // A new tree for `revision` holding what the live tree holds; `path`
    // names it. Nothing that is served changes.
    bool beginNext(std::uint32_t revision, std::string* path, std::string* error);
    // The same for a change that keeps the live revision (a new
    // announcement, root or mirror list): the tree is "<revision>.<n>".
    bool beginRefresh(std::uint32_t revision, std::string* path, std::string* error);
    // Serves `path` from now on; `note` tells of a plain directory moved
    // aside. Older trees beyond the last kKeptTrees are removed. False when
    // the switch failed, and also when it could not be made durable: the
    // error then says the new tree is served already.
    bool switchTo(const std::string& path, std::string* note, std::string* error);
    // Removes a tree that was begun but not switched to.
    void discard(const std::string& path);

    static constexpr int kKeptTrees = 3;

private:
    void prune();
    bool replaceDirectory(const std::string& link, std::string* moved, std::string* error);
    void clearInterruptedSwitches();

    std::string m_serverDir;  // without a trailing slash
    std::string m_treesDir;
    bool begin(const std::string& name, std::string* path, std::string* error);

    std::string m_name;  // of the tree being built
    int m_lockFd = -1;
};

}  // namespace patchpub
