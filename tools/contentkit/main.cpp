// contentkit: writes and checks the client's content files (see cli.h).
#include "shared/command_line.h"
#include "shared/out_of_memory.h"
#include "shared/posix_io.h"
#include "tools/contentkit/cli.h"

// A report of `info` that cannot be written fails the run.
int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    quask::endOnUncaughtOutOfMemory("contentkit");
    return quask::finishOutput("contentkit", contentkit::runContentkit(argc, argv));
}
