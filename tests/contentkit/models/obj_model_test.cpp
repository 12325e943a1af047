// OBJ models: polygons fanned (concave ones cut into ears) and turned into
// the client's axes, groups and their textures, the model standing on its
// lowest point once the client has loaded it, hostile text refused by line,
// and the command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/contentkit/models/client_model.h"
#include "tests/contentkit/reference_rmdl.h"
#include "tests/contentkit/test_util.h"
#include "tools/contentkit/models/obj_model.h"

namespace {

using contentkit::ObjModelOptions;
using contentkit::ObjModelSummary;
using contentkit::RmdlModel;
using cktest::loadInClient;

ObjModelOptions withTexture(std::int32_t id) {
    ObjModelOptions options;
    options.hasDefaultTexture = true;
    options.defaultTexture = id;
    return options;
}

bool convert(const std::string& text, const ObjModelOptions& options, RmdlModel* model, std::string* error,
             ObjModelSummary* summary = nullptr) {
    ObjModelSummary unused;
    return contentkit::objToRmdl(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), options, model,
                                 summary ? summary : &unused, error);
}

// A quad from x 10..12, y -3..1, z 5..9 with its picture's corners.
const char kQuad[] =
    "# exported\r\n"
    "v 10 -3 5\r\nv 12 -3 5\r\nv 12 1 9\r\nv 10 1 9\r\n"
    "vt 0 0\r\nvt 1 0\r\nvt 1 1\r\nvt 0 0.25\r\n"
    "vn 0 0 1\r\n"
    "f 1/1/1 2/2/1 3/3/1 4/4/1\r\n";

TEST(ObjModel, QuadIsFannedTurnedHalfAboutXAndPlacedByItsBounds) {
    RmdlModel model;
    std::string error;
    ASSERT_TRUE(convert(kQuad, withTexture(31), &model, &error)) << error;
    ASSERT_EQ(model.meshes.size(), 1u);
    const contentkit::RmdlMesh& mesh = model.meshes[0];
    EXPECT_EQ(mesh.tag, contentkit::kRmdlBaseNodeTag);
    EXPECT_TRUE(mesh.children.empty());
    ASSERT_EQ(mesh.surfaces.size(), 2u);
    // Fan 1-2-3, 1-3-4; y and z change sign; t = 1 - v.
    const contentkit::Vec3 corners[4] = {{10, 3, -5}, {12, 3, -5}, {12, -1, -9}, {10, -1, -9}};
    const std::array<float, 2> st[4] = {{0, 1}, {1, 1}, {1, 0}, {0, 0.75f}};
    const int fan[2][3] = {{0, 1, 2}, {0, 2, 3}};
    for (int t = 0; t < 2; ++t) {
        EXPECT_EQ(mesh.surfaces[t].textureId, 31);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(mesh.surfaces[t].vertices[k], corners[fan[t][k]]) << t << "," << k;
            EXPECT_EQ(mesh.surfaces[t].texCoords[k], st[fan[t][k]]) << t << "," << k;
        }
    }
    EXPECT_EQ(model.p0, (contentkit::Vec3{12, -1, -9}));  // highest corner
    EXPECT_EQ(model.p1, (contentkit::Vec3{10, 3, -5}));   // lowest corner
    EXPECT_EQ(model.p2, (contentkit::Vec3{11, 1, -7}));
}

// A U-shaped floor (area 5): a fan from its first corner would cover the
// notch, turning some triangles over; its ears cover the outline exactly,
// every one facing the polygon's way.
TEST(ObjModel, ConcaveFacesAreCutIntoEarsKeepingTheirWinding) {
    const std::string text =
        "v 0 0 0\nv 3 0 0\nv 3 0 2\nv 2 0 2\nv 2 0 1\nv 1 0 1\nv 1 0 2\nv 0 0 2\nf 1 2 3 4 5 6 7 8\n";
    RmdlModel model;
    std::string error;
    ASSERT_TRUE(convert(text, withTexture(1), &model, &error)) << error;
    const auto& surfaces = model.meshes[0].surfaces;
    ASSERT_EQ(surfaces.size(), 6u);
    float area = 0;
    for (const contentkit::RmdlSurface& s : surfaces) {
        const contentkit::Vec3 &a = s.vertices[0], &b = s.vertices[1], &c = s.vertices[2];
        // The y of (b - a) x (c - a): up in the client's axes for this floor.
        const float up = (b[2] - a[2]) * (c[0] - a[0]) - (b[0] - a[0]) * (c[2] - a[2]);
        EXPECT_GT(up, 0.0f);
        area += up / 2;
    }
    EXPECT_FLOAT_EQ(area, 5.0f);
}

