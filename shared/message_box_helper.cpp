#include "shared/message_box_helper.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "shared/game_dir.h"
#include "shared/process_start.h"

namespace quask {

namespace {

std::mutex g_helperLock;
std::string g_helperPath;

std::string installedHelper() {
    std::lock_guard<std::mutex> lock(g_helperLock);
    return g_helperPath;
}

bool isProgram(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

}  // namespace

std::string findMessageBoxHelper() {
    ProgramLocation self;
    if (locateProgram(self) != GameDirStatus::Ok) return std::string();
    const std::string beside = self.directory + "/" + kMessageBoxHelperName;
    if (isProgram(beside)) return beside;
    const std::string inSystem = self.directory + "/system/" + kMessageBoxHelperName;
    if (isProgram(inSystem)) return inSystem;
    return std::string();
}

void installHelperMessageBoxBackend(const std::string& helperPath) {
    {
        std::lock_guard<std::mutex> lock(g_helperLock);
        g_helperPath = helperPath;
    }
    setMessageBoxBackend(helperMessageBox);
}

bool installHelperMessageBoxBackend() {
    const std::string helper = findMessageBoxHelper();
    if (helper.empty()) return false;
    installHelperMessageBoxBackend(helper);
    return true;
}

BoxResult helperMessageBox(const std::string& text, const std::string& caption,
                           BoxIcon icon, BoxButtons buttons) {
    namespace p = msgbox_protocol;
    const std::string helper = installedHelper();
    if (helper.empty()) return consoleAnswer(buttons);
    const std::vector<std::string> argv = {helper, p::kIconNames[static_cast<int>(icon)],
                                           p::kButtonNames[static_cast<int>(buttons)], caption,
                                           text};
    pid_t pid = 0;
    if (startProcess(argv, std::string(), pid) != 0) return consoleAnswer(buttons);
    int code = 0;
    if (waitProcess(pid, code) == ProcessEnd::Exited) {
        // An answer the box cannot give (a Yes from an OK box) is no answer.
        if (buttons == BoxButtons::Ok && code == p::kExitOk) return BoxResult::Ok;
        if (buttons == BoxButtons::YesNo && code == p::kExitYes) return BoxResult::Yes;
        if (buttons == BoxButtons::YesNo && code == p::kExitNo) return BoxResult::No;
    }
    return consoleAnswer(buttons);
}

}  // namespace quask
