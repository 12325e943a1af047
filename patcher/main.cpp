// quillon: the game's patcher and launcher.
#include "patcher/launcher_app.h"
#include "shared/message_box.h"
#include "shared/out_of_memory.h"
#include "shared/posix_io.h"

namespace {

// Memory that ran out where no step of the run could name it: the one box
// and status 1 of every other error. Half-fetched files stay under their
// staging names, which the next run sorts out.
void outOfMemoryBox() {
    quask::showMessageBox(
        "Out of Memory error - the launcher cannot go on. Please close other programs and start it again.", "OOM",
        quask::BoxIcon::Error, quask::BoxButtons::Ok);
}

}  // namespace

int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    quask::endOnUncaughtOutOfMemory(&outOfMemoryBox);
    quillon::LaunchOptions options;
    if (const auto end = quillon::parseLaunchArgs(argc, argv, &options)) return *end;
    return quillon::runLauncher(options);
}
