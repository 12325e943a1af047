// starter: starts the game client from the game directory and waits until it
// signals that it is up or ends. Exit code 0 when the client signalled, 1 when
// it could not be started or ended without signalling.
#include <string>

#include "shared/command_line.h"
#include "shared/game_dir.h"
#include "shared/message_box.h"
#include "shared/message_box_helper.h"
#include "shared/process_start.h"
#include "shared/start_handshake.h"
#include "shared/posix_io.h"

namespace {

const quask::ProgramHelp kHelp{"starter",
    "Usage: starter\n"
    "Starts the game client (system/velmar below the folder this program is in)\n"
    "without patching, with that folder as the client's current directory, and\n"
    "waits until the client signals that its window is up or ends. Use the\n"
    "launcher (quillon) to bring the game up to date first.\n"
    "\n"
    "Exit status is 0 when the client signalled, 1 when it could not be started\n"
    "or ended without signalling, and 2 for an unknown option.\n"
    "\n"
    "Options:\n" +
        std::string(quask::kStandardOptionLines)};

int gameStartFailed() {
    quask::showMessageBox("Game Start failed.", "Process creation failed.",
                          quask::BoxIcon::Error, quask::BoxButtons::Ok);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    if (const auto end = quask::endsBeforeStart(kHelp, argc, argv)) return *end;
    quask::installHelperMessageBoxBackend();

    quask::ProgramLocation self;
    const quask::GameDirStatus located = quask::locateProgram(self);
    if (located != quask::GameDirStatus::Ok) {
        quask::showMessageBox(quask::gameDirFailureText(located), "Error",
                              quask::BoxIcon::Error, quask::BoxButtons::Ok);
        return 1;
    }
    const std::string client = quask::clientProgramPath(self.directory);

    // Without the event the client would refuse to run: do not start it.
    const std::string eventName = quask::splashEventName(self.directory);
    const quask::StartTurn turn(eventName);  // a start of the same game waits its turn
    quask::SplashEvent event = quask::SplashEvent::create(eventName);
    if (!event.isOpen()) return gameStartFailed();
    event.reset();

    pid_t pid = 0;
    if (quask::startProcess({client}, self.directory, pid) != 0) {
        event.close();
        quask::unlinkSplashEvent(eventName);
        return gameStartFailed();
    }

    const quask::SplashWait outcome = event.waitSetOrProcessEnded(pid);
    event.close();
    quask::unlinkSplashEvent(eventName);
    // A client that ended before it signalled did not start.
    return outcome == quask::SplashWait::Set ? 0 : 1;
}
