// velmar: the game client. Start-up, the main loop and shutdown live in the
// libraries; only the command-line conventions are answered here, before the
// client touches anything.
#include <cstdlib>
#include <new>

#include "client/core/runtime.h"
#include "client/startup.h"
#include "shared/command_line.h"
#include "shared/posix_io.h"

namespace {

const quask::ProgramHelp kHelp{"velmar",
    "Usage: velmar\n"
    "The game client. It runs with the game directory as its current directory\n"
    "and is started by the launcher (quillon) or the starter, which wait for its\n"
    "window; started on its own it logs \"Not Started by Launcher / Splash Event\n"
    "not Found.\" and ends with status 1. Escape or closing the window ends it.\n"
    "\n"
    "Exit status is 1 after a normal end or an error, 0 when an early check\n"
    "(clock, log file, processor, kernel) fails, and 2 for an unknown option.\n"
    "\n"
    "Options:\n" +
        std::string(quask::kStandardOptionLines) +
    "\n"
    "Files:\n"
    "  velmar.cfg         the settings, a Lua file; rewritten with every setting\n"
    "                     when one is missing\n"
    "  data/              textures, models, maps, fonts and cursors\n"
    "  gui/               the GUI themes\n"
    "  log/LastRun.log    the log of the last run (also sent to UDP port 6600)\n"
    "  ScreenShots/       screenshots (F12), one folder per month\n"};

}  // namespace

// The standard containers allocate through the program heap's promise too:
// memory that runs out while a map loads or a scene is prepared ends with the
// "OOM" box and code 1, not in an abort. Blocks come from malloc, so the
// library's own frees and aligned forms stay as they are.
void* operator new(std::size_t size) { return velmar::allocateFromSystem(size); }
void* operator new[](std::size_t size) { return velmar::allocateFromSystem(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return velmar::allocateFromSystem(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return velmar::allocateFromSystem(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    if (const auto end = quask::endsBeforeStart(kHelp, argc, argv)) return *end;
    velmar::runClient();
}
