// Message boxes through our small GTK helper program, for programs without a
// toolkit of their own (the client and the starter).
//
// The backend starts "quask-msgbox ICON BUTTONS CAPTION TEXT" and waits for
// it on the calling thread only, so any thread may show a box. The helper
// answers through its exit code. When the helper cannot be started or cannot
// show the box (no display, no helper installed), the console answer is used.
// Install the backend at start-up, before other threads show boxes.
#pragma once

#include <string>

#include "shared/message_box.h"

namespace quask {

constexpr const char* kMessageBoxHelperName = "quask-msgbox";

// The helper's arguments and exit codes, shared with the helper program.
namespace msgbox_protocol {
// Indexed by BoxIcon and BoxButtons.
constexpr const char* kIconNames[] = {"none", "error", "warning", "information", "question"};
constexpr const char* kButtonNames[] = {"ok", "yesno"};
constexpr int kArgumentCount = 5;  // program, icon, buttons, caption, text
// Codes that no crash or stray program returns by accident.
constexpr int kExitOk = 10;
constexpr int kExitYes = 11;
constexpr int kExitNo = 12;
constexpr int kExitUsage = 2;
constexpr int kExitNoDisplay = 3;
}  // namespace msgbox_protocol

// The helper next to the running program, else in its "system" folder (the
// starter lives in the game directory, the client and the helper in system/).
// Empty when neither exists.
std::string findMessageBoxHelper();

// Makes `helperPath` the program of every later box.
void installHelperMessageBoxBackend(const std::string& helperPath);
// Finds the helper and installs it; false (console boxes stay) when missing.
bool installHelperMessageBoxBackend();

// The backend itself: shows one box through the installed helper.
BoxResult helperMessageBox(const std::string& text, const std::string& caption,
                           BoxIcon icon, BoxButtons buttons);


}  // namespace quask
