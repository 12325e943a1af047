// glTF models: node transforms kept as the client's node placements (the
// client's bounding box equals that of the same triangles placed by hand),
// a rotation animation as key frames with a note for what RMDL cannot hold,
// matrices split or refused, a buffer too short, indices that are not whole
// numbers and files outside the model's folder refused, and the command.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>

#include "tests/contentkit/models/client_model.h"
#include "tests/contentkit/test_util.h"
#include "tests/support/xvfb_display.h"
#include "tools/contentkit/models/gltf_model.h"
#include "tools/contentkit/models/obj_model.h"

namespace {

using Json = nlohmann::json;
using contentkit::RmdlModel;
using cktest::loadInClient;

const std::string kProgram = QUASK_BIN_DIR "/tools/contentkit/contentkit";

std::string dataUri(const std::vector<float>& floats) {
    std::string raw(floats.size() * 4, '\0');
    std::memcpy(&raw[0], floats.data(), raw.size());
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out = "data:application/octet-stream;base64,";
    for (std::size_t i = 0; i < raw.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(raw[i]) << 16 |
                           (i + 1 < raw.size() ? static_cast<unsigned char>(raw[i + 1]) << 8 : 0) |
                           (i + 2 < raw.size() ? static_cast<unsigned char>(raw[i + 2]) : 0);
        out += t[v >> 18 & 63];
        out += t[v >> 12 & 63];
        out += i + 1 < raw.size() ? t[v >> 6 & 63] : '=';
        out += i + 2 < raw.size() ? t[v & 63] : '=';
    }
    return out;
}

constexpr float kHalf = 0.70710678f;

// A base node lifted by 2 holding an arm turned a quarter about y; the arm
// holds one triangle and turns by key frames; the base moves by a
// translation channel, which RMDL cannot hold.
Json armModel() {
    const std::vector<float> data = {
        1, 0, 0, 0, 0, 1, 0, 1, 0,                            // positions
        0, 0.5f, 1,                                           // key times
        0, kHalf, 0, kHalf, 0, 1, 0, 0, 0, kHalf, 0, -kHalf,  // rotations
        0, 0, 0, 0, 1, 0,                                     // translations at 0 and 1
    };
    Json j;
    j["asset"] = {{"version", "2.0"}};
    j["scene"] = 0;
    j["scenes"] = Json::array({{{"nodes", {0}}}});
    j["nodes"] = Json::array({{{"name", "base"}, {"translation", {0, 2, 0}}, {"children", {1}}},
                              {{"name", "arm"}, {"rotation", {0, kHalf, 0, kHalf}}, {"mesh", 0}}});
    j["meshes"] = Json::array({{{"primitives", Json::array({{{"attributes", {{"POSITION", 0}}}, {"material", 0}}})}}});
    j["materials"] = Json::array({{{"name", "steel"}}});
    j["buffers"] = Json::array({{{"byteLength", data.size() * 4}, {"uri", dataUri(data)}}});
    j["bufferViews"] = Json::array({{{"buffer", 0}, {"byteOffset", 0}, {"byteLength", 36}},
                                    {{"buffer", 0}, {"byteOffset", 36}, {"byteLength", 12}},
                                    {{"buffer", 0}, {"byteOffset", 48}, {"byteLength", 48}},
                                    {{"buffer", 0}, {"byteOffset", 96}, {"byteLength", 24}}});
    j["accessors"] = Json::array({{{"bufferView", 0}, {"componentType", 5126}, {"count", 3}, {"type", "VEC3"}},
                                  {{"bufferView", 1}, {"componentType", 5126}, {"count", 3}, {"type", "SCALAR"}},
                                  {{"bufferView", 2}, {"componentType", 5126}, {"count", 3}, {"type", "VEC4"}},
                                  {{"bufferView", 1}, {"componentType", 5126}, {"count", 2}, {"type", "SCALAR"}},
                                  {{"bufferView", 3}, {"componentType", 5126}, {"count", 2}, {"type", "VEC3"}}});
    j["animations"] = Json::array(
        {{{"name", "swing"},
          {"samplers", Json::array({{{"input", 1}, {"output", 2}}, {{"input", 3}, {"output", 4}}})},
          {"channels", Json::array({{{"sampler", 0}, {"target", {{"node", 1}, {"path", "rotation"}}}},
                                    {{"sampler", 1}, {"target", {{"node", 0}, {"path", "translation"}}}}})}}});
    return j;
}

bool convert(const Json& j, RmdlModel* model, contentkit::GltfModelSummary* summary, std::string* error) {
    const std::string text = j.dump();
    contentkit::GltfModelOptions options;
    options.texture = [](const contentkit::GltfMaterial& m, std::int32_t* id, std::string*) {
        *id = m.name == "steel" ? 7 : 0;
        return true;
    };
    return contentkit::gltfToRmdl("arm.gltf", reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), options,
                                  model, summary, error);
}

