// The launcher window's rules that need no window: what closing does, how a
// server text becomes displayable UTF-8, and how the dialog's layout in
// dialog units turns into pixels. Pure functions; any thread may call them.
#pragma once

#include <string>

#include "shared/message_box.h"

namespace quillon {

// --- Closing ---

enum class CloseAction {
    Quit,  // end the launcher now
    Ask,   // game files are being replaced: ask first
    Stay,  // asked, and the answer was not Yes
};

// `answer` is the reply to the close question; nullptr before it was asked.
CloseAction closeAction(bool updating, const quask::BoxResult* answer);

extern const char* const kCloseQuestion;  // the question's text; caption "Warning"
extern const char* const kFullCheckQuestion;  // caption "Question"
extern const char* const kLaunchFailedText;   // caption "Error"

// --- Texts ---

// Text that is valid UTF-8 is returned unchanged; anything else is read as
// Windows-1252 (the server's texts are authored on Windows), where the five
// unassigned bytes become '?'.
std::string displayText(const std::string& serverText);

// A server text for a terminal: control bytes other than line feed and tab
// are shown in caret notation (ESC as "^[", a lone CR as "^M", DEL as "^?"),
// the C1 controls as "M-^[" and so on, so a notice cannot move the cursor,
// clear the screen or retitle the terminal. Not UTF-8: read as above.
std::string terminalText(const std::string& serverText);

// What the notice control shows of a notice (UTF-8): lines cut after
// kNoticeLineBytes and the whole after kNoticeShownBytes, each cut marked,
// so a huge notice costs the window no more than a long one.
constexpr std::size_t kNoticeLineBytes = 4096;
constexpr std::size_t kNoticeShownBytes = 256 * 1024;
std::string noticeForWindow(const std::string& utf8);

// --- Layout ---

// A control's place in dialog units: x, y, width, height.
struct DialogRect {
    int x, y, width, height;
};

// The system font's base units: average character width and height in pixels.
struct DialogBaseUnits {
    int x = 6;
    int y = 13;
};

// Horizontal units are a quarter, vertical an eighth of the base unit,
// rounded to the nearest pixel (halves away from zero).
DialogRect dialogToPixels(const DialogRect& units, const DialogBaseUnits& base);

// The base units from a text extent of the 52 letters A-Z a-z and the font's
// line height, as the dialog manager derives them.
DialogBaseUnits baseUnitsFromFont(int lettersWidth, int lineHeight);

}  // namespace quillon
