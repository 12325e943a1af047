#include "client/platform/async_worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "client/core/log.h"
#include "client/core/runtime.h"
#include "client/platform/window.h"

namespace velmar {

void AsyncWorkerJobHandler::run() {
    Message(kLogCrit,
            "AsyncWorkerJobHandler -> NULL Handle (Handler Not implemented) - This should'nt happen.");
}

// --- Queues ---

namespace {

struct AsyncJob {
    AsyncJob* next;
    AsyncWorkerJobHandler* handler;
};

// A FIFO list; `mutex` guards head and tail and is held only to link or
// unlink, never while a job runs.
struct JobQueue {
    std::mutex mutex;
    std::condition_variable wake;
    AsyncJob* head = nullptr;
    AsyncJob* tail = nullptr;

    void pushLocked(AsyncJob* job) {
        job->next = nullptr;
        if (tail) tail->next = job;
        else head = job;
        tail = job;
    }
    AsyncJob* popLocked() {
        AsyncJob* job = head;
        if (!job) return nullptr;
        head = job->next;
        if (!head) tail = nullptr;
        job->next = nullptr;
        return job;
    }
};

struct Worker {
    const char* name;
    AsyncWorkerKind kind;
    JobQueue queue;
    std::thread thread;
};

struct WorkerState {
    std::atomic<bool> running{false};
    bool initialised = false;  // main thread only
    SharedContext* ioContext = nullptr;
    Worker task{"Task", AsyncWorkerKind::Task, {}, {}};
    Worker io{"IO", AsyncWorkerKind::IO, {}, {}};
};

// Never destroyed: a worker may still run while the process ends.
WorkerState& state() {
    static WorkerState* s = new WorkerState;
    return *s;
}

void destroyJob(AsyncJob* job) {
    delete job->handler;
    release(job);
}

void runJob(AsyncJob* job) {
    job->handler->run();
    destroyJob(job);
}

void releaseQueued(JobQueue& queue) {
    std::lock_guard<std::mutex> lock(queue.mutex);
    while (AsyncJob* job = queue.popLocked()) destroyJob(job);
}

[[noreturn]] void fail(const char* text) {
    Message(kLogCrit, "%s", text);
    exitProcess(1);
}

// --- Worker thread ---

void workerMain(Worker* worker, SharedContext* context) {
    const bool isIO = worker->kind == AsyncWorkerKind::IO;
    if (isIO) {
        if (!windowMakeContextCurrent(context)) VELMAR_TRACE("IO worker runs without its GL context\n");
        setThreadPriority(ThreadPriority::Lowest);  // loading never competes with drawing
    }
    Message(kLogInfo, "AsyncWorker (%s) initialization done. / Ready!", worker->name);
    WorkerState& shared = state();
    JobQueue& queue = worker->queue;
    std::unique_lock<std::mutex> lock(queue.mutex);
    for (;;) {
        // The queue and the flag are tested under the queue's mutex, which
        // append and stop take too: a wake-up between two tests is never lost.
        queue.wake.wait_for(lock, std::chrono::milliseconds(AsyncWorker::kIdleWaitMs),
                            [&] { return queue.head || !shared.running.load(); });
        // Every queued job runs before the next sleep, so no job ever waits
        // for the idle timeout. A stop leaves the rest to be released unrun.
        while (shared.running.load()) {
            AsyncJob* job = queue.popLocked();
            if (!job) break;
            lock.unlock();
            runJob(job);
            lock.lock();
        }
        if (!shared.running.load()) break;
    }
    lock.unlock();
    if (isIO) windowMakeContextCurrent(nullptr);
}

bool spawn(Worker& worker, SharedContext* context) {
    try {
        worker.thread = std::thread(workerMain, &worker, context);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

bool onWorkerThread(const WorkerState& shared) {
    const std::thread::id self = std::this_thread::get_id();
    return self == shared.task.thread.get_id() || self == shared.io.thread.get_id();
}

}  // namespace

// --- Start and stop ---

void AsyncWorker::start() {
    WorkerState& shared = state();
    if (shared.initialised) return;
    shared.running.store(true);
    if (!spawn(shared.task, nullptr)) fail("Cannot Spawn Worker Thread.");
    bool shareRefused = false;
    shared.ioContext = windowCreateSharedContext(&shareRefused);
    if (!shared.ioContext) {
        fail(shareRefused ? "Cannot Create ressource bridge between Main <=> IO Rendering Context."
                          : "Cannot Create new Rendering Context for IO Worker Thread");
    }
    if (!spawn(shared.io, shared.ioContext)) fail("Cannot Spawn IO Worker Thread.");
    shared.initialised = true;
}

void AsyncWorker::stop() {
    WorkerState& shared = state();
    if (!shared.initialised && !onWorkerThread(shared)) return;
    shared.running.store(false);
    for (Worker* worker : {&shared.task, &shared.io}) {
        // Taking the mutex orders the store before a worker's next test of
        // the flag, so the signal cannot fall between its test and its wait.
        { std::lock_guard<std::mutex> lock(worker->queue.mutex); }
        worker->queue.wake.notify_all();
    }
    // A worker cannot join itself; the process's end takes the rest.
    if (onWorkerThread(shared)) return;
    shared.task.thread.join();
    shared.io.thread.join();
    releaseQueued(shared.task.queue);
    releaseQueued(shared.io.queue);
    windowDestroySharedContext(shared.ioContext);
    shared.ioContext = nullptr;
    shared.initialised = false;
}

bool AsyncWorker::running() { return state().running.load(); }

bool AsyncWorker::append(AsyncWorkerKind kind, std::unique_ptr<AsyncWorkerJobHandler> job) {
    if (!job) return false;
    WorkerState& shared = state();
    JobQueue& queue = kind == AsyncWorkerKind::IO ? shared.io.queue : shared.task.queue;
    AsyncJob* record = new (allocate(sizeof(AsyncJob))) AsyncJob{nullptr, job.release()};
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        // Tested under the mutex: once stop has cleared the flag nothing new
        // is linked, so its release of the queue misses no job.
        if (shared.running.load()) {
            queue.pushLocked(record);
            record = nullptr;
        }
    }
    if (record) {
        destroyJob(record);
        return false;
    }
    queue.wake.notify_one();
    return true;
}

}  // namespace velmar
