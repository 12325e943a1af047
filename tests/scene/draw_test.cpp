// The draw front end: its projections, the overlay's size and colour rules,
// the statistics line texts, and the overlay drawn on Xvfb and read back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "client/core/frame_stats.h"
#include "client/core/log.h"
#include "client/core/runtime.h"
#include "client/core/vmath.h"
#include "client/scene/draw.h"
#include "tests/assets/font_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/log_socket.h"

namespace velmar::scene {
namespace {

// --- Projections ---

TEST(DrawProjection, PerspectiveFor800x600UsesTableEntry568AndTheAspect) {
    initTrigTables();
    const float h = tangentTable()[568];
    EXPECT_NEAR(h, std::tan(2.0 * M_PI * 568 / 16384), 1e-6);
    const Matrix16 m = projection3D(800.0f, 600.0f);
    EXPECT_EQ(m[0], 1.0f / (h * (800.0f / 600.0f)));
    EXPECT_NEAR(m[0], 1.0 / (std::tan(2.0 * M_PI * 568 / 16384) * 4.0 / 3.0), 1e-5);
    EXPECT_EQ(m[5], 1.0f / h);
    EXPECT_EQ(m[10], -1.0028612f);
    EXPECT_EQ(m[11], -1.0f);
    EXPECT_EQ(m[14], -2.0028612f);
    for (int i : {1, 2, 3, 4, 6, 7, 8, 9, 12, 13, 15}) EXPECT_EQ(m[i], 0.0f) << i;
}

TEST(DrawProjection, PerspectiveDepthMapsNearAndFarPlanesToTheDepthRange) {
    initTrigTables();
    const Matrix16 m = projection3D(1024.0f, 768.0f);
    // A point on the axis at eye depth -z: clip z = m10 * -z + m14, w = z.
    const auto ndcDepth = [&](double z) { return (m[10] * -z + m[14]) / z; };
    EXPECT_NEAR(ndcDepth(1.0), -1.0, 1e-6);
    EXPECT_NEAR(ndcDepth(700.0), 1.0, 1e-6);
}

TEST(DrawProjection, PixelProjectionPutsTheOriginTopLeft) {
    const Matrix16 m = projection2D(800.0f, 600.0f);
    EXPECT_EQ(m[0], 2.0f / 800.0f);
    EXPECT_EQ(m[5], -2.0f / 600.0f);
    EXPECT_EQ(m[10], -1.0f);
    EXPECT_EQ(m[12], -1.0f);
    EXPECT_EQ(m[13], 1.0f);
    EXPECT_EQ(m[15], 1.0f);
    for (int i : {1, 2, 3, 4, 6, 7, 8, 9, 11, 14}) EXPECT_EQ(m[i], 0.0f) << i;
    // Corners: (0, 0) is the top left, (800, 600) the bottom right.
    EXPECT_EQ(m[0] * 0.0f + m[12], -1.0f);
    EXPECT_EQ(m[5] * 0.0f + m[13], 1.0f);
    EXPECT_EQ(m[0] * 800.0f + m[12], 1.0f);
    EXPECT_EQ(m[5] * 600.0f + m[13], -1.0f);
}

// --- Overlay rules ---

TEST(DrawOverlayRules, BackgroundSizeForEverySwitchCombination) {
    struct Case {
        bool fps, scene, active;
        int height, width;
    };
    const Case cases[] = {
        {false, false, false, 0, 255}, {false, false, true, 0, 255},
        {true, false, false, 18, 55},  {true, false, true, 18, 55},
        {false, true, false, 30, 255}, {false, true, true, 162, 255},
        {true, true, false, 48, 255},  {true, true, true, 180, 255},
    };
    for (const Case& c : cases) {
        const int height = overlayHeight(OverlaySwitches{c.fps, c.scene}, c.active);
        EXPECT_EQ(height, c.height) << c.fps << c.scene << c.active;
        if (height > 0) {
            EXPECT_EQ(overlayWidth(height), c.width) << c.fps << c.scene << c.active;
        }
    }
}

TEST(DrawOverlayRules, DrawCallColourTurnsOrangeAt251AndRedAt1001) {
    EXPECT_EQ(drawCallColour(0), DrawCallColour::White);
    EXPECT_EQ(drawCallColour(250), DrawCallColour::White);
    EXPECT_EQ(drawCallColour(251), DrawCallColour::Orange);
    EXPECT_EQ(drawCallColour(1000), DrawCallColour::Orange);
    EXPECT_EQ(drawCallColour(1001), DrawCallColour::Red);
    EXPECT_EQ(drawCallColour(1 << 30), DrawCallColour::Red);
}

TEST(DrawOverlayRules, SceneLinesCarryTheirValuesInOrder) {
    SceneStats stats;
    stats.rmapName = "first.rmap";
    stats.targetX = 1.5f;
    stats.targetZ = -2.0f;
    stats.targetHeight = 0.25f;
    stats.cellColumn = 153.0f;
    stats.cellRow = 185.0f;
    stats.cameraAngle = 45.0f;
    stats.cameraDistance = 30.0f;
    stats.cameraVertical = 0.5f;
    stats.eyeX = 3.0f;
    stats.eyeHeight = 4.0f;
    stats.eyeZ = 5.0f;
    stats.pickedColumn = 12;
    stats.pickedRow = -1;
    stats.cellCursorValid = true;
    stats.cubes = 321;
    stats.water = 7;
    stats.waterFrame = 13;
    stats.models = 9;
    stats.modelFaces = 4000000000u;
    OverlayReadings readings;
    readings.mouseX = 400;
    readings.mouseY = 300;
    readings.tick = 12.5;
    readings.drawCallsPerFrame = 251;
    SceneLines lines;
    formatSceneLines(stats, readings, &lines);
    const char* expected[kSceneLines] = {
        "RName: first.rmap",
        "Position: 1.500000 -2.000000 0.250000",
        "CellPos: 153.000000 185.000000",
        "Camera: A:45.000000 D:30.000000 V:0.500000 ",
        "Eye: 3.000000 4.000000 5.000000",
        "Mouse: 400 300",
        "CellCursor: 12 -1 [Yes]",
        "Cubes: 321",
        "Water: 7 [F: 13]",
        "Model: 9 (Faces: 4000000000)",
        "Tick: 12.500000",
        "Drawcalls: 251",
    };
    for (int i = 0; i < kSceneLines; ++i) {
        EXPECT_STREQ(lines.text[i], expected[i]) << i;
        EXPECT_EQ(lines.length[i], std::strlen(expected[i])) << i;
    }
    stats.cellCursorValid = false;
    formatSceneLines(stats, readings, &lines);
    EXPECT_STREQ(lines.text[6], "CellCursor: 12 -1 [No]");
}

TEST(DrawOverlayRules, OverlongMapNameIsCutAtTheTextBuffer) {
    const std::string name(2000, 'n');
    SceneStats stats;
    stats.rmapName = name.c_str();
    SceneLines lines;
    formatSceneLines(stats, OverlayReadings{}, &lines);
    EXPECT_EQ(lines.length[0], kFontTextBuffer - 1);
    EXPECT_EQ(std::strlen(lines.text[0]), kFontTextBuffer - 1);
    EXPECT_EQ(std::string(lines.text[0], 7), "RName: ");
}

// --- Overlay on a real context ---

class OverlayDraw : public font_fixture::GLWindowTest {
protected:
    void SetUp() override {
        GLWindowTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_dir = quask_test::makeTempDir("quask-overlay-");
        ASSERT_FALSE(m_dir.empty());
        const std::string path = m_dir + "/bold.dat";
        font_fixture::writeBytes(path, font_fixture::fileBytes());
        m_font = new rFont(path.c_str());
        initTrigTables();
    }
    void TearDown() override {
        delete m_font;
        if (!m_dir.empty()) quask_test::removeTree(m_dir);
        GLWindowTest::TearDown();
    }

