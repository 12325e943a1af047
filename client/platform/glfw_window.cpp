// The window layer over GLFW 3 and the X11 GL driver.
#include <GLFW/glfw3.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "client/core/log.h"
#include "client/core/runtime.h"
#include "client/gl/gl_ext.h"
#include "client/platform/window.h"
#include "client/platform/window_dispatch_internal.h"

namespace velmar {

// --- Layer state (main thread) ---

namespace {

struct LayerState {
    bool initialised = false;
    std::atomic<bool> displayLost{false};  // every X call fails from then on
    void (*onDisplayLost)() = nullptr;
    std::thread::id owner;
    WindowHints hints;
    GLFWwindow* window = nullptr;
    bool keyRepeat = false;
    double wheel = 0.0;
    // Taking the pointer jumps GLFW's virtual position in lock: the first
    // events after the lock begins measure the pointer against the lock's
    // warp to the window's middle, and the pointer entering the window (on
    // getting the focus back) reports where it came in. The positions of
    // such a poll only set how far the reported position is from GLFW's, so
    // the handlers never see the jump.
    bool locked = false;
    bool rebasePending = false;  // the lock began; no position came since
    bool rebasing = false;       // in this poll, positions are no movement
    double offsetX = 0.0, offsetY = 0.0;  // added to GLFW's position in lock
    double lastX = 0.0, lastY = 0.0;      // the position last reported
    CloseHandler onClose = nullptr;
    KeyHandler onKey = nullptr;
    CharHandler onChar = nullptr;
    MouseButtonHandler onButton = nullptr;
    MousePosHandler onMousePos = nullptr;
    MouseWheelHandler onWheel = nullptr;
    CursorEnterHandler onEnter = nullptr;
};

LayerState g_layer;
// Hidden windows of worker contexts still alive (main thread).
std::vector<SharedContext*> g_sharedContexts;

void destroyAllSharedContexts();

// Positions in mouse lock are unbounded doubles; keep them inside int.
int toInt(double value) {
    if (!(value > -2147483648.0)) return -2147483647 - 1;
    if (value >= 2147483647.0) return 2147483647;
    return static_cast<int>(std::floor(value));
}

void onGlfwError(int code, const char* description) {
    VELMAR_TRACE("GLFW error %d: %s\n", code, description ? description : "");
}

// --- Callbacks from GLFW, run inside glfwPollEvents ---

void closeCallback(GLFWwindow* window) {
    if (g_layer.onClose && !g_layer.onClose()) glfwSetWindowShouldClose(window, GLFW_FALSE);
}

void keyCallback(GLFWwindow*, int key, int, int action, int) {
    if (action == GLFW_REPEAT) {
        if (!g_layer.keyRepeat) return;
        action = GLFW_PRESS;
    }
    if (g_layer.onKey) g_layer.onKey(key, action == GLFW_PRESS ? kActionPress : kActionRelease);
}

void charCallback(GLFWwindow*, unsigned codepoint) {
    if (g_layer.onChar) g_layer.onChar(codepoint, kActionPress);
}

void buttonCallback(GLFWwindow*, int button, int action, int) {
    if (g_layer.onButton) g_layer.onButton(button, action == GLFW_PRESS ? kActionPress : kActionRelease);
}

void cursorCallback(GLFWwindow*, double x, double y) {
    if (g_layer.locked && g_layer.rebasePending) {
        g_layer.rebasePending = false;
        g_layer.rebasing = true;
    }
    if (g_layer.locked && g_layer.rebasing) {
        g_layer.offsetX = g_layer.lastX - x;
        g_layer.offsetY = g_layer.lastY - y;
        return;
    }
    if (g_layer.locked) {
        x += g_layer.offsetX;
        y += g_layer.offsetY;
    }
    g_layer.lastX = x;
    g_layer.lastY = y;
    if (g_layer.onMousePos) g_layer.onMousePos(toInt(x), toInt(y));
}

void enterCallback(GLFWwindow*, int entered) {
    if (entered == GLFW_TRUE) g_layer.rebasing = true;  // its position follows at once
    if (g_layer.onEnter) g_layer.onEnter(entered == GLFW_TRUE);
}

void scrollCallback(GLFWwindow*, double, double yoffset) {
    g_layer.wheel += yoffset;
    if (g_layer.onWheel) g_layer.onWheel(toInt(std::round(g_layer.wheel)));
}

void installCallbacks(GLFWwindow* window) {
    glfwSetWindowCloseCallback(window, closeCallback);
    glfwSetKeyCallback(window, keyCallback);
    glfwSetCharCallback(window, charCallback);
    glfwSetMouseButtonCallback(window, buttonCallback);
    glfwSetCursorPosCallback(window, cursorCallback);
    glfwSetScrollCallback(window, scrollCallback);
    glfwSetCursorEnterCallback(window, enterCallback);
}

const char* glText(GLenum name) {
    if (!g_layer.window) return "";
    const GLubyte* text = glGetString(name);
    return text ? reinterpret_cast<const char*>(text) : "";
}

// Xlib's own handler ends the process at once, so the settings due were
// never written. A step of the exit that calls X again lands here once
// more: then the process ends at once.
int onDisplayLost(Display*) {
    if (g_layer.displayLost.exchange(true)) _exit(1);
    Message(kLogWarn, "Window: the connection to the display was lost - the game ends as on a window close");
    if (g_layer.onDisplayLost) g_layer.onDisplayLost();
    exitProcess(1);
    return 0;
}

}  // namespace

// --- Life cycle ---

bool windowInit() {
    if (g_layer.initialised) return true;
    glfwSetErrorCallback(onGlfwError);
    g_layer.owner = std::this_thread::get_id();
    g_layer.initialised = glfwInit() == GLFW_TRUE;
    if (g_layer.initialised) XSetIOErrorHandler(onDisplayLost);
    return g_layer.initialised;
}

void windowSetDisplayLostHandler(void (*handler)()) { g_layer.onDisplayLost = handler; }

void windowTerminate() {
    if (!g_layer.initialised || g_layer.owner != std::this_thread::get_id() || g_layer.displayLost) return;
    destroyAllSharedContexts();
    if (g_layer.window) glfwDestroyWindow(g_layer.window);
    g_layer.window = nullptr;
    glfwTerminate();
    g_layer.initialised = false;
}

void windowHide() {
    if (!g_layer.initialised || g_layer.owner != std::this_thread::get_id() || !g_layer.window || g_layer.displayLost)
        return;
    // A full-screen window cannot be hidden, only minimised. No poll after:
    // the handlers would run inside the shutdown.
    if (glfwGetWindowMonitor(g_layer.window))
        glfwIconifyWindow(g_layer.window);
    else
        glfwHideWindow(g_layer.window);
}

void windowSetHints(const WindowHints& hints) { g_layer.hints = hints; }

bool windowOpen(int width, int height, WindowMode mode) {
    if (!g_layer.initialised || g_layer.window) return false;
    const WindowSize size = windowSizeFor(width, height);
    if (size.width > kWindowMaxSide || size.height > kWindowMaxSide) return false;
    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_RESIZABLE, g_layer.hints.resizable ? GLFW_TRUE : GLFW_FALSE);
    glfwWindowHint(GLFW_REFRESH_RATE, g_layer.hints.refreshRate > 0 ? g_layer.hints.refreshRate : GLFW_DONT_CARE);
    glfwWindowHint(GLFW_SAMPLES, g_layer.hints.samples > 0 ? g_layer.hints.samples : 0);
    glfwWindowHint(GLFW_RED_BITS, 8);
    glfwWindowHint(GLFW_GREEN_BITS, 8);
    glfwWindowHint(GLFW_BLUE_BITS, 8);
    glfwWindowHint(GLFW_ALPHA_BITS, 8);
    glfwWindowHint(GLFW_DEPTH_BITS, 16);
    glfwWindowHint(GLFW_STENCIL_BITS, 0);
    glfwWindowHint(GLFW_DOUBLEBUFFER, GLFW_TRUE);
    // No version floor (the defaults ask for 1.0): a driver below 1.2 still
    // opens the window, and the capability check tells the user what is
    // missing instead of a bare "Window Creation Failed.".
    glfwWindowHintString(GLFW_X11_CLASS_NAME, "VELMARWND");
    glfwWindowHintString(GLFW_X11_INSTANCE_NAME, "velmar");
    GLFWmonitor* monitor = mode == WindowMode::FullScreen ? glfwGetPrimaryMonitor() : nullptr;
    if (mode == WindowMode::FullScreen && !monitor) return false;
    GLFWwindow* window = glfwCreateWindow(size.width, size.height, "", monitor, nullptr);
    if (!window) return false;
    glfwMakeContextCurrent(window);
    // A full screen takes the display's video mode nearest to the size asked
    // for, which may be larger; the context's first viewport was the size
    // asked for, and would leave the picture in a corner of the screen.
    int framebufferWidth = 0, framebufferHeight = 0;
    glfwGetFramebufferSize(window, &framebufferWidth, &framebufferHeight);
    glViewport(0, 0, framebufferWidth, framebufferHeight);
    installCallbacks(window);
    g_layer.window = window;
    g_layer.wheel = 0.0;
    g_layer.locked = false;
    if (monitor) windowSetMouseLock(true);
    return true;
}

