// The worker's side of the launcher window: numbered commands sent to the
// window, and the status, second status and notice texts the window shows
// when told to. The worker never touches a window itself; a front end (the
// GTK dialog, the console, a test recorder) implements LauncherUi and runs
// each command before send() returns.
#pragma once

#include <mutex>
#include <string>

namespace quillon {

enum LauncherCommand : int {
    CmdEnableStart = 512,
    CmdEnableFullCheck = 513,
    CmdFileProgress = 514,
    CmdTotalProgress = 515,
    CmdFlash = 516,
    CmdShowNotice = 517,
    CmdShowSpeed = 518,
    CmdShowStatus = 520,
    CmdShowStatusTotal = 521,
    CmdHideWindow = 522,
};

class LauncherUi {
public:
    virtual ~LauncherUi() = default;
    // Synchronous: the command has been carried out when this returns.
    virtual void send(int command, long value) = 0;
    // A line for the launcher's log, not for the window: something the run
    // let pass that a player or support may want to know ("quillon: ..." on
    // standard error unless a front end keeps it elsewhere).
    virtual void note(const std::string& line);
};

// "Speed: 1.50 KByte/s" and the like; empty for 0.
std::string speedText(unsigned long bytesPerSecond);

// Every line feed not already preceded by a carriage return gets one.
std::string toCrLf(const std::string& text);

// A bar command's value (percent × 1000) as the window shows it: 0..100.
int progressBarValue(long commandValue);

// The texts and the worker-side operations. The window reads the texts with
// the getters while it runs a command, so they are guarded by a lock.
class LauncherState {
public:
    explicit LauncherState(LauncherUi& ui) : m_ui(ui) {}

    void SetStatusText(const std::string& text);
    void SetStatusTotalText(const std::string& text);
    void SetNoticeText(const std::string& text);
    void EnableStart(bool on);
    void EnableFullCheck(bool on);
    void SetFileProgress(double percent);
    void SetTotalProgress(double percent);
    void SetSpeed(unsigned long bytesPerSecond);
    void Flash();
    void Note(const std::string& line) { m_ui.note(line); }

    std::string status() const;
    std::string statusTotal() const;
    std::string notice() const;
    bool startEnabled() const;
    bool fullCheckEnabled() const;
    // Set while game files are being replaced: closing then asks first.
    void setUpdating(bool on);
    bool updating() const;

private:
    static long progressValue(double percent);

    LauncherUi& m_ui;
    mutable std::mutex m_lock;
    std::string m_status, m_statusTotal, m_notice;
    bool m_startEnabled = false, m_fullCheckEnabled = false, m_updating = false;
};

}  // namespace quillon
