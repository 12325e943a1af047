// An Xvfb server for tests that need a display: started on a free display
// number (the server picks it and reports it), killed by its id when the
// object goes. Also runs the X command-line tools (xdotool) against it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace quask_test {

// The full path of a program found on PATH; empty when missing.
std::string findProgram(const std::string& name);

class XvfbDisplay {
public:
    XvfbDisplay();  // starts the server and waits (generously) until it accepts clients
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool ready() const { return !m_name.empty(); }
    const std::string& name() const { return m_name; }  // ":N"
    // Why it is not ready, for a skip message.
    const std::string& problem() const { return m_problem; }

private:
    std::string m_dir;
    std::string m_name;
    std::string m_problem;
    std::unique_ptr<ChildProcess> m_server;
};

// Runs `argv` (argv[0] found on PATH) with the process's environment and
// returns its standard output; `exitCode` gets the code (-2 when it ran past
// `ms` and was killed).
std::string runTool(const std::vector<std::string>& argv, int* exitCode = nullptr, int ms = 20000);

}  // namespace quask_test
