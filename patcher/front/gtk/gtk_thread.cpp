#include "patcher/front/gtk/gtk_thread.h"

#include <gtk/gtk.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "patcher/front/worker_gate.h"

namespace quillon {

namespace {

std::thread::id g_gtkThread;
bool g_started = false;
std::function<void()> g_foreignJobHook;  // GTK thread only

struct Job {
    const std::function<void()>* work;
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
};

gboolean runJob(gpointer data) {
    Job* job = static_cast<Job*>(data);
    if (g_foreignJobHook) g_foreignJobHook();
    (*job->work)();
    {
        std::lock_guard<std::mutex> lock(job->lock);
        job->finished = true;
    }
    job->done.notify_one();
    return G_SOURCE_REMOVE;
}

}  // namespace

bool gtkStart() {
    if (g_started) return onGtkThread();
    if (!gtk_init_check(nullptr, nullptr)) return false;
    g_gtkThread = std::this_thread::get_id();
    g_started = true;
    return true;
}

bool onGtkThread() { return g_started && std::this_thread::get_id() == g_gtkThread; }

void runOnGtkThread(const std::function<void()>& job) {
    if (onGtkThread()) {
        job();
        return;
    }
    Job pending{&job, {}, {}, false};
    // A worker must not hold its gate while the GTK thread may want it.
    WorkerGate::WaitScope letGo;
    // Always a source: invoking the context directly could run the job here
    // when the GTK thread happens not to be iterating.
    g_idle_add_full(G_PRIORITY_DEFAULT, runJob, &pending, nullptr);
    std::unique_lock<std::mutex> lock(pending.lock);
    pending.done.wait(lock, [&] { return pending.finished; });
}

void setForeignJobHook(std::function<void()> hook) { g_foreignJobHook = std::move(hook); }

namespace {

gboolean runLaterJob(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void freeLaterJob(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

void runOnGtkThreadLater(int delayMs, std::function<void()> job) {
    auto* held = new std::function<void()>(std::move(job));
    g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(delayMs < 0 ? 0 : delayMs), runLaterJob,
                       held, freeLaterJob);
}

void runGtkLoop() { gtk_main(); }

}  // namespace quillon
