// Map preparation on Xvfb: the ground compiled once, water recorded once per
// cube whatever texture slots it uses and never for a cube no pass emits,
// the world matrix; and the water quad, the render-cube rules and the
// lightmap atlas layout without GL.
#include <gtest/gtest.h>

#include <GL/gl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "client/core/log.h"
#include "client/scene/lightmap_atlas.h"
#include "client/scene/prepare.h"
#include "client/scene/scene.h"
#include "client/scene/scene_draw.h"
#include "tests/assets/font_fixture.h"
#include "tests/scene/map_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/log_socket.h"

namespace velmar {
namespace scene {
namespace {

using namespace test;

TEST(RenderCubes, ResolutionIsClampedAndCountsRoundUp) {
    EXPECT_EQ(clampCubeResolution(0), 1);
    EXPECT_EQ(clampCubeResolution(-7), 1);
    EXPECT_EQ(clampCubeResolution(51), 50);
    EXPECT_EQ(clampCubeResolution(16), 16);
    EXPECT_EQ(renderCubesAcross(100, 16), 7);
    EXPECT_EQ(renderCubesAcross(96, 16), 6);
    EXPECT_EQ(renderCubesAcross(0, 16), 0);
}

// Lightmap atlas layouts: every placed lightmap lies inside its page on a
// page of its own format, no two cells overlap, the texture coordinates
// land on the image's texel centres as they did on a texture of its own, and
// the gutter around each image repeats the image (what GL_REPEAT read), so
// filtering at an edge never reads a neighbour.
struct AtlasCase {
    const char* what;
    std::vector<std::uint8_t> flags;
    int width, height, maxSize;
    std::size_t pages;
    std::size_t unplaced;
};

std::vector<std::uint8_t> flagsOf(std::size_t count, std::uint8_t flag) {
    return std::vector<std::uint8_t>(count, flag);
}

std::array<std::uint8_t, 4> lightmapTexel(std::uint32_t lightmap, int i, int j) {
    return {static_cast<std::uint8_t>(lightmap), static_cast<std::uint8_t>(lightmap >> 8),
            static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(j)};
}

TEST(LightmapAtlas, CellsNeitherOverlapNorBleedAndKeepTheirTexelCentres) {
    std::vector<std::uint8_t> mixed;
    for (int i = 0; i < 30; ++i) mixed.push_back(i % 3 == 0 ? 0 : i % 3 == 1 ? 2 : 7);
    const AtlasCase cases[] = {
        {"the demo map's 1775 lightmaps of 4 x 4", flagsOf(1775, 3), 4, 4, 2048, 1, 0},
        {"three formats, 5 x 3 texels: a page each", mixed, 5, 3, 2048, 3, 0},
        {"more than a page holds", flagsOf(250, 2), 4, 4, 64, 3, 0},
        {"a page that is no power of two is cut to one", flagsOf(4, 3), 8, 8, 40, 1, 0},
        {"as large as a page with its gutters", {3, 0}, 62, 62, 64, 2, 0},
        {"too large for a page with its gutters", {3, 0}, 63, 62, 64, 0, 2},
        {"no texels", flagsOf(3, 3), 0, 4, 2048, 0, 3},
    };
    for (const AtlasCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t count = c.flags.size();
        const AtlasLayout layout = layoutLightmapAtlas(c.flags.data(), count, c.width, c.height, c.maxSize);
        ASSERT_EQ(layout.places.size(), count);
        EXPECT_EQ(layout.pages.size(), c.pages);
        const std::size_t image = static_cast<std::size_t>(std::max(c.width, 0) * std::max(c.height, 0) * 4);
        std::vector<std::uint8_t> texels(image * count);
        for (std::uint32_t l = 0; l < count; ++l)
            for (int j = 0; j < c.height; ++j)
                for (int i = 0; i < c.width; ++i)
                    std::memcpy(&texels[l * image + static_cast<std::size_t>(j * c.width + i) * 4],
                                lightmapTexel(l, i, j).data(), 4);
        std::size_t unplaced = 0;
        for (std::uint32_t l = 0; l < count; ++l) unplaced += layout.places[l].page == kNoAtlasPage;
        EXPECT_EQ(unplaced, c.unplaced);
        for (std::size_t p = 0; p < layout.pages.size(); ++p) {
            const AtlasPage& page = layout.pages[p];
            EXPECT_LE(std::max(page.width, page.height), c.maxSize);
            EXPECT_EQ(page.width & (page.width - 1), 0);
            EXPECT_EQ(page.height & (page.height - 1), 0);
            const std::vector<std::uint8_t> filled = fillAtlasPage(layout, p, texels.data());
            std::vector<std::uint32_t> owner(static_cast<std::size_t>(page.width * page.height),
                                             kNoAtlasPage);
            const int g = kAtlasGutter;
            for (std::uint32_t l : page.lightmaps) {
                const AtlasPlace& place = layout.places[l];
                ASSERT_EQ(place.page, p);
                EXPECT_EQ(page.format, lightmapFormat(c.flags[l]));
                ASSERT_GE(place.x - g, 0);
                ASSERT_GE(place.y - g, 0);
                ASSERT_LE(place.x + c.width + g, page.width);
                ASSERT_LE(place.y + c.height + g, page.height);
                EXPECT_EQ((place.s0 * page.width - place.x) / c.width, 0.125f);
                EXPECT_EQ((place.s1 * page.width - place.x) / c.width, 0.875f);
                EXPECT_EQ((place.t0 * page.height - place.y) / c.height, 0.125f);
                EXPECT_EQ((place.t1 * page.height - place.y) / c.height, 0.875f);
                for (int j = -g; j < c.height + g; ++j)
                    for (int i = -g; i < c.width + g; ++i) {
                        const auto at = static_cast<std::size_t>((place.y + j) * page.width + place.x + i);
                        EXPECT_EQ(owner[at], kNoAtlasPage) << "lightmaps " << owner[at] << " and " << l;
                        owner[at] = l;
                        const auto want = lightmapTexel(l, (i % c.width + c.width) % c.width,
                                                        (j % c.height + c.height) % c.height);
                        ASSERT_EQ(std::memcmp(&filled[at * 4], want.data(), 4), 0)
                            << "lightmap " << l << " texel " << i << ", " << j;
                    }
            }
        }
    }
}

// Small lightmaps go up enlarged for nearest reads: each texel holds the
// linear blend of the lightmap at its centre (held within the outer texel
// centres), so the picture is the linear read's within a step.
TEST(LightmapAtlas, EnlargedLightmapsHoldTheLinearBlendAtEachTexelCentre) {
    EXPECT_EQ(lightmapScale(4, 4), 8);
    EXPECT_EQ(lightmapScale(8, 5), 4);
    EXPECT_EQ(lightmapScale(16, 16), 1);
    const int w = 4, h = 3, k = 8, g = kAtlasGutter;
    const std::vector<std::uint8_t> flags = flagsOf(2, 3);
    std::vector<std::uint8_t> texels;
    for (int l = 0; l < 2; ++l)
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i)  // linear in i and j, and their product
                texels.insert(texels.end(), {static_cast<std::uint8_t>(40 * i), static_cast<std::uint8_t>(60 * j),
                                             static_cast<std::uint8_t>(200 - 50 * l),
                                             static_cast<std::uint8_t>(20 * i * j)});
    const AtlasLayout layout = layoutLightmapAtlas(flags.data(), flags.size(), w, h, 256, k);
    ASSERT_EQ(layout.pages.size(), 1u);
    const AtlasPage& page = layout.pages[0];
    const std::vector<std::uint8_t> filled = fillAtlasPage(layout, 0, texels.data());
    for (std::uint32_t l = 0; l < 2; ++l) {
        const AtlasPlace& place = layout.places[l];
        EXPECT_FLOAT_EQ(place.s0 * page.width - place.x, 0.125f * w * k);
        EXPECT_FLOAT_EQ(place.t1 * page.height - place.y, 0.875f * h * k);
        for (int j = -g; j < h * k + g; ++j)
            for (int i = -g; i < w * k + g; ++i) {
                const float x = std::clamp((i + 0.5f) / k - 0.5f, 0.0f, w - 1.0f);
                const float y = std::clamp((j + 0.5f) / k - 0.5f, 0.0f, h - 1.0f);
                const float want[4] = {40 * x, 60 * y, 200.0f - 50.0f * l, 20 * x * y};
                const std::uint8_t* got =
                    &filled[(static_cast<std::size_t>(place.y + j) * page.width + place.x + i) * 4];
                for (int c = 0; c < 4; ++c)
                    ASSERT_NEAR(got[c], want[c], 1.0) << "lightmap " << l << " texel " << i << ", " << j << ": " << c;
            }
    }
}

// Four cubes of water; the first uses three texture slots (+y wall, +x
// wall, top), the last no tile at all, so no texture pass ever emits it.
Bytes threeSlotMap() {
    MapSpec s;
    s.cellsWide = s.cellsHigh = 4;
    s.cubesWide = s.cubesHigh = 2;
    s.cubeSize = 10.0f;
    s.hasWater = 1;
    s.textureCount = 3;
    s.groundPassCount = 3;
    s.tileCount = 3;
    s.cubeCount = 4;
    Bytes out = header(s);
    for (int t = 0; t < 3; ++t) out.i32(300 + t);
    for (int t = 0; t < 3; ++t) tile(out, t, -1);
    cube(out, 0, 1, 2, 1);
    cube(out, kNoTile, kNoTile, 0, 1);
    cube(out, kNoTile, kNoTile, 0, 1);
    cube(out, kNoTile, kNoTile, kNoTile, 1);
    return out;
}

class PrepareMapTest : public font_fixture::GLWindowTest {
protected:
    void SetUp() override {
        GLWindowTest::SetUp();
        if (IsSkipped()) return;
        m_dir = quask_test::makeTempDir("quask-prepare-");
        ASSERT_NE(::getcwd(m_previous, sizeof m_previous), nullptr);
        ASSERT_EQ(::chdir(m_dir.c_str()), 0);
        ::mkdir("data", 0755);
        ::mkdir("data/map", 0755);
        initTrigTables();
        selectMathRoutines(false);
        CLOG::Create(m_dir + "/log", quask_test::quietLogPort());
        Bytes map = threeSlotMap();
        std::ofstream("data/map/slots.rmap", std::ios::binary)
            .write(reinterpret_cast<const char*>(map.b.data()), static_cast<long>(map.b.size()));
        std::ofstream("data/map/Slots.ini") << "[Scene]\nRMap=slots.rmap\n";
    }
    void TearDown() override {
        if (!m_dir.empty()) {
            CLOG::Destroy();
            EXPECT_EQ(::chdir(m_previous), 0);
            quask_test::removeTree(m_dir);
        }
        GLWindowTest::TearDown();
    }
    std::string log() { return quask_test::readFile(m_dir + "/log/LastRun.log"); }

