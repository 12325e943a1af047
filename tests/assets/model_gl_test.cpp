// Models on a real GL context (Xvfb with Mesa's software renderer): display
// lists, draw-call counts, the modelview matrix around a draw, and the
// bounding-box wire frame, read back through GL's feedback mode.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "client/assets/model.h"
#include "client/assets/model_pose.h"
#include "client/assets/texture.h"
#include "client/core/frame_stats.h"
#include "client/core/render_caps.h"
#include "client/gl/gl_ext.h"
#include "client/platform/window.h"
#include "tests/assets/model_test_util.h"
#include "tests/support/xvfb_suite.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/dds_writer.h"

namespace {

using namespace model_test;
using velmar::CModel;
using velmar::ModelClock;
using velmar::ModelData;

// A root placed and turned, a static child with two textures and an
// animated grandchild.
TModel sceneModel() {
    TModel m;
    m.meshes.resize(3);
    m.meshes[0].position = {5, -3, 0};
    m.meshes[0].angle = 0.4f;
    m.meshes[0].offset = {1, 0, 0};
    m.meshes[0].surfaces = {triangle(7, 0, 0, 0), triangle(3, 4, 4, 0), triangle(7, -6, 2, 0)};
    m.meshes[0].children = {1};
    m.meshes[1].position = {0, 8, 0};
    m.meshes[1].scale = {2, 2, 2};
    m.meshes[1].surfaces = {triangle(3, 1, 1, 0)};
    m.meshes[1].children = {2};
    m.meshes[2].position = {-4, 0, 0};
    m.meshes[2].keys = {{0, {0, 0, 0, 1}}, {1000, {0, 0, 0.70710677f, 0.70710677f}}};
    m.meshes[2].surfaces = {triangle(9, 2, 0, 0)};
    return m;
}

std::array<float, 16> currentModelview() {
    std::array<float, 16> m;
    glGetFloatv(GL_MODELVIEW_MATRIX, m.data());
    return m;
}

GLint modelviewDepth() {
    GLint depth = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth);
    return depth;
}

struct Segment {
    std::array<float, 3> a, b;
};

// What `draw` sends to the rasteriser, in window coordinates.
struct Feedback {
    std::vector<std::array<float, 3>> triangleVertices;
    std::vector<Segment> lines;
};

template <class Draw>
Feedback feedbackOf(Draw draw) {
    std::vector<GLfloat> buffer(1 << 16);
    glFeedbackBuffer(static_cast<GLsizei>(buffer.size()), GL_3D, buffer.data());
    glRenderMode(GL_FEEDBACK);
    draw();
    const GLint count = glRenderMode(GL_RENDER);
    Feedback out;
    auto vertex = [&](GLint at) { return std::array<float, 3>{buffer[at], buffer[at + 1], buffer[at + 2]}; };
    for (GLint i = 0; i < count;) {
        const GLint token = static_cast<GLint>(buffer[i++]);
        if (token == GL_POLYGON_TOKEN) {
            const GLint n = static_cast<GLint>(buffer[i++]);
            for (GLint k = 0; k < n; ++k, i += 3) out.triangleVertices.push_back(vertex(i));
        } else if (token == GL_LINE_TOKEN || token == GL_LINE_RESET_TOKEN) {
            out.lines.push_back(Segment{vertex(i), vertex(i + 3)});
            i += 6;
        } else if (token == GL_POINT_TOKEN || token == GL_BITMAP_TOKEN ||
                   token == GL_DRAW_PIXEL_TOKEN || token == GL_COPY_PIXEL_TOKEN) {
            i += 3;
        } else {
            i += 1;  // pass-through value
        }
    }
    return out;
}