TEST(GltfModel, NodeTransformsPlaceTheTriangleAsTheClientWouldPlaceItByHand) {
    RmdlModel model;
    contentkit::GltfModelSummary summary;
    std::string error;
    ASSERT_TRUE(convert(armModel(), &model, &summary, &error)) << error;
    ASSERT_EQ(model.meshes.size(), 3u);
    EXPECT_EQ(model.meshes[0].tag, contentkit::kRmdlBaseNodeTag);
    EXPECT_EQ(model.meshes[1].position, (contentkit::Vec3{0, -2, 0}));  // y-up turned into the client's axes
    EXPECT_NEAR(model.meshes[2].rotationAngle, M_PI / 2, 1e-6);
    EXPECT_EQ(model.meshes[2].rotationAxis, (contentkit::Vec3{0, -1, 0}));
    ASSERT_EQ(model.meshes[2].surfaces.size(), 1u);
    EXPECT_EQ(model.meshes[2].surfaces[0].textureId, 7);
    // Key frames in milliseconds, the quaternions turned like the axes.
    const auto& keys = model.meshes[2].keyFrames;
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].time, 0);
    EXPECT_EQ(keys[1].time, 500);
    EXPECT_EQ(keys[2].time, 1000);
    EXPECT_EQ(keys[1].rotation, (std::array<float, 4>{0, -1, 0, 0}));
    EXPECT_EQ(summary.keyFrames, 3u);
    EXPECT_EQ(summary.notes,
              (std::vector<std::string>{"animation 'swing': a translation channel is left out (model files animate "
                                        "rotations only)"}));

    // The same triangle placed by hand: the arm turns (1,0,0) to (0,0,-1) and
    // (0,0,1) to (1,0,0); the base lifts all by 2.
    const char obj[] = "v 0 2 -1\nv 1 2 0\nv 0 3 0\nf 1 2 3\n";
    contentkit::ObjModelOptions objOptions;
    objOptions.hasDefaultTexture = true;
    RmdlModel byHand;
    contentkit::ObjModelSummary objSummary;
    ASSERT_TRUE(contentkit::objToRmdl(reinterpret_cast<const std::uint8_t*>(obj), sizeof obj - 1, objOptions, &byHand,
                                      &objSummary, &error));
    contentkit::Bytes a, b;
    velmar::ModelData* gltf = loadInClient(model, &a);
    velmar::ModelData* hand = loadInClient(byHand, &b);
    ASSERT_NE(gltf, nullptr);
    ASSERT_NE(hand, nullptr);
    const float got[6] = {gltf->boxMin.x, gltf->boxMin.y, gltf->boxMin.z, gltf->boxMax.x, gltf->boxMax.y, gltf->boxMax.z};
    const float want[6] = {hand->boxMin.x, hand->boxMin.y, hand->boxMin.z, hand->boxMax.x, hand->boxMax.y, hand->boxMax.z};
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(got[i], want[i], 2e-3) << i;
    velmar::releaseModelData(gltf, {[](std::int32_t, void*) { return 0u; }, [](std::uint32_t, void*) {}, nullptr});
    velmar::releaseModelData(hand, {[](std::int32_t, void*) { return 0u; }, [](std::uint32_t, void*) {}, nullptr});
}

