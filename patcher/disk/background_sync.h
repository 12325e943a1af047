// Files of the game directory synced on a thread of its own while the
// worker goes on: the downloads hand over each staging file as it ends, so
// the sync after the last download finds nearly all of them on disk
// already, and read back there for the check, which would otherwise hold up
// the transfers. Without a thread to spare nothing is synced here and the
// caller syncs every file itself.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quillon {

class BackgroundSync {
public:
    explicit BackgroundSync(std::string gameDir);
    ~BackgroundSync();
    BackgroundSync(const BackgroundSync&) = delete;
    BackgroundSync& operator=(const BackgroundSync&) = delete;

    // Queues the file `name` ("/data/x.bin.new") of the game directory;
    // `readBack`, when set, gets the open file on this thread before it is
    // synced.
    void add(const std::string& name, std::function<void(int fd)> readBack = {});
    // Waits until every queued file has been synced or has failed; false
    // when the sync of one failed.
    bool finish();
    // After finish(): whether `name` was synced here.
    bool synced(const std::string& name) const { return m_synced.count(name) != 0; }

private:
    void work();

    const std::string m_gameDir;
    std::mutex m_lock;
    std::condition_variable m_changed;
    struct Queued {
        std::string name;
        std::function<void(int fd)> readBack;
    };
    std::deque<Queued> m_queue;
    std::set<std::string> m_synced;
    unsigned m_busy = 0;
    bool m_closing = false, m_failed = false;
    std::vector<std::thread> m_threads;
};

// Threads of one BackgroundSync: a file's read-back runs beside another's
// sync, so neither waits for the other on a fast link.
constexpr unsigned kSyncThreads = 2;

}  // namespace quillon
