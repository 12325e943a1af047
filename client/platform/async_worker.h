// AsyncWorker: two background threads that run queued jobs away from the main
// loop. The "Task" worker runs work that needs no graphics; the "IO" worker
// holds a GL context of its own that shares its objects with the main
// window's, so its jobs can create or fill textures the main thread then
// binds. Ordering a job's GL work against the main thread's use of the result
// (glFinish, a fence, a flag) is the job's business.
//
// start and stop belong to the start-up and shutdown code on the main thread;
// start needs the main window open. Any thread may append. Each worker runs
// its jobs one at a time in queue order, with no lock held; the two workers
// run independently. A job is owned by its queue until it has run; jobs still
// queued at stop are destroyed without running.
#pragma once

#include <cstdint>
#include <memory>

namespace velmar {

// A job. Derive from it and override run; the worker destroys the object
// after the run (or unrun, at stop).
class AsyncWorkerJobHandler {
public:
    virtual ~AsyncWorkerJobHandler() = default;
    // Runs on the worker thread. The base one only reports that nothing
    // was overridden; the process goes on.
    virtual void run();
    // False for the base handler; jobs that do real work answer true.
    virtual bool isImplemented() const { return false; }
};

enum class AsyncWorkerKind : std::uint8_t { Task = 0, IO = 1 };

class AsyncWorker {
public:
    // Longest sleep of an idle worker between checks of its queue.
    static constexpr int kIdleWaitMs = 30000;

    // Starts both workers; a worker, context or sharing failure ends the
    // process with code 1. A second start while running does nothing.
    static void start();
    // Stops and joins both workers, then destroys the jobs left queued and
    // the IO context. Does nothing unless started. Called on a worker thread
    // (the process ending from inside a job) it only tells the workers to
    // stop and leaves the rest to the process's end.
    static void stop();
    static bool running();

    // Queues `job` for the worker of `kind` and wakes it. When the workers
    // are not running the job is destroyed unrun and false is returned.
    static bool append(AsyncWorkerKind kind, std::unique_ptr<AsyncWorkerJobHandler> job);
};

}  // namespace velmar
