// Node matrices, key-frame interpolation and the bounding box, on models
// built from bytes and parsed without GL.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "client/assets/model_file.h"
#include "client/assets/model_pose.h"
#include "tests/assets/model_test_util.h"

namespace {

using namespace model_test;
using velmar::Matrix4;
using velmar::ModelClock;
using velmar::ModelData;
using velmar::ModelMesh;
using velmar::ModelQuat;

constexpr float kTableTolerance = 1e-3f;  // a table step is 3.8e-4 rad

class ModelPose : public LoggedTest {
protected:
    void TearDown() override {
        for (ModelData* m : m_models) velmar::releaseModelData(m, textures.hooks());
        LoggedTest::TearDown();
    }
    ModelData* load(const TModel& m, ModelClock clock = {1, 0}) {
        const Bytes bytes = buildModel(m);
        velmar::ModelLoadOptions options{false, textures.hooks(), clock};
        ModelData* model = velmar::parseModelData(bytes.data(), bytes.size(), "pose.rmdl", options);
        if (model) m_models.push_back(model);
        return model;
    }

    FakeTextures textures;
    std::vector<ModelData*> m_models;
};

void expectMatrix(const Matrix4& m, const std::vector<float>& expected, float tolerance = 0.0f) {
    for (int i = 0; i < 16; ++i) {
        if (tolerance == 0.0f)
            EXPECT_EQ(m.m[i], expected[i]) << "element " << i;
        else
            EXPECT_NEAR(m.m[i], expected[i], tolerance) << "element " << i;
    }
}

ModelQuat zTurn(float radians) { return ModelQuat{0, 0, std::sin(radians / 2), std::cos(radians / 2)}; }
TKey key(std::int32_t time, ModelQuat q) { return TKey{time, {q.x, q.y, q.z, q.w}}; }

// --- Static nodes ---

TEST_F(ModelPose, UnrotatedNodeIsItsScaleThenItsPosition) {
    TModel m;
    m.meshes.resize(1);
    m.meshes[0].position = {5, 6, 7};
    m.meshes[0].scale = {2, 3, 4};
    ModelData* model = load(m);
    ASSERT_NE(model, nullptr);
    ModelMesh& mesh = model->meshes[0];
    EXPECT_EQ(mesh.isStatic, 1);  // set by the box walk at load
    expectMatrix(velmar::meshNodeMatrix(*model, mesh, {2, 50}),
                 {2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 5, 6, 7, 1});
}

TEST_F(ModelPose, BaseNodesArePlacedByTheHeaderVectors) {
    TModel m;
    m.p1 = {10, 20, 30};
    m.p2 = {1, 2, 3};
    m.meshes.resize(2);
    m.meshes[0].tag = velmar::kRmdlBaseNodeTag;
    m.meshes[0].offset = {0.5f, 0.25f, 0.125f};
    m.meshes[0].position = {99, 99, 99};  // ignored for base nodes
    m.meshes[0].children = {1};
    m.meshes[1].tag = velmar::kRmdlBaseNodeTag;
    m.meshes[1].offset = {99, 99, 99};  // ignored for a base node without children
    ModelData* model = load(m);
    ASSERT_NE(model, nullptr);
    const ModelClock clock{1, 0};
    expectMatrix(velmar::meshNodeMatrix(*model, model->meshes[0], clock),
                 {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -1, -20, -3, 1});
    expectMatrix(velmar::meshLocalMatrix(*model, model->meshes[0]),
                 {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.5f, 0.25f, 0.125f, 1});
    expectMatrix(velmar::meshNodeMatrix(*model, model->meshes[1], clock),
                 {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -18, 0, 1});
    expectMatrix(velmar::meshLocalMatrix(*model, model->meshes[1]),
                 {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -1, -2, -3, 1});
}

TEST_F(ModelPose, LocalMatrixAppliesTheFileMatrixBeforeTheOffset) {
    TModel m;
    m.meshes.resize(1);
    const float file[16] = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1};
    std::copy(file, file + 16, m.meshes[0].matrix);
    m.meshes[0].offset = {1, 0, 0};
    ModelData* model = load(m);
    ASSERT_NE(model, nullptr);
    // (1, 0, 0) -> doubled, then moved: x = 3, not (1 + 1) * 2.
    expectMatrix(velmar::meshLocalMatrix(*model, model->meshes[0]),
                 {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 1, 0, 0, 1});
}

