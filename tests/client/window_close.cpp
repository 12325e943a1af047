#include "tests/client/window_close.h"

#include <X11/Xlib.h>

namespace quask_test {

bool sendWindowClose(const std::string& display, unsigned long window) {
    Display* x = XOpenDisplay(display.c_str());
    if (!x) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(x, window, False, NoEventMask, &event);
    XFlush(x);
    XCloseDisplay(x);
    return sent != 0;
}

}  // namespace quask_test
