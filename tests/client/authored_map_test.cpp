// A map as an author draws it in Tiled, imported by the content tool and
// shown by the client from its start camera: it reads as Tiled's own
// renderer (tmxrasterizer) draws it. The map holds a letter F in rock, a
// bar turned clockwise and a raised block under a sun from the map's top;
// the features compared are which side things lie on, not pixels.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include "tests/client/world_fixture.h"
#include "tests/support/xvfb_display.h"
#include "tools/contentkit/demo/demo_models.h"

namespace {

using namespace client_test;
namespace fs = std::filesystem;

// --- The map ---

// The client's start cell (153, 185) lies on Tiled's row 224 - 1 - 185.
constexpr int kWide = 176, kHigh = 224, kStartColumn = 153, kStartRow = 38;
// Tiles of the demo's tilesets: ground.tsx from 1, cells.tsx from 5.
constexpr int kGrass = 1, kRock = 2, kSand = 3, kLift14 = 5 + 4;

struct Grid {
    std::vector<int> cells = std::vector<int>(kWide * kHigh, 0);
    void fill(int x0, int x1, int y0, int y1, int gid) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) cells[static_cast<std::size_t>(x + y * kWide)] = gid;
    }
    std::string csv() const {
        std::ostringstream out;
        for (std::size_t i = 0; i < cells.size(); ++i) out << (i ? (i % kWide ? "," : ",\n") : "") << cells[i];
        return out.str();
    }
};

// Left of the start cell the F (stem on the left, its long bar on top);
// right of it, above, a bar of 8 x 1.25 cells turned 30 degrees clockwise
// about its top-left corner (its centre on cell (162, 28)); below, a sand
// block raised by 14 under a sun from the top, 35 degrees high.
std::string letterMap() {
    Grid ground, lift;
    ground.fill(0, kWide - 1, 0, kHigh - 1, kGrass);
    ground.fill(138, 141, 22, 41, kRock);
    ground.fill(138, 151, 22, 25, kRock);
    ground.fill(138, 147, 30, 33, kRock);
    ground.fill(156, 163, 40, 45, kSand);
    lift.fill(156, 163, 40, 45, kLift14);
    const std::string size = "width=\"" + std::to_string(kWide) + "\" height=\"" + std::to_string(kHigh) + "\"";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<map version=\"1.8\" orientation=\"orthogonal\" renderorder=\"right-down\" " + size +
           " tilewidth=\"16\" tileheight=\"16\" infinite=\"0\">\n <properties>\n"
           "  <property name=\"sunAzimuth\" type=\"float\" value=\"0\"/>\n"
           "  <property name=\"sunElevation\" type=\"float\" value=\"35\"/>\n"
           "  <property name=\"DistMax\" type=\"float\" value=\"220\"/>\n </properties>\n"
           " <tileset firstgid=\"1\" source=\"ground.tsx\"/>\n <tileset firstgid=\"5\" source=\"cells.tsx\"/>\n"
           " <layer id=\"1\" name=\"ground\" " + size + ">\n  <data encoding=\"csv\">\n" + ground.csv() +
           "\n</data>\n </layer>\n <layer id=\"2\" name=\"lift\" " + size + " visible=\"0\">\n"
           "  <data encoding=\"csv\">\n" + lift.csv() + "\n</data>\n </layer>\n"
           " <objectgroup id=\"3\" name=\"models\" color=\"#ff0000\">\n"
           "  <object id=\"1\" name=\"bar\" x=\"2541.57\" y=\"407.34\" width=\"128\" height=\"20\" rotation=\"30\">\n"
           "   <properties><property name=\"modelFile\" value=\"bar.obj\"/>"
           "<property name=\"texture\" type=\"int\" value=\"" + std::to_string(contentkit::kTexRoof) +
           "\"/></properties>\n  </object>\n </objectgroup>\n</map>\n";
}

