// RMDL models: the writer's bytes read back field by field by the test's own
// reader, the writer's refusals, and `info` on cut, overflowing, out-of-range
// and cyclic files.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "client/storage/gdf.h"
#include "tests/contentkit/reference_rmdl.h"
#include "tests/contentkit/test_util.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/formats/rmdl_writer.h"

namespace {

using contentkit::RmdlKeyFrame;
using contentkit::RmdlMesh;
using contentkit::RmdlModel;
using contentkit::RmdlSurface;
using cktest::Bytes;

// A surface whose every float differs, from `base` up.
RmdlSurface surface(std::int32_t texture, float base) {
    RmdlSurface s;
    s.textureId = texture;
    for (int v = 0; v < 3; ++v) {
        for (int c = 0; c < 3; ++c) s.vertices[v][c] = base + static_cast<float>(v * 3 + c);
        s.texCoords[v] = {base / 100 + static_cast<float>(v) * 0.25f, 1.0f - static_cast<float>(v) * 0.125f};
    }
    return s;
}

// Root 0 with children 1 and 2; mesh 2 has child 3 and is animated.
RmdlModel sampleModel() {
    RmdlModel model;
    model.wordA = 0xA1A2A3A4;
    model.wordB = 0xB1B2B3B4;
    model.byteC = 0xC5;
    model.p0 = {1.5f, 2.5f, 3.5f};
    model.p1 = {-1.0f, -2.0f, -3.0f};
    model.p2 = {0.25f, 0.5f, 0.75f};
    model.meshes.resize(4);
    RmdlMesh& root = model.meshes[0];
    root.tag = contentkit::kRmdlBaseNodeTag;
    for (int i = 0; i < 16; ++i) root.localMatrix[i] = static_cast<float>(i) * 0.5f + 1.0f;
    root.localOffset = {4, 5, 6};
    root.position = {7, 8, 9};
    root.rotationAngle = 1.25f;
    root.rotationAxis = {0, 1, 0};
    root.scale = {2, 3, 4};
    for (int i = 0; i < 9; ++i) root.unused[i] = static_cast<float>(-i);
    root.surfaces = {surface(7, 10), surface(3, 20)};
    root.surfaces[1].wordD = 0xD0D0D0D0;
    root.surfaces[1].wordE = 0xE0E0E0E0;
    root.children = {1, 2};
    model.meshes[1].surfaces = {surface(7, 30)};
    RmdlMesh& animated = model.meshes[2];
    animated.keyFrames = {RmdlKeyFrame{0, {0, 0, 0, 1}}, RmdlKeyFrame{500, {0, 0, 0.70710678f, 0.70710678f}},
                          RmdlKeyFrame{1000, {0, 0, 1, 0}}};
    animated.children = {3};
    model.meshes[3].surfaces = {surface(12, 40), surface(12, 50), surface(3, 60)};
    return model;
}

Bytes written(const RmdlModel& model) { return cktest::written(contentkit::writeRmdl, model); }
contentkit::InfoReport info(const Bytes& file, std::size_t len) {
    return cktest::infoOnPrefix(contentkit::infoRmdl, file, len);
}
using cktest::fieldOf;

// --- Writer ---

TEST(RmdlWriter, EveryFieldReadsBackAtItsOffset) {
    const RmdlModel model = sampleModel();
    const Bytes file = written(model);
    ASSERT_EQ(file.size(), 59u + 4 * 168 + 6 * 72 + 3 * 20 + 3 * 4);
    EXPECT_EQ(file.size(), contentkit::rmdlFileSize(model));
    reference::RmdlFields r;
    std::string why;
    ASSERT_TRUE(reference::readRmdl(file, &r, &why)) << why;
    EXPECT_EQ(r.endOffset, file.size());
    EXPECT_EQ(r.version, 1);
    EXPECT_EQ(r.wordA, 0xA1A2A3A4u);
    EXPECT_EQ(r.meshCount, 4u);
    EXPECT_EQ(r.root, 0u);
    EXPECT_EQ(r.wordB, 0xB1B2B3B4u);
    EXPECT_EQ(r.byteC, 0xC5);
    EXPECT_EQ(r.p0, model.p0);
    EXPECT_EQ(r.p1, model.p1);
    EXPECT_EQ(r.p2, model.p2);
    ASSERT_EQ(r.meshes.size(), 4u);
    for (std::size_t m = 0; m < 4; ++m) {
        const RmdlMesh& in = model.meshes[m];
        const reference::RmdlMeshFields& out = r.meshes[m];
        SCOPED_TRACE("mesh " + std::to_string(m));
        EXPECT_EQ(out.tag, in.tag);
        EXPECT_EQ(out.localMatrix, in.localMatrix);
        EXPECT_EQ(out.localOffset, in.localOffset);
        EXPECT_EQ(out.position, in.position);
        EXPECT_EQ(out.rotationAngle, in.rotationAngle);
        EXPECT_EQ(out.rotationAxis, in.rotationAxis);
        EXPECT_EQ(out.scale, in.scale);
        EXPECT_EQ(out.unused, in.unused);
        ASSERT_EQ(out.surfaces.size(), in.surfaces.size());
        for (std::size_t s = 0; s < in.surfaces.size(); ++s) {
            EXPECT_EQ(out.surfaces[s].texture, in.surfaces[s].textureId);
            for (int v = 0; v < 3; ++v) {
                for (int c = 0; c < 3; ++c) EXPECT_EQ(out.surfaces[s].vertices[v * 3 + c], in.surfaces[s].vertices[v][c]);
                EXPECT_EQ(out.surfaces[s].texCoords[v * 2], in.surfaces[s].texCoords[v][0]);
                EXPECT_EQ(out.surfaces[s].texCoords[v * 2 + 1], in.surfaces[s].texCoords[v][1]);
            }
            EXPECT_EQ(out.surfaces[s].wordD, in.surfaces[s].wordD);
            EXPECT_EQ(out.surfaces[s].wordE, in.surfaces[s].wordE);
        }
        ASSERT_EQ(out.keys.size(), in.keyFrames.size());
        for (std::size_t k = 0; k < in.keyFrames.size(); ++k) {
            EXPECT_EQ(out.keys[k].time, in.keyFrames[k].time);
            EXPECT_EQ(out.keys[k].rotation, in.keyFrames[k].rotation);
        }
        EXPECT_EQ(out.children, in.children);
    }
    // The header packs byte C straight before the vectors, without padding.
    EXPECT_EQ(file[22], 0xC5);
    EXPECT_EQ(r.meshes[0].offset, 59u);
    // Mesh 1 has neither key frames nor children: mesh 2 follows its surface.
    EXPECT_EQ(r.meshes[2].offset, r.meshes[1].offset + 168 + 72);
}

TEST(RmdlWriter, RefusesChildListsThatAreNoTree) {
    struct Case {
        const char* what;
        std::uint32_t root;
        std::vector<std::vector<std::uint32_t>> children;
        const char* message;
    };
    const Case cases[] = {
        {"child out of range", 0, {{1}, {2}}, "mesh 1 names child 2, not below the mesh count 2"},
        {"root out of range", 3, {{1}, {}}, "root mesh 3 is not below the mesh count 2"},
        {"cycle back to the root", 0, {{1}, {0}}, "mesh 0 is reached twice (from mesh 1); the child lists must form a tree"},
        {"self loop", 0, {{0}}, "mesh 0 is reached twice (from mesh 0); the child lists must form a tree"},
        {"two parents", 0, {{1, 2}, {}, {1}}, "mesh 1 is reached twice (from mesh 2); the child lists must form a tree"},
        {"cycle away from the root", 0, {{}, {2}, {1}}, "mesh 1 is not reached from the root mesh"},
    };
    for (const Case& c : cases) {
        RmdlModel model;
        model.rootMesh = c.root;
        for (const auto& list : c.children) {
            RmdlMesh mesh;
            mesh.children = list;
            model.meshes.push_back(mesh);
        }
        Bytes out{1, 2, 3};
        std::string error;
        EXPECT_FALSE(contentkit::writeRmdl(model, &out, &error)) << c.what;
        EXPECT_EQ(error, c.message) << c.what;
        EXPECT_EQ(out, (Bytes{1, 2, 3})) << c.what << ": output touched";
    }
    std::string error;
    EXPECT_FALSE(contentkit::validateRmdl(RmdlModel(), &error));
    EXPECT_EQ(error, "a model needs at least one mesh");
}

TEST(RmdlWriter, RefusesKeyFramesTheClientCannotPlay) {
    struct Case {
        const char* what;
        std::vector<RmdlKeyFrame> keys;
        const char* message;
    };
    const Case cases[] = {
        {"one key", {{100, {0, 0, 0, 1}}}, "mesh 0: one key frame; an animation needs at least two"},
        {"equal times", {{0, {0, 0, 0, 1}}, {0, {0, 0, 1, 0}}}, "mesh 0: key frame 1 time 0 does not come after 0"},
        {"descending", {{50, {0, 0, 0, 1}}, {10, {0, 0, 1, 0}}}, "mesh 0: key frame 1 time 10 does not come after 50"},
        {"last time not positive", {{-20, {0, 0, 0, 1}}, {0, {0, 0, 1, 0}}}, "mesh 0: last key frame time must be above 0"},
        {"zero quaternion", {{0, {0, 0, 0, 1}}, {10, {0, 0, 0, 0}}}, "mesh 0: key frame 1 is not a rotation quaternion"},
    };
    for (const Case& c : cases) {
        RmdlModel model;
        model.meshes.resize(1);
        model.meshes[0].keyFrames = c.keys;
        std::string error;
        EXPECT_FALSE(contentkit::validateRmdl(model, &error)) << c.what;
        EXPECT_EQ(error, c.message) << c.what;
    }
}

TEST(RmdlWriter, RefusesNonFiniteValuesAndTooManyTexturesPerMesh) {
    RmdlModel model;
    model.meshes.resize(1);
    model.meshes[0].surfaces = {surface(1, 0)};
    model.meshes[0].surfaces[0].vertices[2][1] = std::numeric_limits<float>::quiet_NaN();
    std::string error;
    EXPECT_FALSE(contentkit::validateRmdl(model, &error));
    EXPECT_EQ(error, "mesh 0 surface 0 has a coordinate that is not a finite number");

    model.meshes[0].surfaces.clear();
    model.meshes[0].scale[1] = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(contentkit::validateRmdl(model, &error));
    EXPECT_EQ(error, "mesh 0 has a transform value that is not finite");

    // The client's table holds 8192 slots and gives up when the last fills.
    model.meshes[0].scale = {1, 1, 1};
    for (std::int32_t id = 0; id < 8191; ++id) model.meshes[0].surfaces.push_back(surface(id, 0));
    EXPECT_TRUE(contentkit::validateRmdl(model, &error)) << error;
    model.meshes[0].surfaces.push_back(surface(8191, 0));
    EXPECT_FALSE(contentkit::validateRmdl(model, &error));
    EXPECT_EQ(error, "mesh 0 uses 8192 textures; the client stops at 8192");
}

// --- Info ---

TEST(RmdlInfo, ReportsTheWritersModel) {
    const Bytes file = written(sampleModel());
    const contentkit::InfoReport report = info(file, file.size());
    ASSERT_TRUE(report.ok()) << report.error;
    EXPECT_EQ(report.format, "RMDL");
    EXPECT_EQ(fieldOf(report, "meshes"), "4");
    EXPECT_EQ(fieldOf(report, "word A"), "0xA1A2A3A4");
    EXPECT_EQ(fieldOf(report, "P1"), "(-1, -2, -3)");
    EXPECT_EQ(fieldOf(report, "surfaces"), "6");
    EXPECT_EQ(fieldOf(report, "key frames"), "3");
    EXPECT_EQ(fieldOf(report, "animated meshes"), "1");
    EXPECT_EQ(fieldOf(report, "base nodes"), "1");
    EXPECT_EQ(fieldOf(report, "texture IDs"), "3 7 12");
    EXPECT_EQ(fieldOf(report, "meshes under the root"), "4");
    EXPECT_TRUE(report.warnings.empty());
}

TEST(RmdlInfo, EveryTruncationFailsWithAReason) {
    const Bytes file = written(sampleModel());
    for (std::size_t len = 0; len < file.size(); ++len) {
        const contentkit::InfoReport report = info(file, len);
        EXPECT_FALSE(report.ok()) << "cut at " << len;
        EXPECT_FALSE(report.error.empty()) << "cut at " << len;
    }
    EXPECT_EQ(info(file, 5).error, "file is 5 bytes; magic and version need 6");
    EXPECT_EQ(info(file, 58).error, "file is 58 bytes, shorter than the 59-byte header");
    EXPECT_EQ(info(file, 59).error, "4 meshes need at least 672 bytes, 0 left after the header");
    EXPECT_EQ(info(file, file.size() - 1).error, "mesh 3: 3 surfaces need 216 bytes at offset 1019, 215 left");
}

TEST(RmdlInfo, OverflowingCountsFailWithoutReadingOn) {
    const Bytes good = written(sampleModel());
    reference::RmdlFields r;
    std::string why;
    ASSERT_TRUE(reference::readRmdl(good, &r, &why)) << why;
    const std::size_t mesh1 = r.meshes[1].offset;
    struct Case {
        std::size_t offset;
        const char* message;
    };
    const Case cases[] = {
        {10, "4294967295 meshes need at least 721554505560 bytes, 1176 left after the header"},
        {mesh1 + 156, "mesh 1: 4294967295 surfaces need 309237645240 bytes at offset 547, 688 left"},
        {mesh1 + 160, "mesh 1: 4294967295 key frames need 85899345900 bytes at offset 619, 616 left"},
        {mesh1 + 164, "mesh 1: 4294967295 children need 17179869180 bytes at offset 619, 616 left"},
    };
    for (const Case& c : cases) {
        Bytes file = good;
        reference::patchU32(&file, c.offset, 0xFFFFFFFFu);
        EXPECT_EQ(info(file, file.size()).error, c.message);
    }
    Bytes none = good;
    reference::patchU32(&none, 10, 0);
    EXPECT_EQ(info(none, none.size()).error, "mesh count 0; the client refuses a model without meshes");
    Bytes v2 = good;
    v2[4] = 2;
    EXPECT_EQ(info(v2, v2.size()).error, "version 2; the client reads only 1");
    Bytes magic = good;
    magic[0] = 'X';
    EXPECT_EQ(info(magic, magic.size()).error, "no RMDL magic ('RMDL' at offset 0)");
}

TEST(RmdlInfo, BadIndicesSharedChildrenAndCyclesFail) {
    // A chain 0 -> 1 -> 2 -> 3 -> 4 whose child slots the cases rewire.
    RmdlModel model;
    model.meshes.resize(5);
    for (std::uint32_t i = 0; i < 4; ++i) model.meshes[i].children = {i + 1};
    const Bytes good = written(model);
    reference::RmdlFields r;
    std::string why;
    ASSERT_TRUE(reference::readRmdl(good, &r, &why)) << why;
    auto slot = [&r](int mesh) { return r.meshes[mesh].childOffset; };
    struct Case {
        std::vector<std::pair<std::size_t, std::uint32_t>> patches;
        const char* message;
    };
    const Case cases[] = {
        {{{slot(2), 5}}, "mesh 2 child 0 names mesh 5, not below the mesh count 5"},
        {{{14, 5}}, "root mesh 5 is not below the mesh count 5"},
        {{{slot(3), 2}}, "mesh 2 is a child of both mesh 1 and mesh 3; the child lists must form a tree"},
        {{{slot(3), 0}}, "root mesh 0 is a child of mesh 3: the tree has a cycle"},
        {{{slot(0), 4}, {slot(3), 1}}, "mesh 1 lies on a cycle of child lists"},
    };
    for (const Case& c : cases) {
        Bytes file = good;
        for (const auto& [offset, value] : c.patches) reference::patchU32(&file, offset, value);
        EXPECT_EQ(info(file, file.size()).error, c.message);
    }
}

TEST(RmdlInfo, UnreachedMeshesAndOddKeyFramesOnlyWarn) {
    // Root last, so cutting its child count leaves the rest of the file intact.
    RmdlModel model;
    model.meshes.resize(3);
    model.rootMesh = 2;
    model.meshes[2].children = {0, 1};
    model.meshes[1].keyFrames = {RmdlKeyFrame{0, {0, 0, 0, 1}}, RmdlKeyFrame{400, {0, 0, 1, 0}}};
    Bytes file = written(model);
    reference::RmdlFields r;
    std::string why;
    ASSERT_TRUE(reference::readRmdl(file, &r, &why)) << why;
    reference::patchU32(&file, r.meshes[2].offset + 164, 1);
    reference::patchU32(&file, r.meshes[1].offset + 168 + 20, 0xFFFFFFF6u);  // second key at -10
    const contentkit::InfoReport report = info(file, file.size());
    ASSERT_TRUE(report.ok()) << report.error;
    EXPECT_EQ(report.warnings, (std::vector<std::string>{
                                   "mesh 1 key frame 1 time -10 does not come after 0",
                                   "mesh 1 last key frame time -10 is not above 0",
                                   "4 bytes after the last mesh are never read",
                                   "1 meshes are not reached from the root and are never drawn"}));
    EXPECT_EQ(fieldOf(report, "meshes under the root"), "2");
}

TEST(RmdlInfo, FoundByMagicAndInsideAGdfContainer) {
    const Bytes file = written(sampleModel());
    const Bytes packed = velmar::gdfPack(file.data(), file.size(), true, 77);
    ASSERT_FALSE(packed.empty());
    contentkit::InfoReport report;
    EXPECT_TRUE(contentkit::inspectFile("model.bin", packed.data(), packed.size(), &report)) << report.error;
    EXPECT_EQ(report.format, "RMDL");
    EXPECT_EQ(fieldOf(report, "meshes"), "4");
}

class RmdlProgram : public cktest::TempDirTest {};

TEST_F(RmdlProgram, InfoExitsOneOnACutModel) {
    Bytes file = written(sampleModel());
    file.resize(900);
    cktest::writeBytes(at("cut.rmdl"), file);
    const cktest::RunResult r =
        cktest::runProgram(QUASK_BIN_DIR "/tools/contentkit/contentkit", {"info", at("cut.rmdl")}, m_dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "contentkit: " + at("cut.rmdl") +
                         ": malformed RMDL: mesh 3 at offset 851: 49 bytes left, the fixed part needs 168\n");
}

}  // namespace
