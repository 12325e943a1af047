// RMDL parsing without GL: every refusal with its message, counts that would
// wrap or exceed the file, mesh trees that are not trees, the grouping of
// surfaces by texture, and the release of texture references on failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "client/assets/model_file.h"
#include "tests/assets/model_test_util.h"

namespace {

using namespace model_test;
using velmar::ModelData;

class ModelFile : public LoggedTest {
protected:

    ModelData* parse(const Bytes& bytes, bool optimise = false) {
        velmar::ModelLoadOptions options;
        options.optimise = optimise;
        options.textures = textures.hooks();
        options.clock = velmar::ModelClock{1, 0};
        return velmar::parseModelData(bytes.data(), bytes.size(), "models/test.rmdl", options);
    }
    // The file is refused with `message` and holds no texture reference.
    void expectRefused(const Bytes& bytes, const std::string& message, bool optimise = false) {
        ModelData* model = parse(bytes, optimise);
        EXPECT_EQ(model, nullptr);
        if (model) velmar::releaseModelData(model, textures.hooks());
        EXPECT_TRUE(loggedLast("WARN", message)) << message << "\n" << log();
        EXPECT_TRUE(textures.live.empty());
    }
    void release(ModelData* model) { velmar::releaseModelData(model, textures.hooks()); }

    FakeTextures textures;
};

TModel oneMesh() {
    TModel m;
    m.meshes.resize(1);
    m.meshes[0].surfaces.push_back(triangle(5, 1, 2, 3));
    return m;
}

// --- Header ---

TEST_F(ModelFile, EachBrokenHeaderFailsWithItsOwnMessage) {
    const Bytes good = buildModel(oneMesh());
    expectRefused(Bytes(good.begin(), good.begin() + 5),
                  "CModel => LoadModelData: Error (corrupted file) 'models/test.rmdl'");

    TModel otherMagic = oneMesh();
    otherMagic.magic = 0x4C444D53;
    expectRefused(buildModel(otherMagic), "CModel => LoadModelData: Error - Not Header (models/test.rmdl)");

    TModel version2 = oneMesh();
    version2.version = 2;
    expectRefused(buildModel(version2),
                  "CModel => LoadModelData: Error, unsupported version (models/test.rmdl) => Ver:2");

    expectRefused(Bytes(good.begin(), good.begin() + 58),
                  "CModel => LoadModelData: Error, data header missign / file corrupted (too small) "
                  "models/test.rmdl\n");

    TModel empty;
    expectRefused(buildModel(empty), "CModel => LoadModelData: Error, model has no meshes. (models/test.rmdl)");
}

TEST_F(ModelFile, HeaderFieldsAndConsecutiveMeshRecordsAreReadInPlace) {
    TModel m;
    m.p0 = {1.5f, 2.5f, 3.5f};
    m.p1 = {4.5f, 5.5f, 6.5f};
    m.p2 = {7.5f, 8.5f, 9.5f};
    m.meshes.resize(2);
    m.meshes[0].surfaces = {triangle(4, 0, 0, 0), triangle(4, 1, 1, 1)};
    m.meshes[0].children = {1};
    // No key frames and no children: the record ends right after its surfaces.
    m.meshes[1].tag = 77;
    m.meshes[1].position = {-1.0f, -2.0f, -3.0f};
    m.meshes[1].angle = 0.25f;
    m.meshes[1].surfaces = {triangle(9, 5, 6, 7)};
    m.meshes[1].surfaces[0].wordD = 0xDDDD;
    m.meshes[1].surfaces[0].wordE = 0xEEEE;
    ModelData* model = parse(buildModel(m));
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->wordA, 0xA1A2A3A4u);
    EXPECT_EQ(model->wordB, 0xB1B2B3B4u);
    EXPECT_EQ(model->byteC, 0xC7);
    EXPECT_EQ(model->meshCount, 2u);
    EXPECT_EQ(model->p0.z, 3.5f);
    EXPECT_EQ(model->p1.y, 5.5f);
    EXPECT_EQ(model->p2.x, 7.5f);
    const velmar::ModelMesh& second = model->meshes[1];
    EXPECT_EQ(second.tag, 77);
    EXPECT_EQ(second.position.y, -2.0f);
    EXPECT_EQ(second.angle, 0.25f);
    EXPECT_EQ(second.unused[8], 108.0f);
    EXPECT_EQ(second.surfaceCount, 1u);
    EXPECT_EQ(second.keyFrameCount, 0u);
    EXPECT_EQ(second.keyFrames, nullptr);
    EXPECT_EQ(second.children, nullptr);
    EXPECT_EQ(second.surfaces[0].texture, 9 + FakeTextures::kNameBase);
    EXPECT_EQ(second.surfaces[0].vertices[2], 7.0f);
    EXPECT_EQ(second.surfaces[0].texCoords[5], 1.0f);
    EXPECT_EQ(second.surfaces[0].wordD, 0xDDDDu);
    EXPECT_EQ(second.surfaces[0].wordE, 0xEEEEu);
    EXPECT_EQ(second.isStatic, 1);  // posed at load by the box walk
    EXPECT_EQ(second.frameStamp, -1);
    EXPECT_EQ(model->meshes[0].children[0], 1u);
    EXPECT_EQ(textures.live.size(), 2u);
    release(model);
    EXPECT_TRUE(textures.live.empty());
}