    std::string m_dir;
    char m_previous[4096];
};

TEST_F(PrepareMapTest, WaterIsRecordedOncePerCubeAndTheGroundCompiledOnce) {
    auto scene = createScene("Slots");
    ASSERT_TRUE(scene->valid) << log();
    ASSERT_EQ(PrepareMap(*scene), 1);
    EXPECT_EQ(scene->cubeResolution, 8);  // the setting's default without a configuration
    ASSERT_EQ(scene->renderCubeCount, 1);
    ASSERT_EQ(scene->waterRecords.size(), 1u);
    EXPECT_EQ(scene->waterRecords[0].count, 3);
    EXPECT_EQ(scene->waterRecords[0].positions, (std::vector<std::int32_t>{0, 0, 0, 1, 1, 0}));
    EXPECT_EQ(scene->waterFlags[0], 1);
    EXPECT_TRUE(glIsList(scene->groundListBase));
    unsigned base = scene->groundListBase;
    EXPECT_EQ(PrepareMap(*scene), 1);
    EXPECT_EQ(scene->groundListBase, base);
    EXPECT_NE(log().find("CScene->PrepareMap: Finished 'slots.rmap' (CubeResolution: 8, Count: 1)"),
              std::string::npos);
    // Map point (x, y, h) lands at (x - 10, -h, y - 10): 2 cubes of 10 over
    // 2 cells per cube put the origin in the middle of the 20-unit map.
    const float* w = scene->world.m;
    EXPECT_EQ(w[12], -10.0f);
    EXPECT_EQ(w[13], 0.0f);
    EXPECT_EQ(w[14], -10.0f);
    EXPECT_EQ(w[6], 1.0f);
    EXPECT_EQ(w[9], -1.0f);
}

// A header whose cube grid is far larger than the cubes its file holds (a
// broken copy): the render grid covers the cubes there are, instead of
// lists and water records for two thousand million columns (an int product
// that overflowed into a vector too large to make: the client aborted).
TEST_F(PrepareMapTest, CubeGridLargerThanItsCubesIsCutToTheCubesHeld) {
    MapSpec s;
    s.cellsWide = 8;
    s.cellsHigh = 4;
    s.cubesWide = 0x7FFFFFFF;
    s.cubesHigh = 2;
    s.hasWater = 1;
    s.textureCount = 1;
    s.tileCount = 1;
    s.cubeCount = 4;
    Bytes out = header(s);
    out.i32(300);
    tile(out, 0, -1);
    for (int c = 0; c < 4; ++c) cube(out, kNoTile, kNoTile, 0, 1);
    std::ofstream("data/map/wide.rmap", std::ios::binary)
        .write(reinterpret_cast<const char*>(out.b.data()), static_cast<long>(out.b.size()));
    std::ofstream("data/map/Wide.ini") << "[Scene]\nRMap=wide.rmap\n";
    auto scene = createScene("Wide");
    ASSERT_TRUE(scene->valid) << log();
    ASSERT_EQ(PrepareMap(*scene), 1);
    EXPECT_EQ(scene->renderCubesWide, 1);  // four cubes in the first row, eight to a render cube
    EXPECT_EQ(scene->renderCubesHigh, 1);
    ASSERT_EQ(scene->waterRecords.size(), 1u);
    EXPECT_EQ(scene->waterRecords[0].count, 4);
}

TEST_F(PrepareMapTest, SceneWithoutAMapIsNotPrepared) {
    CScene empty;
    empty.rmapName = "gone.rmap";
    EXPECT_EQ(PrepareMap(empty), 0);
    EXPECT_NE(log().find("CScene->PrepareMap: cannot prepare map 'gone.rmap' (previous map loading "
                         "routine failed)"),
              std::string::npos);
}

TEST_F(PrepareMapTest, WaterQuadFollowsTheWaveAndRepeatsItsTextureEveryFiveCubes) {
    auto scene = createScene("Slots");
    ASSERT_TRUE(scene->valid);
    ASSERT_TRUE(scene->water);
    scene->water->phase = 0.0f;
    WaterVertex v[4];
    waterQuad(*scene, 7, 3, v);
    const float level = scene->map->header().waterLevel;
    auto wave = [](int a, int b) { return tableSin(7.0f * a) * tableSin(5.0f * b); };
    EXPECT_FLOAT_EQ(v[0].x, 70.0f);
    EXPECT_FLOAT_EQ(v[0].y, 30.0f);
    EXPECT_FLOAT_EQ(v[0].z, level + wave(7, 3));
    EXPECT_FLOAT_EQ(v[1].x, 80.0f);
    EXPECT_FLOAT_EQ(v[1].z, level + wave(8, 3));
    EXPECT_FLOAT_EQ(v[2].y, 40.0f);
    EXPECT_FLOAT_EQ(v[2].z, level + wave(8, 4));
    EXPECT_FLOAT_EQ(v[3].z, level + wave(7, 4));
    // s from the row, t from the column, both modulo 5 in steps of 0.2.
    EXPECT_FLOAT_EQ(v[0].s, 0.6f);
    EXPECT_FLOAT_EQ(v[2].s, 0.8f);
    EXPECT_FLOAT_EQ(v[0].t, 0.4f);
    EXPECT_FLOAT_EQ(v[1].t, 0.6f);
    EXPECT_FLOAT_EQ(v[3].t, 0.4f);
    for (const WaterVertex& vertex : v) EXPECT_LE(std::abs(vertex.z - level), 1.0f);
}

}  // namespace
}  // namespace scene
}  // namespace velmar
