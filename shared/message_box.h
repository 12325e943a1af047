// Message boxes: one call that shows a modal box and returns the button pressed.
//
// The text always goes to standard error as "caption: text". With no display,
// or with QUASK_NONINTERACTIVE=1 (tests, CI), nothing waits: the box answers
// with its first button (OK, or Yes for a Yes/No box). A program that has a
// windowing toolkit installs its own backend; the console backend is the
// fallback. Any thread may show a box; only that thread blocks.
#pragma once

#include <string>

namespace quask {

enum class BoxIcon { None, Error, Warning, Information, Question };
enum class BoxButtons { Ok, YesNo };
enum class BoxResult { Ok, Yes, No };

using MessageBoxBackend = BoxResult (*)(const std::string& text,
                                        const std::string& caption,
                                        BoxIcon icon, BoxButtons buttons);

BoxResult showMessageBox(const std::string& text, const std::string& caption,
                         BoxIcon icon, BoxButtons buttons);


// nullptr restores the console backend.
void setMessageBoxBackend(MessageBoxBackend backend);

// True when no box may wait for a person.
bool messageBoxesNonInteractive();

BoxResult defaultAnswer(BoxButtons buttons);

// The console's answer: a person at a terminal may answer a Yes/No question,
// everyone else gets the first button.
BoxResult consoleAnswer(BoxButtons buttons);

}  // namespace quask
