// The demo's first map, imported from the Tiled files of the repository:
// deterministic and free of warnings, the same as the program's import of
// the source tree's file, accepted by info and by the client's map reader,
// and shaped the way the client's start-up and scene need it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "client/scene/rmap.h"
#include "client/storage/gdf.h"
#include "tests/contentkit/reference_rmap.h"
#include "tests/contentkit/test_util.h"
#include "tests/contentkit/tiled_fixture.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/demo/demo_map.h"

namespace {

using cktest::Bytes;
using contentkit::InfoReport;

const std::string kProgram = QUASK_BIN_DIR "/tools/contentkit/contentkit";
const std::string kRepositoryMap = QUASK_TESTS_DIR "/../tools/contentkit/demo/demo_content/Lakeside.tmx";

Bytes importDemo(contentkit::DemoMapContent* content = nullptr) {
    cktest::MemoryFiles game = cktest::demoGameDir();
    contentkit::TiledImportResult result;
    contentkit::DemoMapContent c;
    std::string error;
    EXPECT_TRUE(contentkit::importDemoMap(game, &result, &c, &error)) << error;
    EXPECT_TRUE(result.warnings.empty()) << result.warnings.front();
    if (content) *content = c;
    const contentkit::ImportedFile* rmap = cktest::importedFile(result, c.rmapPath);
    return rmap ? rmap->bytes : Bytes();
}

// --- Files ---

class DemoMapFiles : public cktest::TempDirTest {};

TEST_F(DemoMapFiles, TwoImportsGiveIdenticalBytesAndNoWarnings) {
    contentkit::DemoMapContent content;
    const Bytes first = importDemo(&content), second = importDemo();
    EXPECT_FALSE(first.empty());
    EXPECT_TRUE(first == second);
    EXPECT_EQ(content.rmapPath, std::string("data/map/") + velmar::scene::kFirstMapName + ".rmap");
    EXPECT_EQ(content.iniPath, std::string("data/map/") + contentkit::kFirstMapName + ".ini");
}

// The built-in copy is the repository's file: the program imports the
// source tree's map into a built demo and gets the same bytes.
TEST_F(DemoMapFiles, ProgramImportOfTheRepositoryMapEqualsTheBuiltInOne) {
    cktest::RunResult r = cktest::runProgram(kProgram, {"build-demo", at("game")}, m_dir);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string path = at("game/data/map/Lakeside.rmap");
    const Bytes built = cktest::readBytes(path);
    r = cktest::runProgram(kProgram, {"import-tiled", kRepositoryMap, at("game"), "Lakeside"}, m_dir);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("import-tiled: data/map/Lakeside.rmap: 192 x 224 cells in 2 layers, 96 x 112 cubes"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(cktest::readBytes(path) == built);
    const std::string ini = cktest::slurp(at("game/data/map/Lakeside.ini"));
    EXPECT_NE(ini.find("[Scene]\r\nRMap=Lakeside.rmap\r\nName=Lakeside\r\n"), std::string::npos) << ini;
    // The start-up camera distance 185 and vertical factor 6 lie inside the limits.
    EXPECT_NE(ini.find("DistMax=220\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("VertMax=6\r\n"), std::string::npos) << ini;

    r = cktest::runProgram(kProgram, {"info", path}, m_dir);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(path + ": RMAP\n  version: 6\n  vk-cells: 192 x 224, 2 layers of 43008\n"),
              std::string::npos)
        << r.out;
    Bytes cut = built;
    cut.resize(cut.size() - 1);
    cktest::writeBytes(at("cut.rmap"), cut);
    r = cktest::runProgram(kProgram, {"info", at("cut.rmap")}, m_dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "contentkit: " + at("cut.rmap") + ": malformed RMAP: light segment at offset " +
                         std::to_string(cut.size() - 47) + " needs 2 records of 24 bytes, 47 bytes are left\n");
}

// --- Contents ---

TEST(RmapClient, LoadsTheDemoMapAndFindsTheStartCell) {
    const Bytes file = importDemo();
    velmar::scene::CRMap map;
    map.loadBytes(contentkit::kFirstMapRmap, file.data(), file.size());
    ASSERT_TRUE(map.loaded());
    reference::RmapFile r;
    ASSERT_TRUE(reference::readRmap(file, &r));
    const auto& cell = r.layers[1][153 + 185 * std::size_t(r.header.cellsWide)];
    EXPECT_EQ(map.VKCellGetHeight(1, 153, 185),
              (cell.heights[0] + cell.heights[1] + cell.heights[2] + cell.heights[3]) * 0.25f);
    EXPECT_EQ(map.header().cellsPerCubeX, 2.0f);
    EXPECT_EQ(map.models().size(), r.models.size());
    EXPECT_EQ(map.cubes().size(), r.cubes.size());
}

class DemoMap : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_content = new contentkit::DemoMapContent();
        s_bytes = new Bytes(importDemo(s_content));
    }
    static void TearDownTestSuite() {
        delete s_bytes;
        delete s_content;
        s_bytes = nullptr;
        s_content = nullptr;
    }
    static Bytes* s_bytes;
    static contentkit::DemoMapContent* s_content;
};
Bytes* DemoMap::s_bytes = nullptr;
contentkit::DemoMapContent* DemoMap::s_content = nullptr;

TEST_F(DemoMap, InfoAcceptsItWithoutWarnings) {
    InfoReport report;
    ASSERT_TRUE(contentkit::inspectFile("demo.rmap", s_bytes->data(), s_bytes->size(), &report)) << report.error;
    EXPECT_EQ(report.format, "RMAP");
    EXPECT_TRUE(report.warnings.empty()) << report.warnings[0];
    // Packed, as the demo ships with --gdf, it is found by its magic inside.
    const Bytes packed = velmar::gdfPack(s_bytes->data(), s_bytes->size(), true, 5);
    InfoReport inner;
    ASSERT_TRUE(contentkit::inspectFile("demo.bin", packed.data(), packed.size(), &inner)) << inner.error;
    EXPECT_EQ(inner.format, "RMAP");
}

TEST_F(DemoMap, HasTheShapeTheSceneAndStartUpNeed) {
    reference::RmapFile r;
    ASSERT_TRUE(reference::readRmap(*s_bytes, &r));
    const reference::RmapFileHeader& h = r.header;
    EXPECT_GE(h.cellsWide, 160);
    EXPECT_GE(h.cellsHigh, 192);
    ASSERT_EQ(h.layerCount, 2);
    // The cursor starts on cell (153, 185) of layer 0, which must be dry ground.
    const std::size_t start = 153 + 185 * std::size_t(h.cellsWide);
    EXPECT_EQ(r.layers[0][start].walkable, 1);
    // The client's camera takes a cell as 5 world units.
    EXPECT_EQ(h.cubeSize / float(h.cellsWide / h.cubesWide), 5.0f);
    EXPECT_EQ(h.hasWater, 1);
    const contentkit::DemoMapContent& content = *s_content;
    EXPECT_EQ(content.waterTypes, (std::vector<int>{h.waterType}));
    std::size_t water = 0, walls = 0, blocked = 0, layersDiffer = 0;
    for (const auto& cube : r.cubes) {
        if (cube.water == 1) {
            ++water;
            // The lake bed drops at a bank: no water cube's ground comes within 1.5 of the
            // surface, where the 16-bit depth buffer would mix the two up (heights grow downwards).
            EXPECT_GE(std::min({cube.heights[0], cube.heights[1], cube.heights[2], cube.heights[3]}),
                      h.waterLevel + 1.5f);
        }
        walls += (cube.tiles[0] != contentkit::kRmapNoTile) + (cube.tiles[1] != contentkit::kRmapNoTile);
        EXPECT_NE(cube.tiles[2], contentkit::kRmapNoTile) << "every cube has a top";
    }
    for (std::size_t i = 0; i < r.layers[0].size(); ++i) {
        blocked += r.layers[0][i].walkable == 0;
        layersDiffer += r.layers[0][i].heights != r.layers[1][i].heights;
    }
    EXPECT_GT(water, 50u);
    EXPECT_GT(walls, 30u);
    EXPECT_GT(blocked, 200u);
    EXPECT_GT(layersDiffer, 100u);
    // Baked: faces get lightmaps of their own, colour and alpha.
    EXPECT_GT(h.lightmapCount, 1000);
    std::set<std::uint8_t> kinds(r.lightmapFlags.begin(), r.lightmapFlags.end());
    EXPECT_EQ(kinds, (std::set<std::uint8_t>{3}));
    EXPECT_EQ(h.groundPassCount, h.textureCount);
    EXPECT_EQ(std::set<std::int32_t>(r.textures.begin(), r.textures.end()),
              std::set<std::int32_t>(content.textureIds.begin(), content.textureIds.end()));
}

TEST_F(DemoMap, CellsMeetTheCubeCornersTheyLieIn) {
    reference::RmapFile r;
    ASSERT_TRUE(reference::readRmap(*s_bytes, &r));
    const int per = r.header.cellsWide / r.header.cubesWide, w = r.header.cellsWide;
    for (int y = 0; y < r.header.cubesHigh; ++y) {
        for (int x = 0; x < r.header.cubesWide; ++x) {
            const auto& cube = r.cubes[std::size_t(x + y * r.header.cubesWide)];
            const auto& first = r.layers[0][std::size_t(x * per + y * per * w)];
            const auto& last = r.layers[0][std::size_t(x * per + per - 1 + (y * per + per - 1) * w)];
            ASSERT_EQ(first.heights[0], cube.heights[0]) << x << "," << y;
            ASSERT_EQ(last.heights[3], cube.heights[3]) << x << "," << y;
        }
    }
}

TEST_F(DemoMap, ModelsStandOnBlockedCellsAtTheirHeight) {
    reference::RmapFile r;
    ASSERT_TRUE(reference::readRmap(*s_bytes, &r));
    const reference::RmapFileHeader& h = r.header;
    ASSERT_GE(r.models.size(), 24u);
    ASSERT_LE(r.models.size(), 512u) << "the scene shows at most 512 models";
    const float cell = h.cubeSize / float(h.cellsWide / h.cubesWide);
    std::set<std::int32_t> ids;
    for (const auto& m : r.models) {
        EXPECT_EQ(m.kind, contentkit::kModelExternal);
        ids.insert(m.modelId);
        // Positions are cell centres in the frame the client centres the ground in.
        const float colF = (m.floats[0] + h.cubesWide * cell) / cell - 0.5f;
        const float rowF = (m.floats[2] + h.cubesHigh * cell) / cell - 0.5f;
        ASSERT_EQ(colF, std::floor(colF));
        ASSERT_EQ(rowF, std::floor(rowF));
        ASSERT_TRUE(colF >= 0 && colF < h.cellsWide && rowF >= 0 && rowF < h.cellsHigh) << colF << "," << rowF;
        const auto& c = r.layers[0][std::size_t(colF) + std::size_t(rowF) * h.cellsWide];
        EXPECT_NEAR(m.floats[1], (c.heights[0] + c.heights[1] + c.heights[2] + c.heights[3]) * 0.25f, 1e-4);
        EXPECT_EQ(c.walkable, 0) << "a model blocks its cell";
    }
    EXPECT_EQ(ids, std::set<std::int32_t>(s_content->modelIds.begin(), s_content->modelIds.end()));
}

}  // namespace