class ModelGl : public quask_test::OnXvfb<LoggedTest> {
protected:
    void SetUp() override {
        OnXvfb::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(velmar::windowInit());
        ASSERT_TRUE(velmar::windowOpen(64, 48, velmar::WindowMode::Windowed));
        glViewport(0, 0, 64, 48);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(0, 64, 0, 48, -100, 100);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glTranslatef(32, 24, 0);
        glEnable(GL_TEXTURE_2D);
    }
    void TearDown() override {
        if (!displayReady()) return;
        CModel::Destroy();
        velmar::CTexture::Destroy();  // after the models, as at shutdown
        EXPECT_TRUE(textures.live.empty());
        velmar::windowTerminate();
        LoggedTest::TearDown();
    }
    // The manager with model.def naming `model` as ID 1, and that model.
    ModelData* loadManaged(const TModel& model, bool optimise) {
        const Bytes bytes = buildModel(model);
        std::ofstream(at("m.rmdl"), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(at("model.def")) << "1: " << at("m.rmdl") << "\n";
        const std::string def = at("model.def");
        CModel::Settings settings{optimise, false, textures.hooks(), [] { return ModelClock{1, 0}; },
                                  def.c_str()};
        CModel* models = CModel::Create(settings);
        return models ? models->Get(1) : nullptr;
    }
    ModelData* loadLoose(const TModel& model) {
        const Bytes bytes = buildModel(model);
        velmar::ModelLoadOptions options{false, textures.hooks(), ModelClock{1, 0}};
        return velmar::parseModelData(bytes.data(), bytes.size(), "loose.rmdl", options);
    }
    std::uint32_t drawCallsOf(ModelData& model, ModelClock clock) {
        const std::uint32_t before = velmar::frameStats().pendingDrawCalls();
        velmar::drawModelMesh(model, model.rootMesh, clock);
        return velmar::frameStats().pendingDrawCalls() - before;
    }

    FakeTextures textures;
};

// --- Display lists ---

TEST_F(ModelGl, CompiledStaticNodeIssuesOneDisplayListCall) {
    TModel m;
    m.meshes.resize(1);
    m.meshes[0].position = {1, 2, 0};
    m.meshes[0].surfaces = {triangle(7, 0, 0, 0), triangle(3, 1, 0, 0), triangle(7, 2, 0, 0)};
    ModelData* model = loadManaged(m, true);
    ASSERT_NE(model, nullptr);
    const velmar::ModelMesh& mesh = model->meshes[0];
    ASSERT_EQ(mesh.compiled, 1);
    EXPECT_EQ(glIsList(mesh.displayList), GL_TRUE);
    EXPECT_EQ(drawCallsOf(*model, {2, 0}), 1u);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    const GLuint list = mesh.displayList;
    CModel::Destroy();
    EXPECT_EQ(glIsList(list), GL_FALSE);  // released with the model
}

TEST_F(ModelGl, DirectDrawCountsOneCallAndOnePerTextureSwitch) {
    TModel m;
    m.meshes.resize(1);
    m.meshes[0].surfaces = {triangle(7, 0, 0, 0), triangle(3, 1, 0, 0), triangle(7, 2, 0, 0),
                            triangle(7, 3, 0, 0)};
    ModelData* model = loadManaged(m, false);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->meshes[0].compiled, 0);
    // Binds 7, 3, 7: three switches after the node's own call.
    EXPECT_EQ(drawCallsOf(*model, {2, 0}), 4u);
}

TEST_F(ModelGl, CompiledAndDirectDrawingSendTheSameTriangles) {
    ModelData* direct = loadLoose(sceneModel());
    ModelData* compiled = loadManaged(sceneModel(), true);
    ASSERT_NE(direct, nullptr);
    ASSERT_NE(compiled, nullptr);
    for (ModelClock clock : {ModelClock{2, 300}, ModelClock{3, 800}}) {
        const Feedback a = feedbackOf([&] { velmar::drawModelMesh(*direct, 0, clock); });
        const Feedback b = feedbackOf([&] { velmar::drawModelMesh(*compiled, 0, clock); });
        ASSERT_EQ(a.triangleVertices.size(), 15u);
        ASSERT_EQ(b.triangleVertices.size(), 15u);
        // Grouping reorders the root's triangles: compare as sets.
        std::vector<std::array<float, 3>> va = a.triangleVertices, vb = b.triangleVertices;
        for (auto* v : {&va, &vb}) {
            for (auto& p : *v)
                for (float& c : p) c = std::round(c * 1000.0f) / 1000.0f;
            std::sort(v->begin(), v->end());
        }
        EXPECT_EQ(va, vb);
    }
    velmar::releaseModel(direct, textures.hooks());
}

TEST_F(ModelGl, AnimatedNodeInsideACompiledModelMovesBetweenFrames) {
    ModelData* model = loadManaged(sceneModel(), true);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->meshes[2].isStatic, 0);
    EXPECT_EQ(drawCallsOf(*model, {2, 1000}), 3u);  // one list per node
    const Feedback early = feedbackOf([&] { velmar::drawModelMesh(*model, 0, {3, 0}); });
    const Feedback later = feedbackOf([&] { velmar::drawModelMesh(*model, 0, {4, 0}); });
    ASSERT_EQ(early.triangleVertices.size(), later.triangleVertices.size());
    // The static nodes stay, the animated triangle turned (stored time 1000, then 0).
    using Points = std::vector<std::array<float, 3>>;
    const Points staticEarly(early.triangleVertices.begin(), early.triangleVertices.end() - 3);
    const Points staticLater(later.triangleVertices.begin(), later.triangleVertices.end() - 3);
    EXPECT_EQ(staticEarly, staticLater);
    EXPECT_NE(early.triangleVertices.back(), later.triangleVertices.back());
}

