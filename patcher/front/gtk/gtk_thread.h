// The launcher's GTK thread: the one thread that touches GTK. Other threads
// hand it work with runOnGtkThread and wait until it has run, which is how
// the worker's commands and every box reach the window synchronously. While
// a worker waits it lets go of its WorkerGate.
//
// gtkStart() is called once, on the thread that will run the loop; the other
// functions may be called from any thread after it.
#pragma once

#include <functional>

namespace quillon {

// Connects to the display; false when there is none. The calling thread
// becomes the GTK thread.
bool gtkStart();
bool onGtkThread();

// Runs `job` on the GTK thread and returns when it has run (at once when
// called there). Jobs run in the order they were handed over.
void runOnGtkThread(const std::function<void()>& job);

// Runs before every job that another thread hands over; the launcher uses it
// to finish a close that waited for the worker. GTK thread only.
void setForeignJobHook(std::function<void()> hook);

// Runs `job` on the GTK thread once, `delayMs` from now; any thread.
void runOnGtkThreadLater(int delayMs, std::function<void()> job);

// The loop of the GTK thread; it runs until the process ends.
void runGtkLoop();

}  // namespace quillon
