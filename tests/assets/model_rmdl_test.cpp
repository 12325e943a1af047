// Models written by the content tool's RMDL writer load field for field, in
// both read modes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "client/assets/model_file.h"
#include "tests/assets/model_test_util.h"
#include "tools/contentkit/formats/rmdl_writer.h"

namespace {

using namespace model_test;
using velmar::ModelData;

contentkit::RmdlModel writerModel() {
    contentkit::RmdlModel m;
    m.wordA = 0x01020304;
    m.wordB = 0x0A0B0C0D;
    m.byteC = 0x5A;
    m.p0 = {1, 2, 3};
    m.p1 = {4, 5, 6};
    m.p2 = {7, 8, 9};
    m.rootMesh = 2;
    m.meshes.resize(3);
    contentkit::RmdlMesh& base = m.meshes[2];
    base.tag = contentkit::kRmdlBaseNodeTag;
    base.children = {0, 1};
    base.localOffset = {0.5f, 0.25f, 0.125f};
    for (int i = 0; i < 4; ++i) {
        contentkit::RmdlSurface s;
        s.textureId = i % 2 == 0 ? 12 : 40;
        s.vertices = {{{float(i), 0, 0}, {float(i), 1, 0}, {float(i), 0, 1}}};
        s.texCoords = {{{0.5f, 0.25f}, {1, 0}, {0, 1}}};
        s.wordD = 100u + i;
        s.wordE = 200u + i;
        base.surfaces.push_back(s);
    }
    contentkit::RmdlMesh& arm = m.meshes[0];
    arm.position = {0, 3, 0};
    arm.rotationAngle = 0.75f;
    arm.rotationAxis = {0, 1, 0};
    arm.scale = {1, 2, 1};
    arm.unused = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    arm.localMatrix[12] = 4;
    arm.keyFrames = {{0, {0, 0, 0, 1}}, {250, {0, 0.38268343f, 0, 0.9238795f}}, {500, {0, 0, 0, 1}}};
    arm.surfaces.resize(1);
    arm.surfaces[0].textureId = 12;
    m.meshes[1].tag = 3;
    return m;
}

class ModelRmdl : public LoggedTest {
protected:
    FakeTextures textures;
};

TEST_F(ModelRmdl, WriterOutputLoadsFieldForField) {
    const contentkit::RmdlModel source = writerModel();
    contentkit::Bytes bytes;
    std::string error;
    ASSERT_TRUE(contentkit::writeRmdl(source, &bytes, &error)) << error;
    for (bool optimise : {false, true}) {
        velmar::ModelLoadOptions options{optimise, textures.hooks(), velmar::ModelClock{1, 0}};
        ModelData* model = velmar::parseModelData(bytes.data(), bytes.size(), "writer.rmdl", options);
        ASSERT_NE(model, nullptr) << log();
        EXPECT_EQ(model->wordA, source.wordA);
        EXPECT_EQ(model->wordB, source.wordB);
        EXPECT_EQ(model->byteC, source.byteC);
        EXPECT_EQ(model->rootMesh, 2u);
        EXPECT_EQ(model->p1.y, 5.0f);
        EXPECT_EQ(model->p2.z, 9.0f);
        ASSERT_EQ(model->meshCount, 3u);
        for (std::uint32_t i = 0; i < 3; ++i) {
            const contentkit::RmdlMesh& in = source.meshes[i];
            const velmar::ModelMesh& out = model->meshes[i];
            EXPECT_EQ(out.tag, in.tag);
            for (int k = 0; k < 16; ++k) EXPECT_EQ(out.fileMatrix[k], in.localMatrix[k]);
            EXPECT_EQ(out.localOffset.z, in.localOffset[2]);
            EXPECT_EQ(out.position.y, in.position[1]);
            EXPECT_EQ(out.angle, in.rotationAngle);
            EXPECT_EQ(out.axis.y, in.rotationAxis[1]);
            EXPECT_EQ(out.scale.y, in.scale[1]);
            for (int k = 0; k < 9; ++k) EXPECT_EQ(out.unused[k], in.unused[k]);
            ASSERT_EQ(out.surfaceCount, in.surfaces.size());
            ASSERT_EQ(out.keyFrameCount, in.keyFrames.size());
            ASSERT_EQ(out.childCount, in.children.size());
            for (std::uint32_t k = 0; k < out.keyFrameCount; ++k) {
                EXPECT_EQ(out.keyFrames[k].time, in.keyFrames[k].time);
                EXPECT_EQ(out.keyFrames[k].q[1], in.keyFrames[k].rotation[1]);
            }
            for (std::uint32_t k = 0; k < out.childCount; ++k) EXPECT_EQ(out.children[k], in.children[k]);
        }
        // The base node's surfaces: file order, or grouped 12, 12, 40, 40.
        const std::uint32_t order[2][4] = {{0, 1, 2, 3}, {0, 2, 1, 3}};
        for (std::uint32_t k = 0; k < 4; ++k) {
            const contentkit::RmdlSurface& in = source.meshes[2].surfaces[order[optimise][k]];
            const velmar::ModelSurface& out = model->meshes[2].surfaces[k];
            EXPECT_EQ(out.texture, static_cast<std::uint32_t>(in.textureId) + FakeTextures::kNameBase);
            EXPECT_EQ(out.vertices[0], in.vertices[0][0]);
            EXPECT_EQ(out.vertices[4], in.vertices[1][1]);
            EXPECT_EQ(out.texCoords[0], in.texCoords[0][0]);
            EXPECT_EQ(out.texCoords[1], in.texCoords[0][1]);
            EXPECT_EQ(out.wordD, in.wordD);
            EXPECT_EQ(out.wordE, in.wordE);
        }
        velmar::releaseModelData(model, textures.hooks());
        EXPECT_TRUE(textures.live.empty());
    }
}

}  // namespace
