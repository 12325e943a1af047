#include "patcher/front/game_start.h"

#include <sys/types.h>

#include "patcher/front/launcher_rules.h"
#include "shared/message_box.h"
#include "shared/process_start.h"
#include "shared/start_handshake.h"

namespace quillon {

namespace {

GameStartOutcome launchFailed(SplashScreen* splash) {
    if (splash) splash->takeDown();
    quask::showMessageBox(kLaunchFailedText, "Error", quask::BoxIcon::Error, quask::BoxButtons::Ok);
    return GameStartOutcome::LaunchFailed;
}

}  // namespace

GameStartOutcome startGame(const GameStartSetup& setup) {
    const std::string client = quask::clientProgramPath(setup.gameDir);
    if (setup.window) setup.window->send(CmdHideWindow, 1);
    if (setup.splash) setup.splash->show();

    // Without the event the client refuses to run: starting it would only
    // end in the client's own error.
    const std::string eventName = quask::splashEventName(setup.gameDir);
    const quask::StartTurn turn(eventName);  // a start of the same game waits its turn
    quask::SplashEvent event = quask::SplashEvent::create(eventName);
    if (!event.isOpen()) return launchFailed(setup.splash);
    event.reset();

    pid_t pid = 0;
    if (quask::startProcess({client}, setup.gameDir, pid) != 0) {
        event.close();
        quask::unlinkSplashEvent(eventName);
        return launchFailed(setup.splash);
    }

    const quask::SplashWait waited = event.waitSetOrProcessEnded(pid);
    if (setup.splash) setup.splash->takeDown();
    event.close();
    quask::unlinkSplashEvent(eventName);
    return waited == quask::SplashWait::Set ? GameStartOutcome::ClientUp
                                            : GameStartOutcome::ClientEnded;
}

int exitCodeAfterGameStart(GameStartOutcome outcome) {
    return outcome == GameStartOutcome::LaunchFailed ? 1 : 0;
}

std::string splashPicturePath(const std::string& gameDir) {
    return gameDir + "/gui/QuaskLoadingSplash.bmp";
}

}  // namespace quillon
