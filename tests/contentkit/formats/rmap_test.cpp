// The map writer read back by the test-only reader field by field and by
// the client's own map reader, the descriptions it must refuse, and the
// info reader on malformed maps.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "client/scene/rmap.h"
#include "tests/contentkit/reference_rmap.h"
#include "tests/contentkit/test_util.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/formats/rmap_writer.h"

namespace {

using cktest::Bytes;
using contentkit::InfoReport;
using contentkit::RmapMap;

// --- Sample ---

// 4 x 4 cells over 2 x 2 cubes with something in every segment and every
// lightmap flag combination.
RmapMap sampleMap() {
    RmapMap m;
    m.cellsWide = 4;
    m.cellsHigh = 4;
    m.cubesWide = 2;
    m.cubesHigh = 2;
    m.cubeSize = 8.0f;
    m.waterType = 3;
    m.waterLevel = 1.5f;
    m.hasWater = true;
    m.reserved1 = 11;
    m.reserved2 = -12;
    m.reservedColour = {0.1f, 0.2f, 0.3f};
    m.sceneTint = {0.9f, 0.8f, 0.7f};
    m.reservedFactor = 0.25f;
    m.lightmapWidth = 2;
    m.lightmapHeight = 3;
    for (int l = 0; l < 2; ++l) {
        m.layers.emplace_back();
        for (int i = 0; i < 16; ++i) {
            const float base = static_cast<float>(l * 100 + i);
            m.layers.back().push_back({{base, base + 0.25f, base + 0.5f, base + 0.75f}, (i + l) % 3 != 0});
        }
    }
    for (std::uint8_t flags : {0, 2, 3}) {
        contentkit::RmapLightmap lm;
        lm.flags = flags;
        for (int t = 0; t < 24; ++t) lm.texels.push_back(static_cast<std::uint8_t>(flags * 40 + t));
        m.lightmaps.push_back(lm);
    }
    m.textures = {300, 7};
    for (int t = 0; t < 3; ++t) {
        contentkit::RmapTile tile;
        tile.u = {0.0f + t, 1.0f, 0.0f, 1.0f};
        tile.v = {0.0f, 0.0f, 0.5f + t, 1.0f};
        tile.colour = {1, 2, 3, static_cast<std::uint8_t>(t)};
        tile.texture = t % 2;
        tile.lightmap = t == 2 ? contentkit::kRmapNoLightmap : t;
        m.tiles.push_back(tile);
    }
    for (int i = 0; i < 4; ++i) {
        contentkit::RmapCube cube;
        cube.heights = {-1.0f * i, 2.0f, 3.0f, 4.5f};
        cube.water = i == 3;
        cube.top = i % 3;
        m.cubes.push_back(cube);
    }
    m.cubes[0].wallX = 1;  // column 0 meets column 1
    m.cubes[0].wallY = 2;  // row 0 meets row 1
    contentkit::RmapMesh mesh;
    mesh.word = 77;
    mesh.flagB = true;
    mesh.kept1 = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    mesh.offsetP = {10, 11, 12};
    mesh.offsetQ = {13, 14, 15};
    mesh.kept2 = 16;
    mesh.kept3 = {17, 18, 19};
    mesh.kept4 = {20, 21, 22};
    contentkit::RmapFace face;
    face.vertices = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    face.extra[0] = 0xAB;
    face.extra[35] = 0xCD;
    face.texture = 1;
    mesh.faces = {face, face};
    mesh.keys = {{5, {0.5f, 1.5f, 2.5f, 3.5f}}};
    contentkit::RmapMesh bare;
    bare.flagA = true;
    m.meshes = {mesh, bare};
    contentkit::RmapModel inner, outer;
    inner.kind = contentkit::kModelInternal;
    inner.modelId = 9;
    outer.position = {1, 2, 3};
    outer.rotation = {0, 45, 90};
    outer.scale = {2, 3, 4};
    outer.modelId = 4;
    outer.unused = -5;
    m.models = {inner, outer};
    contentkit::RmapSoundEffect sound;
    sound.head[0] = 0x11;
    sound.head[79] = 0x22;
    sound.words = {1, 2, 3, 4, 5, 6, 7, 0xFFFFFFFF};
    m.soundEffects = {sound};
    m.effects = {{1, 2, 3, 4}};
    m.lights = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
    return m;
}

Bytes written(const RmapMap& map) { return cktest::written(contentkit::writeRmap, map); }
InfoReport infoOn(const Bytes& file, std::size_t len, bool* ok) {
    return cktest::infoOnPrefix(contentkit::infoRmap, file, len, ok);
}
std::string infoError(const Bytes& file) { return cktest::infoError(contentkit::infoRmap, file); }
using cktest::put32;

// Offsets inside the sample's file.
constexpr std::size_t kSampleLightmaps = 117 + 2 * 16 * 17;
constexpr std::size_t kSampleTextures = kSampleLightmaps + 3 * (2 * 3 * 4 + 1);
constexpr std::size_t kSampleTiles = kSampleTextures + 2 * 4;
constexpr std::size_t kSampleCubes = kSampleTiles + 3 * 44;
constexpr std::size_t kSampleMeshes = kSampleCubes + 4 * 29;

// --- Writer ---

TEST(RmapWriter, HeaderFieldsSitAtTheirOffsets) {
    const RmapMap map = sampleMap();
    const Bytes file = written(map);
    reference::RmapFile r;
    ASSERT_TRUE(reference::readRmap(file, &r));
    const reference::RmapFileHeader& h = r.header;
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RMAP");
    EXPECT_EQ(h.version, 6);
    EXPECT_EQ(h.cellsWide, 4);
    EXPECT_EQ(h.cellsHigh, 4);
    EXPECT_EQ(h.cubesWide, 2);
    EXPECT_EQ(h.cubesHigh, 2);
    EXPECT_EQ(h.cubeSize, 8.0f);
    EXPECT_EQ(h.waterType, 3);
    EXPECT_EQ(h.waterLevel, 1.5f);
    EXPECT_EQ(h.hasWater, 1);
    EXPECT_EQ(h.reserved1, 11);
    EXPECT_EQ(h.reserved2, -12);
    EXPECT_EQ(h.reservedColour, map.reservedColour);
    EXPECT_EQ(h.sceneTint, map.sceneTint);
    EXPECT_EQ(h.reservedFactor, 0.25f);
    EXPECT_EQ(file[64], 2) << "layerCount";
    EXPECT_EQ(h.cellsPerLayer, 16);
    EXPECT_EQ(h.lightmapCount, 3);
    EXPECT_EQ(h.lightmapWidth, 2);
    EXPECT_EQ(h.lightmapHeight, 3);
    EXPECT_EQ(h.textureCount, 2);
    EXPECT_EQ(h.groundPassCount, 2) << "-1 writes the texture count";
    EXPECT_EQ(h.tileCount, 3);
    EXPECT_EQ(h.cubeCount, 4);
    EXPECT_EQ(h.modelCount, 2);
    EXPECT_EQ(h.soundEffectCount, 1);
    EXPECT_EQ(h.effectCount, 1);
    EXPECT_EQ(h.meshCount, 2);
    EXPECT_EQ(h.lightCount, 2);
    EXPECT_EQ(r.end, file.size()) << "nothing after the last segment";
    const std::size_t expected = kSampleMeshes + (101 + 2 * 76 + 20) + 101 + 2 * 45 + 112 + 16 + 2 * 24;
    EXPECT_EQ(file.size(), expected);

    RmapMap fewer = map;
    fewer.groundPassCount = 1;
    EXPECT_EQ(file.size(), written(fewer).size());
    ASSERT_TRUE(reference::readRmap(written(fewer), &r));
    EXPECT_EQ(r.header.groundPassCount, 1);
}

TEST(RmapWriter, EverySegmentReadsBackRecordByRecord) {
    const RmapMap map = sampleMap();
    reference::RmapFile r;
    ASSERT_TRUE(reference::readRmap(written(map), &r));
    ASSERT_EQ(r.layers.size(), 2u);
    for (std::size_t l = 0; l < 2; ++l) {
        ASSERT_EQ(r.layers[l].size(), 16u);
        for (std::size_t i = 0; i < 16; ++i) {
            EXPECT_EQ(r.layers[l][i].heights, map.layers[l][i].heights) << l << "/" << i;
            EXPECT_EQ(r.layers[l][i].walkable, map.layers[l][i].walkable ? 1 : 0) << l << "/" << i;
        }
    }
    EXPECT_EQ(r.lightmapFlags, (std::vector<std::uint8_t>{0, 2, 3}));
    Bytes texels;
    for (const auto& lm : map.lightmaps) texels.insert(texels.end(), lm.texels.begin(), lm.texels.end());
    EXPECT_EQ(r.lightmapTexels, texels) << "flags first, then the images one after the other";
    EXPECT_EQ(r.textures, map.textures);
    ASSERT_EQ(r.tiles.size(), 3u);
    for (std::size_t t = 0; t < 3; ++t) {
        EXPECT_EQ(r.tiles[t].u, map.tiles[t].u);
        EXPECT_EQ(r.tiles[t].v, map.tiles[t].v);
        EXPECT_EQ(r.tiles[t].colour, map.tiles[t].colour);
        EXPECT_EQ(r.tiles[t].texture, map.tiles[t].texture);
        EXPECT_EQ(r.tiles[t].lightmap, map.tiles[t].lightmap);
    }
    ASSERT_EQ(r.cubes.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(r.cubes[i].heights, map.cubes[i].heights);
        EXPECT_EQ(r.cubes[i].water, i == 3 ? 1 : 0);
        EXPECT_EQ(r.cubes[i].tiles[2], map.cubes[i].top);
    }
    EXPECT_EQ(r.cubes[0].tiles[0], 2) << "+y wall first";
    EXPECT_EQ(r.cubes[0].tiles[1], 1) << "+x wall second";
    EXPECT_EQ(r.cubes[1].tiles[0], contentkit::kRmapNoTile);
    EXPECT_EQ(r.cubes[1].tiles[1], 0x7FFFFFFE);
}

TEST(RmapWriter, MeshesModelsAndKeptListsReadBack) {
    const RmapMap map = sampleMap();
    reference::RmapFile r;
    ASSERT_TRUE(reference::readRmap(written(map), &r));
    ASSERT_EQ(r.meshes.size(), 2u);
    const reference::RmapFileMesh& m = r.meshes[0];
    EXPECT_EQ(m.word, 77);
    EXPECT_EQ(m.flags, 2) << "flag B is bit 1";
    EXPECT_EQ(r.meshes[1].flags, 1) << "flag A is bit 0";
    EXPECT_EQ(m.kept1, map.meshes[0].kept1);
    EXPECT_EQ(m.p, map.meshes[0].offsetP);
    EXPECT_EQ(m.q, map.meshes[0].offsetQ);
    EXPECT_EQ(m.kept2, 16.0f);
    EXPECT_EQ(m.kept3, map.meshes[0].kept3);
    EXPECT_EQ(m.kept4, map.meshes[0].kept4);
    ASSERT_EQ(m.faceCount, 2);
    ASSERT_EQ(m.keyCount, 1);
    EXPECT_EQ(m.faceVertices[1], map.meshes[0].faces[1].vertices);
    EXPECT_EQ(m.faceExtra[0], map.meshes[0].faces[0].extra);
    EXPECT_EQ(m.faceTextures, (std::vector<std::int32_t>{1, 1}));
    EXPECT_EQ(m.keyWords, (std::vector<std::int32_t>{5}));
    EXPECT_EQ(m.keyValues[0], map.meshes[0].keys[0].values);
    EXPECT_EQ(r.meshes[1].faceCount, 0);
    ASSERT_EQ(r.models.size(), 2u);
    EXPECT_EQ(r.models[0].kind, 0);
    EXPECT_EQ(r.models[0].modelId, 9);
    EXPECT_EQ(r.models[1].kind, 1);
    EXPECT_EQ(r.models[1].floats, (std::array<float, 9>{1, 2, 3, 0, 45, 90, 2, 3, 4}));
    EXPECT_EQ(r.models[1].modelId, 4);
    EXPECT_EQ(r.models[1].unused, -5);
    ASSERT_EQ(r.soundEffects.size(), 1u);
    EXPECT_EQ(r.soundEffects[0][0], 0x11);
    EXPECT_EQ(r.soundEffects[0][79], 0x22);
    EXPECT_EQ(r.soundEffects[0][80], 1) << "the kept words start at 80";
    EXPECT_EQ(r.soundEffects[0][108], 0xFF);
    EXPECT_EQ(r.effects[0], (std::array<std::uint32_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(r.lights[1], (std::array<std::uint32_t, 6>{7, 8, 9, 10, 11, 12}));
}

TEST(RmapWriter, RefusesDescriptionsTheClientWouldMisread) {
    struct Case {
        const char* expected;
        void (*change)(RmapMap*);
    };
    const Case cases[] = {
        {"tile 1 uses ground texture 2 of 2", [](RmapMap* m) { m->tiles[1].texture = 2; }},
        {"tile 0 uses lightmap -2 of 3", [](RmapMap* m) { m->tiles[0].lightmap = -2; }},
        {"tile 0 uses lightmap 3 of 3", [](RmapMap* m) { m->tiles[0].lightmap = 3; }},
        {"cube (1, 1) uses tile 3 of 3", [](RmapMap* m) { m->cubes[3].top = 3; }},
        {"cube (0, 1) uses tile -1 of 3", [](RmapMap* m) { m->cubes[2].wallX = -1; }},
        {"cube (1, 0) has a +x wall on the last column", [](RmapMap* m) { m->cubes[1].wallX = 0; }},
        {"cube (0, 1) has a +y wall on the last row", [](RmapMap* m) { m->cubes[2].wallY = 0; }},
        {"cube (1, 1) has water on a map without water", [](RmapMap* m) { m->hasWater = false; }},
        {"4 cubes, the 2 x 1 grid needs 2", [](RmapMap* m) { m->cubesHigh = 1; }},
        {"layer 1 has 15 cells, the grid has 16", [](RmapMap* m) { m->layers[1].pop_back(); }},
        {"0 cell layers; the map needs 1 to 255", [](RmapMap* m) { m->layers.clear(); }},
        {"256 cell layers; the map needs 1 to 255", [](RmapMap* m) { m->layers.resize(256, m->layers[0]); }},
        {"4 x 4 cells are not a whole number of cells per cube of the 3 x 2 grid",
         [](RmapMap* m) { m->cubesWide = 3; }},
        {"lightmap 1 holds 23 bytes, 2 x 3 RGBA needs 24", [](RmapMap* m) { m->lightmaps[1].texels.pop_back(); }},
        {"lightmap 2 has unknown flag bits 0x07", [](RmapMap* m) { m->lightmaps[2].flags = 7; }},
        {"ground texture 1 has negative ID -7", [](RmapMap* m) { m->textures[1] = -7; }},
        {"groundPassCount 3 is outside -1..2", [](RmapMap* m) { m->groundPassCount = 3; }},
        {"mesh 0 face 1 uses ground texture 2 of 2", [](RmapMap* m) { m->meshes[0].faces[1].texture = 2; }},
        {"model 1 has kind 2, not 0 or 1", [](RmapMap* m) { m->models[1].kind = 2; }},
        {"model 0 has a position, rotation or scale that is not finite",
         [](RmapMap* m) { m->models[0].scale[1] = NAN; }},
        {"layer 0 cell 5 has a height that is not finite",
         [](RmapMap* m) { m->layers[0][5].heights[2] = INFINITY; }},
        {"cubeSize must be positive and finite", [](RmapMap* m) { m->cubeSize = 0.0f; }},
        {"cube grid 0 x 2 is not positive", [](RmapMap* m) { m->cubesWide = 0; }},
    };
    for (const Case& c : cases) {
        RmapMap map = sampleMap();
        c.change(&map);
        Bytes out;
        std::string error;
        EXPECT_FALSE(contentkit::writeRmap(map, &out, &error)) << c.expected;
        EXPECT_EQ(error, c.expected);
        EXPECT_TRUE(out.empty()) << c.expected;
    }
}

// --- Info on malformed maps ---

TEST(RmapInfo, SampleIsAcceptedWithItsCountsAndNoWarnings) {
    const Bytes file = written(sampleMap());
    bool ok = false;
    const InfoReport report = infoOn(file, file.size(), &ok);
    ASSERT_TRUE(ok) << report.error;
    EXPECT_TRUE(report.warnings.empty()) << report.warnings[0];
    const std::string text = contentkit::formatReport("s.rmap", report);
    for (const char* line :
         {"  vk-cells: 4 x 4, 2 layers of 16\n", "  cubes: 2 x 2 of size 8, 4 records\n",
          "  water: type 3 at level -1.5 (stored negated, as 1.5)\n", "  lightmaps: 3 of 2 x 3\n",
          "  lightmap kinds: 1 alpha, 1 colour, 1 colour and alpha\n", "  blocked cells per layer: 6, 5\n",
          "  ground texture IDs: 300 7\n", "  walls: 2\n", "  water cubes: 1\n",
          "  models: 2 (1 external, 1 internal)\n", "  external model IDs: 4\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
}

TEST(RmapInfo, EveryPrefixOfASmallMapIsRefusedWithAMessage) {
    const Bytes file = written(sampleMap());
    for (std::size_t len = 0; len < file.size(); ++len) {
        bool ok = true;
        const InfoReport report = infoOn(file, len, &ok);
        ASSERT_FALSE(ok) << "prefix of " << len;
        ASSERT_FALSE(report.error.empty()) << "prefix of " << len;
    }
}

TEST(RmapInfo, OverflowingCountsAreMeasuredWithoutWrapping) {
    const Bytes sample = written(sampleMap());
    const std::string left = std::to_string(sample.size() - 117);
    Bytes cells = sample;
    cells[64] = 255;
    put32(&cells, 65, 0x7FFFFFFF);
    EXPECT_EQ(infoError(cells),
              "vk-cell segment at offset 117 needs 547608329985 records of 17 bytes, " + left + " bytes are left");
    Bytes lightmaps = sample;
    for (std::size_t at : {69, 73, 77}) put32(&lightmaps, at, 0x7FFFFFFF);
    EXPECT_EQ(infoError(lightmaps), "lightmap segment at offset " + std::to_string(kSampleLightmaps) +
                                        " needs 2147483647 records of 18446744056529682437 bytes, " +
                                        std::to_string(sample.size() - kSampleLightmaps) + " bytes are left");
    Bytes tiles = sample;
    put32(&tiles, 89, 0x7FFFFFFF);
    EXPECT_EQ(infoError(tiles).find("tile segment at offset " + std::to_string(kSampleTiles) +
                                    " needs 2147483647 records of 44 bytes"),
              0u);
    Bytes faces = sample;
    put32(&faces, kSampleMeshes + 93, 0x7FFFFFFF);
    put32(&faces, kSampleMeshes + 97, 0x7FFFFFFF);
    EXPECT_EQ(infoError(faces).find("mesh 0: mesh segment at offset " + std::to_string(kSampleMeshes + 101) +
                                    " needs 206158430112 bytes"),
              0u);
    Bytes negative = sample;
    put32(&negative, 97, 0xFFFFFFFF);
    EXPECT_EQ(infoError(negative), "modelCount -1 is negative");
}

TEST(RmapInfo, IndicesAndGridsOutOfRangeAreRefused) {
    const Bytes sample = written(sampleMap());
    const std::pair<std::pair<std::size_t, std::uint32_t>, const char*> cases[] = {
        {{kSampleTiles + 44 + 36, 2}, "tile 1 uses ground texture 2; the map has 2"},
        {{kSampleTiles + 40, 0xFFFFFFFE}, "tile 0 has lightmap index -2; only -1 or 0..2 are usable"},
        {{kSampleCubes + 3 * 29 + 25, 3}, "cube 3 referenced tile 3; map has only 3 tiles"},
        {{kSampleCubes + 17, 0xFFFFFFFB}, "cube 0 referenced tile -5; map has only 3 tiles"},
        {{kSampleMeshes + 101 + 72, 0xFFFFFFFF}, "mesh 0 face 0 uses ground texture -1; the map has 2"},
        {{65, 15}, "cellsPerLayer 15 is below the 4 x 4 grid; cell lookups would leave the layer"},
        {{93, 3}, "cubeCount 3 is below the 2 x 2 cube grid"},
        {{10, 0}, "cube grid 0 x 2 is not positive; the cell relation divides by it"},
        {{18, 0xBF800000}, "cubeSize -1 is not positive"},
        {{0, 0x50414D53}, "no RMAP magic ('RMAP' at offset 0)"},
        {{4, 0x00070007}, "version 7; only 6 is read"},
    };
    for (const auto& [change, expected] : cases) {
        Bytes file = sample;
        put32(&file, change.first, change.second);
        EXPECT_EQ(infoError(file), expected);
    }
    EXPECT_EQ(infoError(Bytes(sample.begin(), sample.begin() + 116)),
              "file is 116 bytes, shorter than the 117-byte header");
}

TEST(RmapInfo, LoadableOdditiesOnlyWarn) {
    Bytes file = written(sampleMap());
    put32(&file, kSampleTiles + 40, 3);                      // lightmapCount: the client reads it as no lightmap
    file[117 + 16] = 2;                                      // walkable byte of the first cell
    file[kSampleMeshes + 101 + 2 * 76 + 20 + 101 + 36] = 7;  // kind of the first model
    file.insert(file.end(), 5, 0);
    bool ok = false;
    const InfoReport report = infoOn(file, file.size(), &ok);
    ASSERT_TRUE(ok) << report.error;
    EXPECT_EQ(report.warnings,
              (std::vector<std::string>{"1 cells have a walkable byte other than 0 or 1",
                                        "1 models have a kind other than 0 or 1 and are not drawn",
                                        "5 bytes after the last segment are ignored"}));
}

// --- The client's own reader ---

TEST(RmapClient, LoadsTheSampleWithEveryReferenceResolved) {
    const Bytes file = written(sampleMap());
    velmar::scene::CRMap map;
    map.loadBytes("s.rmap", file.data(), file.size());
    ASSERT_TRUE(map.loaded());
    const velmar::scene::MapHeader& h = map.header();
    EXPECT_EQ(h.cellsPerCubeX, 2.0f);
    EXPECT_EQ(h.layerCount, 2);
    EXPECT_EQ(map.layer(1)[5].height(3), 105.75f);
    EXPECT_TRUE(map.layer(0)[3].blocked());
    EXPECT_FALSE(map.layer(0)[4].blocked());
    EXPECT_EQ(map.VKCellGetHeight(1, 1, 1), 105.375f);
    using velmar::scene::CubeFace;
    EXPECT_EQ(&map.textureOf(map.tiles()[1]), &map.textures()[1]);
    EXPECT_EQ(map.lightmapOf(map.tiles()[1]), 1);
    EXPECT_EQ(map.lightmapOf(map.tiles()[2]), -1);
    EXPECT_EQ(map.tileOf(*map.cubeAt(0, 0), CubeFace::WallY), &map.tiles()[2]);
    EXPECT_EQ(map.tileOf(*map.cubeAt(0, 0), CubeFace::WallX), &map.tiles()[1]);
    EXPECT_EQ(map.tileOf(*map.cubeAt(1, 0), CubeFace::WallX), nullptr);
    EXPECT_TRUE(map.cubeAt(1, 1)->water());
    ASSERT_EQ(map.meshes().size(), 2u);
    EXPECT_TRUE(map.meshes()[1].flagA);
    EXPECT_EQ(map.meshes()[0].faces[0].texture, &map.textures()[1]);
    EXPECT_EQ(map.models()[1].modelId, 4);
    EXPECT_EQ(map.soundEffects()[0].word[8], 0xFFFFFFFFu);
    EXPECT_EQ(map.lights()[1][5], 12u);
}

}  // namespace
