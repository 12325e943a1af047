#include "shared/message_box.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

std::string terminalSafe(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        if (b == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out += "M-^";
            out += static_cast<char>(next - 0x80 + 0x40);
            ++i;
        } else if ((b < 0x20 && b != '\n' && b != '\t') || b == 0x7F) {
            out += '^';
            out += b == 0x7F ? '?' : static_cast<char>(b + 0x40);
        } else {
            out += text[i];
        }
    }
    return out;
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
