#include "patcher/front/gtk/gtk_thread.h"

#include <gtk/gtk.h>

#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "patcher/front/gtk/gtk_library.h"
#include "patcher/front/worker_gate.h"

namespace quillon {

namespace {

std::thread::id g_gtkThread;
bool g_started = false;
std::function<void()> g_foreignJobHook;  // GTK thread only

// Every handover goes through this one lock. GLib's own locks are futexes a
// race checker cannot see, and a lock made with the job on the waiter's
// stack would itself be unordered; taking this one on both sides shows that
// a job is made before the GTK thread uses it.
std::mutex g_handover;
std::condition_variable g_jobDone;

struct Job {
    const std::function<void()>* work;
    bool finished = false;
};

gboolean runJob(gpointer data) {
    Job* job = static_cast<Job*>(data);
    if (g_foreignJobHook) g_foreignJobHook();
    const std::function<void()>* work;
    {
        std::lock_guard<std::mutex> lock(g_handover);
        work = job->work;
    }
    (*work)();
    std::lock_guard<std::mutex> lock(g_handover);
    job->finished = true;
    // Under the lock: once it is free the waiter may return, and the job is gone.
    g_jobDone.notify_all();
    return G_SOURCE_REMOVE;
}

}  // namespace

bool gtkStart() {
    if (g_started) return onGtkThread();
    std::string why;
    if (!loadGtkLibrary(&why)) {
        std::fprintf(stderr, "quillon: cannot load GTK (%s); the launcher runs in the console\n", why.c_str());
        return false;
    }
    const bool opened = gtk_init_check(nullptr, nullptr);
    // GTK takes up the player's locale even when no display opens; our
    // texts, window and console alike, keep the decimal point.
    std::setlocale(LC_NUMERIC, "C");
    if (!opened) return false;
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
    // A worker must not hold its gate while the GTK thread may want it.
    WorkerGate::WaitScope letGo;
    std::unique_lock<std::mutex> lock(g_handover);
    Job pending{&job};
    // Always a source: invoking the context directly could run the job here
    // when the GTK thread happens not to be iterating.
    g_idle_add_full(G_PRIORITY_DEFAULT, runJob, &pending, nullptr);
    g_jobDone.wait(lock, [&] { return pending.finished; });
}

void setForeignJobHook(std::function<void()> hook) { g_foreignJobHook = std::move(hook); }

namespace {

gboolean runLaterJob(gpointer data) {
    { std::lock_guard<std::mutex> lock(g_handover); }  // made before this (see g_handover)
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void freeLaterJob(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

void runOnGtkThreadLater(int delayMs, std::function<void()> job) {
    std::function<void()>* held;
    {
        std::lock_guard<std::mutex> lock(g_handover);
        held = new std::function<void()>(std::move(job));
    }
    g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(delayMs < 0 ? 0 : delayMs), runLaterJob,
                       held, freeLaterJob);
}

void runGtkLoop() { gtk_main(); }

}  // namespace quillon