TEST_F(ModelGl, SurfacesHoldTextureManagerReferencesUntilTheModelsGo) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(m_dir.c_str()), 0);
    struct Back {
        const char* dir;
        ~Back() { EXPECT_EQ(chdir(dir), 0); }
    } back{cwd};
    for (const char* dir : {"data", "data/def", "data/tex"}) ASSERT_EQ(mkdir(dir, 0755), 0);
    contentkit::Bytes dds;
    std::string error;
    contentkit::DdsOptions dxt;
    dxt.highQuality = false;
    ASSERT_TRUE(contentkit::writeDds(contentkit::makeChecker(16, 16, 4), dxt, &dds, &error)) << error;
    std::ofstream("data/tex/a.dds", std::ios::binary)
        .write(reinterpret_cast<const char*>(dds.data()), static_cast<std::streamsize>(dds.size()));
    std::ofstream("data/def/Textures.def") << "0: data/tex/a.dds\n12: data/tex/a.dds\n";
    ASSERT_TRUE(velmar::GetGLExt());
    velmar::renderCaps().textureDetail = 3;
    velmar::CTexture* manager = velmar::CTexture::Create();
    ASSERT_NE(manager, nullptr);

    TModel m;
    m.meshes.resize(1);
    m.meshes[0].surfaces = {triangle(12, 0, 0, 0), triangle(99, 1, 0, 0), triangle(12, 2, 0, 0)};
    const Bytes bytes = buildModel(m);
    std::ofstream("m.rmdl", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::ofstream("data/def/model.def") << "1: m.rmdl\n";
    CModel::Settings settings{true, false, velmar::textureManagerHooks(), nullptr, velmar::kModelDefPath};
    CModel* models = CModel::Create(settings);
    ASSERT_NE(models, nullptr);
    ModelData* model = models->Get(1);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(manager->referenceCount(12), 2u);
    EXPECT_EQ(manager->referenceCount(0), 1u);  // 99 is unknown: the default
    EXPECT_EQ(drawCallsOf(*model, {2, 0}), 1u);
    CModel::Destroy();
    EXPECT_EQ(manager->referenceCount(12), 0u);
    EXPECT_EQ(manager->referenceCount(0), 0u);
    velmar::CTexture::Destroy();
    EXPECT_EQ(log().find("~CTexture: Freed Referenced Texture"), std::string::npos);
}

// --- Matrix stack ---

TEST_F(ModelGl, DrawingLeavesTheModelviewMatrixAsItFoundIt) {
    ModelData* direct = loadLoose(sceneModel());
    ModelData* compiled = loadManaged(sceneModel(), true);
    ASSERT_NE(direct, nullptr);
    ASSERT_NE(compiled, nullptr);
    glPushMatrix();
    glRotatef(30, 0, 1, 0);
    glScalef(0.5f, 0.5f, 0.5f);
    const std::array<float, 16> before = currentModelview();
    const GLint depth = modelviewDepth();
    for (ModelData* model : {direct, compiled}) {
        velmar::drawModelMesh(*model, model->rootMesh, {2, 500});
        EXPECT_EQ(currentModelview(), before);
        EXPECT_EQ(modelviewDepth(), depth);
    }
    glPopMatrix();
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    velmar::releaseModel(direct, textures.hooks());
}

