// The worker's hold on what the launcher saves when it ends (the revision
// record). A worker thread holds the gate for the whole of its run and lets
// go only while it waits for the window thread to carry out a command or
// show a box. Whoever ends the launcher takes the gate before it saves, so
// the record is written while no worker is changing it, and the worker is
// never torn down in the middle of its own work (its HTTP handle included):
// the process simply ends.
//
// One gate per launcher; a thread holds at most one gate.
#pragma once

#include <mutex>

namespace quillon {

class WorkerGate {
public:
    WorkerGate() = default;
    WorkerGate(const WorkerGate&) = delete;
    WorkerGate& operator=(const WorkerGate&) = delete;

    // Worker thread: held from the start of the run to its end.
    void enter();
    void leave();

    // Ending thread: takes the gate when no worker is between two waits.
    // Kept until release() (the process normally ends holding it).
    bool tryTake();
    void release();

    // Lets go of the gate the calling thread holds as a worker for the life
    // of the object, and takes it back after; nothing on other threads.
    class WaitScope {
    public:
        WaitScope();
        ~WaitScope();
        WaitScope(const WaitScope&) = delete;
        WaitScope& operator=(const WaitScope&) = delete;

    private:
        WorkerGate* m_gate;
    };

    // True when the calling thread holds this gate as a worker.
    bool heldByThisThread() const;

private:
    std::mutex m_lock;
};

}  // namespace quillon