// --- Truncations and hostile counts ---

TEST_F(ModelFile, EachTruncatedSectionReportsItsOwnShortfall) {
    TModel m;
    m.meshes.resize(2);
    m.meshes[0].children = {1};
    m.meshes[1].surfaces = {triangle(1, 0, 0, 0), triangle(2, 0, 0, 0)};
    m.meshes[1].keys = {{0, {0, 0, 0, 1}}, {100, {0, 0, 0, 1}}};
    m.meshes[1].children = {};
    const Bytes full = buildModel(m);
    const std::size_t secondMesh = 59 + 168 + 4;
    const std::size_t surfaces = secondMesh + 168;
    const std::size_t keys = surfaces + 2 * 72;
    expectRefused(Bytes(full.begin(), full.begin() + secondMesh + 167),
                  "CModel => LoadModelData: EOF before all expected data read (meshes) (file corrupted?) "
                  "(models/test.rmdl)");
    expectRefused(Bytes(full.begin(), full.begin() + surfaces + 72 + 71),
                  "CModel => LoadModelData: EOF before all data read; expected surface .. (corrupted "
                  "file?) (models/test.rmdl)");
    expectRefused(Bytes(full.begin(), full.begin() + surfaces + 72 + 71),
                  "CModel => LoadModelData: EOF before all data read; (OPTIMIZE READ) expected surface "
                  ".. (corrupted file?) (models/test.rmdl)",
                  true);
    expectRefused(Bytes(full.begin(), full.begin() + keys + 39),
                  "CModel => LoadModelData: EOF before all data read; expected animation .. (corrupted "
                  "file?) (models/test.rmdl)");
    // The first mesh's child list is cut.
    expectRefused(Bytes(full.begin(), full.begin() + secondMesh - 1),
                  "CModel => LoadModelData: EOF before all data read; expected children array .. "
                  "(corrupted file?) (models/test.rmdl)");
    ASSERT_EQ(full.size(), keys + 40);
    ModelData* whole = parse(full);
    ASSERT_NE(whole, nullptr);
    release(whole);
}

// Counts whose byte size wraps to a small number in 32 bits must still be
// measured against the file (an allocation of that size would end the run).
TEST_F(ModelFile, CountsThatWrapIn32BitsAreRefusedBeforeAllocating) {
    TModel meshes = oneMesh();
    meshes.meshCount = 0x01861862u;  // x 168 wraps to 80
    expectRefused(buildModel(meshes), "EOF before all expected data read (meshes)");
    meshes.meshCount = 0xFFFFFFFFu;
    expectRefused(buildModel(meshes), "EOF before all expected data read (meshes)");

    TModel surfaces = oneMesh();
    surfaces.meshes[0].surfaceCount = 0x38E38E39u;  // x 72 wraps to 8
    expectRefused(buildModel(surfaces), "expected surface .. (corrupted file?)");
    expectRefused(buildModel(surfaces), "(OPTIMIZE READ) expected surface", true);

    TModel keys = oneMesh();
    keys.meshes[0].keyCount = 0xCCCCCCCDu;  // x 20 wraps to 4
    keys.meshes[0].keys = {{0, {0, 0, 0, 1}}};
    expectRefused(buildModel(keys), "expected animation ..");

    TModel children = oneMesh();
    children.meshes[0].childCount = 0x40000000u;  // x 4 wraps to 0
    expectRefused(buildModel(children), "expected children array ..");
}

