#include "patcher/front/console_ui.h"

#include <cerrno>

#include "patcher/front/launcher_rules.h"

namespace quillon {

void ConsoleUi::line(const std::string& text) {
    // The server's texts reach a terminal: no escape sequence gets through.
    std::fprintf(m_out, "%s\n", terminalText(text).c_str());
    flush();
}

void ConsoleUi::flush() {
    // The first reason is kept: the exit status and its message tell it.
    if ((std::fflush(m_out) != 0 || std::ferror(m_out)) && m_writeError == 0) m_writeError = errno != 0 ? errno : EIO;
}

void ConsoleUi::showBar(const char* label, long value, int* lastStep) {
    const int percent = progressBarValue(value);
    const int step = percent / 10;
    // Back to the start (a new phase or file): nothing to show yet.
    if (step < *lastStep || percent == 0) {
        *lastStep = step;
        return;
    }
    if (step == *lastStep) return;
    *lastStep = step;
    std::fprintf(m_out, "%s: %d%%\n", label, percent);
    flush();
}

void ConsoleUi::send(int command, long value) {
    switch (command) {
        case CmdShowStatus: {
            const std::string text = m_state ? m_state->status() : std::string();
            if (!text.empty() && text != m_status) line(text);
            m_status = text;
            break;
        }
        case CmdShowStatusTotal: {
            const std::string text = m_state ? m_state->statusTotal() : std::string();
            if (!text.empty() && text != m_statusTotal) line(text);
            m_statusTotal = text;
            break;
        }
        case CmdShowNotice:
            if (m_state && !m_state->notice().empty()) {
                line("----- Notice -----");
                // The window wants CR LF; a terminal does not.
                std::string text = m_state->notice();
                std::string plain;
                plain.reserve(text.size());
                for (std::size_t i = 0; i < text.size(); ++i)
                    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
                line(plain);
                line("------------------");
            }
            break;
        case CmdFileProgress: showBar("Progress", value, &m_fileStep); break;
        case CmdTotalProgress: showBar("Total", value, &m_totalStep); break;
        case CmdShowSpeed:
            if (value > 0) line(speedText(static_cast<unsigned long>(value)));
            break;
        default: break;  // buttons, flashing and hiding have no console form
    }
}

}  // namespace quillon
