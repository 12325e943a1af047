// quask: the installed game's entry on the menu and the PATH. It gives the
// player a game directory of their own (seeded with the packaged launcher on
// the first start) and becomes the launcher found there, which patches
// everything else. Being the launcher itself (exec, not a child), a second
// start meets the launcher's single-instance rule.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "packaging/bootstrap/user_game_dir.h"
#include "shared/command_line.h"
#include "shared/game_dir.h"
#include "shared/message_box.h"
#include "shared/message_box_helper.h"
#include "shared/posix_io.h"

namespace {

namespace b = quask::bootstrap;

const quask::ProgramHelp kHelp{"quask",
    "Usage: quask [--console] [--no-start]\n"
    "Starts the game. On the first start it creates your game directory,\n"
    "$XDG_DATA_HOME/quask (by default ~/.local/share/quask), with only the\n"
    "launcher in it; the launcher (quillon) then downloads the game into it,\n"
    "keeps it up to date and starts it. Later starts run the launcher in that\n"
    "directory, which updates itself as well. A second start while the launcher\n"
    "runs ends at once.\n"
    "\n"
    "Exit status is the launcher's; 1 when the game directory cannot be made or\n"
    "the launcher cannot be started, and 2 for an unknown option.\n"
    "\n"
    "Options:\n"
    "      --console    the launcher runs in the terminal instead of its window\n"
    "      --no-start   with --console: end after the update, do not start the\n"
    "                   game\n" +
        std::string(quask::kStandardOptionLines) +
    "\n"
    "Environment:\n"
    "  XDG_DATA_HOME     the folder that holds the game directory\n"
    "  QUILLON_BASE_URL  the patch server's base URL instead of the built-in one\n"
    "\n"
    "Files:\n"
    "  /usr/lib/quask/quillon  the launcher copied into a new game directory, and\n"
    "                          over one that cannot be started\n"};

int fail(const std::string& text) {
    quask::showMessageBox(text, "Quask", quask::BoxIcon::Error, quask::BoxButtons::Ok);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    const quask::StandardOption standard = quask::findStandardOption(argc, argv);
    if (standard != quask::StandardOption::None) return quask::answerStandardOption(kHelp, standard);
    std::vector<std::string> launcherArgs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--console" || arg == "--no-start") {
            launcherArgs.push_back(arg);
        } else if (quask::isOptionWord(argv[i])) {
            return quask::unknownOption(kHelp, argv[i]);
        }
    }

    quask::ProgramLocation self;
    const quask::GameDirStatus located = quask::locateProgram(self);
    if (located != quask::GameDirStatus::Ok) return fail(quask::gameDirFailureText(located));
    const std::string packaged = b::packagedProgramDirectory(self.directory);
    quask::installHelperMessageBoxBackend(packaged + "/" + quask::kMessageBoxHelperName);

    const std::string gameDir = b::userGameDirectory();
    if (gameDir.empty()) return fail("Cannot find your home directory: set HOME.");
    std::string error;
    if (b::seedGameDirectory(gameDir, packaged + "/" + b::kLauncherName, &error) == b::SeedStatus::Failed)
        return fail("Cannot prepare the game directory.\n\n" + error);

    const std::string launcher = gameDir + "/" + b::kLauncherName;
    std::vector<char*> launcherArgv{const_cast<char*>(launcher.c_str())};
    for (std::string& arg : launcherArgs) launcherArgv.push_back(arg.data());
    launcherArgv.push_back(nullptr);
    ::execv(launcher.c_str(), launcherArgv.data());
    return fail("Cannot start the launcher " + launcher + ": " + std::strerror(errno));
}
