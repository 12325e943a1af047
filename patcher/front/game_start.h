// Starting the game from the launcher: hide the launcher window, put up the
// splash picture, create and reset the splash event, start the client
// (<game>/system/velmar, with the game directory as its working directory),
// wait until the client signals that its window is up or ends, and take the
// splash down. A client that cannot be started is reported in the
// "Unable to Launch the Game" box.
//
// startGame blocks the calling thread (the game start thread, or the main
// thread of the console front end) for the whole wait; the window and the
// splash it is given must accept calls from that thread.
#pragma once

#include <string>

#include "patcher/engine/launcher_ui.h"

namespace quillon {

// The picture shown while the client starts. show() and takeDown() are
// called once each, in that order, from the game start thread.
class SplashScreen {
public:
    virtual ~SplashScreen() = default;
    virtual void show() = 0;
    virtual void takeDown() = 0;
};

enum class GameStartOutcome {
    ClientUp,      // the client signalled
    ClientEnded,   // the client ended before it signalled
    LaunchFailed,  // the client could not be started; the box has been shown
};

struct GameStartSetup {
    std::string gameDir;              // no trailing slash
    LauncherUi* window = nullptr;     // receives CmdHideWindow 1; may be null
    SplashScreen* splash = nullptr;   // may be null: no picture
};

GameStartOutcome startGame(const GameStartSetup& setup);

// The launcher's exit code after a game start: 1 only when the client could
// not be started.
int exitCodeAfterGameStart(GameStartOutcome outcome);

// "<gameDir>/gui/QuaskLoadingSplash.bmp".
std::string splashPicturePath(const std::string& gameDir);

}  // namespace quillon
