// starter: starts the game client from the game directory and waits until it
// signals that it is up or ends. Exit code 0 when the client signalled, 1 when
// it could not be started or ended without signalling.
#include <string>

#include "shared/game_dir.h"
#include "shared/message_box.h"
#include "shared/message_box_helper.h"
#include "shared/process_start.h"
#include "shared/start_handshake.h"

namespace {

int gameStartFailed() {
    quask::showMessageBox("Game Start failed.", "Process creation failed.",
                          quask::BoxIcon::Error, quask::BoxButtons::Ok);
    return 1;
}

}  // namespace

int main() {
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
    quask::SplashEvent event = quask::SplashEvent::create();
    if (!event.isOpen()) return gameStartFailed();
    event.reset();

    pid_t pid = 0;
    if (quask::startProcess({client}, self.directory, pid) != 0) {
        event.close();
        quask::unlinkSplashEvent();
        return gameStartFailed();
    }

    const quask::SplashWait outcome = event.waitSetOrProcessEnded(pid);
    event.close();
    quask::unlinkSplashEvent();
    // A client that ended before it signalled did not start.
    return outcome == quask::SplashWait::Set ? 0 : 1;
}
