// quillon: the game's patcher and launcher.
#include "patcher/launcher_app.h"

int main(int argc, char** argv) {
    quillon::LaunchOptions options;
    if (const auto end = quillon::parseLaunchArgs(argc, argv, &options)) return *end;
    return quillon::runLauncher(options);
}