TEST(GltfModel, MatricesAreSplitIntoTheirPartsOrRefusedAndShortBuffersRefused) {
    RmdlModel trs, matrix;
    contentkit::GltfModelSummary summary;
    std::string error;
    Json j = armModel();
    ASSERT_TRUE(convert(j, &trs, &summary, &error)) << error;
    j["nodes"][1].erase("rotation");
    j["nodes"][1]["matrix"] = {0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1};  // a quarter about y
    ASSERT_TRUE(convert(j, &matrix, &summary, &error)) << error;
    EXPECT_NEAR(matrix.meshes[2].rotationAngle, trs.meshes[2].rotationAngle, 1e-6);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(matrix.meshes[2].rotationAxis[c], trs.meshes[2].rotationAxis[c], 1e-6);

    j["nodes"][1]["matrix"] = {1, 0, 0, 0, 0.5, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_FALSE(convert(j, &matrix, &summary, &error));
    EXPECT_EQ(error, "node 'arm' has a matrix with shear; a model node holds only translation, rotation and scale");

    j = armModel();
    j["accessors"][0]["count"] = 4;
    EXPECT_FALSE(convert(j, &matrix, &summary, &error));
    EXPECT_EQ(error, "accessor 0 reaches past the end of its buffer");

    // Normalized indices would all name vertex 0.
    j = armModel();
    j["accessors"].push_back(
        {{"bufferView", 0}, {"componentType", 5121}, {"normalized", true}, {"count", 3}, {"type", "SCALAR"}});
    j["meshes"][0]["primitives"][0]["indices"] = 5;
    EXPECT_FALSE(convert(j, &matrix, &summary, &error));
    EXPECT_EQ(error, "accessor 5 holds indices that are not whole unsigned numbers");
    j = armModel();
    j["meshes"][0]["primitives"][0]["mode"] = 9;
    EXPECT_FALSE(convert(j, &matrix, &summary, &error));
    EXPECT_EQ(error, "a primitive has mode 9, which glTF does not define");
}

// A long bone chain is taken as deep as the limit and the client loads it;
// deeper, or a node met twice, each is refused with its own reason.
TEST(GltfModel, ChainsAsDeepAsTheLimitAreTakenDeeperOrSharedNodesRefused) {
    const struct {
        int levels;
        bool shared;  // the first node names its child twice
        std::string error;
    } rows[] = {
        {contentkit::kGltfMaxNodeDepth, false, ""},
        {contentkit::kGltfMaxNodeDepth + 1, false, "node 256 nests deeper than 256 levels below the scene"},
        {2, true, "node 1 appears twice in the scene"},
    };
    for (const auto& row : rows) {
        Json j = armModel();
        j.erase("animations");
        j["nodes"] = Json::array();
        for (int i = 0; i + 1 < row.levels; ++i) j["nodes"].push_back({{"children", {i + 1}}});
        j["nodes"].push_back({{"mesh", 0}});
        if (row.shared) j["nodes"][0]["children"] = {1, 1};
        RmdlModel model;
        contentkit::GltfModelSummary summary;
        std::string error;
        const bool taken = convert(j, &model, &summary, &error);
        EXPECT_EQ(taken, row.error.empty()) << row.levels;
        EXPECT_EQ(error, row.error);
        if (!taken) continue;
        contentkit::Bytes bytes;
        velmar::ModelData* loaded = loadInClient(model, &bytes);
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(loaded->meshCount, static_cast<std::uint32_t>(row.levels + 1));
        velmar::releaseModelData(loaded, {[](std::int32_t, void*) { return 0u; }, [](std::uint32_t, void*) {}, nullptr});
    }
}

// Texture coordinates come from the set the material's base colour texture
// names, moved by its KHR_texture_transform as glTF viewers draw it; a model
// that needs an extension whose data the converter cannot read is refused.
TEST(GltfModel, TextureCoordinatesFollowTheMaterialsSetAndTransform) {
    Json j = armModel();
    j["buffers"].push_back({{"byteLength", 48}, {"uri", dataUri({0, 0, 0, 0, 0, 0, 0.25f, 0.5f, 1, 0, 0, 1})}});
    j["bufferViews"].push_back({{"buffer", 1}, {"byteOffset", 0}, {"byteLength", 48}});
    j["accessors"].push_back({{"bufferView", 4}, {"componentType", 5126}, {"count", 3}, {"type", "VEC2"}});
    j["accessors"].push_back({{"bufferView", 4}, {"byteOffset", 24}, {"componentType", 5126}, {"count", 3}, {"type", "VEC2"}});
    j["meshes"][0]["primitives"][0]["attributes"]["TEXCOORD_0"] = 5;
    j["meshes"][0]["primitives"][0]["attributes"]["TEXCOORD_1"] = 6;
    j["materials"][0]["pbrMetallicRoughness"]["baseColorTexture"] = {
        {"index", 0}, {"texCoord", 1},
        {"extensions", {{"KHR_texture_transform", {{"offset", {0.5, 0}}, {"rotation", M_PI / 2}, {"scale", {2, 2}}}}}}};
    j["textures"] = Json::array({Json::object()});
    j["extensionsUsed"] = {"KHR_texture_transform"};
    RmdlModel model;
    contentkit::GltfModelSummary summary;
    std::string error;
    ASSERT_TRUE(convert(j, &model, &summary, &error)) << error;
    const auto& st = model.meshes[2].surfaces.at(0).texCoords;
    // (u, v) becomes (2v + 0.5, -2u): a quarter turn, doubled, moved right.
    const float want[3][2] = {{1.5f, -0.5f}, {0.5f, -2}, {2.5f, 0}};
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(st[k][0], want[k][0], 1e-6) << k;
        EXPECT_NEAR(st[k][1], want[k][1], 1e-6) << k;
    }
    j["extensionsRequired"] = {"KHR_draco_mesh_compression"};
    EXPECT_FALSE(convert(j, &model, &summary, &error));
    EXPECT_EQ(error, "the model needs the glTF extension KHR_draco_mesh_compression, which the converter does not "
                     "read; export it without (no compression)");
}

