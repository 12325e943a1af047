// The client end-to-end fixtures: a game directory with the programs and
// the demo content, and a windowed client on an Xvfb server of the suite's
// own, driven with xdotool.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/client/window_close.h"
#include "tests/support/child_process.h"
#include "tests/support/xvfb_suite.h"

namespace client_test {

using quask_test::ChildProcess;
namespace fs = std::filesystem;

constexpr int kStartMs = 90000;  // a loaded two-core machine is slow to bring up GL
constexpr int kEndMs = 30000;

// A client that the starter left behind and this process adopted.
class AdoptedClient {
public:
    // Waits until the orphaned velmar shows up as our child.
    AdoptedClient() {
        for (int waited = 0; waited < 10000 && m_pid <= 0; waited += 20) {
            m_pid = findAdoptedClient();
            if (m_pid <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~AdoptedClient() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool found() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    // Exit code; -1 after a signal, -2 while still running after `ms`.
    int waitExit(int ms) { return quask_test::reapWithin(m_pid, ms, &m_reaped); }

private:
    static inline pid_t findAdoptedClient() {
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string stat = quask_test::readFile(entry.path().string() + "/stat");
            const auto open = stat.find('('), close = stat.rfind(')');
            if (open == std::string::npos || close == std::string::npos || close + 4 >= stat.size()) continue;
            if (stat.substr(open + 1, close - open - 1) != "velmar") continue;
            // "pid (comm) state ppid ..."
            if (std::atoi(stat.c_str() + close + 4) == getpid()) return std::atoi(stat.c_str());
        }
        return -1;
    }
    pid_t m_pid = -1;
    bool m_reaped = false;
};

// A game directory laid out as a player has it: the programs and the demo
// content (made once per suite with the content tool, copied per test).
class GameDir : public ::testing::Test {
protected:
    // Made on first use, removed when the test program ends.
    static const std::string& demoContent() {
        struct Content {
            std::string dir = quask_test::makeTempDir("velmar-content-");
            bool made = false;
            Content() {
                ChildProcess::Options o;
                ChildProcess make({QUASK_BIN_DIR "/tools/contentkit/contentkit", "build-demo", dir},
                                  o);
                made = make.waitExit(60000) == 0;
            }
            ~Content() { quask_test::removeTree(dir); }
        };
        static Content content;
        return content.made ? content.dir : s_none;
    }
    void SetUp() override {
        m_dir = quask_test::makeTempDir("velmar-game-");
        ASSERT_FALSE(m_dir.empty());
        ASSERT_FALSE(demoContent().empty()) << "the content tool failed";
        fs::copy(demoContent(), m_dir, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        fs::create_directories(m_dir + "/system");
        fs::copy_file(QUASK_BIN_DIR "/client/velmar", m_dir + "/system/velmar");
        fs::copy_file(QUASK_BIN_DIR "/tools/starter/starter", m_dir + "/starter");
    }
    void TearDown() override { quask_test::removeTree(m_dir); }

    // Runs a program of the game directory there and returns its exit code;
    // `env` holds "NAME=value" entries added to the test's environment.
    int run(const std::string& program, const std::vector<std::string>& env = {}) {
        ChildProcess::Options o;
        o.workDir = m_dir;
        o.extraEnv = env;
        o.stderrPath = m_dir + "/stderr.txt";
        ChildProcess p({m_dir + "/" + program}, o);
        return p.waitExit(kStartMs);
    }
    std::string log() const { return quask_test::readFile(m_dir + "/log/LastRun.log"); }
    std::string config() const { return quask_test::readFile(m_dir + "/velmar.cfg"); }
    std::string errors() const { return quask_test::readFile(m_dir + "/stderr.txt"); }
    bool clientEnded() const {
        return quask_test::waitForText(m_dir + "/log/LastRun.log", "Engine Destroy\r\n", kEndMs);
    }
    void writeConfig(const std::string& text) { std::ofstream(m_dir + "/velmar.cfg") << text; }

    std::string m_dir;
    static inline const std::string s_none;
};

inline int countLines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// Each of `lines` appears in `text`, in this order.
inline void expectInOrder(const std::string& text, const std::vector<std::string>& lines) {
    std::size_t at = 0;
    for (const std::string& line : lines) {
        const std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << text;
        at = found + line.size();
    }
}

inline bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A client with a window on the suite's Xvfb server.
class WindowedGame : public quask_test::OnXvfb<GameDir> {
protected:
    void SetUp() override {
        OnXvfb::SetUp();
        if (IsSkipped()) return;
        if (quask_test::findProgram("xdotool").empty()) GTEST_SKIP() << "xdotool is not installed";
    }
    void TearDown() override {
        m_client.reset();  // a client still running is killed before its directory goes
        GameDir::TearDown();
    }

    // Starts the client through the starter and waits until it runs its main loop.
    void startClient() {
        ASSERT_EQ(run("starter"), 0) << errors();
        m_client = std::make_unique<AdoptedClient>();
        ASSERT_TRUE(m_client->found());
        ASSERT_TRUE(quask_test::waitForText(m_dir + "/log/LastRun.log", "Entering Main Loop\r\n", kStartMs))
            << log();
    }
    // The id of the client's visible window; empty when there is none.
    static std::string findWindow(int ms) {
        for (int waited = 0;; waited += 100) {
            const std::string out =
                quask_test::runTool({"xdotool", "search", "--onlyvisible", "--name", "^Quask \\("});
            if (!out.empty()) return out.substr(0, out.find('\n'));
            if (waited >= ms) return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    // "1.0.6.N" from the log's banner.
    std::string versionFromBanner() const {
        const std::string text = log();
        const std::string key = "Build String: ";
        const auto at = text.find(key);
        if (at == std::string::npos) return {};
        const auto end = text.find(' ', at + key.size());
        return text.substr(at + key.size(), end - at - key.size());
    }

    std::unique_ptr<AdoptedClient> m_client;
};

}  // namespace client_test