// 40 x 4 x 6.25 units, as long and wide as the object.
const char kBarObj[] =
    "v -20 0 -3.125\nv 20 0 -3.125\nv 20 0 3.125\nv -20 0 3.125\n"
    "v -20 4 -3.125\nv 20 4 -3.125\nv 20 4 3.125\nv -20 4 3.125\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
    "f 5/1 8/2 7/3 6/4\nf 1/1 2/2 3/3 4/4\nf 1/1 5/2 6/3 2/4\nf 2/1 6/2 7/3 3/4\nf 3/1 7/2 8/3 4/4\nf 4/1 8/2 5/3 1/4\n";

// --- What a picture shows ---

bool isRock(int r, int g, int b) { return std::max({r, g, b}) - std::min({r, g, b}) <= 24 && std::max({r, g, b}) >= 90; }
bool isRed(int r, int g, int b) { return r > g + 50 && r > b + 50; }
bool isSand(int r, int g, int b) { return r > b + 25 && g > b + 15 && r >= g && r - g < 40; }
bool isGrass(int r, int g, int b) { return g > r + 20 && g > b + 20; }

template <typename Kind>
void forEach(const Picture& p, int x0, int x1, Kind kind, const std::function<void(int, int)>& seen) {
    for (int y = 0; y < p.height; ++y)
        for (int x = x0; x < x1; ++x)
            if (kind(p.channel(x, y, 0), p.channel(x, y, 1), p.channel(x, y, 2))) seen(x, y);
}

struct Box {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
    void add(int x, int y) {
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
    }
    bool empty() const { return x1 < x0; }
};

// The rock left of column `split`: its bars reach right in the upper half
// of its box, and the lowest quarter holds the stem on the left alone.
struct LetterSides {
    bool barsUp = false, stemLeft = false;
    int pixels = 0;
};

LetterSides letterSides(const Picture& p, int split) {
    Box box;
    forEach(p, 0, split, isRock, [&](int x, int y) { box.add(x, y); });
    LetterSides sides;
    if (box.empty()) return sides;
    const int midX = (box.x0 + box.x1) / 2, midY = (box.y0 + box.y1) / 2, lowY = box.y1 - (box.y1 - box.y0) / 4;
    int upperRight = 0, lowerRight = 0, lowLeft = 0, lowRight = 0;
    forEach(p, 0, split, isRock, [&](int x, int y) {
        ++sides.pixels;
        if (x > midX) ++(y < midY ? upperRight : lowerRight);
        if (y > lowY) ++(x < midX ? lowLeft : lowRight);
    });
    sides.barsUp = upperRight > 2 * lowerRight;
    sides.stemLeft = lowLeft > 4 * lowRight;
    return sides;
}

// Whether the red bar falls from left to right (y grows down the picture),
// as a clockwise turn of a level bar does.
bool barFallsToTheRight(const Picture& p, int* count) {
    double n = 0, sx = 0, sy = 0, sxy = 0;
    forEach(p, 0, p.width, isRed, [&](int x, int y) {
        n += 1;
        sx += x;
        sy += y;
        sxy += static_cast<double>(x) * y;
    });
    *count = static_cast<int>(n);
    return n > 0 && sxy / n - (sx / n) * (sy / n) > 0;
}

// Mean brightness of the grass in rows [y0, y1) of columns [x0, x1).
double grassBrightness(const Picture& p, int x0, int x1, int y0, int y1) {
    double sum = 0, n = 0;
    for (int y = std::max(0, y0); y < std::min(p.height, y1); ++y)
        for (int x = std::max(0, x0); x < std::min(p.width, x1); ++x)
            if (isGrass(p.channel(x, y, 0), p.channel(x, y, 1), p.channel(x, y, 2))) {
                sum += p.brightness(x, y);
                n += 1;
            }
    return n > 100 ? sum / n : -1;
}

// A binary PPM ("P6", 8 bits) as the editor's renderer writes it.
bool loadPpm(const std::string& path, Picture* picture) {
    std::istringstream in(quask_test::readFile(path));
    std::string magic;
    int w = 0, h = 0, max = 0;
    if (!(in >> magic >> w >> h >> max) || magic != "P6" || max != 255 || w <= 0 || h <= 0) return false;
    in.get();
    *picture = Picture::blank(w, h);
    std::string rgb(static_cast<std::size_t>(w) * h * 3, '\0');
    if (!in.read(&rgb[0], static_cast<std::streamsize>(rgb.size()))) return false;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                picture->bytes[picture->offset(x, y) + 2 - c] = rgb[(static_cast<std::size_t>(y) * w + x) * 3 + c];
    return true;
}

