// Starting the game: the launcher's side of the splash handshake with a fake
// client at system/velmar, in process and through the real quillon program
// (its console, and its dialog on Xvfb driven with xdotool).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "patcher/front/game_start.h"
#include "patcher/front/launcher_rules.h"
#include "shared/start_handshake.h"
#include "tests/patcher/patch_server_fixture.h"
#include "tests/shared/handshake_util.h"
#include "tests/support/xvfb_display.h"

namespace fs = std::filesystem;
using namespace quillon;

namespace {

const char* kUnableToLaunch =
    "Error: Unable to Launch the Game, Please try again.\n\nIf the Problem persists - Contact the "
    "Support.\n";

// What the window and the splash were told, in order, with whether the
// client had started at that moment.
class Trace {
public:
    explicit Trace(std::string report) : m_report(std::move(report)) {}
    void add(const std::string& what) {
        const bool clientRan = fs::exists(m_report);
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(what + (clientRan ? " (client ran)" : ""));
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_events;
    }

private:
    std::string m_report;
    std::mutex m_lock;
    std::vector<std::string> m_events;
};

class TraceWindow : public LauncherUi {
public:
    explicit TraceWindow(Trace& t) : m_trace(t) {}
    void send(int command, long value) override {
        m_trace.add("command " + std::to_string(command) + " " + std::to_string(value));
    }

private:
    Trace& m_trace;
};

class TraceSplash : public SplashScreen {
public:
    explicit TraceSplash(Trace& t) : m_trace(t) {}
    void show() override { m_trace.add("splash up"); }
    void takeDown() override { m_trace.add("splash down"); }

private:
    Trace& m_trace;
};

// A client the test started stays no longer than the test; a reused
// process id that is not our fake client is left alone.
void endReportedClient(const std::string& report, const std::string& gameDir) {
    const long pid = std::atol(quask_test::readFile(report).c_str());
    char exe[4096] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    if (pid > 0 && readlink(link.c_str(), exe, sizeof exe - 1) > 0 &&
        std::string(exe).rfind(gameDir, 0) == 0)
        kill(static_cast<pid_t>(pid), SIGKILL);
}

// The lines of the fake client's report: pid, working directory, argc, argv[0].
std::vector<std::string> reportLines(const std::string& report) {
    std::vector<std::string> lines;
    std::string text = quask_test::readFile(report), line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    return lines;
}

class GameStart : public quask_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        char resolved[4096];
        ASSERT_NE(realpath(m_dir.c_str(), resolved), nullptr);
        m_game = std::string(resolved) + "/game";
        m_report = m_dir + "/client_report.txt";
        fs::create_directories(m_game + "/system");
        quask::unlinkSplashEvent(quask::splashEventName(m_game));
    }
    void TearDown() override {
        endReportedClient(m_report, m_game);
        quask::unlinkSplashEvent(quask::splashEventName(m_game));
        ::unlink(quask::startTurnPath(quask::splashEventName(m_game)).c_str());
        TempDirTest::TearDown();
    }
    void installClient() {
        fs::copy_file(starter_test::kFakeClient, m_game + "/system/velmar");
    }
    GameStartOutcome start(const char* mode, Trace& trace) {
        starter_test::ScopedEnv clientMode("FAKE_CLIENT_MODE", mode);
        starter_test::ScopedEnv report("FAKE_CLIENT_REPORT", m_report.c_str());
        TraceWindow window(trace);
        TraceSplash splash(trace);
        return startGame(GameStartSetup{m_game, &window, &splash});
    }

    std::string m_game, m_report;
};

}  // namespace

