#include "client/input/input.h"

#include <atomic>

#include "client/input/cursor_math.h"
#include "client/input/mouse.h"
#include "client/platform/screenshot/screenshot.h"
#include "client/platform/window.h"

namespace velmar {

namespace {
std::atomic<bool> g_screenshotWanted{false};
}  // namespace

void keyHandler(int key, int) {
    switch (keyCommand(key, kKeyEscape, kKeyF12)) {
        case KeyCommand::kQuit:
            windowRequestExit(1);
            break;
        case KeyCommand::kScreenshot:
            // The frame is read after the poll, before the swap: here the
            // back buffer may already be the next frame's.
            if (!screenshotBusy()) g_screenshotWanted = true;
            break;
        case KeyCommand::kNone:
            break;
    }
}

bool takeScreenshotRequest() { return g_screenshotWanted.exchange(false); }

void charHandler(unsigned, int) {}

void installInputHandlers() {
    windowSetMousePosHandler(mousePosHandler);
    windowSetMouseWheelHandler(mouseWheelHandler);
    windowSetMouseButtonHandler(mouseButtonHandler);
    windowSetCursorEnterHandler(mouseEnterHandler);
    windowSetKeyHandler(keyHandler);
    windowSetCharHandler(charHandler);
    windowEnableKeyRepeat(true);
    windowSetMouseLock(true);  // the client draws its own cursor
}

}  // namespace velmar
