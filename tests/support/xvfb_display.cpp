#include "tests/support/xvfb_display.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace quask_test {

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

XvfbDisplay::XvfbDisplay() {
    const std::string xvfb = findProgram("Xvfb");
    if (xvfb.empty()) {
        m_problem = "Xvfb is not installed";
        return;
    }
    m_dir = makeTempDir("quask-xvfb-");
    ChildProcess::Options o;
    o.stdoutPath = m_dir + "/display.txt";
    o.stderrPath = m_dir + "/xvfb.log";
    // The server picks a free display number and writes it to its standard
    // output once it accepts connections. -noreset: without it the server
    // resets whenever its last client leaves, and a window opened during the
    // reset in the same test process fails.
    m_server = std::make_unique<ChildProcess>(
        std::vector<std::string>{xvfb, "-displayfd", "1", "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp", "-noreset"},
        o);
    if (!m_server->started()) {
        m_problem = "Xvfb could not be started";
        return;
    }
    for (int waited = 0; waited < 30000; waited += 20) {
        const std::string text = readFile(m_dir + "/display.txt");
        if (!text.empty() && text.back() == '\n') {
            m_name = ":" + text.substr(0, text.size() - 1);
            return;
        }
        if (m_server->waitExit(0) != -2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_problem = "Xvfb did not come up: " + readFile(m_dir + "/xvfb.log");
}

XvfbDisplay::~XvfbDisplay() {
    m_server.reset();  // kills the server by its id
    if (!m_dir.empty()) removeTree(m_dir);
}

std::string runTool(const std::vector<std::string>& argv, int* exitCode, int ms) {
    std::vector<std::string> args = argv;
    args.at(0) = findProgram(args.at(0));
    const std::string dir = makeTempDir("quask-tool-");
    ChildProcess::Options o;
    o.stdoutPath = dir + "/out.txt";
    int code = -1;
    if (!args[0].empty()) {
        ChildProcess tool(args, o);
        code = tool.waitExit(ms);
    }
    std::string out = readFile(dir + "/out.txt");
    removeTree(dir);
    if (exitCode) *exitCode = code;
    return out;
}

}  // namespace quask_test