TEST_F(GameStart, HidesTheWindowAndShowsTheSplashBeforeTheClientRunsUntilItSignals) {
    installClient();
    Trace trace(m_report);
    // The client stays after signalling: only its signal can end the wait.
    EXPECT_EQ(start("signal-stay", trace), GameStartOutcome::ClientUp);
    EXPECT_EQ(trace.events(), (std::vector<std::string>{"command 522 1", "splash up",
                                                        "splash down (client ran)"}));
    const std::vector<std::string> lines = reportLines(m_report);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], m_game);  // the game directory, not system/
    EXPECT_EQ(lines[2], "1");     // no arguments
    EXPECT_EQ(lines[3], m_game + "/system/velmar");
    // The name is gone: a client started by hand now finds no event.
    EXPECT_FALSE(quask::SplashEvent::openExisting(quask::splashEventName(m_game)).isOpen());
}

TEST_F(GameStart, AClientThatEndsBeforeSignallingStillTakesTheSplashDown) {
    installClient();
    Trace trace(m_report);
    const GameStartOutcome outcome = start("early", trace);
    EXPECT_EQ(outcome, GameStartOutcome::ClientEnded);
    EXPECT_EQ(exitCodeAfterGameStart(outcome), 0);
    ASSERT_EQ(trace.events().size(), 3u);
    EXPECT_EQ(trace.events()[2], "splash down (client ran)");
}

TEST_F(GameStart, AMissingClientIsTheUnableToLaunchBoxAndExitCodeOne) {
    Trace trace(m_report);
    ::testing::internal::CaptureStderr();
    const GameStartOutcome outcome = start("signal-exit", trace);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), kUnableToLaunch);
    EXPECT_EQ(outcome, GameStartOutcome::LaunchFailed);
    EXPECT_EQ(exitCodeAfterGameStart(outcome), 1);
    // The splash must not stay on top of the box.
    EXPECT_EQ(trace.events(),
              (std::vector<std::string>{"command 522 1", "splash up", "splash down"}));
}

// --- The console front end of the real program ---

namespace {

class QuillonGameStart : public quillon_test::PatchServerTest {
protected:
    void SetUp() override {
        PatchServerTest::SetUp();
        char resolved[4096];
        ASSERT_NE(realpath(m_dir.c_str(), resolved), nullptr);
        m_game = std::string(resolved) + "/game";
        m_report = m_dir + "/client_report.txt";
        fs::create_directories(m_game + "/system");
        fs::create_directories(m_game + "/data");
        fs::copy_file(QUASK_BIN_DIR "/patcher/quillon", m_game + "/quillon");
        // Revision 1 is installed and the latest: the run ends well at once.
        starter_test::writeFile(m_game + "/data/quillon.dat", std::string("\x01\0\0\0", 4));
        serve("allow.txt", "allow");
        serve("notice.txt", "Patch day!");
        serve("notice_close.txt", "Back soon.");
        serve("lastrev.txt", "REV:1\n");
        quask::unlinkSplashEvent(quask::splashEventName(m_game));
    }
    void TearDown() override {
        endReportedClient(m_report, m_game);
        quask::unlinkSplashEvent(quask::splashEventName(m_game));
        ::unlink(quask::startTurnPath(quask::splashEventName(m_game)).c_str());
        PatchServerTest::TearDown();
    }
    std::unique_ptr<quask_test::ChildProcess> startQuillon(const std::vector<std::string>& args,
                                                           const std::string& display = "",
                                                           const std::string& extraEnv = "") {
        quask_test::ChildProcess::Options o;
        o.stdoutPath = at("quillon.out");
        o.stderrPath = at("quillon.err");
        o.workDir = "/";  // the game directory must not depend on it
        o.extraEnv = {"QUASK_NONINTERACTIVE=1", "XDG_RUNTIME_DIR=" + m_dir,
                      "QUILLON_BASE_URL=" + m_base, "FAKE_CLIENT_MODE=signal-exit",
                      "FAKE_CLIENT_REPORT=" + m_report, "DISPLAY=" + display};
        if (!extraEnv.empty()) o.extraEnv.push_back(extraEnv);
        std::vector<std::string> argv{m_game + "/quillon"};
        argv.insert(argv.end(), args.begin(), args.end());
        auto child = std::make_unique<quask_test::ChildProcess>(argv, o);
        EXPECT_TRUE(child->started());
        return child;
    }
    int runQuillon(const std::vector<std::string>& extraArgs = {}) {
        std::vector<std::string> args{"--console"};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        return startQuillon(args)->waitExit(30000);
    }
    std::string err() { return quask_test::readFile(at("quillon.err")); }

