// A launcher window for tests: records every command with the texts the
// window would show at that moment.
#pragma once

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
    };

    void attach(const quillon::LauncherState* state) { m_state = state; }
    void send(int command, long value) override {
        std::string text;
        if (m_state && command == quillon::CmdShowStatus) text = m_state->status();
        if (m_state && command == quillon::CmdShowStatusTotal) text = m_state->statusTotal();
        if (m_state && command == quillon::CmdShowNotice) text = m_state->notice();
        std::lock_guard<std::mutex> lock(m_lock);
        m_entries.push_back(Entry{command, value, text});
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_entries.clear();
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

private:
    const quillon::LauncherState* m_state = nullptr;
    mutable std::mutex m_lock;
    std::vector<Entry> m_entries;
};

}  // namespace quillon_test