bool windowIsOpen() { return g_layer.window != nullptr; }

WindowSize windowGetSize() {
    WindowSize size{0, 0};
    if (g_layer.window) glfwGetFramebufferSize(g_layer.window, &size.width, &size.height);
    return size;
}

void windowSetTitle(const char* title) {
    if (g_layer.window && title) glfwSetWindowTitle(g_layer.window, title);
}

void windowSetSwapInterval(int interval) {
    // GLFW uses whichever swap-control extension exists and does nothing without one.
    if (g_layer.window) glfwSwapInterval(interval);
}

// --- GL queries ---

const char* windowGLText(GLText which) {
    switch (which) {
        case GLText::Vendor: return glText(GL_VENDOR);
        case GLText::Renderer: return glText(GL_RENDERER);
        case GLText::Version: return glText(GL_VERSION);
        case GLText::ShadingLanguage: return glText(GL_SHADING_LANGUAGE_VERSION);
    }
    return "";
}

GLVersion windowGLVersion() { return parseGLVersion(windowGLText(GLText::Version)); }

bool windowIsAccelerated() {
    return g_layer.window && !isSoftwareRenderer(windowGLText(GLText::Renderer));
}

bool windowExtensionSupported(const char* name) {
    if (!g_layer.window || !name || !*name || std::strchr(name, ' ')) return false;
    if (extensionListed(glText(GL_EXTENSIONS), name)) return true;
    // The window-system list (GLX); GLFW matches whole words as well.
    return glfwExtensionSupported(name) == GLFW_TRUE;
}

