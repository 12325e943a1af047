// A launcher window for tests: records every command with the texts the
// window would show at that moment.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "patcher/engine/launcher_ui.h"

namespace quillon_test {

class RecordingUi : public quillon::LauncherUi {
public:
    struct Entry {
        int command;
        long value;
        std::string text;  // status, second status or notice for 520/521/517
        std::chrono::steady_clock::time_point at;
    };

    void attach(const quillon::LauncherState* state) { m_state = state; }
    void send(int command, long value) override {
        std::string text;
        if (m_state && command == quillon::CmdShowStatus) text = m_state->status();
        if (m_state && command == quillon::CmdShowStatusTotal) text = m_state->statusTotal();
        if (m_state && command == quillon::CmdShowNotice) text = m_state->notice();
        std::lock_guard<std::mutex> lock(m_lock);
        m_entries.push_back(Entry{command, value, text, std::chrono::steady_clock::now()});
    }
    void note(const std::string& line) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_notes.push_back(line);
    }
    std::vector<std::string> notes() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_notes;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_entries.clear();
        m_notes.clear();
    }
    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_entries;
    }
    // The first `n` commands with their values, in order.
    using Commands = std::vector<std::pair<int, long>>;
    Commands commands(std::size_t n = SIZE_MAX) const {
        Commands out;
        for (const Entry& e : entries())
            if (out.size() < n) out.emplace_back(e.command, e.value);
        return out;
    }
    // The texts shown for one command, in order.
    std::vector<std::string> texts(int command) const {
        std::vector<std::string> out;
        for (const Entry& e : entries())
            if (e.command == command) out.push_back(e.text);
        return out;
    }

    // Every command as one line, the way the window would carry it out:
    // "status <text>", "second <text>", "notice <text>", "upper <value>",
    // "lower <value>", "speed <value>", "start <0|1>", "fullcheck <0|1>",
    // "flash", "hide <0|1>".
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const Entry& e : entries()) out.push_back(lineOf(e));
        return out;
    }
    static std::string lineOf(const Entry& e) {
        const std::string v = std::to_string(e.value);
        switch (e.command) {
            case quillon::CmdShowStatus: return "status " + e.text;
            case quillon::CmdShowStatusTotal: return "second " + e.text;
            case quillon::CmdShowNotice: return "notice " + e.text;
            case quillon::CmdFileProgress: return "upper " + v;
            case quillon::CmdTotalProgress: return "lower " + v;
            case quillon::CmdShowSpeed: return "speed " + v;
            case quillon::CmdEnableStart: return "start " + v;
            case quillon::CmdEnableFullCheck: return "fullcheck " + v;
            case quillon::CmdFlash: return "flash";
            case quillon::CmdHideWindow: return "hide " + v;
        }
        return std::to_string(e.command) + " " + v;
    }

private:
    const quillon::LauncherState* m_state = nullptr;
    mutable std::mutex m_lock;
    std::vector<Entry> m_entries;
    std::vector<std::string> m_notes;
};

}  // namespace quillon_test
