#include "patcher/engine/launcher_ui.h"

#include <cstdio>

namespace quillon {

void LauncherUi::note(const std::string& line) {
    std::fprintf(stderr, "quillon: %s\n", line.c_str());
    std::fflush(stderr);
}

std::string speedText(unsigned long v) {
    char text[64];
    if (v > 952320) {
        std::snprintf(text, sizeof text, "%s %0.2f %s", "Speed:", v / 1048576.0, "MByte/s");
    } else if (v > 800) {
        std::snprintf(text, sizeof text, "%s %0.2f %s", "Speed:", v / 1024.0, "KByte/s");
    } else if (v != 0) {
        std::snprintf(text, sizeof text, "%s %u %s", "Speed:", static_cast<unsigned>(v), "Byte/s");
    } else {
        text[0] = '\0';
    }
    return text;
}

std::string toCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

int progressBarValue(long commandValue) {
    if (commandValue < 0) commandValue = 0;
    if (commandValue > 100000) commandValue = 100000;
    return static_cast<int>(commandValue / 1000);
}

// --- Worker-side operations ---

void LauncherState::SetStatusText(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_status = text;
    }
    m_ui.send(CmdShowStatus, 0);
}

void LauncherState::SetStatusTotalText(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_statusTotal = text;
    }
    m_ui.send(CmdShowStatusTotal, 0);
}

void LauncherState::SetNoticeText(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_notice = toCrLf(text);
    }
    m_ui.send(CmdShowNotice, 0);
}

void LauncherState::EnableStart(bool on) {
    m_ui.send(CmdEnableStart, on ? 1 : 0);
    std::lock_guard<std::mutex> lock(m_lock);
    m_startEnabled = on;
}

void LauncherState::EnableFullCheck(bool on) {
    m_ui.send(CmdEnableFullCheck, on ? 1 : 0);
    std::lock_guard<std::mutex> lock(m_lock);
    m_fullCheckEnabled = on;
}

long LauncherState::progressValue(double percent) {
    // Truncated and capped; NaN and negative values count as 0.
    if (!(percent > 0.0)) return 0;
    if (percent >= 100.0) return 100000;
    return static_cast<long>(percent * 1000.0);
}

void LauncherState::SetFileProgress(double percent) { m_ui.send(CmdFileProgress, progressValue(percent)); }
void LauncherState::SetTotalProgress(double percent) { m_ui.send(CmdTotalProgress, progressValue(percent)); }
void LauncherState::SetSpeed(unsigned long bytesPerSecond) {
    m_ui.send(CmdShowSpeed, static_cast<long>(bytesPerSecond));
}
void LauncherState::Flash() { m_ui.send(CmdFlash, 0); }

// --- Window side ---

std::string LauncherState::status() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_status;
}
std::string LauncherState::statusTotal() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_statusTotal;
}
std::string LauncherState::notice() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_notice;
}
bool LauncherState::startEnabled() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_startEnabled;
}
bool LauncherState::fullCheckEnabled() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_fullCheckEnabled;
}
void LauncherState::setUpdating(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_updating = on;
}
bool LauncherState::updating() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_updating;
}

}  // namespace quillon