void* windowProcAddress(const char* name) {
    if (!g_layer.window || !name) return nullptr;
    return reinterpret_cast<void*>(glfwGetProcAddress(name));
}

int windowMaxTextureUnits() {
    if (!g_layer.window) return 0;
    GLint units = 0;
    glGetIntegerv(GL_MAX_TEXTURE_UNITS_ARB, &units);
    return units;
}

// --- Input ---

void windowSetCloseHandler(CloseHandler handler) { g_layer.onClose = handler; }
void windowSetKeyHandler(KeyHandler handler) { g_layer.onKey = handler; }
void windowSetCharHandler(CharHandler handler) { g_layer.onChar = handler; }
void windowSetMouseButtonHandler(MouseButtonHandler handler) { g_layer.onButton = handler; }

void windowSetMousePosHandler(MousePosHandler handler) {
    g_layer.onMousePos = handler;
    if (!handler || !g_layer.window) return;
    int x = 0, y = 0;
    windowGetMousePos(&x, &y);
    g_layer.lastX = x;
    g_layer.lastY = y;
    handler(x, y);
}

void windowSetMouseWheelHandler(MouseWheelHandler handler) {
    g_layer.onWheel = handler;
    if (handler && g_layer.window) handler(toInt(std::round(g_layer.wheel)));
}

