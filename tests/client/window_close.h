// Asks a window to close the way a window manager does (WM_DELETE_WINDOW),
// kept apart so the X11 headers stay out of the test sources.
#pragma once

#include <string>

namespace quask_test {

// False when the display cannot be opened or the message cannot be sent.
bool sendWindowClose(const std::string& display, unsigned long window);

}  // namespace quask_test
