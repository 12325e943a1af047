// The window layer without a window system: the layer starts, but no window
// and no shared context can be opened, so every query answers as before a
// window is open and no handler is ever called. Programs and tests that
// never draw link it instead of the GLFW backend and need no display.
#include "client/platform/window.h"
#include "client/platform/window_dispatch_internal.h"

namespace velmar {

namespace {

bool g_initialised = false;

}  // namespace

// --- Life cycle ---

bool windowInit() {
    g_initialised = true;
    return true;
}
void windowTerminate() { g_initialised = false; }
void windowHide() {}
void windowSetDisplayLostHandler(void (*)()) {}
void windowSetHints(const WindowHints&) {}
bool windowOpen(int, int, WindowMode) { return false; }
bool windowIsOpen() { return false; }
WindowSize windowGetSize() { return {0, 0}; }
void windowSetTitle(const char*) {}
void windowSetSwapInterval(int) {}

// --- GL queries ---

const char* windowGLText(GLText) { return ""; }
GLVersion windowGLVersion() { return parseGLVersion(""); }
bool windowIsAccelerated() { return false; }
bool windowExtensionSupported(const char*) { return false; }
void* windowProcAddress(const char*) { return nullptr; }
int windowMaxTextureUnits() { return 0; }

// --- Input: kept nowhere, as no event ever arrives ---

void windowSetCloseHandler(CloseHandler) {}
void windowSetKeyHandler(KeyHandler) {}
void windowSetCharHandler(CharHandler) {}
void windowSetMouseButtonHandler(MouseButtonHandler) {}
void windowSetMousePosHandler(MousePosHandler) {}
void windowSetMouseWheelHandler(MouseWheelHandler) {}
void windowSetCursorEnterHandler(CursorEnterHandler) {}
void windowEnableKeyRepeat(bool) {}
void windowSetMouseLock(bool) {}
void windowGetMousePos(int* x, int* y) {
    if (x) *x = 0;
    if (y) *y = 0;
}
void windowSetMousePos(int, int) {}

// --- Shared contexts ---

SharedContext* windowCreateSharedContext(bool* shareRefused) {
    if (shareRefused) *shareRefused = false;
    return nullptr;
}
// Releasing the calling thread's context always succeeds; there is no other.
bool windowMakeContextCurrent(SharedContext* context) { return context == nullptr; }
void windowDestroySharedContext(SharedContext*) {}

// --- Per frame ---

void windowPollEvents() {
    if (!g_initialised) return;
    beginEventDispatch();
    endEventDispatch();
}
void windowSwapBuffers() {}

}  // namespace velmar
