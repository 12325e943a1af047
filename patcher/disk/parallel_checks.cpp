#include "patcher/disk/parallel_checks.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace quillon {

namespace {

// The jobs handed out in order, and which of them are finished.
class Jobs {
public:
    Jobs(std::size_t count, const std::function<void(std::size_t, GameTree&)>& job)
        : m_count(count), m_job(job), m_finished(count, false) {}

    // Takes jobs until none are left or the caller stopped.
    void work(GameTree& tree) {
        for (;;) {
            const std::size_t i = m_next.fetch_add(1);
            if (i >= m_count || m_stopped.load()) return;
            m_job(i, tree);
            bool wake = false;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_finished[i] = true;
                wake = m_waitingFor == i;
            }
            // Only a caller asleep on this very job is woken: small jobs
            // would otherwise cost a wake-up each.
            if (wake) m_changed.notify_one();
        }
    }
    void waitFor(std::size_t i) {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_finished[i]) return;
        m_waitingFor = i;
        m_changed.wait(lock, [&] { return static_cast<bool>(m_finished[i]); });
        m_waitingFor = kNone;
    }
    void stop() { m_stopped.store(true); }

private:
    const std::size_t m_count;
    const std::function<void(std::size_t, GameTree&)>& m_job;
    std::atomic<std::size_t> m_next{0};
    std::atomic<bool> m_stopped{false};
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<bool> m_finished;
    static constexpr std::size_t kNone = SIZE_MAX;
    std::size_t m_waitingFor = kNone;
};

}  // namespace

void checkInParallel(const std::string& gameDir, std::size_t count,
                     const std::function<void(std::size_t, GameTree&)>& job,
                     const std::function<bool(std::size_t)>& inOrder) {
    if (count == 0) return;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const auto threads = static_cast<unsigned>(std::min<std::size_t>({cores, kMaxCheckThreads, count}));
    Jobs jobs(count, job);
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads && threads > 1; ++t) {
        try {
            pool.emplace_back([&jobs, &gameDir] {
                GameTree tree(gameDir);
                jobs.work(tree);
            });
        } catch (const std::system_error&) {
            break;  // fewer threads; this one helps below when there are none
        }
    }
    if (pool.empty()) {
        // One core (or no thread to spare): the same order, one by one.
        GameTree tree(gameDir);
        for (std::size_t i = 0; i < count; ++i) {
            job(i, tree);
            if (!inOrder(i)) return;
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        jobs.waitFor(i);
        if (!inOrder(i)) {
            jobs.stop();
            break;
        }
    }
    jobs.stop();
    for (std::thread& t : pool) t.join();
}

}  // namespace quillon
