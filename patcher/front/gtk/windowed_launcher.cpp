#include "patcher/front/gtk/windowed_launcher.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "patcher/engine/full_check.h"
#include "patcher/engine/patch_run.h"
#include "patcher/front/game_start.h"
#include "patcher/front/gtk/gtk_thread.h"
#include "patcher/front/gtk/splash.h"
#include "shared/message_box.h"

namespace quillon {

namespace {

constexpr std::size_t kWorkerStack = 0x400000;
constexpr std::size_t kGameStartStack = 0x100000;
constexpr int kCloseWaitMs = 3000;

void* threadEntry(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

[[noreturn]] void failAndEnd(const char* text, const char* caption) {
    quask::showMessageBox(text, caption, quask::BoxIcon::Error, quask::BoxButtons::Ok);
    std::fflush(nullptr);
    ::_exit(1);
}

}  // namespace

bool startDetachedThread(std::size_t stackBytes, std::function<void()> body) {
    auto* heapBody = new std::function<void()>(std::move(body));
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete heapBody;
        return false;
    }
    pthread_attr_setstacksize(&attr, stackBytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, threadEntry, heapBody);
    pthread_attr_destroy(&attr);
    if (rc != 0) delete heapBody;
    return rc == 0;
}

WindowedLauncher::WindowedLauncher(const std::string& gameDir, const std::string& moduleName,
                                   RevisionRecord& record, HttpClient& http, const PublicKey* key)
    : m_gameDir(gameDir),
      m_record(record),
      m_window(LauncherWindowActions{[this] { startGameThread(); },
                                     [this] { startWorker(true); }, [this] { quit(); }, nullptr}),
      m_state(m_window),
      m_ctx{http, m_state, gameDir, patchBaseUrl(), moduleName, key, {}} {
    m_window.attach(&m_state);
}

// --- Start and loop ---

void WindowedLauncher::run(bool fullCheckFirst) {
    setForeignJobHook([this] { finishPendingClose(); });
    if (!m_window.create()) failAndEnd("Window Creation Failed.", "Error");
    startWorker(fullCheckFirst);
    runGtkLoop();
    // Nothing quits the loop; should it end anyway, end as a close would.
    if (m_gate.tryTake()) end(m_exitCode);
    std::fflush(nullptr);
    ::_exit(m_exitCode);
}

void WindowedLauncher::startWorker(bool fullCheck) {
    // A second click must not find the buttons still on while the new
    // worker waits for its turn.
    m_state.EnableStart(false);
    m_state.EnableFullCheck(false);
    if (!startDetachedThread(kWorkerStack, [this, fullCheck] { workerMain(fullCheck); }))
        failAndEnd("Cannot spawn Worker Thread.", "Error");
}

void WindowedLauncher::workerMain(bool fullCheck) {
    m_gate.enter();  // one worker at a time; a new one waits for the last
    const std::optional<PatchFailure> failure =
        fullCheck ? runFullCheck(m_ctx, m_record) : runPatch(m_ctx, m_record);
    if (failure) {
        quask::showMessageBox(failure->text, failure->caption, quask::BoxIcon::Error,
                              quask::BoxButtons::Ok);
        // Still holding the gate: the record cannot change under us.
        if (m_record.dirty) SaveRevisionRecord(m_gameDir, &m_record);
        std::fflush(nullptr);
        ::_exit(1);
    }
    m_gate.leave();
}

// --- Game start ---

void WindowedLauncher::startGameThread() {
    if (m_gameStarting) return;
    m_gameStarting = true;
    if (!startDetachedThread(kGameStartStack, [this] { gameStartMain(); }))
        failAndEnd("Cannot Spawn Gamestarter Thread - OS Error?", "Fatal Error");
}

void WindowedLauncher::gameStartMain() {
    GtkSplash splash(splashPicturePath(m_gameDir));
    const GameStartOutcome outcome = startGame(GameStartSetup{m_gameDir, &m_window, &splash});
    m_exitCode = exitCodeAfterGameStart(outcome);
    m_window.requestClose();
}

// --- End ---

void WindowedLauncher::quit() {
    if (m_gate.tryTake()) end(m_exitCode);
    if (m_closePending) return;
    // A worker is between two commands: finish when it next waits for us.
    m_closePending = true;
    m_window.send(CmdHideWindow, 1);
    // One stuck in a transfer is not waited for long. The record on disk is
    // always whole (it is replaced in one rename), so ending without the
    // save loses no more than a retry of a failed one.
    runOnGtkThreadLater(kCloseWaitMs, [this] {
        std::fflush(nullptr);
        ::_exit(m_exitCode);
    });
}

void WindowedLauncher::finishPendingClose() {
    if (m_closePending && m_gate.tryTake()) end(m_exitCode);
}

void WindowedLauncher::end(int code) {
    // The caller holds the gate, so no worker writes the record meanwhile.
    if (m_record.dirty) SaveRevisionRecord(m_gameDir, &m_record);
    std::fflush(nullptr);
    // No teardown: a worker may still be inside its HTTP transfer.
    ::_exit(code);
}

}  // namespace quillon