TEST(ObjModel, NegativeAndPlainIndicesNameTheSameCorners) {
    const std::string head = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0.5 0.5\n";
    RmdlModel positive, negative;
    std::string error;
    ASSERT_TRUE(convert(head + "f 2//1 3/1 4\n", withTexture(1), &positive, &error)) << error;
    // Continued lines (an exporter's long faces), the last one at the end.
    ASSERT_TRUE(convert(head + "f -3//-1 \\\r\n-2/-1\\\n -1 \\", withTexture(1), &negative, &error)) << error;
    ASSERT_EQ(negative.meshes[0].surfaces.size(), 1u);
    const contentkit::RmdlSurface& a = positive.meshes[0].surfaces[0];
    const contentkit::RmdlSurface& b = negative.meshes[0].surfaces[0];
    EXPECT_EQ(a.vertices, b.vertices);
    EXPECT_EQ(a.texCoords, b.texCoords);
    EXPECT_EQ(b.vertices[0], (contentkit::Vec3{1, 0, 0}));
    EXPECT_EQ(b.texCoords[0], (std::array<float, 2>{0, 0}));  // v//vn: no texture coordinate
    EXPECT_EQ(b.texCoords[1], (std::array<float, 2>{0.5f, 0.5f}));
}

TEST(ObjModel, GroupsBecomeChildMeshesWithTheirMaterialsTextures) {
    const std::string text =
        "v 0 0 0\nv 1 0 0\nv 0 1 0\n"
        "f 1 2 3\n"                          // no material: the default texture
        "o Tree\nusemtl bark\nf 1 2 3\nf 3 2 1\n"
        "usemtl leaves\nf 1 3 2\n"
        "usemtl bark\nf 2 1 3\n"             // back to the first group of Tree
        "o Stone\nusemtl bark\nf 2 3 1\n";  // same material, other object
    ObjModelOptions options = withTexture(9);
    options.materialTextures = {{"bark", 201}, {"leaves", 202}, {"water", 203}};
    RmdlModel model;
    ObjModelSummary summary;
    std::string error;
    ASSERT_TRUE(convert(text, options, &model, &error, &summary)) << error;
    ASSERT_EQ(model.meshes.size(), 5u);
    EXPECT_EQ(model.meshes[0].tag, contentkit::kRmdlBaseNodeTag);
    EXPECT_TRUE(model.meshes[0].surfaces.empty());
    EXPECT_EQ(model.meshes[0].children, (std::vector<std::uint32_t>{1, 2, 3, 4}));
    const std::int32_t textures[4] = {9, 201, 202, 201};
    const std::size_t counts[4] = {1, 3, 1, 1};
    for (std::size_t m = 0; m < 4; ++m) {
        const contentkit::RmdlMesh& mesh = model.meshes[m + 1];
        EXPECT_EQ(mesh.tag, 0);
        ASSERT_EQ(mesh.surfaces.size(), counts[m]) << m;
        for (const auto& s : mesh.surfaces) EXPECT_EQ(s.textureId, textures[m]) << m;
    }
    // The group's faces stay in file order across the interruption.
    EXPECT_EQ(model.meshes[2].surfaces[2].vertices[0], (contentkit::Vec3{1, 0, 0}));
    EXPECT_EQ(summary.meshes, 5u);
    EXPECT_EQ(summary.triangles, 6u);
    EXPECT_EQ(summary.unusedMaterials, (std::vector<std::string>{"water"}));

    options.hasDefaultTexture = false;
    EXPECT_FALSE(convert(text, options, &model, &error));
    EXPECT_EQ(error, "line 4: material '' has no texture ID; give --texture ID");
    EXPECT_FALSE(convert("v 0 0 0\nusemtl Dark Wood\nf 1 1 1\n", options, &model, &error));
    EXPECT_EQ(error, "line 3: material 'Dark Wood' has no texture ID; give --texture Dark Wood=ID");
}

TEST(ObjModel, ClientStandsTheModelOnItsLowestPointCentredOverItsPlace) {
    ObjModelOptions options = withTexture(5);
    options.scale = 2;
    // One mesh (a base node without children), then the same quad in two
    // groups (a base node with children): the client places them alike.
    const std::string split = std::string(kQuad) + "o Second\nf 1 2 3\n";
    for (const std::string& text : {std::string(kQuad), split}) {
        RmdlModel model;
        std::string error;
        ASSERT_TRUE(convert(text, options, &model, &error)) << error;
        contentkit::Bytes bytes;
        velmar::ModelData* loaded = loadInClient(model, &bytes);
        ASSERT_NE(loaded, nullptr);
        // The box is y-up again: feet at 0, 8 units tall, 4 wide, 8 deep.
        EXPECT_EQ(loaded->boxMin.x, -2.0f);
        EXPECT_EQ(loaded->boxMax.x, 2.0f);
        EXPECT_EQ(loaded->boxMin.y, 0.0f);
        EXPECT_EQ(loaded->boxMax.y, 8.0f);
        EXPECT_EQ(loaded->boxMin.z, -4.0f);
        EXPECT_EQ(loaded->boxMax.z, 4.0f);
        velmar::releaseModelData(loaded, velmar::ModelTextureHooks{
                                             [](std::int32_t, void*) { return 0u; }, [](std::uint32_t, void*) {},
                                             nullptr});
    }
}

