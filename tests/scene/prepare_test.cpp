// Map preparation on Xvfb: the ground compiled once, water recorded once per
// cube whatever texture slots it uses and never for a cube no pass emits,
// the world matrix; and the water quad
// and render-cube rules without GL.
#include <gtest/gtest.h>

#include <GL/gl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "client/core/log.h"
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
