// The software mouse cursor: its three images, its position integrated from
// raw mouse movement (scaled by MouseSpeed, clamped to the window) and the
// mouse input handlers. Everything here belongs to the main thread.
//
// Events go to the GUI first; what it does not consume goes on to the scene
// through the hooks it installs (none installed: the cursor simply follows
// the mouse).
#pragma once

#include <cstdint>

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

// The scene's side of mouse input; any hook may be null.
struct SceneMouseHooks {
    // The integrated mouse position; true when the camera takes the movement
    // (the cursor then stays where it is).
    bool (*takeMovement)(std::int64_t ix, std::int64_t iy) = nullptr;
    // A wheel change the GUI did not consume: a zoom step.
    void (*zoom)(int delta) = nullptr;
    // A button event the GUI did not consume, in the window layer's terms.
    void (*click)(int button, int action) = nullptr;
};
void setSceneMouseHooks(const SceneMouseHooks& hooks);

// The window layer's button in the GUI's numbering (GuiButton).
int guiButtonFor(int layerButton);

// The handlers the window layer calls while it polls events.
void mousePosHandler(int x, int y);
void mouseWheelHandler(int position);
void mouseButtonHandler(int button, int action);
void mouseEnterHandler(bool entered);

}  // namespace velmar
