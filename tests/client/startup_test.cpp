// The velmar program end to end: its start-up, exit codes and the files it
// leaves, started on its own and through the game starter. Clients that open
// a window run on an Xvfb server of the suite's own with Mesa's software
// renderer and are driven with xdotool.
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
#include "tests/support/xvfb_display.h"

namespace {

using quask_test::ChildProcess;
namespace fs = std::filesystem;

constexpr int kStartMs = 90000;  // a loaded two-core machine is slow to bring up GL
constexpr int kEndMs = 30000;

// Every client a test starts inherits this environment. The test process
// adopts clients whose starter has ended, so their exit codes can be read.
class ClientEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QUASK_NONINTERACTIVE", "1", 1);
        setenv("LC_ALL", "C", 1);
        setenv("ALSOFT_DRIVERS", "null", 1);
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new ClientEnvironment);

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
    // Exit code; -1 after a signal, -2 while still running after `ms`.
    int waitExit(int ms) {
        for (int waited = 0;; waited += 10) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_reaped = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (waited >= ms) return -2;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    static pid_t findAdoptedClient() {
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

// A game directory laid out as a player has it: the programs and the data
// the client reads so far (the cursor images, made with the content tool).
class GameDir : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = quask_test::makeTempDir("velmar-game-");
        ASSERT_FALSE(m_dir.empty());
        fs::create_directories(m_dir + "/system");
        fs::create_directories(m_dir + "/data/cursor");
        fs::copy_file(QUASK_BIN_DIR "/client/velmar", m_dir + "/system/velmar");
        fs::copy_file(QUASK_BIN_DIR "/tools/starter/starter", m_dir + "/starter");
        for (const char* kind : {"standard", "button", "cam"}) {
            ChildProcess::Options o;
            ChildProcess make({QUASK_BIN_DIR "/tools/contentkit/contentkit", "tga", "--pattern",
                               std::string("cursor-") + kind, "--size", "32x32",
                               m_dir + "/data/cursor/" + kind + ".tga"},
                              o);
            ASSERT_EQ(make.waitExit(20000), 0) << kind;
        }
    }
    void TearDown() override { quask_test::removeTree(m_dir); }

    // Runs a program of the game directory there and returns its exit code.
    int run(const std::string& program) {
        ChildProcess::Options o;
        o.workDir = m_dir;
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
};

int countLines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// Each of `lines` appears in `text`, in this order.
void expectInOrder(const std::string& text, const std::vector<std::string>& lines) {
    std::size_t at = 0;
    for (const std::string& line : lines) {
        const std::size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << text;
        at = found + line.size();
    }
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

// --- Without a window ---

TEST_F(GameDir, ClientWithoutStarterLogsTheMissingEventAndExitsOne) {
    EXPECT_EQ(run("system/velmar"), 1);
    const std::string text = log();
    EXPECT_NE(text.find("] Not Started by Launcher / Splash Event not Found.\r\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("Pre Startup Checks okay."), std::string::npos);
    EXPECT_FALSE(fs::exists(m_dir + "/velmar.cfg"));  // configuration never loaded
    EXPECT_NE(text.find("Engine Destroy\r\n"), std::string::npos);
}

TEST_F(GameDir, UncreatableLogEndsTheClientWithOneNotZero) {
    std::ofstream(m_dir + "/log") << "a file where the log directory belongs";
    EXPECT_EQ(run("system/velmar"), 1);
    EXPECT_NE(errors().find("Fatal Error: Cannot create LastRun.log. Contact support!"), std::string::npos);
}

TEST_F(GameDir, WindowThatCannotOpenShowsTheBoxAndEndsWithOne) {
    // A display nobody serves: the window layer cannot even start.
    setenv("DISPLAY", ":65531", 1);
    // The client ends before it is up, so the starter reports a failed start.
    EXPECT_EQ(run("starter"), 1);
    ASSERT_TRUE(clientEnded()) << log();
    const std::string text = log();
    expectInOrder(text, {"] RConf->iGetVar(RCONF_BPP): 32\r\n",
                         "(INFO) failed OpenWindow / cannot create Rendering Surface\r\n",
                         "Engine Destroy\r\n"});
    EXPECT_EQ(text.find("OpenWindow: OK"), std::string::npos);
    EXPECT_NE(errors().find("Video: Initialization Error: Window Creation Failed."), std::string::npos)
        << errors();
    // The configuration is still written on the way out.
    EXPECT_EQ(countLines(config()), 33);
}

// --- With a window on Xvfb ---

class WindowedGame : public GameDir {
protected:
    static void SetUpTestSuite() { s_display = new quask_test::XvfbDisplay; }
    static void TearDownTestSuite() {
        delete s_display;
        s_display = nullptr;
    }
    void SetUp() override {
        if (!s_display->ready()) GTEST_SKIP() << s_display->problem();
        if (quask_test::findProgram("xdotool").empty()) GTEST_SKIP() << "xdotool is not installed";
        setenv("DISPLAY", s_display->name().c_str(), 1);
        GameDir::SetUp();
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

    static quask_test::XvfbDisplay* s_display;
    std::unique_ptr<AdoptedClient> m_client;
};

quask_test::XvfbDisplay* WindowedGame::s_display = nullptr;

TEST_F(WindowedGame, StartUpLogsTheVideoChecksAndEscapeEndsWithZero) {
    startClient();
    const std::string window = findWindow(kEndMs);
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(quask_test::runTool({"xdotool", "getwindowname", window}),
              "Quask (" + versionFromBanner() + ")\n");
    const std::string started = log();
    expectInOrder(started, {
        "(WARN) RConf: load './velmar.cfg' - file open error. - Falling back to default values\r\n",
        "(INFO) Pre Startup Checks okay.\r\n", "] ~ ~ ~ ~ ~ CPU  INFO ~ ~ ~ ~ ~\r\n",
        "] SSE: Yes, SSE2: Yes\r\n", "] RConf->iGetVar(RCONF_BPP): 32\r\n",
        "(INFO) OpenWindow: OK ~ Got Rendering Surface\r\n", "] * * * * * * VIDEO  CARD * * * * * *\r\n",
        "] Vendor: ", "] Renderer: ", "] GL Version: ", "] Video Memory: 0.00 MByte\r\n",
        "] * * * * * * * * * * * * * * * * * *\r\n",
        // Mesa's software renderer asks; the non-interactive box answers Yes.
        "] Hardware Accelleration Disabled - (Driver Problem?)\r\n",
        "(INFO) GL Extension check done / OK\r\n", "(INFO) GL (2.0+) Shader Support: yes\r\n",
        "(INFO) HW Shader Version: ", "(INFO) Multisampling Supported but Disabled\r\n",
        "(INFO) MultiTexturing Supported. Avialable Texture Units: ", "\n\r\n",
        "(INFO) MultiTexturing Enabled.\n\r\n", "(INFO) Texture Detail Level: High\r\n",
        "(INFO) Lighting: Static (Lightmaps) Enabled.\r\n",
        "(INFO) Alternate Cell Cursor Detection Enabled.\r\n", "(INFO) Compress Font: True\r\n",
        "(INFO) Compile & Optimize model: True\r\n", "(INFO) Entering Main Loop\r\n"});
    EXPECT_EQ(started.find("No HWAccel found"), std::string::npos);
    EXPECT_NE(errors().find("Video Card Hardware Acceleration Error: It seems that your Video Hardware"),
              std::string::npos);

    quask_test::runTool({"xdotool", "windowfocus", window});
    quask_test::runTool({"xdotool", "key", "Escape"});
    EXPECT_EQ(m_client->waitExit(kEndMs), 0);
    const std::string ended = log();
    EXPECT_TRUE(endsWith(ended, "========================================\r\nEngine Destroy\r\n")) << ended;
    const std::string cfg = config();
    EXPECT_EQ(countLines(cfg), 33);
    EXPECT_EQ(cfg.rfind("-- This Configuration is Autogenerated\n", 0), 0u);
    EXPECT_NE(cfg.find("\nGuiTheme = \"default\"\n"), std::string::npos);
    EXPECT_TRUE(findWindow(0).empty());
}

TEST_F(WindowedGame, SoundStartsAndOneF12TapWritesOneScreenshotOfTheWindow) {
    startClient();
    EXPECT_NE(log().find("(INFO) Sound: in 'Stereo' mode, using device: 'OpenAL Soft'\r\n"),
              std::string::npos)
        << log();
    const std::string window = findWindow(kEndMs);
    ASSERT_FALSE(window.empty());
    quask_test::runTool({"xdotool", "windowfocus", window});
    quask_test::runTool({"xdotool", "key", "F12"});  // press and release: one picture
    // The writer runs on its own thread; wait for its line.
    ASSERT_TRUE(quask_test::waitForText(m_dir + "/log/LastRun.log", "ScreenShot0000.png", kEndMs)) << log();
    quask_test::runTool({"xdotool", "key", "Escape"});
    EXPECT_EQ(m_client->waitExit(kEndMs), 0);

    std::vector<std::string> shots;
    for (const auto& month : std::filesystem::directory_iterator(m_dir + "/ScreenShots"))
        for (const auto& file : std::filesystem::directory_iterator(month.path()))
            shots.push_back(file.path().string());
    ASSERT_EQ(shots.size(), 1u);
    const std::string png = quask_test::readFile(shots[0]);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    // IHDR: width and height, big-endian, at offsets 16 and 20.
    auto be32 = [&png](std::size_t at) {
        return (unsigned(static_cast<unsigned char>(png[at])) << 24) |
               (unsigned(static_cast<unsigned char>(png[at + 1])) << 16) |
               (unsigned(static_cast<unsigned char>(png[at + 2])) << 8) |
               unsigned(static_cast<unsigned char>(png[at + 3]));
    };
    EXPECT_EQ(be32(16), 800u);
    EXPECT_EQ(be32(20), 600u);
}

TEST_F(WindowedGame, MissingCursorImageEndsTheClientWithTheMouseLine) {
    fs::remove(m_dir + "/data/cursor/button.tga");
    EXPECT_EQ(run("starter"), 1);  // the client ends before it signals
    ASSERT_TRUE(clientEnded()) << log();
    const std::string text = log();
    expectInOrder(text, {"] 1: 32 32\r\n",
                         "(INFO) MouseInit: failed to load 'data/cursor/button.tga' cursor texture.\r\n",
                         "(CRIT) Mouse Subsystem initialization failed.\r\n"});
    EXPECT_EQ(text.find("Entering Main Loop"), std::string::npos);
}

TEST_F(WindowedGame, ClosingTheWindowEndsWithZero) {
    startClient();
    const std::string window = findWindow(kEndMs);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(quask_test::sendWindowClose(s_display->name(), std::stoul(window)));
    EXPECT_EQ(m_client->waitExit(kEndMs), 0);
    EXPECT_TRUE(endsWith(log(), "Engine Destroy\r\n")) << log();
}

TEST_F(WindowedGame, RenderSettingsFollowTheConfiguration) {
    writeConfig(
        "TextureDetaillevel = 7\nUseLightmaps = false\nMultisample = 2\n"
        "AlternateGroundCursorCollision = false\nCompressFont = false\n");
    startClient();
    const std::string text = log();
    expectInOrder(text, {
        "(INFO) Multisampling Supported & Enabled @ 2\r\n", "(INFO) MultiTexturing Enabled.\n\r\n",
        "(WARN) Texture Detail Level Configuration has unknown value; Using 3 (High)\r\n",
        // Without lightmaps the second texture unit has nothing to do.
        "(INFO) Multitexture DISABLED - due to disabled Static Lightmaps.\r\n",
        "(INFO) Compress Font: False\r\n", "(INFO) Compile & Optimize model: True\r\n",
        "(INFO) Entering Main Loop\r\n"});
    EXPECT_EQ(text.find("Lighting: Static"), std::string::npos);
    EXPECT_EQ(text.find("Alternate Cell Cursor Detection Enabled."), std::string::npos);
    EXPECT_EQ(text.find("Texture Detail Level: "), std::string::npos);
}

TEST_F(WindowedGame, MultitexturingSwitchedOffByTheConfigurationStaysOff) {
    writeConfig("UseMultiTexture = false\nUseLightmaps = false\n");
    startClient();
    const std::string text = log();
    expectInOrder(text, {"(INFO) MultiTexturing Supported. Avialable Texture Units: ",
                         "(INFO) MultiTexturing DISABLED by Configuration.\n\r\n",
                         "(INFO) Entering Main Loop\r\n"});
    // Already off: the lightmap rule has nothing to switch off.
    EXPECT_EQ(text.find("Multitexture DISABLED - due to disabled Static Lightmaps."), std::string::npos);
}

TEST_F(WindowedGame, SixteenBitColourEndsTheClientBeforeAnyWindow) {
    writeConfig("BPP = 16\n");
    // The client ends before it is up, so the starter reports a failed start.
    EXPECT_EQ(run("starter"), 1);
    ASSERT_TRUE(clientEnded());
    const std::string text = log();
    expectInOrder(text, {"] RConf->iGetVar(RCONF_BPP): 16\r\n",
                         "(CRIT) Video: Only 32 Bit's color is supported.\r\n", "Engine Destroy\r\n"});
    EXPECT_EQ(text.find("OpenWindow"), std::string::npos);
    EXPECT_TRUE(findWindow(0).empty());
    // The incomplete file is rewritten with every setting, keeping the user's value.
    const std::string cfg = config();
    EXPECT_EQ(countLines(cfg), 33);
    EXPECT_NE(cfg.find("\nBPP = 16\n"), std::string::npos);
}
