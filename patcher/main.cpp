// quillon: the game's patcher and launcher.
#include "patcher/launcher_app.h"
#include "shared/posix_io.h"

int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    quillon::LaunchOptions options;
    if (const auto end = quillon::parseLaunchArgs(argc, argv, &options)) return *end;
    return quillon::runLauncher(options);
}
