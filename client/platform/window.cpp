// The backend-neutral part of the window layer: the rules that need no
// window and the deferred exit of handlers.
#include "client/platform/window.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "client/core/runtime.h"
#include "client/platform/window_dispatch.h"

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

namespace {

// Reads the digits at `*p` and steps past them; stops short of overflow.
int readNumber(const char*& p) {
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value <= (0x7FFFFFFF - 9) / 10) value = value * 10 + (*p - '0');
        ++p;
    }
    return value;
}

}  // namespace

GLVersion parseGLVersion(const char* versionText) {
    GLVersion v{0, 0, 0};
    if (!versionText) return v;
    const char* p = versionText;
    v.major = readNumber(p);
    if (*p != '.') return v;
    v.minor = readNumber(++p);
    if (*p != '.') return v;
    v.revision = readNumber(++p);
    return v;
}

bool extensionListed(const char* list, const char* name) {
    if (!list || !name || !*name || std::strchr(name, ' ')) return false;
    const std::size_t length = std::strlen(name);
    for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += length) {
        const bool startsWord = p == list || p[-1] == ' ';
        const bool endsWord = p[length] == ' ' || p[length] == '\0';
        if (startsWord && endsWord) return true;
    }
    return false;
}

bool isSoftwareRenderer(const char* rendererName) {
    if (!rendererName) return false;
    static const char* const kSoftware[] = {"llvmpipe", "softpipe", "swrast", "Software Rasterizer"};
    for (const char* software : kSoftware) {
        if (std::strstr(rendererName, software)) return true;
    }
    return false;
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
