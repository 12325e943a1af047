// The GUI bridge: creates the GUI library's system with its OpenGL renderer in
// the client's GL context, points its resource groups at the theme chosen by
// `GuiTheme` ("./gui/<theme>/schemes/", ...), keeps an empty root window,
// draws the GUI once per frame and feeds it the mouse.
//
// The bridge owns the library's system and renderer; ShutdownGUI frees them
// (the client never calls it: the GUI lives to the process's end).
// No library exception leaves these calls: InitGUI answers false, the others
// log one WARN (the first time) and report the event as not consumed. Before
// InitGUI, and after ShutdownGUI, every call does nothing and consumes
// nothing. Main thread only, with the window's GL context current.
#pragma once

namespace CEGUI {
class Window;
}

namespace velmar {

// Mouse buttons in the GUI's numbering.
enum GuiButton : int {
    kGuiButtonLeft = 0,
    kGuiButtonRight = 1,
    kGuiButtonMiddle = 2,
    kGuiButtonExtra1 = 3,
    kGuiButtonExtra2 = 4,
    kGuiButtonNone = 6,
};

// Creates renderer, system, resource groups and root window; the display size
// is RenderCaps' window size. Loads no scheme, font or layout. True at once
// when the GUI already exists.
bool InitGUI();
// Draws every GUI context with the caller's GL state saved around it.
void RenderGUI();

// Each answers whether the GUI consumed the event.
bool InjectMousePosition(float x, float y);  // window pixels, origin top left
bool InjectMouseWheelChange(float delta);
bool InjectMouseButton(int button, bool pressed);  // GuiButton; others count as none

void ShutdownGUI();
bool guiReady();

// The root window ("DefaultWindow" named "root") for content that builds the
// GUI; null without a GUI. It is not made the GUI's sheet here.
CEGUI::Window* guiRootWindow();

}  // namespace velmar
