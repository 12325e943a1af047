// The console front end of the launcher: shows what the window would show as
// lines on a stream (standard output in the program): each new status and
// second status, the notice, the bars in steps of about 10 %, and the speed.
// Questions are not asked here: boxes go through quask::showMessageBox,
// which answers with the default button when nobody can answer.
//
// send() runs on the worker's thread, reads the texts from the attached
// LauncherState and writes at once; one worker at a time.
#pragma once

#include <cstdio>
#include <string>

#include "patcher/engine/launcher_ui.h"

namespace quillon {

class ConsoleUi : public LauncherUi {
public:
    explicit ConsoleUi(std::FILE* out = stdout) : m_out(out) {}
    void attach(const LauncherState* state) { m_state = state; }
    void send(int command, long value) override;
    // Why the first line that could not be written was lost; 0 when none was.
    int writeError() const { return m_writeError; }

private:
    // Prints "<label>: <n>%" when the bar enters a new 10 % step.
    void showBar(const char* label, long value, int* lastStep);
    void line(const std::string& text);
    void flush();

    std::FILE* m_out;
    const LauncherState* m_state = nullptr;
    std::string m_status, m_statusTotal;
    int m_fileStep = 0, m_totalStep = 0;
    int m_writeError = 0;
};

}  // namespace quillon
