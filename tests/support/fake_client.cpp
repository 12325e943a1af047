// Stands in for the game client in the starter's tests. The starter passes no
// arguments, so the environment steers it:
//   FAKE_CLIENT_MODE    signal-stay: signal, then live 10 s (killed by the test)
//                       signal-exit: signal and end with 0
//                       early: end with 5 without signalling
//   FAKE_CLIENT_EVENT   event name (default: the real one for its working directory)
//   FAKE_CLIENT_REPORT  file that gets "pid\ncwd\nargc\nargv0\n" at start
//   FAKE_CLIENT_WAIT_FOR  a file whose coming (at most 10 s) it waits for
//                       before it opens the event
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shared/start_handshake.h"

int main(int argc, char** argv) {
    const char* mode = std::getenv("FAKE_CLIENT_MODE");
    const char* name = std::getenv("FAKE_CLIENT_EVENT");
    const char* report = std::getenv("FAKE_CLIENT_REPORT");
    if (report) {
        char cwd[4096] = {};
        if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
        if (FILE* f = std::fopen(report, "w")) {
            std::fprintf(f, "%ld\n%s\n%d\n%s\n", static_cast<long>(getpid()), cwd, argc, argv[0]);
            std::fclose(f);
        }
    }
    if (mode && std::strcmp(mode, "early") == 0) return 5;
    if (const char* wait = std::getenv("FAKE_CLIENT_WAIT_FOR")) {
        for (int i = 0; i < 1000 && access(wait, F_OK) != 0; ++i) usleep(10000);
    }

    quask::SplashEvent event =
        quask::SplashEvent::openExisting(name ? name : quask::splashEventName("."));
    if (!event.isOpen()) {
        std::fputs("Not Started by Launcher / Splash Event not Found.\n", stderr);
        return 1;
    }
    event.signalAndClose();
    if (mode && std::strcmp(mode, "signal-stay") == 0) sleep(10);
    return 0;
}
