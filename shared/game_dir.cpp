#include "shared/game_dir.h"

#include <unistd.h>

namespace quask {

GameDirStatus splitProgramPath(const std::string& path, ProgramLocation& out) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return GameDirStatus::NoDirectory;
    out.directory = path.substr(0, slash);
    out.moduleName = path.substr(slash + 1);
    return GameDirStatus::Ok;
}

GameDirStatus locateProgram(ProgramLocation& out, const char* selfLink) {
    char buffer[kProgramPathBuffer];
    // readlink does not say whether it cut the path: a result that fills the
    // usable buffer may be cut, and a cut path names the wrong directory.
    const ssize_t length = readlink(selfLink, buffer, kProgramPathBuffer - 1);
    if (length <= 0 || static_cast<std::size_t>(length) >= kProgramPathBuffer - 1) {
        return GameDirStatus::PathUnreadable;
    }
    return splitProgramPath(std::string(buffer, static_cast<std::size_t>(length)), out);
}

const char* gameDirFailureText(GameDirStatus status) {
    switch (status) {
        case GameDirStatus::Ok: return "";
        case GameDirStatus::PathUnreadable: return "Failed to get the BaseDirectory";
        case GameDirStatus::NoDirectory:
            return "Failed to get the BaseDirectory - errornous Directory structure?!";
    }
    return "";
}

}  // namespace quask