TEST_F(ModelGl, TreeDeeperThanTheModelviewStackDrawsEveryNodeInPlace) {
    // GL promises 32 modelview levels; this chain nests 60 nodes, each half
    // a unit right of its parent.
    constexpr int kDepth = 60;
    TModel m;
    m.meshes.resize(kDepth);
    for (std::uint32_t i = 0; i < m.meshes.size(); ++i) {
        if (i + 1 < m.meshes.size()) m.meshes[i].children = {i + 1};
        m.meshes[i].position = {0.5f, 0, 0};
        m.meshes[i].surfaces = {triangle(1, 0, 0, 0)};
    }
    ModelData* loose = loadLoose(m);
    ModelData* compiled = loadManaged(m, true);
    ASSERT_NE(loose, nullptr);
    ASSERT_NE(compiled, nullptr);
    for (ModelData* model : {loose, compiled}) {
        glPushMatrix();  // as the scene does around a model
        glPushMatrix();
        const std::array<float, 16> before = currentModelview();
        const GLint depth = modelviewDepth();
        const Feedback f = feedbackOf([&] { velmar::drawModelMesh(*model, 0, {2, 0}); });
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        EXPECT_EQ(currentModelview(), before);
        EXPECT_EQ(modelviewDepth(), depth);
        glPopMatrix();
        glPopMatrix();
        ASSERT_EQ(f.triangleVertices.size(), 3u * kDepth);
        for (int k = 0; k < kDepth; ++k) {
            // Window x = 32 + x: node k sits at 0.5 (k + 1).
            EXPECT_FLOAT_EQ(f.triangleVertices[3 * k][0], 32.0f + 0.5f * static_cast<float>(k + 1)) << k;
            EXPECT_FLOAT_EQ(f.triangleVertices[3 * k][1], 24.0f) << k;
        }
    }
    velmar::releaseModel(loose, textures.hooks());
}

// --- Rotation and bounding box ---

TEST_F(ModelGl, AxisRotationAgreesWithGlRotate) {
    for (const auto& c : {std::array<float, 4>{0.4f, 0, 0, 1}, std::array<float, 4>{2.5f, 1, 2, 2},
                          std::array<float, 4>{-1.2f, 3, -1, 0.5f}}) {
        glPushMatrix();
        glLoadIdentity();
        glRotatef(c[0] * 57.29578f, c[1], c[2], c[3]);
        const std::array<float, 16> gl = currentModelview();
        glPopMatrix();
        const velmar::Matrix4 ours = velmar::axisRotationMatrix(c[0], {c[1], c[2], c[3]});
        for (int i = 0; i < 16; ++i) EXPECT_NEAR(ours.m[i], gl[i], 1e-3f) << "element " << i;
    }
}

TEST_F(ModelGl, BoundingBoxIsDrawnAsTwelveYellowEdgesAndRestoresState) {
    ModelData model{};
    model.boxMin = {-20, -15, -10};
    model.boxMax = {10, 5, 30};
    glColor4f(0.25f, 0.5f, 0.75f, 1.0f);
    glLineWidth(1.0f);
    const Feedback f = feedbackOf([&] { velmar::drawModelBoundingBox(model); });
    ASSERT_EQ(f.lines.size(), 12u);
    // Window x = 32 + x, y = 24 - y (Y flipped back), z = 0.5 - z / 200.
    std::set<std::vector<int>> edges;
    for (const Segment& s : f.lines) {
        std::vector<int> a{static_cast<int>(std::lround(s.a[0] - 32)), static_cast<int>(std::lround(24 - s.a[1])),
                           static_cast<int>(std::lround((0.5f - s.a[2]) * 200))};
        std::vector<int> b{static_cast<int>(std::lround(s.b[0] - 32)), static_cast<int>(std::lround(24 - s.b[1])),
                           static_cast<int>(std::lround((0.5f - s.b[2]) * 200))};
        if (b < a) std::swap(a, b);
        std::vector<int> edge = a;
        edge.insert(edge.end(), b.begin(), b.end());
        edges.insert(edge);
    }
    std::set<std::vector<int>> expected;
    const int xs[2] = {-20, 10}, ys[2] = {-15, 5}, zs[2] = {-10, 30};
    for (int i = 0; i < 8; ++i)
        for (int axis = 0; axis < 3; ++axis) {
            if (i & (1 << axis)) continue;
            const int j = i | (1 << axis);
            std::vector<int> a{xs[i & 1], ys[(i >> 1) & 1], zs[(i >> 2) & 1]};
            std::vector<int> b{xs[j & 1], ys[(j >> 1) & 1], zs[(j >> 2) & 1]};
            a.insert(a.end(), b.begin(), b.end());
            expected.insert(a);
        }
    EXPECT_EQ(edges, expected);

    GLfloat colour[4], width = 0;
    glGetFloatv(GL_CURRENT_COLOR, colour);
    glGetFloatv(GL_LINE_WIDTH, &width);
    EXPECT_EQ(std::vector<float>(colour, colour + 4), (std::vector<float>{0.25f, 0.5f, 0.75f, 1.0f}));
    EXPECT_EQ(width, 1.0f);
    EXPECT_EQ(glIsEnabled(GL_TEXTURE_2D), GL_TRUE);
}

}  // namespace
