// The map reader: header and segment rules, failure lines, the mends for
// hostile counts and indices, and lookups that stay inside their arrays.
#include "client/scene/rmap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <unistd.h>
#include <string>
#include <vector>

#include "client/core/log.h"
#include "tests/scene/map_builder.h"
#include "tests/support/log_socket.h"
#include "tests/support/temp_dir_test.h"

namespace velmar {
namespace scene {
namespace {

using namespace test;

// A map with something in every segment.
Bytes fullMap(MapSpec* specOut = nullptr) {
    MapSpec s;
    s.layerCount = 2;
    s.cellsPerLayer = 4;
    s.lightmapCount = 2;
    s.lightmapWidth = 2;
    s.lightmapHeight = 1;
    s.textureCount = 2;
    s.tileCount = 2;
    s.cubeCount = 1;
    s.meshCount = 1;
    s.modelCount = 3;
    s.soundEffectCount = 1;
    s.effectCount = 1;
    s.lightCount = 1;
    Bytes out = header(s);
    for (int layer = 0; layer < 2; ++layer)
        for (int c = 0; c < 4; ++c) {
            for (int k = 0; k < 4; ++k) out.f32(static_cast<float>(layer * 10 + c + k));
            out.u8(c == 3 ? 0 : 1);
        }
    out.u8(2);
    out.u8(3);
    for (int i = 0; i < 2 * 2 * 4; ++i) out.u8(i);
    out.i32(100);
    out.i32(10);
    tile(out, 1, 0);
    tile(out, 0, 2);  // lightmap index equal to the count
    cube(out, kNoTile, 0, 1);
    // One mesh: fixed part with P = (1,1,1), Q = (0,0,1), one face, one key.
    out.i32(5);
    out.u8(2);
    for (int i = 0; i < 9; ++i) out.f32(0.0f);
    for (float v : {1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 1.0f}) out.f32(v);
    for (int i = 0; i < 7; ++i) out.f32(0.0f);
    out.i32(1);
    out.i32(1);
    for (float v : {0.0f, 0.0f, 0.0f, 2.0f, -1.0f, 0.0f, 1.0f, 1.0f, 3.0f}) out.f32(v);
    for (int i = 0; i < 36; ++i) out.u8(0);
    out.i32(1);
    out.i32(4);
    for (int i = 0; i < 4; ++i) out.f32(1.0f);
    model(out, 1.0f, 2.0f, 3.0f, 90.0f, 1);
    model(out, 0.0f, 0.0f, 0.0f, 0.0f, 0);
    model(out, 0.0f, 0.0f, 0.0f, 0.0f, 5);
    for (int i = 0; i < 28; ++i) out.i32(i);   // sound effect
    for (int i = 0; i < 4; ++i) out.i32(i);    // effect
    for (int i = 0; i < 6; ++i) out.i32(i);    // light
    if (specOut) *specOut = s;
    return out;
}

class RMapTest : public quask_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        initTrigTables();
        selectMathRoutines(false);
        CLOG::Create(m_dir + "/log", quask_test::quietLogPort());
    }
    void TearDown() override {
        CLOG::Destroy();
        TempDirTest::TearDown();
    }
    std::string log() {
        std::ifstream in(at("log/LastRun.log"));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool logHas(const std::string& text) { return log().find(text) != std::string::npos; }
    bool loadBytes(CRMap& map, const Bytes& bytes) {
        map.loadBytes("t.rmap", bytes.b.data(), bytes.b.size());
        return map.loaded();
    }
};

TEST_F(RMapTest, FullMapLoadsEverySegment) {
    CRMap map;
    ASSERT_TRUE(loadBytes(map, fullMap()));
    EXPECT_FLOAT_EQ(map.header().cellsPerCubeX, 2.0f);
    EXPECT_FLOAT_EQ(map.header().sceneTint[2], 0.75f);
    // Each layer comes from its own block.
    EXPECT_FLOAT_EQ(map.VKCellGetHeight(0, 1, 0), 2.5f);
    EXPECT_FLOAT_EQ(map.VKCellGetHeight(1, 1, 0), 12.5f);
    EXPECT_TRUE(map.cellAt(0, 1, 1)->blocked());
    EXPECT_FALSE(map.cellAt(0, 0, 1)->blocked());
    const Records<std::uint8_t> flags = map.lightmapFlags();
    EXPECT_EQ(std::vector<std::uint8_t>(flags.begin(), flags.end()), (std::vector<std::uint8_t>{2, 3}));
    EXPECT_EQ(map.lightmapTexels().size(), 16u);
    EXPECT_EQ(map.textures()[1].textureId, 10);
    EXPECT_EQ(&map.textureOf(map.tiles()[0]), &map.textures()[1]);
    EXPECT_EQ(map.lightmapOf(map.tiles()[0]), 0);
    EXPECT_EQ(map.lightmapOf(map.tiles()[1]), -1);
    const Cube* c = map.cubeAt(0, 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(map.tileOf(*c, CubeFace::WallY), nullptr);
    EXPECT_EQ(map.tileOf(*c, CubeFace::WallX), &map.tiles()[0]);
    EXPECT_EQ(map.tileOf(*c, CubeFace::Top), &map.tiles()[1]);
    EXPECT_TRUE(c->water());
    const Mesh& mesh = map.meshes()[0];
    EXPECT_FALSE(mesh.flagA);
    EXPECT_TRUE(mesh.flagB);
    // Vertices moved by P + Q = (1, 1, 2) before the box.
    EXPECT_FLOAT_EQ(mesh.boxMin[0], 1.0f);
    EXPECT_FLOAT_EQ(mesh.boxMax[1], 2.0f);
    EXPECT_FLOAT_EQ(mesh.boxMax[2], 5.0f);
    EXPECT_FLOAT_EQ(mesh.centre[2], 3.5f);
    EXPECT_EQ(mesh.faces[0].texture, &map.textures()[1]);
    EXPECT_EQ(map.soundEffects()[0].word[0], 20u);
    EXPECT_EQ(map.soundEffects()[0].word[3], 0u);
    EXPECT_EQ(map.soundEffects()[0].word[8], 27u);
    EXPECT_EQ(map.lights()[0][5], 5u);
    EXPECT_TRUE(logHas("CRMap->loadV2Models: 3 Total Models (1 External, 1 Internal) "));
    EXPECT_TRUE(logHas("CRMap->loadV1Cubes: 1 x 1 (1 Total in Header)"));
}

TEST_F(RMapTest, ModelMatrixMatchesTheRotationExample) {
    CRMap map;
    ASSERT_TRUE(loadBytes(map, fullMap()));
    const float* m = map.models()[0].matrix.m;
    EXPECT_EQ(m[0], 0.0f);
    EXPECT_EQ(m[1], -1.0f);
    EXPECT_EQ(m[2], 0.0f);
    EXPECT_EQ(m[3], 0.0f);
    EXPECT_EQ(m[12], 1.0f);
    EXPECT_EQ(m[13], -2.0f);
    EXPECT_EQ(m[14], 3.0f);
    EXPECT_EQ(m[15], 1.0f);
    // Unit scale flips y: the second column points down.
    const float* identity = map.models()[1].matrix.m;
    EXPECT_EQ(identity[5], -1.0f);
}

TEST_F(RMapTest, HeaderFailuresNameTheirCause) {
    const std::uint8_t five[] = {'R', 'M', 'A', 'P', 6};
    CRMap map;
    map.loadBytes("t.rmap", five, sizeof five);
    EXPECT_FALSE(map.loaded());
    EXPECT_TRUE(logHas("(File is too small)"));

    const std::uint8_t six[] = {'R', 'M', 'A', 'P', 6, 0};
    map.loadBytes("t.rmap", six, sizeof six);
    EXPECT_FALSE(map.loaded());
    EXPECT_TRUE(logHas("CRMap->loadV5: no data left to read out this segment (file to small?)"));
    EXPECT_TRUE(logHas("CRMap: Map Loading 't.rmap' Failed. ( Header Fail )"));

    for (int version : {5, 7}) {
        EXPECT_FALSE(loadBytes(map, header(MapSpec(), version)));
        EXPECT_TRUE(logHas("(Map has Unsupported Version: " + std::to_string(version) + ")"));
    }
    Bytes wrong = header(MapSpec());
    wrong.b[0] = 'X';
    EXPECT_FALSE(loadBytes(map, wrong));
    EXPECT_TRUE(logHas("(File is not HEADER)"));
}

TEST_F(RMapTest, EmptyMapLoadsAndLookupsReportEveryRange) {
    MapSpec s;
    s.cellsPerLayer = 4;  // layerCount 0: no layer at all
    CRMap map;
    ASSERT_TRUE(loadBytes(map, header(s)));
    EXPECT_TRUE(logHas("CRMap->LoadV1LightMaps: Map contains no lightmaps."));
    EXPECT_TRUE(logHas("CRMap->loadV1Lights: Map has no Lights."));
    EXPECT_EQ(map.VKCellGetHeight(0, 0, 0), 0.0f);
    EXPECT_TRUE(logHas("Map has only 0 Layer(s) ; requested info for layer 0"));
    EXPECT_EQ(map.cubeAt(0, 0), nullptr);  // the grid says 1 x 1, the file holds none

    CRMap full;
    ASSERT_TRUE(loadBytes(full, fullMap()));
    EXPECT_EQ(full.VKCellGetHeight(0, 2, 1), 0.0f);
    EXPECT_TRUE(logHas("CRMap->VKCellGetHeight: Out of Range Request 2, 1"));
}

TEST_F(RMapTest, CountsSmallerThanTheGridKeepLookupsInside) {
    MapSpec s;
    s.cellsWide = 100;
    s.cellsHigh = 100;
    s.cubesWide = 50;
    s.cubesHigh = 50;
    s.layerCount = 1;
    s.cellsPerLayer = 1;
    s.tileCount = 1;
    s.textureCount = 1;
    s.cubeCount = 1;
    Bytes out = header(s);
    for (int k = 0; k < 4; ++k) out.f32(4.0f);
    out.u8(1);
    out.i32(0);
    tile(out, 0, 0);
    cube(out, kNoTile, kNoTile, kNoTile, 2);
    CRMap map;
    ASSERT_TRUE(loadBytes(map, out));
    EXPECT_EQ(map.VKCellGetHeight(0, 0, 0), 4.0f);
    EXPECT_EQ(map.VKCellGetHeight(0, 99, 99), 0.0f);
    EXPECT_EQ(map.cellAt(0, 50, 50), nullptr);
    EXPECT_EQ(map.cubeAt(49, 49), nullptr);
    EXPECT_EQ(map.cubeAt(-1, 0), nullptr);
    ASSERT_NE(map.cubeAt(0, 0), nullptr);
    EXPECT_FALSE(map.cubeAt(0, 0)->water());  // only the byte 1 means water
    EXPECT_EQ(map.tileOf(*map.cubeAt(0, 0), CubeFace::Top), nullptr);
}

TEST_F(RMapTest, BadIndicesFailTheirSegment) {
    for (std::int64_t index : {std::int64_t{2}, std::int64_t{-1}, std::int64_t{0x7FFFFFFF}}) {
        MapSpec s;
        s.tileCount = 2;
        s.textureCount = 1;
        s.cubeCount = 1;
        Bytes out = header(s);
        out.i32(1);
        tile(out, 0, 0);
        tile(out, 0, -5);
        cube(out, kNoTile, index, 0);
        CRMap map;
        EXPECT_FALSE(loadBytes(map, out));
        EXPECT_TRUE(logHas("CRMap->loadV1Cubes: Error, cube 0 referenced tile " +
                           std::to_string(index) + "; map has only 2 tiles."));
        EXPECT_TRUE(logHas("CMap: Map Loading 't.rmap' Failed. ( Cubes Fail )"));
    }
    MapSpec s;
    s.tileCount = 1;
    s.textureCount = 1;
    Bytes out = header(s);
    out.i32(1);
    tile(out, 1, 0);
    CRMap map;
    EXPECT_FALSE(loadBytes(map, out));
    EXPECT_TRUE(logHas("CRMap->loadV2Tiles: Error, tile 0 referenced texture 1; map has only 1 textures."));
    EXPECT_TRUE(logHas("( Tiles Fail )"));
}

TEST_F(RMapTest, HostileCountsFailWithTheirLineAndAllocateNothingHuge) {
    struct Case {
        void (*set)(MapSpec&);
        const char* line;
    };
    const Case cases[] = {
        {[](MapSpec& s) { s.layerCount = 255; s.cellsPerLayer = 0x7FFFFFFF; }, "loadV1VKCells: no data"},
        {[](MapSpec& s) { s.layerCount = 1; s.cellsPerLayer = -4; }, "loadV1VKCells: no data"},
        {[](MapSpec& s) { s.lightmapCount = 1; s.lightmapWidth = 0x7FFFFFFF; s.lightmapHeight = 0x7FFFFFFF; }, "LoadV1LightMaps: no data"},
        {[](MapSpec& s) { s.lightmapCount = 1; s.lightmapWidth = -1; s.lightmapHeight = -1; }, "LoadV1LightMaps: no data"},
        {[](MapSpec& s) { s.lightmapCount = -1; }, "LoadV1LightMaps: no data"},
        {[](MapSpec& s) { s.textureCount = -3; }, "loadV1Textures: no data"},
        {[](MapSpec& s) { s.tileCount = 0x7FFFFFFF; }, "loadV2Tiles: no data"},
        {[](MapSpec& s) { s.cubeCount = -1; }, "loadV1Cubes: no data"},
        {[](MapSpec& s) { s.meshCount = 0x40000000; }, "loadV1Meshes: no data"},
        {[](MapSpec& s) { s.modelCount = -100; }, "loadV2Models: no data"},
        {[](MapSpec& s) { s.soundEffectCount = 0x7FFFFFFF; }, "loadV3SoundEffects: no data"},
        {[](MapSpec& s) { s.effectCount = -1; }, "loadV1Effects: no data"},
        {[](MapSpec& s) { s.lightCount = 0x7FFFFFFF; }, "loadV1Lights: no data"},
    };
    for (const Case& c : cases) {
        MapSpec s;
        c.set(s);
        CRMap map;
        EXPECT_FALSE(loadBytes(map, header(s))) << c.line;
        EXPECT_TRUE(logHas(c.line)) << c.line;
    }
}

TEST_F(RMapTest, HostileFaceCountFailsTheMeshesAndANegativeMeshCountReadsNothing) {
    MapSpec s;
    s.meshCount = 2;
    Bytes out = header(s);
    for (int m = 0; m < 2; ++m) {
        out.i32(0);
        out.u8(1);
        for (int i = 0; i < 22; ++i) out.f32(0.0f);
        out.i32(m == 0 ? 0 : 0x7FFFFFFF);  // faces
        out.i32(m == 0 ? -5 : 0);           // keys
    }
    CRMap map;
    EXPECT_FALSE(loadBytes(map, out));
    EXPECT_TRUE(logHas("( Meshes Fail )"));

    // A negative count reads no mesh and fails nothing.
    MapSpec negative;
    negative.meshCount = -3;
    CRMap none;
    EXPECT_TRUE(loadBytes(none, header(negative)));
    EXPECT_TRUE(logHas("CRMap->loadV1Meshs: -3 Meshes"));
}

TEST_F(RMapTest, EveryTruncationFailsCleanly) {
    Bytes full = fullMap();
    for (std::size_t size = 0; size < full.b.size(); ++size) {
        std::vector<std::uint8_t> cut(full.b.begin(), full.b.begin() + static_cast<long>(size));
        CRMap map;
        map.loadBytes("t.rmap", cut.data(), cut.size());
        EXPECT_FALSE(map.loaded()) << size;
    }
}

TEST_F(RMapTest, LoadReadsFromTheDataDirectory) {
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(m_dir.c_str()), 0);
    ASSERT_EQ(::system("mkdir -p data/map"), 0);
    Bytes full = fullMap();
    std::ofstream(at("data/map/world.rmap"), std::ios::binary)
        .write(reinterpret_cast<const char*>(full.b.data()), static_cast<long>(full.b.size()));
    CRMap map;
    map.load("world.rmap");
    EXPECT_TRUE(map.loaded());
    EXPECT_TRUE(logHas("CRMap: Finished MapLoading 'world.rmap' in "));
    // The whole-file loader ends the client on a missing file itself.
    EXPECT_EXIT({ CRMap missing; missing.load("nothing.rmap"); }, ::testing::ExitedWithCode(1),
                "Can not open file 'data/map/nothing.rmap'");
    ASSERT_EQ(::chdir(previous), 0);
}

}  // namespace
}  // namespace scene
}  // namespace velmar
