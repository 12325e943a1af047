// The software mouse cursor: its three images, its position integrated from
// raw mouse movement (scaled by MouseSpeed, clamped to the window) and the
// mouse input handlers. Everything here belongs to the main thread.
//
// Events go to the GUI first and to the scene after; until those exist the
// cursor simply follows the mouse.
#pragma once

namespace velmar {

enum CursorType : int { kCursorNone = 0, kCursorStandard = 1, kCursorButton = 2, kCursorCamera = 3 };

// Loads "data/cursor/{standard,button,cam}.tga" into textures, centres the
// cursor and captures the mouse. False when an image cannot be loaded.
bool MouseInit();
// Draws the cursor quad at its position; the caller has set up a 2D
// projection in window pixels with the origin top left.
void DrawCursor();
void DeleteCursors();

void setCursorType(int type);
int cursorType();
int cursorX();
int cursorY();

// The handlers the window layer calls while it polls events.
void mousePosHandler(int x, int y);
void mouseWheelHandler(int position);
void mouseButtonHandler(int button, int action);

}  // namespace velmar