void windowSetCursorEnterHandler(CursorEnterHandler handler) { g_layer.onEnter = handler; }

void windowEnableKeyRepeat(bool enabled) { g_layer.keyRepeat = enabled; }

void windowSetMouseLock(bool locked) {
    if (!g_layer.window) return;
    if (locked && !g_layer.locked) {
        // GLFW's virtual position starts where the pointer is.
        g_layer.offsetX = g_layer.offsetY = 0.0;
        g_layer.rebasePending = true;
    }
    g_layer.locked = locked;
    glfwSetInputMode(g_layer.window, GLFW_CURSOR, locked ? GLFW_CURSOR_DISABLED : GLFW_CURSOR_NORMAL);
}

void windowGetMousePos(int* x, int* y) {
    double px = 0.0, py = 0.0;
    if (g_layer.window) glfwGetCursorPos(g_layer.window, &px, &py);
    if (g_layer.locked) {
        px += g_layer.offsetX;
        py += g_layer.offsetY;
    }
    if (x) *x = toInt(px);
    if (y) *y = toInt(py);
}

void windowSetMousePos(int x, int y) {
    if (g_layer.window) glfwSetCursorPos(g_layer.window, x, y);
}

// --- Shared contexts for worker threads ---

struct SharedContext {
    GLFWwindow* window;
};

namespace {

GLFWwindow* createHiddenWindow(GLFWwindow* share) {
    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    glfwWindowHint(GLFW_FOCUSED, GLFW_FALSE);
    // The same context request as the main window (the defaults): sharing
    // needs a like context.
    glfwWindowHintString(GLFW_X11_CLASS_NAME, "VELMARWND");
    glfwWindowHintString(GLFW_X11_INSTANCE_NAME, "velmar");
    // GLFW leaves the calling thread's current context as it was.
    return glfwCreateWindow(1, 1, "", nullptr, share);
}

void destroyAllSharedContexts() {
    for (SharedContext* context : g_sharedContexts) {
        glfwDestroyWindow(context->window);
        delete context;
    }
    g_sharedContexts.clear();
}

}  // namespace

SharedContext* windowCreateSharedContext(bool* shareRefused) {
    if (shareRefused) *shareRefused = false;
    if (!g_layer.window || g_layer.owner != std::this_thread::get_id()) return nullptr;
    GLFWwindow* window = createHiddenWindow(g_layer.window);
    if (!window) {
        // Tell a refused share from a driver that makes no second context at all.
        GLFWwindow* alone = createHiddenWindow(nullptr);
        if (alone) glfwDestroyWindow(alone);
        if (shareRefused) *shareRefused = alone != nullptr;
        return nullptr;
    }
    g_sharedContexts.push_back(new SharedContext{window});
    return g_sharedContexts.back();
}

bool windowMakeContextCurrent(SharedContext* context) {
    GLFWwindow* window = context ? context->window : nullptr;
    glfwMakeContextCurrent(window);
    return glfwGetCurrentContext() == window;
}

void windowDestroySharedContext(SharedContext* context) {
    if (!context || !g_layer.initialised || g_layer.owner != std::this_thread::get_id()) return;
    for (auto it = g_sharedContexts.begin(); it != g_sharedContexts.end(); ++it) {
        if (*it != context) continue;
        glfwDestroyWindow(context->window);
        delete context;
        g_sharedContexts.erase(it);
        return;
    }
}

// --- Per frame ---

void windowPollEvents() {
    if (!g_layer.initialised) return;
    beginEventDispatch();
    glfwPollEvents();
    g_layer.rebasing = false;
    endEventDispatch();
    // The window is destroyed here, never from inside GLFW's own dispatch.
    if (g_layer.window && glfwWindowShouldClose(g_layer.window)) {
        glfwDestroyWindow(g_layer.window);
        g_layer.window = nullptr;
    }
}

void windowSwapBuffers() {
    if (g_layer.window) glfwSwapBuffers(g_layer.window);
}

}  // namespace velmar
