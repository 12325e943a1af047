// Message boxes through the helper program: the protocol, the console
// fallback, and (when Xvfb and xdotool exist) a real dialog answered by keys.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "shared/message_box.h"
#include "shared/message_box_helper.h"
#include "shared/process_start.h"
#include "shared/terminal_text.h"
#include "tests/shared/handshake_util.h"

extern char** environ;

namespace {

using namespace starter_test;
using quask::BoxButtons;
using quask::BoxIcon;
using quask::BoxResult;

const char* kHelper = QUASK_BIN_DIR "/client/platform/msgbox/quask-msgbox";

class HelperBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = makeTempDir();
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override { quask::setMessageBoxBackend(nullptr); }

    // A stand-in helper that records its arguments and exits with `code`.
    std::string scriptHelper(int code) {
        const std::string path = m_dir + "/quask-msgbox";
        writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + m_dir + "/args.txt\"\nexit " +
                            std::to_string(code) + "\n");
        chmod(path.c_str(), 0755);
        return path;
    }

    std::string m_dir;
};

TEST_F(HelperBoxTest, HelperGetsIconButtonsCaptionTextAndItsAnswerCounts) {
    quask::installHelperMessageBoxBackend(scriptHelper(quask::msgbox_protocol::kExitNo));
    EXPECT_EQ(quask::helperMessageBox("Start in\nSoftware mode?", "Video Error",
                                      BoxIcon::Information, BoxButtons::YesNo),
              BoxResult::No);
    EXPECT_EQ(readFile(m_dir + "/args.txt"), "information\nyesno\nVideo Error\nStart in\n"
                                             "Software mode?\n");
}

TEST_F(HelperBoxTest, ShowMessageBoxUsesTheHelperOnlyWithADisplay) {
    quask::installHelperMessageBoxBackend(scriptHelper(quask::msgbox_protocol::kExitNo));
    ScopedEnv interactive("QUASK_NONINTERACTIVE", nullptr);
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    {
        ScopedEnv noDisplay("DISPLAY", nullptr);
        EXPECT_EQ(quask::showMessageBox("t", "c", BoxIcon::Question, BoxButtons::YesNo),
                  BoxResult::Yes);
        EXPECT_EQ(readFile(m_dir + "/args.txt"), "");  // never started
    }
    ScopedEnv display("DISPLAY", ":quask-test");
    EXPECT_EQ(quask::showMessageBox("t", "c", BoxIcon::Question, BoxButtons::YesNo),
              BoxResult::No);
}

TEST(ConsoleBoxText, StandardErrorShowsControlBytesWithoutObeyingThem) {
    // A server's file name inside a box: retitling and a C1 CSI stay text.
    ScopedEnv nonInteractive("QUASK_NONINTERACTIVE", "1");
    ::testing::internal::CaptureStderr();
    quask::showMessageBox("Failed to Download '/x\x1b]0;owned\x07\xC2\x9B" "31m'\nnext\tline",
                          "Data File\r download Error", BoxIcon::Error, BoxButtons::Ok);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Data File^M download Error: Failed to Download '/x^[]0;owned^GM-^[31m'\nnext\tline\n");
}

// What boxes on standard error and brindle on a terminal show of text from
// others: nothing a terminal would obey, everything else as it came.
TEST(TerminalText, ControlBytesAreShownNotObeyed) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[1.5] (INFO) plain\tline\n", "[1.5] (INFO) plain\tline\n"},
        // Retitle, clear, colour, bell, carriage return over the line, DEL.
        {"\x1b]0;owned\x07\x1b[2J\x1b[31mred\rX\x7f", "^[]0;owned^G^[[2J^[[31mred^MX^?"},
        {std::string("\x01\x1f\0", 3), "^A^_^@"},
        // C1 controls: CSI in UTF-8 and as a lone byte of an 8-bit terminal.
        {"a\xc2\x9b" "6n\x9b" "6n", "aM-^[6nM-^[6n"},
        // Printable UTF-8 passes; so do invalid bytes above 0x9f, as
        // single-byte text has them.
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82"},
        {"\xe9t\xe9 \xff\xc2", "\xe9t\xe9 \xff\xc2"},
        // A lead byte cut off, an overlong ESC and a surrogate hide no control.
        {"\xc2\x1b[m \xc0\x9b \xed\xa0\x80", "\xc2^[[m \xc0M-^[ \xed\xa0M-^@"},
    };
    for (const auto& [sent, shown] : cases) EXPECT_EQ(quask::terminalSafe(sent), shown) << sent;
}

