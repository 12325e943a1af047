// The velmar program end to end: its start-up, exit codes and the files it
// leaves, started on its own and through the game starter. Clients that open
// a window run on an Xvfb server of the suite's own with Mesa's software
// renderer and are driven with xdotool.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "tests/client/game_fixture.h"

namespace {

using namespace client_test;
namespace fs = std::filesystem;

TEST_F(GameDir, ClientWithoutStarterLogsTheMissingEventAndExitsOne) {
    EXPECT_EQ(run("system/velmar"), 1);
    const std::string text = log();
    EXPECT_NE(text.find("] Not Started by Launcher / Splash Event not Found.\r\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("Pre Startup Checks okay."), std::string::npos);
    EXPECT_FALSE(fs::exists(m_dir + "/velmar.cfg"));  // configuration never loaded
    EXPECT_NE(text.find("Engine Destroy\r\n"), std::string::npos);
}

TEST_F(GameDir, UncreatableLogShowsTheFatalBoxAndEndsWithZero) {
    std::ofstream(m_dir + "/log") << "a file where the log directory belongs";
    EXPECT_EQ(run("system/velmar"), 0);
    EXPECT_NE(errors().find("Fatal Error: Cannot create LastRun.log. Contact support!"), std::string::npos);
}

// A settings file the disk cannot read (an I/O error, injected by strace)
// falls back to the defaults for this run and is kept: the rewrite on the
// way out would have replaced the player's settings with them.
TEST_F(GameDir, SettingsFileThatCannotBeReadIsKept) {
    const std::string strace = "/usr/bin/strace";
    if (quask_test::runToEnd({strace, "-f", "-qq", "-o", "/dev/null", "/bin/true"}, m_dir, 30000).code != 0)
        GTEST_SKIP() << "strace cannot trace here";
    const std::string mine = "Width = 1024\nHeight = 700\n-- mine\n";
    writeConfig(mine);
    ChildProcess::Options o;
    o.workDir = m_dir;
    o.extraEnv = {"DISPLAY=:65531"};  // no window: the client ends, through its shutdown, at once
    o.stderrPath = m_dir + "/stderr.txt";
    ChildProcess p({strace, "-f", "-qq", "-o", "/dev/null", "-P", fs::canonical(m_dir).string() + "/velmar.cfg",
                    "-e", "trace=read", "-e", "inject=read:error=EIO", m_dir + "/starter"},
                   o);
    EXPECT_EQ(p.waitExit(kStartMs), 1);
    ASSERT_TRUE(clientEnded()) << log();
    expectInOrder(log(), {"(WARN) RConf: load './velmar.cfg' - file open error. - Falling back to default values\r\n",
                          "(WARN) RConf: './velmar.cfg' cannot be read - it is kept as it is\r\n",
                          "] RConf->iGetVar(RCONF_BPP): 32\r\n"});
    EXPECT_EQ(config(), mine);
}

// --- Without a window above, with a window on Xvfb below ---

TEST_F(WindowedGame, WindowThatCannotOpenShowsTheBoxAndEndsWithOne) {
    const struct {
        const char* config;
        std::vector<std::string> env;
    } cases[] = {
        // A display nobody serves: the window layer cannot even start.
        {"", {"DISPLAY=:65531"}},
        // Sizes no window system makes: refused before it is asked.
        {"Width = 40000\nHeight = 40000\n", {}},
        {"Width = 0\nHeight = 1e12\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        fs::remove(m_dir + "/log/LastRun.log");
        writeConfig(c.config);
        // The client ends before it is up, so the starter reports a failed start.
        EXPECT_EQ(run("starter", c.env), 1);
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
}


TEST_F(WindowedGame, StartUpLogsTheVideoChecksAndEscapeEndsWithOne) {
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
    EXPECT_EQ(m_client->waitExit(kEndMs), 1);
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
    EXPECT_EQ(m_client->waitExit(kEndMs), 1);

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

// A logout, a `kill` or the display going away (the X server ended, a
// remote session dropped) ends the game as closing its window does: the
// orderly exit, its log closed and its settings written. So does a kill of
// a game whose error output is a pipe nobody reads any more (started from
// a pipeline whose reader went): the box texts it copies there once ended
// it at once.
TEST_F(WindowedGame, ClosingTheWindowALogoutOrALostDisplayEndsWithOne) {
    enum class End { kClose, kSignal, kDisplayLost, kSignalWithNoReader };
    for (const End end : {End::kClose, End::kSignal, End::kDisplayLost, End::kSignalWithNoReader}) {
        SCOPED_TRACE(static_cast<int>(end));
        fs::remove(m_dir + "/velmar.cfg");
        if (end == End::kSignalWithNoReader) {
            // The reader goes as soon as the starter has opened the pipe,
            // and a plain file takes the pipe's name for the test to read.
            const std::string path = m_dir + "/stderr.txt";
            fs::remove(path);
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            std::thread([path] {
                const int fd = ::open(path.c_str(), O_RDONLY);
                fs::remove(path);
                quask_test::writeFile(path, "");
                ::close(fd);
            }).detach();
        }
        // The display that goes away is one of its own.
        std::unique_ptr<quask_test::XvfbDisplay> own;
        if (end == End::kDisplayLost) {
            own = std::make_unique<quask_test::XvfbDisplay>();
            ASSERT_TRUE(own->ready()) << own->problem();
            setenv("DISPLAY", own->name().c_str(), 1);
        }
        startClient();
        const std::string window = findWindow(kEndMs);
        ASSERT_FALSE(window.empty());
        if (end == End::kClose)
            ASSERT_TRUE(quask_test::sendWindowClose(display().name(), std::stoul(window)));
        else if (end == End::kSignal || end == End::kSignalWithNoReader)
            ASSERT_EQ(::kill(m_client->pid(), SIGTERM), 0);
        else
            own.reset();
        EXPECT_EQ(m_client->waitExit(kEndMs), 1);
        EXPECT_TRUE(endsWith(log(), "Engine Destroy\r\n")) << log();
        EXPECT_TRUE(fs::exists(m_dir + "/velmar.cfg"));
        if (end == End::kDisplayLost) {
            EXPECT_NE(log().find("(WARN) Window: the connection to the display was lost - the game ends as on a window "
                                 "close\r\n"),
                      std::string::npos);
        }
        setenv("DISPLAY", display().name().c_str(), 1);
    }
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

TEST_F(WindowedGame, OpenGlOlderThan12GetsTheVersionBoxNotWindowCreationFailed) {
    // The window opens on any GL; the capability check names what is missing.
    EXPECT_EQ(run("starter", {"MESA_GL_VERSION_OVERRIDE=1.1"}), 1);
    ASSERT_TRUE(clientEnded()) << log();
    const std::string text = log();
    expectInOrder(text, {"(INFO) OpenWindow: OK ~ Got Rendering Surface\r\n", "] GL Version: 1.1",
                         "(INFO) GL Extension check done / FAILED\r\n", "Engine Destroy\r\n"});
    EXPECT_NE(errors().find("Video: OpenGL Support Error: Your Video Hardware does not support "
                            "OpenGL 1.2 or later, please ensure that you have installed the latest "
                            "Driver for your Video Card, and that it is configured Properly."),
              std::string::npos)
        << errors();
    EXPECT_EQ(errors().find("Window Creation Failed."), std::string::npos);
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

}  // namespace