TEST_F(ModelPose, AxisRotationNormalisesOnlyLongAxes) {
    // A quarter turn about z takes x to y.
    const Matrix4 quarter = velmar::axisRotationMatrix(1.5707964f, {0, 0, 1});
    expectMatrix(quarter, {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, 1e-6f);
    // A long axis is normalised: (0, 0, 2) is the same turn.
    expectMatrix(velmar::axisRotationMatrix(1.5707964f, {0, 0, 2}),
                 std::vector<float>(quarter.m, quarter.m + 16));
    // A short one is taken as it is: z = 0.5 scales the sine terms.
    const Matrix4 shortAxis = velmar::axisRotationMatrix(1.5707964f, {0, 0, 0.5f});
    EXPECT_NEAR(shortAxis.m[1], 0.5f, 1e-6f);
    EXPECT_NEAR(shortAxis.m[4], -0.5f, 1e-6f);
    EXPECT_NEAR(shortAxis.m[10], 0.25f, 1e-6f);
    // A general axis against the closed form.
    const float a = 0.7f, x = 1 / 3.0f, y = 2 / 3.0f, z = 2 / 3.0f;
    const float c = std::cos(a), s = std::sin(a);
    const Matrix4 general = velmar::axisRotationMatrix(a, {1, 2, 2});
    expectMatrix(general,
                 {x * x * (1 - c) + c, y * x * (1 - c) + z * s, x * z * (1 - c) - y * s, 0,
                  x * y * (1 - c) - z * s, y * y * (1 - c) + c, y * z * (1 - c) + x * s, 0,
                  x * z * (1 - c) + y * s, y * z * (1 - c) - x * s, z * z * (1 - c) + c, 0, 0, 0, 0, 1},
                 kTableTolerance);
}

// --- Key frames ---

TModel animated(std::vector<TKey> keys) {
    TModel m;
    m.meshes.resize(1);
    m.meshes[0].keys = std::move(keys);
    m.meshes[0].position = {0, 0, 10};
    return m;
}

// The rotation part of a node matrix as the angle it turns x about z.
float zAngle(const Matrix4& m) { return std::atan2(m.m[1], m.m[0]); }

TEST_F(ModelPose, AnimationUsesTheTimeStoredAtThePreviousEvaluation) {
    ModelData* model = load(animated({key(0, zTurn(0)), key(1000, zTurn(1.5f))}), {1, 0});
    ASSERT_NE(model, nullptr);
    ModelMesh& mesh = model->meshes[0];
    EXPECT_EQ(mesh.isStatic, 0);
    EXPECT_EQ(mesh.animTime, 0);
    // Frame 2 at 500 ms: posed at the stored time 0, then 500 is stored.
    const Matrix4 first = velmar::meshNodeMatrix(*model, mesh, {2, 500});
    EXPECT_NEAR(zAngle(first), 0.0f, kTableTolerance);
    EXPECT_EQ(first.m[14], 10.0f);
    EXPECT_EQ(mesh.animTime, 500);
    EXPECT_EQ(mesh.frameStamp, 2);
    // Halfway between the keys.
    const Matrix4 half = velmar::meshNodeMatrix(*model, mesh, {3, 700});
    EXPECT_NEAR(zAngle(half), 0.75f, kTableTolerance);
    EXPECT_EQ(mesh.animTime, 700);
}

TEST_F(ModelPose, AnimatedNodeIsEvaluatedOncePerFrame) {
    ModelData* model = load(animated({key(0, zTurn(0)), key(1000, zTurn(1.0f))}), {1, 0});
    ASSERT_NE(model, nullptr);
    ModelMesh& mesh = model->meshes[0];
    velmar::meshNodeMatrix(*model, mesh, {2, 400});
    const float posed = zAngle(velmar::meshNodeMatrix(*model, mesh, {3, 900}));
    // Same frame, later time: the cached pose, and the stored time stays.
    EXPECT_EQ(zAngle(velmar::meshNodeMatrix(*model, mesh, {3, 950})), posed);
    EXPECT_EQ(mesh.animTime, 900);
}

TEST_F(ModelPose, ElapsedTimeWrapsIntoTheKeyRangeWithOneStep) {
    ModelData* model = load(animated({key(0, zTurn(0)), key(1000, zTurn(1.0f))}), {1, 0});
    ASSERT_NE(model, nullptr);
    ModelMesh& mesh = model->meshes[0];
    velmar::meshNodeMatrix(*model, mesh, {2, 1500});
    EXPECT_EQ(mesh.animTime, 500);
    EXPECT_NEAR(zAngle(velmar::meshNodeMatrix(*model, mesh, {3, 2000})), 0.5f, kTableTolerance);
    EXPECT_EQ(mesh.animTime, 1000);  // a whole period stops at the last key, as subtraction does

    EXPECT_EQ(velmar::wrapAnimationTime(1000, 1000), 1000);
    EXPECT_EQ(velmar::wrapAnimationTime(1001, 1000), 1);
    EXPECT_EQ(velmar::wrapAnimationTime(999, 1000), 999);
    // Weeks of uptime.
    EXPECT_EQ(velmar::wrapAnimationTime(INT32_MAX, 1), 1);
    EXPECT_EQ(velmar::wrapAnimationTime(INT32_MAX, 1000), 647);
    // The millisecond after that, where the 32-bit time base turns negative,
    // goes on from there: never a negative time.
    EXPECT_EQ(velmar::wrapAnimationTime(INT32_MIN, 1000), 648);
}

TEST_F(ModelPose, OppositeSignedKeysTurnTheShortWay) {
    velmar::ModelKeyFrame keys[2] = {{0, {0, 0, std::sin(0.1f), std::cos(0.1f)}},
                                     {1000, {0, 0, -std::sin(0.2f), -std::cos(0.2f)}}};
    const ModelQuat q = velmar::keyFrameRotation(keys, 2, 500);
    // 0.2 rad and 0.4 rad about z meet at 0.3 rad, not half a turn away.
    EXPECT_NEAR(q.z, std::sin(0.15f), kTableTolerance);
    EXPECT_NEAR(q.w, std::cos(0.15f), kTableTolerance);
    EXPECT_GT(keys[1].q[3], 0.0f);  // the stored key was negated
}

TEST_F(ModelPose, KeyPairOfQAndMinusQMakesNoTurnAtAll) {
    velmar::ModelKeyFrame keys[2] = {{0, {1, 0, 0, 0}}, {100, {-1, 0, 0, 0}}};
    // Halfway would be a half turn away from both if -q were taken as it is.
    const ModelQuat q = velmar::keyFrameRotation(keys, 2, 50);
    EXPECT_NEAR(q.x, 1.0f, 1e-6f);
    EXPECT_NEAR(q.w, 0.0f, 1e-6f);
    EXPECT_EQ(keys[1].q[0], 1.0f);
}

TEST_F(ModelPose, EqualKeyTimesAndSingleKeysGiveTheEarlierPose) {
    velmar::ModelKeyFrame equal[2] = {{100, {0, 0, std::sin(0.3f), std::cos(0.3f)}},
                                      {100, {0, 0, std::sin(0.6f), std::cos(0.6f)}}};
    const ModelQuat q = velmar::keyFrameRotation(equal, 2, 100);
    EXPECT_NEAR(q.z, std::sin(0.3f), 1e-6f);
    EXPECT_NEAR(q.w, std::cos(0.3f), 1e-6f);

    velmar::ModelKeyFrame single[1] = {{300, {0, 0, 2 * std::sin(0.4f), 2 * std::cos(0.4f)}}};
    const ModelQuat s = velmar::keyFrameRotation(single, 1, 150);
    EXPECT_NEAR(s.z, std::sin(0.4f), 1e-6f);  // normalised
    EXPECT_NEAR(s.w, std::cos(0.4f), 1e-6f);
}

TEST_F(ModelPose, LastKeyAtOrBeforeZeroHoldsTheFirstKeyPose) {
    ModelData* model = load(animated({key(-50, zTurn(0.8f)), key(0, zTurn(1.6f))}), {1, 0});
    ASSERT_NE(model, nullptr);
    ModelMesh& mesh = model->meshes[0];
    EXPECT_EQ(mesh.isStatic, 1);
    EXPECT_NEAR(zAngle(velmar::meshNodeMatrix(*model, mesh, {9, INT32_MAX})), 0.8f, 1e-5f);
    EXPECT_EQ(mesh.animTime, 0);
}

TEST_F(ModelPose, AllZeroKeysGiveNoTurnRatherThanNaN) {
    ModelData* model = load(animated({TKey{0, {0, 0, 0, 0}}, TKey{10, {0, 0, 0, 0}}}), {1, 0});
    ASSERT_NE(model, nullptr);
    const Matrix4 m = velmar::meshNodeMatrix(*model, model->meshes[0], {2, 5});
    expectMatrix(m, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 10, 1});
}

