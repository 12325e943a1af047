// The backend-neutral part of the window layer: the size rule, the GL
// capability check against the open window and the deferred exit of
// handlers.
#include "client/platform/window.h"

#include <signal.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "client/core/render_caps.h"
#include "client/core/runtime.h"
#include "client/gl/gl_ext.h"
#include "client/platform/window_dispatch_internal.h"

namespace velmar {

// --- Rules without a window ---

WindowSize windowSizeFor(int width, int height) {
    if (width <= 0 && height <= 0) return {800, 600};
    // Done in 64 bits: a huge setting must not overflow on its way to 4:3.
    if (height <= 0) return {width, static_cast<int>(static_cast<long long>(width) * 3 / 4)};
    if (width <= 0) {
        const long long derived = static_cast<long long>(height) * 4 / 3;
        return {derived > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(derived), height};
    }
    return {width, height};
}

// --- GL capability check ---

bool GetGLExt() {
    const GLDriverQueries driver{windowGLText(GLText::Version), windowExtensionSupported,
                                 windowProcAddress, windowMaxTextureUnits};
    return GetGLExt(driver, glEntryPoints(), renderCaps());
}

// --- Deferred exit ---

namespace {

constexpr int kNoExit = -1;
std::atomic<bool> g_dispatching{false};
std::atomic<std::thread::id> g_dispatchThread{};
std::atomic<int> g_pendingExit{kNoExit};

}  // namespace

void beginEventDispatch() {
    g_dispatchThread.store(std::this_thread::get_id());
    g_dispatching.store(true);
}

void endEventDispatch() {
    g_dispatching.store(false);
    const int code = g_pendingExit.load();
    if (code != kNoExit) exitProcess(code);
}

namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGHUP, SIGINT};

void onTerminationSignal(int) {
    int none = kNoExit;
    g_pendingExit.compare_exchange_strong(none, 1);  // lock-free: safe in a handler
    // Whichever comes next ends the process at once (sigaction is safe here).
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    for (const int signal : kTerminationSignals) ::sigaction(signal, &plain, nullptr);
}

}  // namespace

void windowExitOnTerminationSignals() {
    static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free exit code");
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kTerminationSignals) {
        // One ignored by whoever started the game (nohup, a background job)
        // stays ignored.
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}

void windowRequestExit(int code) {
    if (code == kNoExit) code = 1;  // keep the marker unambiguous
    if (g_dispatching.load() && g_dispatchThread.load() == std::this_thread::get_id()) {
        int none = kNoExit;
        g_pendingExit.compare_exchange_strong(none, code);
        return;
    }
    exitProcess(code);
}

}  // namespace velmar