TEST(ObjModel, HostileTextIsRefusedNamingTheLine) {
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {tri + "f 1 2 99999999\n", "line 4: face names vertex 99999999 but the file defines 3 above it"},
        {tri + "f 1 2 -4\n", "line 4: face names vertex -4 but the file defines 3 above it"},
        {tri + "f 1 2 99999999999999999999\n", "line 4: index '99999999999999999999' is out of range"},
        {tri + "f 0 1 2\n", "line 4: face names vertex 0; indices start at 1"},
        // A byte order mark (Windows editors) hides no vertex and no line.
        {"\xEF\xBB\xBF" + tri + "f 1 2 4\n", "line 4: face names vertex 4 but the file defines 3 above it"},
        {"f 1 2 3\nv 0 0 0\nv 1 0 0\nv 0 1 0\n", "line 1: face names vertex 1 but the file defines 0 above it"},
        {tri + "f 1/2 2/1 3/1\n", "line 4: face names texture coordinate 2 but the file defines 0 above it"},
        {tri + "f 1 2\n", "line 4: a face needs at least 3 corners"},
        {tri + "f 1 2 3x\n", "line 4: '3x' is not an index"},
        {tri + "f 1//z 2 3\n", "line 4: 'z' is not an index"},
        {"v 0 nan 0\n", "line 1: 'nan' is not a finite number"},
        {"v 0 0 -inf\n", "line 1: '-inf' is not a finite number"},
        {"v 0 1e999 0\n", "line 1: '1e999' is too large for a float"},
        {"v 0 0\n", "line 1: a vertex takes 3 to 7 numbers"},
        {"vt 0.5 1,5\n", "line 1: '1,5' is not a number"},
        {std::string("v 0 0 \x01\x02\n"), "line 1: '?" "?' is not a number"},
        {tri + "# nothing else\no empty\n", "no faces; the model would draw nothing"},
        {"", "no faces; the model would draw nothing"},
        {tri + "v 0 0 " + std::string(contentkit::kObjMaxLineLength, '1') + "\n",
         "line 4 is longer than 65536 bytes"},
        // A statement continued over lines is named by its first line and
        // bounded as a whole.
        {tri + "f 1 \\\n2 \\\r\n 7\n", "line 4: face names vertex 7 but the file defines 3 above it"},
        {tri + "f 1 \\\n" + std::string(contentkit::kObjMaxLineLength, ' ') + "\\\n2 3\n",
         "line 4 is longer than 65536 bytes"},
    };
    for (const auto& [text, expected] : cases) {
        RmdlModel model;
        std::string error;
        EXPECT_FALSE(convert(text, withTexture(1), &model, &error)) << expected;
        EXPECT_EQ(error, expected);
    }
    // A line exactly at the limit is fine.
    const std::string padded = tri + "f 1 2 3" + std::string(contentkit::kObjMaxLineLength - 7, ' ') + "\n";
    RmdlModel model;
    std::string error;
    EXPECT_TRUE(convert(padded, withTexture(1), &model, &error)) << error;
}

TEST(ObjModel, TriangleLimitAndOverflowingScaleAreRefused) {
    ObjModelOptions options = withTexture(1);
    options.maxTriangles = 5;
    RmdlModel model;
    std::string error;
    const std::string square = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";
    ASSERT_TRUE(convert(square + "f 1 2 3 4\nf 1 2 3 4\nf 1 2 3\n", options, &model, &error)) << error;
    EXPECT_FALSE(convert(square + "f 1 2 3 4\nf 1 2 3 4\nf 1 2 3 4\n", options, &model, &error));
    EXPECT_EQ(error, "line 7: more than 5 triangles");

    options = withTexture(1);
    options.scale = 1e30f;
    EXPECT_FALSE(convert("v 0 0 1e20\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", options, &model, &error));
    EXPECT_EQ(error, "a vertex is too far out to scale by 1e+30");
}

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return argv;
}

