// The game directory rule of the programs that live in the game directory
// (the launcher and the starter): the directory of the running program,
// without a trailing separator, and the program's own file name.
//
// Nothing is cached and nothing is shown: callers decide what a failure means
// and which box to show (gameDirFailureText gives the fixed texts). Any thread
// may call these.
#pragma once

#include <cstddef>
#include <string>

namespace quask {

enum class GameDirStatus {
    Ok,
    PathUnreadable,  // the program path cannot be read or does not fit the buffer
    NoDirectory,     // the path has no directory part
};

struct ProgramLocation {
    std::string directory;   // no trailing separator
    std::string moduleName;  // file name of the program
};

// The program path buffer; a path of this size or more is a failure.
constexpr std::size_t kProgramPathBuffer = 1024;

// Splits a full program path at its last separator, which must not be the
// first character.
GameDirStatus splitProgramPath(const std::string& path, ProgramLocation& out);

// Reads the running program's path from `selfLink` (the process's own
// executable link unless a caller names another link) and splits it.
GameDirStatus locateProgram(ProgramLocation& out,
                            const char* selfLink = "/proc/self/exe");

// The message-box text for a failed status ("" for Ok); the caption is "Error".
const char* gameDirFailureText(GameDirStatus status);

}  // namespace quask