    // Draws the overlay over a white frame; returns the draw calls it counted.
    std::uint32_t drawOver(OverlaySwitches switches, bool sceneActive) {
        beginFrame(1.0f);
        const std::uint32_t before = frameStats().pendingDrawCalls();
        Draw::drawOverlay(*m_font, switches, sceneActive);
        return frameStats().pendingDrawCalls() - before;
    }
    // The background is black at 0.6 over white: 0.4 of white remains.
    static bool shaded(std::uint8_t v) { return v >= 101 && v <= 103; }

    void expectBackground(const std::vector<std::uint8_t>& red, int width, int height) {
        EXPECT_TRUE(shaded(at(red, width - 1, height - 1))) << int(at(red, width - 1, height - 1));
        EXPECT_TRUE(shaded(at(red, width - 1, 0))) << int(at(red, width - 1, 0));
        EXPECT_EQ(at(red, width, height - 1), 255);
        EXPECT_EQ(at(red, width - 1, height), 255);
    }

    std::string m_dir;
    rFont* m_font = nullptr;
};

TEST_F(OverlayDraw, BothSwitchesOffDrawNothing) {
    EXPECT_EQ(drawOver(OverlaySwitches{false, false}, true), 0u);
    const auto red = readRed();
    EXPECT_EQ(at(red, 0, 0), 255);
    EXPECT_EQ(at(red, 10, 10), 255);
}

TEST_F(OverlayDraw, FpsLineAloneHasANarrowBackgroundAndOneText) {
    EXPECT_EQ(drawOver(OverlaySwitches{true, false}, false), 2u);
    expectBackground(readRed(), 55, 18);
}

TEST_F(OverlayDraw, SceneStatisticsWithoutSceneShowTitleAndNotice) {
    EXPECT_EQ(drawOver(OverlaySwitches{false, true}, false), 3u);
    expectBackground(readRed(), 255, 30);
}

TEST_F(OverlayDraw, ActiveSceneWithBothSwitchesDrawsEveryLine) {
    sceneStats().rmapName = "A";  // an opaque glyph on the first statistics line
    EXPECT_EQ(drawOver(OverlaySwitches{true, true}, true), 15u);
    sceneStats().rmapName = "";
    const auto red = readRed();
    expectBackground(red, 255, 180);
    // "RName: A": only 'A' has an advance, so it sits at the pen start,
    // x = 1, y = 18 + 12.
    EXPECT_EQ(row(red, 33, 0, 6), "?####??");
    EXPECT_EQ(at(red, 2, 30), 255);
    EXPECT_TRUE(shaded(at(red, 2, 29)));
}

TEST_F(OverlayDraw, Enable3DOffActsOnlyWhileOn) {
    ::setenv("QUASK_NONINTERACTIVE", "1", 1);
    CLOG::Create(m_dir, quask_test::quietLogPort());
    Draw::Enable3D(false);
    EXPECT_FALSE(Draw::is3D());
    Draw::Enable3D(true);
    EXPECT_TRUE(Draw::is3D());
    Draw::Enable3D(false);
    EXPECT_FALSE(Draw::is3D());
    Draw::Enable3D(false);
    CLOG::Destroy();
    const std::string log = quask_test::readFile(m_dir + "/LastRun.log");
    const std::string on = "Draw::Enable3D => Enabled 3D Rendering!\r\n";
    const std::string off = "Draw::Enable3D => Disabled 3D Rendering, set static 2D mode!\r\n";
    const std::size_t first = log.find(on);
    ASSERT_NE(first, std::string::npos) << log;
    const std::size_t second = log.find(off, first);
    ASSERT_NE(second, std::string::npos) << log;
    EXPECT_EQ(log.find(off, second + 1), std::string::npos) << log;
    EXPECT_EQ(log.find(off), second) << log;
}

// --- Initialisation ---

std::string g_deathDir;

// The child ends through the exit routine; its log directory goes with it.
void removeDeathDir() { quask_test::removeTree(g_deathDir); }

TEST(DrawInitDeath, MissingDefaultTextureEndsTheProcess) {
    ::setenv("QUASK_NONINTERACTIVE", "1", 1);
    Draw::Shutdown();  // harmless before DrawInit
    EXPECT_EXIT(
        {
            g_deathDir = quask_test::makeTempDir("quask-drawinit-");
            registerExitHandler(&removeDeathDir);
            CLOG::Create(g_deathDir, quask_test::quietLogPort());
            Draw::DrawInit();
        },
        ::testing::ExitedWithCode(1),
        "Critical Log Message: .*DrawInit => SysDefault Texture has not GFX-TEX-ID 1 - Fatal\\.");
}

}  // namespace
}  // namespace velmar::scene
