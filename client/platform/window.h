// The client's window layer: one window with one OpenGL context, opened with
// hints, plus the title, swap interval, event polling and buffer swap, input
// callbacks, key repeat, mouse lock, the GL text and extension queries and
// entry-point lookup the client needs, and the GL capability check that fills
// the GL module's entry-point table from them. The size choice needs no
// window and is a plain function; the GL text rules are the GL module's.
//
// Two backends implement this header: GLFW over X11 for the client, and a
// null one without any window for programs and tests that open none (every
// query answers as before the window is open, and no window opens). A
// program links exactly one of them.
//
// Everything here belongs to the main thread, except windowRequestExit and
// windowMakeContextCurrent, which any thread may call, and the pure rules.
// Callbacks run on the main thread inside windowPollEvents. Queries made
// before the window is open or after termination answer "not supported",
// null, 0 or "".
#pragma once

#include "client/gl/gl_text.h"

namespace velmar {

// --- Rules without a window ---

struct WindowSize {
    int width;
    int height;
};
// Both sizes 0 or less: 800 x 600; one of them: derived from the other at 4:3.
WindowSize windowSizeFor(int width, int height);
// The largest side a window may have. A larger request is refused before the
// window system sees it: X servers and GL drivers end the process on such a
// request rather than fail it.
constexpr int kWindowMaxSide = 16384;

// --- Layer life cycle ---

struct WindowHints {
    bool resizable = false;
    int refreshRate = 0;  // 0: the display's default; only used in full screen
    int samples = 0;      // multisample count, 0: none
};
enum class WindowMode { Windowed, FullScreen };

bool windowInit();
// Closes the window and ends the layer. Only the thread that initialised the
// layer may end it; from any other thread (an exit asked for elsewhere) this
// does nothing and the process's end takes the window with it.
void windowTerminate();
// Takes the window off the screen (a full-screen one is minimised, its
// video mode given back), its context kept: the game looks ended while its
// shutdown still waits (a screenshot being written). Main thread; elsewhere
// nothing.
void windowHide();

void windowSetHints(const WindowHints& hints);
// Opens the window with the size of windowSizeFor(width, height); false
// when a side is over kWindowMaxSide. In full screen the system cursor is
// hidden and locked at once.
bool windowOpen(int width, int height, WindowMode mode);
bool windowIsOpen();
// The pixels the window really has (a full screen may get a larger video
// mode than asked for); the viewport spans them from the opening on.
WindowSize windowGetSize();
void windowSetTitle(const char* title);
void windowSetSwapInterval(int interval);  // nothing without swap control

// --- GL queries ---

enum class GLText { Vendor, Renderer, Version, ShadingLanguage };
const char* windowGLText(GLText which);  // "" without a window
GLVersion windowGLVersion();
bool windowIsAccelerated();
// extensionListed against the GL and the window-system extension texts.
bool windowExtensionSupported(const char* name);
// The window system may hand out an address for any name, known to the
// driver or not: decide from the version and extension texts first.
void* windowProcAddress(const char* name);
int windowMaxTextureUnits();

// The capability check (gl_ext.h) against the open window's driver, into
// the process-wide entry-point table and RenderCaps.
bool GetGLExt();

// --- Input ---

// Key codes and actions of this layer.
constexpr int kKeyEscape = 256;
constexpr int kKeyF12 = 301;
constexpr int kActionRelease = 0;
constexpr int kActionPress = 1;

// Returns false to keep the window open.
using CloseHandler = bool (*)();
using KeyHandler = void (*)(int key, int action);
using CharHandler = void (*)(unsigned codepoint, int action);
using MouseButtonHandler = void (*)(int button, int action);
// In mouse lock the position is virtual and unbounded.
using MousePosHandler = void (*)(int x, int y);
// The running sum of wheel steps.
using MouseWheelHandler = void (*)(int position);
// The pointer entered (true) or left (false) the window.
using CursorEnterHandler = void (*)(bool entered);

void windowSetCloseHandler(CloseHandler handler);
void windowSetKeyHandler(KeyHandler handler);
void windowSetCharHandler(CharHandler handler);
void windowSetMouseButtonHandler(MouseButtonHandler handler);
// Calls the handler once at once with the current position.
void windowSetMousePosHandler(MousePosHandler handler);
// Calls the handler once at once with the current wheel position.
void windowSetMouseWheelHandler(MouseWheelHandler handler);
void windowSetCursorEnterHandler(CursorEnterHandler handler);
// With repeat on, a held key repeats its press to the key handler.
void windowEnableKeyRepeat(bool enabled);
// Mouse lock: the system cursor is hidden and kept inside the window.
// Taking the pointer is no movement: the positions of the first event pass
// with any after the lock begins, and of a pass in which the pointer enters
// the window, are not reported; later ones continue from the last position
// reported. Unlocking puts the pointer back where the lock began, which may
// reach the mouse-position handler as a movement.
void windowSetMouseLock(bool locked);
void windowGetMousePos(int* x, int* y);
void windowSetMousePos(int x, int y);

// --- Shared contexts for worker threads ---

// A hidden 1x1 window whose GL context shares its objects (textures, display
// lists) with the main window's, so a worker thread can create GL objects
// that the main thread then binds.
struct SharedContext;

// Main thread, with the main window open. Null when no context can be made;
// `shareRefused` (may be null) then tells whether a context alone could have
// been made but the driver refused the sharing.
SharedContext* windowCreateSharedContext(bool* shareRefused);
// Any thread: makes `context` current on the calling thread; null releases
// the calling thread's context. A context is current on one thread at most.
bool windowMakeContextCurrent(SharedContext* context);
// Main thread, once no thread has `context` current. windowTerminate destroys
// those still alive; a handle it took is then ignored here.
void windowDestroySharedContext(SharedContext* context);

// --- Per frame ---

// Dispatches every pending event to the handlers. A close request the close
// handler accepts closes the window. An exit asked for inside a handler
// happens once the poll has returned.
void windowPollEvents();
void windowSwapBuffers();

// Ends the process with `code` through the exit routine. Inside a handler
// called by windowPollEvents the exit waits until the poll returns (the layer
// cannot be torn down from inside its own dispatch); elsewhere it is at once.
// The first code asked for wins.
void windowRequestExit(int code);
// A logout (SIGHUP), a `kill` (SIGTERM) or Ctrl+C (SIGINT) then asks for
// the exit a window close gives, code 1, taken at the next poll: the
// settings are written and the log closed. A second such signal ends the
// process at once, for a game that no longer polls. A signal the game was
// started ignoring (nohup) stays ignored.
void windowExitOnTerminationSignals();
// The display's connection lost (the X server ended, a remote session
// dropped) ends the process with code 1 through exitProcess, as a window
// close does, where Xlib would end it at once. `handler` runs first: what
// the exit must do without a window, since from then on any window or GL
// step may end the process at once. The window layer's own steps are
// skipped.
void windowSetDisplayLostHandler(void (*handler)());

}  // namespace velmar