// --- Bounding box ---

TEST_F(ModelPose, OneTriangleBoxFlipsYAndTakesTheLargestReach) {
    TModel m;
    m.meshes.resize(1);
    TSurface s;
    const float v[9] = {1, 2, 3, 1, 2, 3, 1, 2, 3};
    std::copy(v, v + 9, s.v);
    m.meshes[0].surfaces = {s};
    ModelData* model = load(m);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->boxMin.x, 1.0f);
    EXPECT_EQ(model->boxMin.y, -2.0f);
    EXPECT_EQ(model->boxMin.z, 3.0f);
    EXPECT_EQ(model->boxMax.x, 1.0f);
    EXPECT_EQ(model->boxMax.y, -2.0f);
    EXPECT_EQ(model->boxMax.z, 3.0f);
    EXPECT_EQ(model->boxCentre.y, -2.0f);
    EXPECT_EQ(model->extent, 3.0f);
}

TEST_F(ModelPose, ChildrenInheritTheNodeMatrixButNotTheLocalMatrix) {
    TModel m;
    m.meshes.resize(2);
    m.meshes[0].position = {10, 0, 0};
    m.meshes[0].offset = {0, 0, 500};  // the root's own triangles only
    m.meshes[0].children = {1};
    m.meshes[1].position = {0, 4, 0};
    m.meshes[1].scale = {2, 2, 2};
    TSurface s;
    const float v[9] = {1, 0, 0, 0, 1, 0, 0, 0, -1};
    std::copy(v, v + 9, s.v);
    m.meshes[1].surfaces = {s};
    ModelData* model = load(m);
    ASSERT_NE(model, nullptr);
    // Child points: 2v + (0, 4, 0) + (10, 0, 0), then y flipped.
    EXPECT_EQ(model->boxMin.x, 10.0f);
    EXPECT_EQ(model->boxMax.x, 12.0f);
    EXPECT_EQ(model->boxMin.y, -6.0f);
    EXPECT_EQ(model->boxMax.y, -4.0f);
    EXPECT_EQ(model->boxMin.z, -2.0f);
    EXPECT_EQ(model->boxMax.z, 0.0f);
    EXPECT_EQ(model->boxCentre.x, 11.0f);
    EXPECT_EQ(model->extent, 12.0f);
}

TEST_F(ModelPose, ModelWithoutTrianglesKeepsTheStartingCorners) {
    TModel m;
    m.meshes.resize(1);
    ModelData* model = load(m);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->boxMin.x, 999999.0f);
    EXPECT_EQ(model->boxMax.z, -999999.0f);
    EXPECT_EQ(model->boxCentre.y, 0.0f);
    EXPECT_EQ(model->extent, -999999.0f);
}

}  // namespace