std::string glb(const Json& j, std::string bin) {
    std::string text = j.dump();
    text.resize((text.size() + 3) / 4 * 4, ' ');
    bin.resize((bin.size() + 3) / 4 * 4, '\0');
    std::string out = "glTF";
    auto u32 = [&out](std::size_t v) {
        for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
    };
    u32(2);
    u32(12 + 8 + text.size() + 8 + bin.size());
    u32(text.size());
    out += "JSON" + text;
    u32(bin.size());
    out += std::string("BIN\0", 4) + bin;
    return out;
}

// Files a model names are read from its folder or below, never elsewhere
// (the reader would hand over anything); a buffer with no data of its own
// is refused rather than given the .glb's data.
TEST(GltfModel, OnlyFilesInTheModelsFolderAreReadAndBuffersWithoutDataRefused) {
    struct Case {
        std::string file, uri, error, read;
    };
    const std::string outside = ": outside the model's folder; keep the files a model names beside it or below";
    const std::vector<Case> cases = {
        {"art/arm.gltf", "sub/../tri%20angle.bin", "", "art/tri angle.bin"},
        // A plus is a plus in a path, and a '%' before no hex digits itself.
        {"art/arm.gltf", "a+b%2Bc 100%.bin", "", "art/a+b+c 100%.bin"},
        {"art/arm.gltf", "../secret.bin", "File read error : art/../secret.bin : ../secret.bin" + outside, ""},
        // Saved on Windows: a backslash separates folders, on the way out too.
        {"art/arm.gltf", "sub\\tri.bin", "", "art/sub/tri.bin"},
        {"art/arm.gltf", "..\\secret.bin", "File read error : art/..\\secret.bin : ../secret.bin" + outside, ""},
        {"art/arm.gltf", "%2e%2e/%2E%2E/etc/passwd",
         "File read error : art/../../etc/passwd : ../../etc/passwd" + outside, ""},
        {"art/arm.gltf", "/etc/passwd", "File read error : art//etc/passwd : /etc/passwd" + outside, ""},
        {"arm.gltf", "/etc/passwd", "File read error : /etc/passwd : /etc/passwd" + outside, ""},
        // Positions in a second buffer without a file: the .glb's data is
        // not theirs; an optimiser's stand-in for compressed data holds none.
        {"art/arm.glb", "", "buffer 1 names no file, and only the first buffer of a .glb lives in it", ""},
        {"art/arm.glb", "fallback",
         "buffer 1 stands in for data compressed with EXT_meshopt_compression and holds none; export it without "
         "compression",
         ""},
    };
    for (const Case& c : cases) {
        Json j = armModel();
        const bool binary = c.file == "art/arm.glb";  // its uri: what the extra buffer is
        std::string text;
        if (binary) {
            j["buffers"].push_back({{"byteLength", 36}});
            if (c.uri == "fallback") j["buffers"][1]["extensions"]["EXT_meshopt_compression"] = {{"fallback", true}};
            j["bufferViews"][0]["buffer"] = 1;
            text = glb(j, std::string(36, '\x7f'));
        } else {
            j["buffers"].push_back({{"byteLength", 36}, {"uri", c.uri}});
            text = j.dump();
        }
        std::vector<std::string> read;
        contentkit::GltfModelOptions options;
        options.texture = [](const contentkit::GltfMaterial&, std::int32_t* id, std::string*) {
            *id = 1;
            return true;
        };
        options.readFile = [&read](const std::string& path, contentkit::Bytes* out, std::string*) {
            read.push_back(path);
            out->assign(36, 0);
            return true;
        };
        RmdlModel model;
        contentkit::GltfModelSummary summary;
        std::string error;
        const bool ok = contentkit::gltfToRmdl(c.file, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                                               options, &model, &summary, &error);
        EXPECT_EQ(ok, c.error.empty()) << c.uri;
        if (!ok) {
            EXPECT_EQ(error, binary ? c.error : "not a glTF 2.0 model it can read: " + c.error) << c.uri;
        }
        EXPECT_EQ(read, c.read.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.read}) << c.uri;
    }
}

