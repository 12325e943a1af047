// The client's input handlers: what the window layer calls, on the main
// thread, while the main loop polls events.
//
// Escape ends the client with code 1 (the exit takes effect once the poll has
// returned); F12 asks for a screenshot on every event, each refused while
// the previous picture is being written. The mouse handlers (mouse.h) give
// each event to the GUI first and to the scene only when the GUI did not
// consume it; keys and text never go to the GUI.
#pragma once

namespace velmar {

// Installs the handlers in their fixed order (mouse position, mouse wheel,
// mouse button, key, character) and switches key repeat on.
void installInputHandlers();

// The key handler: looks at the key code only, for presses, repeats and
// releases alike.
void keyHandler(int key, int action);
// True once after F12 asked for a screenshot.
bool takeScreenshotRequest();
// Text input is not used.
void charHandler(unsigned codepoint, int action);

}  // namespace velmar
