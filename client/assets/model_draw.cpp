// Display lists, per-frame drawing and the bounding-box wire frame of models.
#include <cstdint>
#include <vector>

#include "client/assets/model.h"
#include "client/assets/model_pose.h"
#include "client/assets/texture.h"
#include "client/core/frame_stats.h"
#include "client/core/perf_clock.h"
#include "client/gl/gl_ext.h"

namespace velmar {

namespace {

constexpr std::uint32_t kNoTexture = 0xFFFFFFFFu;
// Tree levels drawn with one GL modelview push each; with the node's own push
// for its local matrix and the caller's, this stays inside the 32 levels GL
// promises.
constexpr std::size_t kGlMatrixLevels = 24;

// Binds each run of equal textures once; returns the number of binds.
std::uint32_t drawTriangles(const ModelMesh& mesh) {
    std::uint32_t bound = kNoTexture;
    std::uint32_t binds = 0;
    glBegin(GL_TRIANGLES);
    for (std::uint32_t s = 0; s < mesh.surfaceCount; ++s) {
        const ModelSurface& surface = mesh.surfaces[s];
        if (surface.texture != bound) {
            glEnd();
            bound = surface.texture;
            glBindTexture(GL_TEXTURE_2D, bound);
            ++binds;
            glBegin(GL_TRIANGLES);
        }
        for (int v = 0; v < 3; ++v) {
            glTexCoord2fv(&surface.texCoords[v * 2]);
            glVertex3fv(&surface.vertices[v * 3]);
        }
    }
    glEnd();
    return binds;
}

// One node without its children; the node matrix stays on the current matrix.
void drawNode(ModelData& model, ModelMesh& mesh, const ModelClock& clock) {
    FrameStats& stats = frameStats();
    if (mesh.compiled) {
        if (!mesh.isStatic) glMultMatrixf(meshNodeMatrix(model, mesh, clock).m);
        glCallList(mesh.displayList);
        stats.countDrawCall();
        return;
    }
    glMultMatrixf(meshNodeMatrix(model, mesh, clock).m);
    glPushMatrix();
    glMultMatrixf(meshLocalMatrix(model, mesh).m);
    stats.countDrawCall();
    const std::uint32_t binds = drawTriangles(mesh);
    for (std::uint32_t i = 0; i < binds; ++i) stats.countDrawCall();
    glPopMatrix();
}

void corner(float x, float y, float z) { glVertex3f(x, y, z); }

}  // namespace

// --- Clock ---

ModelClock currentModelClock() {
    ModelClock clock;
    clock.frame = frameStats().pendingFrames();
    clock.elapsed = PerfClock::isCreated() ? static_cast<std::int32_t>(PerfClock::milliseconds()) : 0;
    return clock;
}

// --- Display lists ---

void compileModelMesh(ModelData& model, std::uint32_t index) {
    if (index >= model.meshCount) return;
    ModelMesh& mesh = model.meshes[index];
    const GLuint list = glGenLists(1);
    if (list == 0) return;  // no list: the node is drawn directly
    glNewList(list, GL_COMPILE);
    if (mesh.isStatic) glMultMatrixf(mesh.nodeMatrix.m);
    glPushMatrix();
    glMultMatrixf(meshLocalMatrix(model, mesh).m);
    drawTriangles(mesh);
    glPopMatrix();
    glEndList();
    mesh.compiled = 1;
    mesh.displayList = list;
}

// --- Drawing ---

void drawModelMesh(ModelData& model, std::uint32_t index, const ModelClock& clock) {
    if (model.meshes == nullptr || index >= model.meshCount) return;
    // The walk keeps its own stack (main thread only, reused from frame to
    // frame), so a tree of any depth costs no call depth.
    struct Frame {
        std::uint32_t mesh;
        std::uint32_t nextChild;
        float matrix[16];  // the node's modelview, for levels past GL's stack
    };
    static std::vector<Frame> stack;
    stack.clear();
    // Above kGlMatrixLevels each level is one push on GL's modelview stack,
    // as the tree nests. Deeper, GL's stack (32 levels promised) would
    // overflow: there the node's parent matrix is loaded instead, and the
    // one push at that level gives the caller its matrix back.
    auto enter = [&](std::uint32_t mesh) {
        const std::size_t depth = stack.size();
        if (depth <= kGlMatrixLevels) glPushMatrix();
        else glLoadMatrixf(stack.back().matrix);
        drawNode(model, model.meshes[mesh], clock);
        stack.push_back(Frame{mesh, 0, {}});
        if (depth >= kGlMatrixLevels) glGetFloatv(GL_MODELVIEW_MATRIX, stack.back().matrix);
    };
    enter(index);  // the root's node matrix goes too: the caller gets its matrix back
    while (!stack.empty()) {
        Frame& f = stack.back();
        const ModelMesh& mesh = model.meshes[f.mesh];
        if (f.nextChild < mesh.childCount) {
            const std::uint32_t child = mesh.children[f.nextChild++];
            if (child < model.meshCount) enter(child);
        } else {
            if (stack.size() <= kGlMatrixLevels + 1) glPopMatrix();
            stack.pop_back();
        }
    }
}

void drawModelBoundingBox(const ModelData& model) {
    GLfloat colour[4];
    GLfloat width = 1.0f;
    glGetFloatv(GL_CURRENT_COLOR, colour);
    glGetFloatv(GL_LINE_WIDTH, &width);
    glDisable(GL_TEXTURE_2D);
    glColor3f(1.0f, 1.0f, 0.0f);
    glLineWidth(2.5f);
    const float x0 = model.boxMin.x, y0 = -model.boxMin.y, z0 = model.boxMin.z;
    const float x1 = model.boxMax.x, y1 = -model.boxMax.y, z1 = model.boxMax.z;
    for (const float y : {y0, y1}) {
        glBegin(GL_LINE_LOOP);
        corner(x0, y, z0);
        corner(x1, y, z0);
        corner(x1, y, z1);
        corner(x0, y, z1);
        glEnd();
    }
    glBegin(GL_LINES);
    const float xs[4] = {x0, x1, x1, x0};
    const float zs[4] = {z0, z0, z1, z1};
    for (int i = 0; i < 4; ++i) {
        corner(xs[i], y0, zs[i]);
        corner(xs[i], y1, zs[i]);
    }
    glEnd();
    glColor4fv(colour);
    glLineWidth(width);
    glEnable(GL_TEXTURE_2D);
}

// --- Release ---

void releaseModel(ModelData* model, const ModelTextureHooks& textures) {
    if (model == nullptr) return;
    for (std::uint32_t m = 0; model->meshes != nullptr && m < model->meshCount; ++m) {
        ModelMesh& mesh = model->meshes[m];
        if (mesh.compiled == 1) glDeleteLists(mesh.displayList, 1);
    }
    releaseModelData(model, textures);
}

ModelTextureHooks textureManagerHooks() {
    ModelTextureHooks hooks;
    hooks.get = [](std::int32_t id, void*) -> std::uint32_t {
        CTexture* textures = CTexture::instance();
        return textures ? textures->Get(static_cast<std::uint32_t>(id), nullptr, nullptr,
                                        kTextureNoMipmaps)
                        : 0u;
    };
    hooks.free = [](std::uint32_t name, void*) {
        if (CTexture* textures = CTexture::instance()) textures->Free(name);
    };
    hooks.context = nullptr;
    return hooks;
}

}  // namespace velmar
