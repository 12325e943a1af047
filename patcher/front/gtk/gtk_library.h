// GTK for the launcher's window, loaded on first use: the program does not
// name GTK's libraries (about 60 with what they pull in, some 20 ms of every
// start), so a console run never loads them. Built with QUILLON_GTK_LINKED,
// GTK is linked as usual and loading is a no-op.
#pragma once

#include <string>

namespace quillon {

// Opens GTK and binds every function the window code calls; true when all
// are there (also on every later call). False, with the reason in `why`,
// when GTK is not installed or lacks one of them: the program has no window
// then. Called before any GTK function, from the thread that starts GTK.
bool loadGtkLibrary(std::string* why);

}  // namespace quillon
