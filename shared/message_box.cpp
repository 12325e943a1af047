#include "shared/message_box.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "shared/terminal_text.h"

namespace quask {

namespace {

BoxResult consoleBox(const std::string& /*text*/, const std::string& /*caption*/,
                     BoxIcon /*icon*/, BoxButtons buttons) {
    return consoleAnswer(buttons);
}

MessageBoxBackend g_backend = nullptr;
std::mutex g_stderrLock;

}  // namespace

bool messageBoxesNonInteractive() {
    const char* flag = std::getenv("QUASK_NONINTERACTIVE");
    if (flag && std::strcmp(flag, "1") == 0) return true;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return !(display && *display) && !(wayland && *wayland);
}

BoxResult defaultAnswer(BoxButtons buttons) {
    return buttons == BoxButtons::YesNo ? BoxResult::Yes : BoxResult::Ok;
}

BoxResult consoleAnswer(BoxButtons buttons) {
    if (buttons != BoxButtons::YesNo || !isatty(STDIN_FILENO)) return defaultAnswer(buttons);
    std::fputs("[Y/n] ", stderr);
    std::fflush(stderr);
    char line[16] = {};
    if (!std::fgets(line, sizeof line, stdin)) return BoxResult::Yes;
    return (line[0] == 'n' || line[0] == 'N') ? BoxResult::No : BoxResult::Yes;
}

void setMessageBoxBackend(MessageBoxBackend backend) { g_backend = backend; }

BoxResult showMessageBox(const std::string& text, const std::string& caption,
                         BoxIcon icon, BoxButtons buttons) {
    {
        std::lock_guard<std::mutex> lock(g_stderrLock);
        std::fprintf(stderr, "%s: %s\n", terminalSafe(caption).c_str(), terminalSafe(text).c_str());
        std::fflush(stderr);
    }
    if (messageBoxesNonInteractive()) return defaultAnswer(buttons);
    MessageBoxBackend backend = g_backend ? g_backend : consoleBox;
    return backend(text, caption, icon, buttons);
}

}  // namespace quask
