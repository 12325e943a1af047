#include "client/core/timer.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <initializer_list>
#include <new>
#include <system_error>

#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/runtime.h"

namespace velmar {

struct CTimer::Record {
    Record* next = nullptr;
    Record* previous = nullptr;
    std::int64_t due = 0;
    std::int64_t period = 0;
    int runs = 0;  // -1 = unlimited
    int repeating = 0;
    int id = 0;
    int extra = 0;
    void* userData = nullptr;
    TimerCallback callback = nullptr;
    // Set by Cancel on any thread while the worker may be running the callback.
    std::atomic<bool> cancelled{true};
};

namespace {

std::atomic<CTimer*> g_instance{nullptr};

// A far wake-up is split into sleeps of this length so the deadline arithmetic
// stays small; each early wake just finds nothing due and sleeps again.
constexpr std::int64_t kMaxSleepMs = 3600 * 1000;

int hintSlot(std::int64_t due) {
    std::int64_t r = due % CTimer::kHintSlots;
    return static_cast<int>(r < 0 ? r + CTimer::kHintSlots : r);
}

std::int64_t addSaturated(std::int64_t a, std::int64_t b) {
    if (b > 0 && a > INT64_MAX - b) return INT64_MAX;
    if (b < 0 && a < INT64_MIN - b) return INT64_MIN;
    return a + b;
}

}  // namespace

// --- Lifecycle ---

CTimer* CTimer::Create() {
    static_assert(alignof(CTimer) <= 16, "the heap aligns blocks to 16 bytes");
    CTimer* timer = new (allocate(sizeof(CTimer))) CTimer();
    {
        std::lock_guard<std::mutex> pool(timer->m_poolLock);
        timer->growPool();
    }
    try {
        timer->m_worker = std::thread(&CTimer::workerMain, timer);
    } catch (const std::system_error&) {
        Message(kLogCrit, "CTimer => Cannot Create Worker.");
        exitProcess(1);
    }
    CTimer* none = nullptr;
    g_instance.compare_exchange_strong(none, timer);
    return timer;
}

void CTimer::Destroy(CTimer* timer) {
    if (!timer) return;
    CTimer* self = timer;
    g_instance.compare_exchange_strong(self, nullptr);
    std::unique_lock<std::mutex> queue(timer->m_queueLock);
    timer->m_stop = true;
    timer->m_wake.notify_all();
    // The process may be ending from inside a callback (a fatal error on the
    // worker thread), or the worker may itself be waiting to end the process
    // while another thread runs the exit handlers. Neither may hang the exit:
    // the worker is then left to the process's end, with its timer intact.
    const bool onWorker = timer->m_worker.get_id() == std::this_thread::get_id();
    const bool stopped =
        !onWorker && timer->m_wake.wait_for(queue, std::chrono::milliseconds(kStopWaitMs),
                                            [timer] { return timer->m_workerDone; });
    queue.unlock();
    if (!stopped) {
        if (timer->m_worker.joinable()) timer->m_worker.detach();
        return;
    }
    timer->m_worker.join();
    timer->~CTimer();
    release(timer);
}

CTimer* CTimer::instance() { return g_instance.load(); }

// Runs after the worker has stopped: every record is queued or free.
CTimer::~CTimer() {
    for (Record* list : {m_head, m_freeList}) {
        while (list) {
            Record* next = list->next;
            list->~Record();
            release(list);
            list = next;
        }
    }
    m_head = nullptr;
    m_freeList = nullptr;
    release(m_ids);
    m_ids = nullptr;
}

// --- Calls ---

int CTimer::Add(std::int64_t due, std::int64_t period, int runs,
                TimerCallback callback, void* userData) {
    // A repeat due again at once would keep the highest-priority worker
    // busy for as long as the timer lives: no caller gets that.
    if ((runs < 0 || runs > 1) && period < kMinRepeatPeriodMs) {
        Message(kLogWarn, "CTimer->Add: repeating timer with a period of %lld ms; using %lld ms",
                static_cast<long long>(period), static_cast<long long>(kMinRepeatPeriodMs));
        period = kMinRepeatPeriodMs;
    }
    Record* record;
    int id;
    {
        std::lock_guard<std::mutex> pool(m_poolLock);
        record = takeRecord();
        record->due = due;
        record->period = period;
        record->runs = runs < 0 ? -1 : runs;
        record->repeating = 1;
        record->extra = 0;
        record->userData = userData;
        record->callback = callback;
        id = record->id;
    }
    {
        std::lock_guard<std::mutex> queue(m_queueLock);
        insertRecord(record);
    }
    m_wake.notify_one();
    return id;
}

void CTimer::Cancel(int id) {
    if (id < 0) return;
    std::lock_guard<std::mutex> pool(m_poolLock);
    if (id >= m_capacity.load(std::memory_order_relaxed)) return;
    Record* record = m_ids[id];
    if (!record) return;
    std::lock_guard<std::mutex> queue(m_queueLock);
    record->cancelled.store(true);
}

// --- Pool ---

void CTimer::growPool() {
    int oldCapacity = m_capacity.load(std::memory_order_relaxed);
    if (oldCapacity > INT_MAX - kPoolGrowth) {
        Message(kLogCrit, "CTimer => Out of timer ids.");
        exitProcess(1);
    }
    int capacity = oldCapacity + kPoolGrowth;
    auto** table = static_cast<Record**>(
        allocate(sizeof(Record*) * static_cast<std::size_t>(capacity)));
    for (int i = 0; i < capacity; ++i) table[i] = i < oldCapacity ? m_ids[i] : nullptr;
    release(m_ids);
    m_ids = table;
    for (int id = oldCapacity; id < capacity; ++id) {
        Record* record = new (allocate(sizeof(Record))) Record();
        record->id = id;
        record->next = m_freeList;
        m_freeList = record;
    }
    m_capacity.store(capacity, std::memory_order_relaxed);
}

CTimer::Record* CTimer::takeRecord() {
    Record* record = m_freeList;
    m_freeList = record->next;
    record->next = nullptr;
    // Growing as soon as the list runs dry keeps it non-empty for the next take.
    if (!m_freeList) growPool();
    record->cancelled.store(false);
    m_ids[record->id] = record;
    return record;
}

// Only fired records are released, so the record is already out of the queue.
void CTimer::releaseRecord(Record* record) {
    record->cancelled.store(true);
    m_ids[record->id] = nullptr;
    record->previous = nullptr;
    record->callback = nullptr;
    record->userData = nullptr;
    record->next = m_freeList;
    m_freeList = record;
}

// --- Queue ---

void CTimer::insertRecord(Record* p) {
    const std::int64_t a = p->due;
    const int slot = hintSlot(a);
    Record* r = m_hints[slot] ? m_hints[slot] : m_head;
    if (!r) {
        p->previous = p->next = nullptr;
        m_head = p;
        m_hints[slot] = p;
    } else if (a < r->due) {
        // Behind every earlier record with a due time no later than a.
        while (r->previous && r->previous->due > a) r = r->previous;
        p->next = r;
        p->previous = r->previous;
        if (r->previous) r->previous->next = p;
        else m_head = p;
        r->previous = p;
        if (!m_hints[slot]) m_hints[slot] = p;
    } else {
        // Equal due times keep the order of insertion: go past all of them.
        while (r->next && r->next->due <= a) r = r->next;
        p->previous = r;
        p->next = r->next;
        if (r->next) r->next->previous = p;
        r->next = p;
        m_hints[slot] = p;
    }
    if (a < m_nextWakeUp) m_nextWakeUp = a;
}

void CTimer::unlinkRecord(Record* record) {
    const int slot = hintSlot(record->due);
    if (m_hints[slot] == record) m_hints[slot] = nullptr;
    if (record->previous) record->previous->next = record->next;
    if (record->next) record->next->previous = record->previous;
    if (m_head == record) m_head = record->next;
    record->previous = record->next = nullptr;
}

// --- Worker ---

void CTimer::workerMain() {
    setThreadPriority(ThreadPriority::Highest);
    std::unique_lock<std::mutex> worker(m_workerLock);
    while (fireDue(worker)) {
    }
    std::lock_guard<std::mutex> queue(m_queueLock);
    m_workerDone = true;
    m_wake.notify_all();
}

// One pass: fires the head when due, otherwise sleeps. False once stopped.
bool CTimer::fireDue(std::unique_lock<std::mutex>& worker) {
    const std::int64_t now = PerfClock::milliseconds();
    Record* fired = nullptr;
    {
        std::lock_guard<std::mutex> queue(m_queueLock);
        if (m_stop) return false;
        if (m_head && m_head->due <= now) {
            fired = m_head;
            unlinkRecord(fired);
        }
        m_nextWakeUp = m_head ? m_head->due : kNoWakeUp;
    }
    if (fired) finishFired(fired, now);
    else waitForWork(worker);
    return true;
}

void CTimer::finishFired(Record* record, std::int64_t now) {
    bool done = record->cancelled.load();
    if (!done) {
        if (record->callback) record->callback(record->id, record->userData, record->extra);
        done = record->cancelled.load() || record->repeating == 0 || record->runs == 0 ||
               (record->runs > 0 && --record->runs == 0);
    }
    if (done) {
        std::lock_guard<std::mutex> pool(m_poolLock);
        releaseRecord(record);
        return;
    }
    // The next run counts from the start of this one, not from its due time.
    record->due = addSaturated(now, record->period);
    std::lock_guard<std::mutex> queue(m_queueLock);
    insertRecord(record);
}

// Sleeps until the planned wake-up or until an Add brings it forward. The
// check and the wait happen under the queue lock Add inserts under, so an
// Add between reading the queue and sleeping cannot be missed.
void CTimer::waitForWork(std::unique_lock<std::mutex>& worker) {
    std::unique_lock<std::mutex> queue(m_queueLock);
    const std::int64_t planned = m_nextWakeUp;
    auto woken = [this, planned] { return m_stop || m_nextWakeUp < planned; };
    if (woken()) return;
    worker.unlock();
    if (planned == kNoWakeUp) {
        m_wake.wait(queue, woken);
    } else {
        // Sleep until the planned millisecond begins on the clock's own time
        // line, not for a whole number of milliseconds from now (that would
        // wake up to a millisecond late).
        const auto ticks = static_cast<__int128>(PerfClock::counterNow() - PerfClock::startCount());
        const auto elapsedNs = static_cast<std::int64_t>(ticks * 1000000000 / PerfClock::frequency());
        const std::int64_t elapsedMs = elapsedNs / 1000000;
        // Compared before subtracting: a due time far in the past must not
        // overflow the difference.
        std::int64_t leftMs = 0;
        if (planned > elapsedMs) leftMs = std::min(planned - elapsedMs, kMaxSleepMs);
        const std::int64_t leftNs = leftMs * 1000000 - elapsedNs % 1000000;
        if (leftNs > 0) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(leftNs);
            m_wake.wait_until(queue, deadline, woken);
        }
    }
    // Worker lock before queue lock, as everywhere else.
    queue.unlock();
    worker.lock();
}

}  // namespace velmar
