// The launcher with its dialog: the window thread's loop, one worker at a
// time (the patch run or a full check), the game start thread and the end of
// the process. Ending saves a changed revision record while holding the
// worker gate and then ends the process at once; a worker still running is
// stopped wherever it is. A worker that does not come to a wait within a few
// seconds is not waited for: the record file stays as it was last saved.
//
// Made and run on the GTK thread after gtkStart(); run() does not return.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "patcher/engine/patch_context.h"
#include "patcher/front/gtk/gtk_ui.h"
#include "patcher/front/worker_gate.h"

namespace quillon {

// Starts a detached thread with the given stack size; false when it cannot.
bool startDetachedThread(std::size_t stackBytes, std::function<void()> body);

class WindowedLauncher {
public:
    // `key` (may be null: no signatures) outlives the launcher.
    WindowedLauncher(const std::string& gameDir, const std::string& moduleName,
                     RevisionRecord& record, HttpClient& http, const PublicKey* key);
    WindowedLauncher(const WindowedLauncher&) = delete;
    WindowedLauncher& operator=(const WindowedLauncher&) = delete;

    // Creates the dialog, starts the first worker and runs the loop; ends
    // the process with the launcher's exit code.
    [[noreturn]] void run(bool fullCheckFirst);

private:
    void startWorker(bool fullCheck);
    void workerMain(bool fullCheck);
    void startGameThread();
    void gameStartMain();
    void quit();
    void finishPendingClose();
    [[noreturn]] void end(int code);

    std::string m_gameDir;
    RevisionRecord& m_record;
    LauncherWindow m_window;
    LauncherState m_state;
    PatchContext m_ctx;
    WorkerGate m_gate;
    std::atomic<int> m_exitCode{0};
    bool m_closePending = false;  // GTK thread
    bool m_gameStarting = false;  // GTK thread
};

}  // namespace quillon