TEST_F(ModelFile, FailureAfterSomeMeshesGivesBackEveryTextureReference) {
    TModel m;
    m.meshes.resize(3);
    m.meshes[0].children = {1, 2};
    m.meshes[0].surfaces = {triangle(3, 0, 0, 0), triangle(4, 0, 0, 0), triangle(3, 0, 0, 0)};
    m.meshes[1].surfaces = {triangle(6, 0, 0, 0)};
    m.meshes[1].keys = {{0, {0, 0, 0, 1}}, {10, {0, 0, 0, 1}}};
    m.meshes[2].surfaces = {triangle(7, 0, 0, 0)};
    m.meshes[2].keyCount = 5;  // only none present
    for (bool optimise : {false, true}) {
        textures = FakeTextures();
        expectRefused(buildModel(m), "expected animation ..", optimise);
        std::vector<std::uint32_t> got;
        for (std::int32_t id : textures.gets) got.push_back(static_cast<std::uint32_t>(id) + 1000);
        std::sort(got.begin(), got.end());
        std::vector<std::uint32_t> freed = textures.frees;
        std::sort(freed.begin(), freed.end());
        EXPECT_EQ(got, (std::vector<std::uint32_t>{1003, 1003, 1004, 1006, 1007}));
        EXPECT_EQ(freed, got);
    }
}

// Every cut of a small animated model, and seeded random byte changes: no
// read past the buffer, no leak of a texture reference, only whole files load.
TEST_F(ModelFile, TruncatedAndMutatedFilesNeverReadPastTheirBytes) {
    TModel m;
    m.meshes.resize(3);
    m.meshes[0].children = {1, 2};
    m.meshes[0].surfaces = {triangle(3, 0, 0, 0), triangle(4, 1, 0, 0)};
    m.meshes[1].keys = {{0, {0, 0, 0, 1}}, {500, {0, 0, 1, 0}}};
    m.meshes[1].surfaces = {triangle(5, 0, 1, 0)};
    m.meshes[2].tag = velmar::kRmdlBaseNodeTag;
    m.meshes[2].surfaces = {triangle(3, 0, 0, 1)};
    const Bytes full = buildModel(m);
    for (bool optimise : {false, true}) {
        for (std::size_t cut = 0; cut < full.size(); ++cut) {
            // An exact-size copy so that a read past the end is caught.
            std::vector<std::uint8_t> part(full.begin(), full.begin() + cut);
            EXPECT_EQ(parse(part, optimise), nullptr) << "cut at " << cut;
        }
    }
    EXPECT_TRUE(textures.live.empty());
    std::mt19937 rng(20261208);
    int loaded = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes = full;
        const int changes = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < changes; ++i) bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(rng());
        if (round % 3 == 0) bytes.resize(rng() % bytes.size());
        if (ModelData* model = parse(bytes, round % 2 == 0)) {
            ++loaded;
            release(model);
        }
        ASSERT_TRUE(textures.live.empty()) << "round " << round;
    }
    EXPECT_GT(loaded, 0);  // some changes only touch floats
}

// --- Mesh tree ---

TModel chain(std::uint32_t meshes) {
    TModel m;
    m.meshes.resize(meshes);
    for (std::uint32_t i = 0; i + 1 < meshes; ++i) m.meshes[i].children = {i + 1};
    for (auto& mesh : m.meshes) mesh.surfaces = {triangle(1, 0, 0, 0)};
    return m;
}

TEST_F(ModelFile, MeshTreesTheWalkCannotFinishAreRefusedWithTheReason) {
    const std::string prefix = "CModel => LoadModelData: Error, invalid mesh tree (models/test.rmdl): ";
    TModel root = chain(3);
    root.root = 3;
    TModel child = chain(3);
    child.meshes[1].children = {0xFFFFFFFFu};
    TModel backToRoot = chain(3);
    backToRoot.meshes[2].children = {0};
    TModel selfChild = chain(2);
    selfChild.meshes[1].children = {1};
    TModel twoParents = chain(3);
    twoParents.meshes[0].children = {1, 2};
    twoParents.meshes[1].children = {2};
    TModel twiceListed = chain(2);
    twiceListed.meshes[0].children = {1, 1};
    const std::pair<TModel, std::string> cases[] = {
        {root, "root mesh 3 of 3 meshes"},
        {child, "mesh 1 lists child 4294967295 of 3 meshes"},
        {backToRoot, "mesh 0 is reached twice from the root"},
        {selfChild, "mesh 1 is reached twice from the root"},
        {twoParents, "mesh 2 is reached twice from the root"},
        {twiceListed, "mesh 1 is reached twice from the root"},
    };
    for (const auto& [model, why] : cases) expectRefused(buildModel(model), prefix + why);
}