// A picture that cannot be read fails only a texture made from it, and says
// why; a texture given by ID never needed it.
TEST(GltfModel, PictureThatCannotBeReadIsNeededOnlyForATextureMadeFromIt) {
    const contentkit::Bytes crate =
        cktest::bytesOf(cktest::slurp(QUASK_TESTS_DIR "/../tools/contentkit/demo/example_map/crate.gltf"));
    ASSERT_FALSE(crate.empty());
    for (const bool byId : {true, false}) {
        contentkit::GltfModelOptions options;
        options.readFile = [](const std::string& path, contentkit::Bytes*, std::string* w) {
            *w = "cannot open file";
            return path.empty();
        };
        std::string seen;
        options.texture = [&](const contentkit::GltfMaterial& m, std::int32_t* id, std::string* e) {
            seen = m.picture ? "a picture" : m.pictureProblem;
            *id = 9;
            if (!byId && !m.picture) *e = m.pictureProblem;
            return byId || m.picture;
        };
        RmdlModel model;
        contentkit::GltfModelSummary summary;
        std::string error;
        EXPECT_EQ(contentkit::gltfToRmdl("art/crate.gltf", crate.data(), crate.size(), options, &model, &summary, &error),
                  byId)
            << error;
        EXPECT_EQ(seen, "its picture art/crate.png: cannot open file");
        if (!byId) {
            EXPECT_EQ(error, "its picture art/crate.png: cannot open file");
        }
    }
    // An embedded picture is named by its place, not by its bytes.
    Json j = Json::parse(std::string(crate.begin(), crate.end()));
    j["images"][0]["uri"] = "data:image/png;base64,AAAA";
    const std::string text = j.dump();
    contentkit::GltfModelOptions options;
    std::string seen;
    options.texture = [&](const contentkit::GltfMaterial& m, std::int32_t* id, std::string*) {
        seen = m.pictureProblem;
        *id = 9;
        return true;
    };
    RmdlModel model;
    contentkit::GltfModelSummary summary;
    std::string error;
    EXPECT_TRUE(contentkit::gltfToRmdl("art/crate.gltf", reinterpret_cast<const std::uint8_t*>(text.data()),
                                       text.size(), options, &model, &summary, &error))
        << error;
    EXPECT_EQ(seen.rfind("its picture image 0 (embedded): ", 0), 0u) << seen;
}

class GltfProgram : public cktest::TempDirTest {};

TEST_F(GltfProgram, ModelCommandTakesGltfMaterialsLikeObjOnes) {
    const std::string crate = QUASK_TESTS_DIR "/../tools/contentkit/demo/example_map/crate.gltf";
    cktest::RunResult r = cktest::runProgram(kProgram, {"model", crate, at("crate.rmdl"), "--texture", "planks=9"}, m_dir);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "model: 2 meshes, 12 triangles, 1 x 1 x 1 (width x height x depth)\n");
    r = cktest::runProgram(kProgram, {"info", at("crate.rmdl")}, m_dir);
    EXPECT_EQ(r.code, 0) << r.err;
    r = cktest::runProgram(kProgram, {"model", crate, at("other.rmdl"), "--texture", "wood=9"}, m_dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "contentkit: " + crate + ": material 'planks' has no texture ID; give --texture planks=ID\n");
}

// An element count far beyond the bytes behind it is refused before it
// costs memory: the program ends with its message under a small memory
// limit instead of running out.
TEST_F(GltfProgram, HugeCountsAreRefusedBeforeAnythingIsMadeForThem) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer runtimes reserve more address space than the limit";
#endif
    const std::string prlimit = quask_test::findProgram("prlimit");
    if (prlimit.empty()) GTEST_SKIP() << "prlimit is not installed";
    for (const bool data : {true, false}) {
        Json j = armModel();
        j["accessors"][0]["count"] = 12000000;
        if (!data) j["accessors"][0].erase("bufferView");
        cktest::writeBytes(at("huge.gltf"), cktest::bytesOf(j.dump()));
        const cktest::RunResult r = cktest::runProgram(
            prlimit, {"--as=250000000", kProgram, "model", at("huge.gltf"), at("huge.rmdl"), "--texture", "1"}, m_dir);
        EXPECT_EQ(r.code, 1) << data;
        EXPECT_EQ(r.err, "contentkit: " + at("huge.gltf") + ": accessor 0 " +
                             (data ? "reaches past the end of its buffer" : "holds 12000000 elements and no data") + "\n");
    }
}

}  // namespace
