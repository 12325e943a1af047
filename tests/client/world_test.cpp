// The world on screen: the first map's scene comes up at start, the overlay
// draws its translucent background and white text over it, and a first map
// that cannot load ends the client.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/client/game_fixture.h"

namespace {

using namespace client_test;
namespace fs = std::filesystem;

// A 24-bit TGA screenshot as the client writes it (rows bottom up).
struct Picture {
    int width = 0, height = 0;
    std::string bytes;
    bool load(const std::string& path) {
        bytes = quask_test::readFile(path);
        if (bytes.size() < 18) return false;
        auto u8 = [this](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
        width = u8(12) | u8(13) << 8;
        height = u8(14) | u8(15) << 8;
        return u8(2) == 2 && u8(16) == 24 &&
               bytes.size() >= 18 + static_cast<std::size_t>(width) * height * 3;
    }
    // The largest of the three channels at (x, y), y from the top.
    int brightness(int x, int y) const {
        std::size_t at = 18 + (static_cast<std::size_t>(height - 1 - y) * width + x) * 3;
        return std::max({static_cast<unsigned char>(bytes[at]),
                         static_cast<unsigned char>(bytes[at + 1]),
                         static_cast<unsigned char>(bytes[at + 2])});
    }
    int maxIn(int x0, int y0, int x1, int y1) const {
        int best = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) best = std::max(best, brightness(x, y));
        return best;
    }
    int countAbove(int x0, int y0, int x1, int y1, int level) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) n += brightness(x, y) > level;
        return n;
    }
};

class WorldGame : public WindowedGame {
protected:
    // Starts the client, takes one TGA screenshot after a few frames and ends it.
    Picture screenshot() {
        startClient();
        const std::string window = findWindow(kEndMs);
        EXPECT_FALSE(window.empty());
        quask_test::runTool({"xdotool", "windowfocus", window});
        quask_test::runTool({"xdotool", "key", "F12"});
        EXPECT_TRUE(quask_test::waitForText(m_dir + "/log/LastRun.log", "ScreenShot0000.tga", kEndMs))
            << log();
        quask_test::runTool({"xdotool", "key", "Escape"});
        EXPECT_EQ(m_client->waitExit(kEndMs), 0);
        Picture picture;
        for (const auto& month : fs::directory_iterator(m_dir + "/ScreenShots"))
            EXPECT_TRUE(picture.load(month.path().string() + "/ScreenShot0000.tga"));
        return picture;
    }
};

// The background is black at 0.6 opacity: nothing under it is brighter than
// 0.4 of full, while glyphs are white.
constexpr int kDimmed = 0.4 * 255 + 2;

TEST_F(WorldGame, FirstMapIsPreparedActiveAndUnderTheSceneStatistics) {
    writeConfig("Stat_FPS = true\nStat_Scene = true\nScreenshotformat = 0\n");
    Picture shot = screenshot();
    expectInOrder(log(), {"(INFO) CScene: Creating New Scene 'Lakeside'.\r\n",
                          "(INFO) CRMap: 'Lakeside.rmap' is Version 6\r\n",
                          "(INFO) CScene->PrepareMap: Finished 'Lakeside.rmap' (CubeResolution: 8, Count: 168)\r\n",
                          "(INFO) Draw::Enable3D => Enabled 3D Rendering!\r\n",
                          "(INFO) sceneSetActive: Set 'Lakeside.rmap' active.\r\n",
                          "(INFO) Entering Main Loop\r\n"});
    ASSERT_EQ(shot.width, 800);
    ASSERT_EQ(shot.height, 600);
    // Both switches with an active scene: 255 x 180. Its right edge is free
    // of text; the world right of it is not dimmed.
    EXPECT_LE(shot.maxIn(246, 0, 255, 180), kDimmed);
    EXPECT_GT(shot.maxIn(256, 0, 300, 180), kDimmed);
    EXPECT_GT(shot.countAbove(0, 0, 255, 180, 220), 200);  // many lines of white text
    // The world fills the rest of the window with more than one colour.
    EXPECT_GT(shot.countAbove(300, 200, 800, 600, kDimmed), 50000);
}

TEST_F(WorldGame, FpsLineAloneHasTheNarrowBackground) {
    writeConfig("Stat_FPS = true\nStat_Scene = false\nScreenshotformat = 0\n");
    Picture shot = screenshot();
    ASSERT_EQ(shot.width, 800);
    EXPECT_LE(shot.maxIn(48, 0, 55, 18), kDimmed);
    EXPECT_GT(shot.countAbove(0, 0, 40, 18, 220), 10);  // "FPS: ..."
    EXPECT_GT(shot.maxIn(0, 19, 55, 60), kDimmed);       // nothing below the line
    EXPECT_GT(shot.maxIn(56, 0, 120, 18), kDimmed);      // nor right of it
}

TEST_F(WorldGame, FirstMapThatCannotLoadEndsTheClientWithOne) {
    fs::remove(m_dir + "/data/map/Lakeside.ini");
    EXPECT_EQ(run("starter"), 1);  // the client ends before it signals
    ASSERT_TRUE(clientEnded()) << log();
    expectInOrder(log(), {"Required link to RMAP File\r\n",
                          "(CRIT) CScene: Cannot load the first map 'Lakeside'.\r\n"});
    EXPECT_EQ(log().find("Entering Main Loop"), std::string::npos);
}

}  // namespace