class AuthoredMap : public WorldGame {
protected:
    void SetUp() override {
        WorldGame::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        m_rasterizer = quask_test::findProgram("tmxrasterizer");
        if (m_rasterizer.empty()) GTEST_SKIP() << "tmxrasterizer (Debian package tiled) is not installed";
        fs::create_directories(m_dir + "/art");
        for (const char* file : {"ground.tsx", "ground.png", "cells.tsx", "cells.png"})
            fs::copy_file(QUASK_TESTS_DIR "/../tools/contentkit/demo/demo_content/" + std::string(file),
                          m_dir + "/art/" + file);
        ASSERT_TRUE(quask_test::writeFile(m_dir + "/art/letter.tmx", letterMap()));
        ASSERT_TRUE(quask_test::writeFile(m_dir + "/art/bar.obj", kBarObj));
    }
    int runTool(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
        quask_test::ChildProcess::Options o;
        o.extraEnv = env;
        o.stderrPath = m_dir + "/tool.txt";
        quask_test::ChildProcess tool(argv, o);
        return tool.waitExit(120000);
    }
    std::string m_rasterizer;
};

TEST_F(AuthoredMap, StartCameraShowsTheMapAsTiledDrawsIt) {
    ASSERT_EQ(runTool({QUASK_BIN_DIR "/tools/contentkit/contentkit", "import-tiled", m_dir + "/art/letter.tmx",
                       m_dir, "Lakeside"}),
              0)
        << quask_test::readFile(m_dir + "/tool.txt");
    // Four pixels a cell.
    ASSERT_EQ(runTool({m_rasterizer, "--scale", "0.25", m_dir + "/art/letter.tmx", m_dir + "/tiled.ppm"},
                      {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + m_dir, "HOME=" + m_dir}),
              0)
        << quask_test::readFile(m_dir + "/tool.txt");
    Picture tiled;
    ASSERT_TRUE(loadPpm(m_dir + "/tiled.ppm", &tiled));
    ASSERT_EQ(tiled.width, kWide * 4);

    writeFixedConfig(false);
    ASSERT_NO_FATAL_FAILURE(startFocused());
    parkCursorInCorner();
    const Picture shot = shoot();
    quit();
    ASSERT_EQ(shot.width, 800);

    // The start cell lies in the window's middle; the letter left of it.
    const LetterSides drawn = letterSides(tiled, kStartColumn * 4), seen = letterSides(shot, 400);
    ASSERT_TRUE(drawn.barsUp && drawn.stemLeft) << "the editor's picture is no F";
    EXPECT_GT(seen.pixels, 20000) << "no letter in view";
    EXPECT_EQ(seen.barsUp, drawn.barsUp) << "the letter's bars are not at its top";
    EXPECT_EQ(seen.stemLeft, drawn.stemLeft) << "the letter's stem is not on its left";

    int drawnRed = 0, seenRed = 0;
    const bool drawnFalls = barFallsToTheRight(tiled, &drawnRed), seenFalls = barFallsToTheRight(shot, &seenRed);
    ASSERT_TRUE(drawnFalls) << drawnRed << " red pixels";
    EXPECT_GT(seenRed, 2000) << "no bar in view";
    EXPECT_EQ(seenFalls, drawnFalls) << "the bar is not turned clockwise";

    // The sun stands at the map's top: the block's shadow falls below it.
    Box block;
    forEach(shot, 400, 800, isSand, [&](int x, int y) { block.add(x, y); });
    ASSERT_FALSE(block.empty()) << "no block in view";
    const int h = block.y1 - block.y0;
    const double below = grassBrightness(shot, block.x0, block.x1, block.y1, block.y1 + h);
    const double above = grassBrightness(shot, block.x0, block.x1, block.y0 - h, block.y0);
    EXPECT_GT(above, 0);
    EXPECT_LT(below, 0.75 * above) << "the shadow does not fall away from the sun";
}

}  // namespace
