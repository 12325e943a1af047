// CTimer: periodic and one-shot callbacks run on a worker thread of its own.
//
// Due times are absolute milliseconds on the PerfClock time base, which must
// exist before the timer is created. Timers sit in one queue ordered by due
// time (first added first among equal due times) and are addressed by small
// integer ids handed out from a pool that grows 80 records at a time.
//
// Add and Cancel may be called from any thread, including from a callback:
// callbacks run on the worker thread with no lock of the caller's kind held.
// A callback must return quickly; every other timer waits for it. Create and
// Destroy belong to the start-up and shutdown code. Timers still queued at
// Destroy are freed without a call. When the process ends from inside a
// callback, Destroy (run by the exit handlers on the worker) only stops the
// worker and leaves the timer to the process's end.
//
// An id is only meaningful while its timer lives: once the worker has freed a
// record, Cancel with the old id hits whatever timer took the id next.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace velmar {

using TimerCallback = void (*)(int id, void* userData, int extra);

class CTimer {
public:
    static constexpr int kPoolGrowth = 80;
    static constexpr int kHintSlots = 512;
    // Next wake-up while the queue is empty: the worker sleeps until an Add.
    static constexpr std::int64_t kNoWakeUp = INT64_MAX;
    static constexpr int kStopWaitMs = 2000;  // Destroy's wait for the worker
    // Shortest period of a timer that runs more than once.
    static constexpr std::int64_t kMinRepeatPeriodMs = 1;

    // Starts the worker; the first live timer becomes the process-wide one.
    // Ends the process when the worker cannot be started.
    static CTimer* Create();
    // Stops and joins the worker, then frees every record. Null is ignored.
    static void Destroy(CTimer* timer);
    static CTimer* instance();

    // `due` is absolute on the time base. `runs` > 0 calls that many times,
    // 0 calls once, negative repeats until cancelled; a repeat is due
    // `period` ms after the start of the previous call. A timer that runs
    // more than once with a period below kMinRepeatPeriodMs gets that period
    // and a WARN line. Returns the id.
    int Add(std::int64_t due, std::int64_t period, int runs,
            TimerCallback callback, void* userData);
    // Unknown, negative and out-of-range ids are ignored.
    void Cancel(int id);

    int capacity() const { return m_capacity.load(std::memory_order_relaxed); }

    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

private:
    struct Record;

    CTimer() = default;
    ~CTimer();

    // --- Pool (pool lock held) ---
    void growPool();
    Record* takeRecord();
    void releaseRecord(Record* record);

    // --- Queue (queue lock held) ---
    void insertRecord(Record* record);
    void unlinkRecord(Record* record);

    // --- Worker ---
    void workerMain();
    bool fireDue(std::unique_lock<std::mutex>& worker);
    void finishFired(Record* record, std::int64_t now);
    void waitForWork(std::unique_lock<std::mutex>& worker);

    std::thread m_worker;
    std::mutex m_poolLock;    // free list and id table
    std::mutex m_queueLock;   // queue, hint table, wake-up time, stop flag
    std::mutex m_workerLock;  // held by the worker except while it waits
    std::condition_variable m_wake;  // waited on with the queue lock

    Record* m_freeList = nullptr;
    Record** m_ids = nullptr;
    std::atomic<int> m_capacity{0};

    Record* m_hints[kHintSlots] = {};
    Record* m_head = nullptr;
    std::int64_t m_nextWakeUp = kNoWakeUp;
    bool m_stop = false;
    bool m_workerDone = false;  // set by the worker as it ends; queue lock
};

}  // namespace velmar