TEST_F(HelperBoxTest, HelperThatGivesNoAnswerFallsBackToTheConsole) {
    if (isatty(STDIN_FILENO)) GTEST_SKIP() << "the console would ask a person";
    // A crash or a stray program's exit code is never taken for an answer.
    quask::installHelperMessageBoxBackend(scriptHelper(1));
    EXPECT_EQ(quask::helperMessageBox("t", "c", BoxIcon::Error, BoxButtons::YesNo),
              BoxResult::Yes);
    quask::installHelperMessageBoxBackend(scriptHelper(quask::msgbox_protocol::kExitYes));
    EXPECT_EQ(quask::helperMessageBox("t", "c", BoxIcon::Error, BoxButtons::Ok), BoxResult::Ok);
    quask::installHelperMessageBoxBackend(m_dir + "/absent/quask-msgbox");
    EXPECT_EQ(quask::helperMessageBox("t", "c", BoxIcon::Error, BoxButtons::YesNo),
              BoxResult::Yes);
    // The real helper without a reachable display says so instead of answering.
    ScopedEnv display("DISPLAY", ":quask-test");
    pid_t pid = 0;
    ASSERT_EQ(quask::startProcess({kHelper, "question", "yesno", "c", "t"}, "", pid), 0);
    int code = -1;
    ASSERT_EQ(quask::waitProcess(pid, code), quask::ProcessEnd::Exited);
    EXPECT_EQ(code, quask::msgbox_protocol::kExitNoDisplay);
    quask::installHelperMessageBoxBackend(kHelper);
    EXPECT_EQ(quask::helperMessageBox("t", "c", BoxIcon::Question, BoxButtons::YesNo),
              BoxResult::Yes);
}

// --- A real dialog under Xvfb ---

// One Xvfb server on a display number of its own choosing.
class Xvfb {
public:
    Xvfb() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 3);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        // No reset when the last client leaves: a box started during a reset
        // would find no display.
        const char* argv[] = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset",
                              "-screen", "0", "800x600x24", nullptr};
        const bool started = posix_spawnp(&m_pid, "Xvfb", &fa, nullptr,
                                          const_cast<char**>(argv), environ) == 0;
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        char number[32] = {};
        std::size_t got = 0;
        while (started && got + 1 < sizeof number) {
            const ssize_t n = read(fds[0], number + got, 1);
            if (n <= 0 || number[got] == '\n') break;
            got += static_cast<std::size_t>(n);
        }
        close(fds[0]);
        if (!started) m_pid = 0;
        if (got > 0) m_display = ":" + std::string(number, got);
    }
    ~Xvfb() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitExit(m_pid, 3000, status);
        }
    }
    const std::string& display() const { return m_display; }

private:
    pid_t m_pid = 0;
    std::string m_display;
};

int runXdotool(const std::vector<std::string>& args, std::string* out = nullptr) {
    const std::string file = ::testing::TempDir() + "quask_xdotool_out.txt";
    std::string command = "xdotool";
    for (const std::string& a : args) command += " '" + a + "'";
    pid_t pid = 0;
    if (quask::startProcess({"/bin/sh", "-c", command + " > " + file + " 2>/dev/null"}, "",
                            pid) != 0) {
        return -1;
    }
    int status = 0;
    if (!waitExit(pid, 5000, status) || !WIFEXITED(status)) return -1;
    if (out) *out = readFile(file);
    return WEXITSTATUS(status);
}

// Finds the box by its caption, focuses it and types `keys`.
bool answerBox(const std::string& caption, const std::vector<std::string>& keys) {
    for (int tries = 0; tries < 100; ++tries) {
        std::string window;
        if (runXdotool({"search", "--name", caption}, &window) == 0 && !window.empty()) {
            window = window.substr(0, window.find('\n'));
            runXdotool({"windowfocus", window});
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::vector<std::string> press = {"key"};
            press.insert(press.end(), keys.begin(), keys.end());
            return runXdotool(press) == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

TEST(HelperDialog, ReturnTakesTheFirstButtonAndBlocksOnlyTheCallingThread) {
    if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/xdotool", X_OK) != 0) {
        GTEST_SKIP() << "needs Xvfb and xdotool";
    }
    // The server goes first at the end: a box left open dies with its display
    // instead of holding its future forever.
    std::future<BoxResult> question, refused, notice;
    Xvfb server;
    if (server.display().empty()) GTEST_SKIP() << "Xvfb did not start";
    ScopedEnv display("DISPLAY", server.display().c_str());
    ScopedEnv interactive("QUASK_NONINTERACTIVE", nullptr);
    quask::installHelperMessageBoxBackend(kHelper);

    question = std::async(std::launch::async, [] {
        return quask::showMessageBox("Start anyway?", "Quask Question One", BoxIcon::Question,
                                     BoxButtons::YesNo);
    });
    // The box waits for a person; this thread goes on meanwhile.
    EXPECT_EQ(question.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    ASSERT_TRUE(answerBox("Quask Question One", {"Return"}));
    ASSERT_EQ(question.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(question.get(), BoxResult::Yes);

    refused = std::async(std::launch::async, [] {
        return quask::showMessageBox("Start anyway?", "Quask Question Two", BoxIcon::Question,
                                     BoxButtons::YesNo);
    });
    ASSERT_TRUE(answerBox("Quask Question Two", {"Left", "Return"}));
    ASSERT_EQ(refused.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(refused.get(), BoxResult::No);

    notice = std::async(std::launch::async, [] {
        return quask::showMessageBox("Game Start failed.", "Quask Notice", BoxIcon::Error,
                                     BoxButtons::Ok);
    });
    ASSERT_TRUE(answerBox("Quask Notice", {"Return"}));
    ASSERT_EQ(notice.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(notice.get(), BoxResult::Ok);
    quask::setMessageBoxBackend(nullptr);
}

}  // namespace