    // The launcher dialog's X window id; empty when it did not appear.
    std::string findDialog() {
        for (int waited = 0; waited < 20000; waited += 100) {
            const std::string ids = quask_test::runTool(
                {"xdotool", "search", "--onlyvisible", "--name", "^Quask Launcher$"});
            if (!ids.empty()) return ids.substr(0, ids.find('\n'));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return {};
    }

    std::string m_game, m_report;
};

}  // namespace

TEST_F(QuillonGameStart, StartsTheClientInTheGameDirectoryAfterARunThatEndedWell) {
    fs::copy_file(starter_test::kFakeClient, m_game + "/system/velmar");
    ASSERT_EQ(runQuillon(), 0) << err();
    EXPECT_EQ(err(), "");
    const std::vector<std::string> lines = reportLines(m_report);
    ASSERT_EQ(lines.size(), 4u) << "the client was not started";
    EXPECT_EQ(lines[1], m_game);
    EXPECT_EQ(lines[2], "1");
    const std::string out = quask_test::readFile(at("quillon.out"));
    EXPECT_NE(out.find("Your Game is Ready 2 Play!\n"), std::string::npos);
}

TEST_F(QuillonGameStart, AMissingClientIsTheUnableToLaunchBoxAndExitOne) {
    EXPECT_EQ(runQuillon(), 1);
    EXPECT_EQ(err(), kUnableToLaunch);
}

TEST_F(QuillonGameStart, NoStartAndMaintenanceLeaveTheClientAlone) {
    fs::copy_file(starter_test::kFakeClient, m_game + "/system/velmar");
    EXPECT_EQ(runQuillon({"--no-start"}), 0) << err();
    EXPECT_FALSE(fs::exists(m_report));
    serve("allow.txt", "deny!");
    EXPECT_EQ(runQuillon(), 0) << err();
    EXPECT_FALSE(fs::exists(m_report));
    EXPECT_EQ(err(), "");
}

TEST_F(QuillonGameStart, WithoutADisplayTheConsoleTakesOverAndStartsTheGame) {
    fs::copy_file(starter_test::kFakeClient, m_game + "/system/velmar");
    ASSERT_EQ(startQuillon({})->waitExit(30000), 0) << err();
    EXPECT_NE(quask_test::readFile(at("quillon.out")).find("Your Game is Ready 2 Play!\n"),
              std::string::npos);
    EXPECT_EQ(reportLines(m_report).size(), 4u);
}

// A GTK without the window's functions (an old or broken one, here another
// library under its name) is no window either: the launcher says why, and
// the console takes over. A launcher that linked GTK would not start at all.
TEST_F(QuillonGameStart, WithoutAUsableGtkTheConsoleTakesOverAndSaysWhy) {
    std::string mapped, line;
    std::istringstream maps(quask_test::readFile("/proc/self/maps"));
    while (std::getline(maps, line))
        if (line.size() > 10 && line.compare(line.size() - 10, 10, "/libm.so.6") == 0)
            mapped = line.substr(line.find('/'));
    ASSERT_FALSE(mapped.empty());
    const std::string libraries = m_dir + "/not-gtk";
    fs::create_directories(libraries);
    fs::copy_file(mapped, libraries + "/libgtk-3.so.0");
    fs::copy_file(starter_test::kFakeClient, m_game + "/system/velmar");
    ASSERT_EQ(startQuillon({}, "", "LD_LIBRARY_PATH=" + libraries)->waitExit(30000), 0) << err();
    EXPECT_NE(quask_test::readFile(at("quillon.out")).find("Your Game is Ready 2 Play!\n"),
              std::string::npos);
    EXPECT_EQ(err().rfind("quillon: cannot load GTK (libgtk-3.so.0 has no ", 0), 0u) << err();
    EXPECT_EQ(reportLines(m_report).size(), 4u);
}

// The dialog of the real program on Xvfb: Start Game has the focus once the
// run ended well, so a key press starts the game and the launcher ends.
TEST_F(QuillonGameStart, TheDialogsStartButtonStartsTheGameAndEndsTheLauncher) {
    quask_test::XvfbDisplay display;
    if (!display.ready()) GTEST_SKIP() << display.problem();
    if (quask_test::findProgram("xdotool").empty()) GTEST_SKIP() << "xdotool is not installed";
    fs::copy_file(starter_test::kFakeClient, m_game + "/system/velmar");
    starter_test::ScopedEnv forTools("DISPLAY", display.name().c_str());
    auto quillon = startQuillon({}, display.name());

    const std::string window = findDialog();
    ASSERT_FALSE(window.empty()) << err();
    ASSERT_TRUE(quask_test::waitForText(at("requests.log"), "lastrev.txt", 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the run's last commands
    EXPECT_FALSE(fs::exists(m_report));  // nothing starts the game by itself here
    quask_test::runTool({"xdotool", "windowfocus", "--sync", window, "key", "space"});
    EXPECT_EQ(quillon->waitExit(20000), 0) << err();
    EXPECT_EQ(reportLines(m_report).size(), 4u);
    EXPECT_EQ(err(), "");
}

// Exit while the worker is busy between two commands (held at a pause point
// here): the launcher still ends, with code 0, and the record stays whole.
TEST_F(QuillonGameStart, ExitWhileTheWorkerIsBusyEndsTheLauncher) {
    quask_test::XvfbDisplay display;
    if (!display.ready()) GTEST_SKIP() << display.problem();
    if (quask_test::findProgram("xdotool").empty()) GTEST_SKIP() << "xdotool is not installed";
    serve("lastrev.txt", "REV:2\n");
    serve("meta/2.txt", "REV:2\nDATE:2026-12-01 10:00:00\nDATA:file:A:/a.txt\nMSG:4:news");
    starter_test::ScopedEnv forTools("DISPLAY", display.name().c_str());
    auto quillon = startQuillon({}, display.name(), "QUILLON_PAUSE_AT=metadata");
    const std::string window = findDialog();
    ASSERT_FALSE(window.empty()) << err();
    ASSERT_TRUE(quask_test::waitForText(at("quillon.err"), "paused at metadata\n", 20000));

    // Exit sits at 250,298 (65 x 15) of the 322 x 325 dialog units.
    std::string width, height;
    const std::string shell = quask_test::runTool({"xdotool", "getwindowgeometry", "--shell", window});
    for (std::size_t at = 0; at < shell.size();) {
        const std::size_t end = shell.find('\n', at);
        const std::string line = shell.substr(at, end - at);
        if (line.rfind("WIDTH=", 0) == 0) width = line.substr(6);
        if (line.rfind("HEIGHT=", 0) == 0) height = line.substr(7);
        at = end == std::string::npos ? shell.size() : end + 1;
    }
    ASSERT_FALSE(width.empty() || height.empty()) << shell;
    const int x = std::atoi(width.c_str()) * (250 + 32) / 322;
    const int y = std::atoi(height.c_str()) * (298 + 7) / 325;
    quask_test::runTool({"xdotool", "mousemove", "--window", window, std::to_string(x),
                         std::to_string(y), "click", "1"});
    EXPECT_EQ(quillon->waitExit(15000), 0) << err();
    EXPECT_EQ(quask_test::readFile(m_game + "/data/quillon.dat"), std::string("\x01\0\0\0", 4));
    EXPECT_FALSE(fs::exists(m_report));
}