TEST(ObjModel, CommandLineNeedsPathsTextureAndPositiveScale) {
    std::vector<std::string> good = {"in.obj", "--texture", "7", "--texture", "bark=201", "out.rmdl",
                                     "--scale", "0.5"};
    std::vector<char*> argv = argvOf(good);
    contentkit::ModelCommandArgs args;
    std::string error;
    ASSERT_TRUE(contentkit::parseModelArgs(static_cast<int>(argv.size()), argv.data(), &args, &error)) << error;
    EXPECT_EQ(args.input, "in.obj");
    EXPECT_EQ(args.output, "out.rmdl");
    EXPECT_TRUE(args.options.hasDefaultTexture);
    EXPECT_EQ(args.options.defaultTexture, 7);
    EXPECT_EQ(args.options.materialTextures, (std::vector<std::pair<std::string, std::int32_t>>{{"bark", 201}}));
    EXPECT_EQ(args.options.scale, 0.5f);

    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"in.obj", "out.rmdl"}, "give the texture with --texture ID (or MATERIAL=ID per material)"},
        {{"in.obj", "--texture", "1"}, "give one model file (Wavefront OBJ, or glTF 2.0 .gltf or .glb) and one RMDL file"},
        {{"a", "b", "--texture", "-1"}, "--texture takes ID or MATERIAL=ID with ID from 0 to 2147483647, not '-1'"},
        {{"a", "b", "--texture", "x=2147483648"},
         "--texture takes ID or MATERIAL=ID with ID from 0 to 2147483647, not 'x=2147483648'"},
        {{"a", "b", "--texture", "=3"}, "--texture takes ID or MATERIAL=ID with ID from 0 to 2147483647, not '=3'"},
        {{"a", "b", "--texture", "x=1", "--texture", "x=2"}, "--texture 'x' given twice"},
        {{"a", "b", "--texture", "1", "--scale", "0"}, "--scale takes a number above 0, not '0'"},
        {{"a", "b", "--texture", "1", "--scale", "nan"}, "--scale takes a number above 0, not 'nan'"},
        {{"a", "b", "--texture", "1", "--scale"}, "--scale needs a value"},
        {{"a", "b", "--texture", "1", "--flip"}, "unknown option '--flip'"},
    };
    for (auto [words, expected] : bad) {
        std::vector<char*> v = argvOf(words);
        contentkit::ModelCommandArgs parsed;
        EXPECT_FALSE(contentkit::parseModelArgs(static_cast<int>(v.size()), v.data(), &parsed, &error)) << expected;
        EXPECT_EQ(error, expected);
    }
}

class ObjModelProgram : public cktest::TempDirTest {
protected:
    cktest::RunResult run(const std::vector<std::string>& args) {
        return cktest::runProgram(QUASK_BIN_DIR "/tools/contentkit/contentkit", args, m_dir);
    }
};

TEST_F(ObjModelProgram, WritesAModelTheInfoReaderAcceptsAndRefusesBadText) {
    cktest::writeBytes(at("quad.obj"), cktest::bytesOf(std::string(kQuad) + "usemtl glass\nf 1 3 4\n"));
    cktest::RunResult r = run({"model", at("quad.obj"), at("quad.rmdl"), "--texture", "44", "--texture",
                               "glass=45", "--texture", "metal=46"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "model: 3 meshes, 3 triangles, 2 x 4 x 4 (width x height x depth)\n");
    EXPECT_EQ(r.err, "contentkit: " + at("quad.obj") + ": warning: no face uses material 'metal'\n");
    reference::RmdlFields fields;
    std::string why;
    ASSERT_TRUE(reference::readRmdl(cktest::readBytes(at("quad.rmdl")), &fields, &why)) << why;
    ASSERT_EQ(fields.meshCount, 3u);
    EXPECT_EQ(fields.meshes[0].children, (std::vector<std::uint32_t>{1, 2}));
    ASSERT_EQ(fields.meshes[2].surfaces.size(), 1u);
    EXPECT_EQ(fields.meshes[2].surfaces[0].texture, 45);
    r = run({"info", at("quad.rmdl")});
    EXPECT_EQ(r.code, 0) << r.out;

    cktest::writeBytes(at("bad.obj"), cktest::bytesOf("v 1 2 3\nf 1 1 2\n"));
    r = run({"model", at("bad.obj"), at("bad.rmdl"), "--texture", "1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "contentkit: " + at("bad.obj") +
                         ": line 2: face names vertex 2 but the file defines 1 above it\n");
    EXPECT_FALSE(std::filesystem::exists(at("bad.rmdl")));
    r = run({"model", at("missing.obj"), at("m.rmdl"), "--texture", "1"});
    EXPECT_EQ(r.code, 1);
    r = run({"model", at("bad.obj"), at("bad.rmdl")});
    EXPECT_EQ(r.code, 2);
}

}  // namespace
