// The installed game's per-user game directory and its first filling.
//
// The package puts the launcher where no player may write (/usr/lib/quask),
// but the launcher must own its game directory: it replaces the game files
// there, itself included. So each player gets a directory of their own that
// holds, at first, only a copy of the packaged launcher; every later start
// runs the launcher found there, which the patch runs keep current.
//
// Nothing here shows a message: callers get the reason as text. Stateless;
// any thread may call these.
#pragma once

#include <string>

namespace quask::bootstrap {

// The launcher's file name in a game directory.
constexpr const char* kLauncherName = "quillon";

// $XDG_DATA_HOME/quask, else <home>/.local/share/quask, the home being $HOME
// or, without it, the user's entry in the password database. An
// XDG_DATA_HOME that is not an absolute path is ignored, as the base
// directory rules ask. Empty when there is no home either.
std::string userGameDirectory();

// Where the package put the launcher and the message-box helper, seen from
// the folder the bootstrap runs from (both come from one install prefix).
std::string packagedProgramDirectory(const std::string& bootstrapDirectory);

enum class SeedStatus {
    Present,   // the game directory already has a launcher; it was not touched
    Seeded,    // the directory now holds a copy of the packaged launcher
    Repaired,  // its launcher could not be started and was replaced by a copy
    Failed,    // see the error text; nothing half-written is left behind
};

// Makes sure `gameDir` has a launcher that can be started: creates the
// directory (parents too) when missing, and copies `packagedLauncher` into
// it when it has none, or one that is no program of this machine (a broken
// update, a cut-off copy) or may not be run. The copy is written under a
// name of its own and linked into place (renamed over a broken one), so a
// launcher never appears half-written, and of two bootstraps seeding at once
// the second keeps the first one's file.
SeedStatus seedGameDirectory(const std::string& gameDir, const std::string& packagedLauncher,
                             std::string* error);

}  // namespace quask::bootstrap
