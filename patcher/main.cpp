// quillon: the game's patcher and launcher.
#include "patcher/launcher_app.h"

int main(int argc, char** argv) {
    return quillon::runLauncher(quillon::parseLaunchArgs(argc, argv));
}
