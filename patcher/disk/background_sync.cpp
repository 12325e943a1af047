#include "patcher/disk/background_sync.h"

#include <unistd.h>

#include <system_error>

#include "patcher/disk/game_tree.h"

namespace quillon {

BackgroundSync::BackgroundSync(std::string gameDir) : m_gameDir(std::move(gameDir)) {
    for (unsigned i = 0; i < kSyncThreads; ++i) {
        try {
            m_threads.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;  // fewer threads; with none add() queues nothing and the caller syncs every file
        }
    }
}

BackgroundSync::~BackgroundSync() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_closing = true;
        m_queue.clear();
    }
    m_changed.notify_all();
    for (std::thread& t : m_threads) t.join();
}

void BackgroundSync::add(const std::string& name, std::function<void(int fd)> readBack) {
    if (m_threads.empty()) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back(Queued{name, std::move(readBack)});
    }
    m_changed.notify_all();
}

bool BackgroundSync::finish() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_queue.empty() && m_busy == 0; });
    return !m_failed;
}

void BackgroundSync::work() {
    GameTree tree(m_gameDir);
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_closing || !m_queue.empty(); });
        if (m_closing) return;
        const Queued next = std::move(m_queue.front());
        const std::string& name = next.name;
        m_queue.pop_front();
        ++m_busy;
        lock.unlock();
        const int dir = tree.lendParent(name, false);
        Fd file = dir >= 0 ? GameTree::openForReading(dir, leafOf(name)) : Fd();
        // One that cannot be opened is left to the caller's own pass.
        const bool opened = file.valid();
        if (opened && next.readBack) next.readBack(file.get());
        const bool ok = opened && ::fsync(file.get()) == 0;
        lock.lock();
        --m_busy;
        if (ok) m_synced.insert(name);
        else if (opened) m_failed = true;
        m_changed.notify_all();
    }
}

}  // namespace quillon