TEST_F(ModelFile, TreesOfAnyDepthAndNodesOutsideTheWalkLoad) {
    // A cycle the walk from the root never enters, and a root that an
    // unreachable node lists as its child.
    TModel detached = chain(4);
    detached.meshes[1].children = {};
    detached.meshes[3].children = {2};
    TModel rootBelowAnother = chain(3);
    rootBelowAnother.root = 1;
    for (const TModel& m : {detached, rootBelowAnother, chain(5000)}) {
        ModelData* model = parse(buildModel(m));
        ASSERT_NE(model, nullptr) << log();
        EXPECT_EQ(model->meshCount, m.meshes.size());
        release(model);
    }
}

TEST_F(ModelFile, DetachedSubtreesLoadButStayOutOfTheBox) {
    TModel m = chain(2);
    m.meshes.resize(4);
    m.meshes[2].children = {3};
    m.meshes[3].surfaces = {triangle(1, 500, 500, 500)};
    ModelData* model = parse(buildModel(m));
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->boxMax.x, 1.0f);  // the far triangle of mesh 3 is not counted
    EXPECT_EQ(model->meshes[3].frameStamp, -1);
    release(model);
}

// --- Grouping by texture ---

TEST_F(ModelFile, OptimiseGroupsSurfacesByFirstAppearanceAndKeepsFileOrderOtherwise) {
    TModel m;
    m.meshes.resize(1);
    const std::int32_t ids[4] = {7, 3, 7, 3};
    for (int i = 0; i < 4; ++i) m.meshes[0].surfaces.push_back(triangle(ids[i], static_cast<float>(i), 0, 0));
    const Bytes bytes = buildModel(m);

    struct Case {
        bool optimise;
        std::vector<std::int32_t> ids;
        std::vector<float> firstX;
    };
    for (const Case& c : {Case{false, {7, 3, 7, 3}, {0, 1, 2, 3}}, Case{true, {7, 7, 3, 3}, {0, 2, 1, 3}}}) {
        textures = FakeTextures();
        ModelData* model = parse(bytes, c.optimise);
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(textures.gets, c.ids);  // resolved in stored order
        for (int i = 0; i < 4; ++i) {
            const velmar::ModelSurface& s = model->meshes[0].surfaces[i];
            EXPECT_EQ(s.texture, static_cast<std::uint32_t>(c.ids[i]) + FakeTextures::kNameBase);
            EXPECT_EQ(s.vertices[0], c.firstX[i]) << "surface " << i << " optimise " << c.optimise;
            EXPECT_EQ(s.vertices[3], c.firstX[i] + 1);
        }
        release(model);
        EXPECT_TRUE(textures.live.empty());
    }
}

Bytes surfaceRecords(std::uint32_t distinct, std::uint32_t count) {
    TModel m;
    m.meshes.resize(1);
    for (std::uint32_t i = 0; i < count; ++i)
        m.meshes[0].surfaces.push_back(triangle(static_cast<std::int32_t>((i % distinct) * 7919), 0, 0, 0));
    const Bytes bytes = buildModel(m);
    return Bytes(bytes.begin() + 59 + 168, bytes.end());
}

TEST(ModelGrouping, AMeshMayUseOneTextureFewerThanTheTableHolds) {
    const std::uint32_t limit = velmar::kMaxMeshTextureSlots - 1;
    const Bytes fits = surfaceRecords(limit, limit + 5);
    std::vector<velmar::ModelSurface> out(limit + 5);
    ASSERT_TRUE(velmar::groupSurfacesByTexture(fits.data(), limit + 5, out.data()));
    // Group 0 holds surfaces 0 and `limit` (the IDs repeat after `limit`).
    EXPECT_EQ(out[0].texture, 0u);
    EXPECT_EQ(out[1].texture, 0u);
    EXPECT_EQ(out[2].texture, 7919u);
    EXPECT_EQ(out[limit + 4].texture, (limit - 1) * 7919u);

    const Bytes full = surfaceRecords(limit + 1, limit + 1);
    EXPECT_FALSE(velmar::groupSurfacesByTexture(full.data(), limit + 1, out.data()));
}

TEST_F(ModelFile, TooManyTexturesInOneMeshEndTheProcess) {
    TModel m;
    m.meshes.resize(1);
    for (std::uint32_t i = 0; i < velmar::kMaxMeshTextureSlots; ++i)
        m.meshes[0].surfaces.push_back(triangle(static_cast<std::int32_t>(i), 0, 0, 0));
    const Bytes bytes = buildModel(m);
    EXPECT_EXIT(parse(bytes, true), ::testing::ExitedWithCode(1),
                "Model has too many Textures - please report. \\(models/test.rmdl\\)\\.");
    // Without grouping the same mesh is fine.
    ModelData* model = parse(bytes, false);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->meshes[0].surfaceCount, velmar::kMaxMeshTextureSlots);
    release(model);
}

}  // namespace
