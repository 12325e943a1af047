#include "client/scene/scene_draw.h"

#include "client/assets/model.h"
#include "client/core/frame_stats.h"
#include "client/core/render_caps.h"
#include "client/gl/gl_ext.h"
#include "client/scene/camera.h"
#include "client/scene/draw.h"
#include "client/scene/visibility.h"

namespace velmar {
namespace scene {

namespace {

void callLists(unsigned base, const std::vector<std::uint32_t>& cubes) {
    glListBase(base);
    glCallLists(static_cast<GLsizei>(cubes.size()), GL_UNSIGNED_INT, cubes.data());
    frameStats().countDrawCall();
}

void texturedQuad(const float vertex[4][3]) {
    const float st[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    glBegin(GL_QUADS);
    for (int i = 0; i < 4; ++i) {
        glTexCoord2f(st[i][0], st[i][1]);
        glVertex3fv(vertex[i]);
    }
    glEnd();
}

void drawModels(CScene& scene) {
    CModel* manager = CModel::instance();
    bool showBox = manager && manager->showBoundingBox();
    ModelClock clock = currentModelClock();
    std::vector<PlacedModel>& models = scene.map->models();
    for (std::uint32_t index : scene.visibleModels) {
        PlacedModel& placed = models[index];
        auto* model = static_cast<ModelData*>(placed.model);
        if (!model) continue;
        glLoadMatrixf(scene.modelView.m);
        glMultMatrixf(placed.matrix.m);
        if (showBox) drawModelBoundingBox(*model);
        drawModelMesh(*model, model->rootMesh, clock);
    }
}

void drawWater(CScene& scene) {
    Water& water = *scene.water;
    glColor4ub(water.colour[0], water.colour[1], water.colour[2], water.colour[3]);
    std::int32_t frame = water.currentFrame.load(std::memory_order_relaxed);
    if (frame < 0 || frame >= water.frameCount) frame = 0;
    glBindTexture(GL_TEXTURE_2D, water.frameName[static_cast<std::size_t>(frame)]);
    frameStats().countDrawCall();
    glBegin(GL_QUADS);
    for (std::uint32_t n : scene.waterStack) {
        const WaterRecord& record = scene.waterRecords[n];
        for (std::int32_t i = 0; i < record.count; ++i) {
            WaterVertex v[4];
            waterQuad(scene, record.positions[2 * i], record.positions[2 * i + 1], v);
            for (const WaterVertex& vertex : v) {
                glTexCoord2f(vertex.s, vertex.t);
                glVertex3f(vertex.x, vertex.y, vertex.z);
            }
        }
    }
    glEnd();
}

// The statistics overlay reads these once per frame.
void publishStats(const CScene& scene) {
    SceneStats& out = sceneStats();
    out.rmapName = scene.rmapName.c_str();
    out.targetX = scene.targetX;
    out.targetZ = scene.targetZ;
    out.targetHeight = scene.targetHeight;
    out.cellColumn = scene.cellX;
    out.cellRow = scene.cellY;
    out.cameraAngle = scene.angle;
    out.cameraDistance = scene.distance;
    out.cameraVertical = scene.vertical;
    out.eyeX = scene.eyeX;
    out.eyeHeight = scene.eyeHeight;
    out.eyeZ = scene.eyeZ;
    out.pickedColumn = scene.cursor.column;
    out.pickedRow = scene.cursor.row;
    out.cellCursorValid = scene.cursor.valid;
    out.cubes = scene.stats.cubes;
    out.water = scene.stats.water;
    out.waterFrame = scene.water ? scene.water->currentFrame.load(std::memory_order_relaxed) : 0;
    out.models = scene.stats.models;
    out.modelFaces = scene.stats.faces;
}

}  // namespace

void waterQuad(const CScene& scene, int x, int y, WaterVertex out[4]) {
    const MapHeader& h = scene.map->header();
    float cs = h.cubeSize, level = h.waterLevel;
    float phase = scene.water ? scene.water->phase.load(std::memory_order_relaxed) * kDegToRad : 0.0f;
    auto wave = [&](int a, int b) {
        return tableSin(phase + 7.0f * static_cast<float>(a)) *
               tableSin(phase + 5.0f * static_cast<float>(b));
    };
    float s0 = static_cast<float>(y % 5) * 0.2f, s1 = static_cast<float>(y % 5 + 1) * 0.2f;
    float t0 = static_cast<float>(x % 5) * 0.2f, t1 = static_cast<float>(x % 5 + 1) * 0.2f;
    float x0 = static_cast<float>(x) * cs, x1 = static_cast<float>(x + 1) * cs;
    float y0 = static_cast<float>(y) * cs, y1 = static_cast<float>(y + 1) * cs;
    out[0] = {x0, y0, level + wave(x, y), s0, t0};
    out[1] = {x1, y0, level + wave(x + 1, y), s0, t1};
    out[2] = {x1, y1, level + wave(x + 1, y + 1), s1, t1};
    out[3] = {x0, y1, level + wave(x, y + 1), s1, t0};
}

void drawActiveScene() {
    CScene* active = activeScene();
    if (!active || !active->map) return;
    CScene& scene = *active;
    const RenderCaps& caps = renderCaps();
    const MapHeader& h = scene.map->header();
    FrameStats& stats = frameStats();
    if (scene.cameraChanged) updateCamera(scene);
    if (scene.recalc) Recalc_ViewableCubes(scene);
    glLoadMatrixf(scene.groundView.m);

    if (caps.altCellCursor && scene.cursorChanged) {
        glDisable(GL_TEXTURE_2D);
        callLists(scene.cellListBase[scene.layer], scene.cubeStack);
        glEnable(GL_TEXTURE_2D);
        if (const float* projection = Draw::projection3DCopy()) pickCellCursor(scene, projection);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    }
    glColor4f(h.sceneTint[0], h.sceneTint[1], h.sceneTint[2], 1.0f);
    if (caps.multitexture) {
        stats.countDrawCall();
        glCallList(scene.lightmapBeginList);
    }
    callLists(scene.groundListBase, scene.cubeStack);
    if (caps.multitexture) {
        stats.countDrawCall();
        glCallList(scene.lightmapEndList);
    } else if (caps.staticLighting) {
        glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
        callLists(scene.lightmapListBase, scene.cubeStack);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    }

    glEnable(GL_ALPHA_TEST);
    glColor4f(h.sceneTint[0], h.sceneTint[1], h.sceneTint[2], 1.0f);
    drawModels(scene);
    glDisable(GL_ALPHA_TEST);
    glLoadMatrixf(scene.groundView.m);

    if (!scene.waterStack.empty() && scene.water) drawWater(scene);
    if (scene.cursor.valid) {
        glColor4f(0.05f, 0.8f, 0.4f, 0.9f);
        glBindTexture(GL_TEXTURE_2D, scene.cursorTexture);
        stats.countDrawCall();
        texturedQuad(scene.cursor.vertex);
    }
    if (scene.blink.active) {
        int index = scene.blink.colourIndex.load(std::memory_order_relaxed) ? 1 : 0;
        glColor4fv(scene.blink.colour[index]);
        glBindTexture(GL_TEXTURE_2D, scene.cursorTexture);
        stats.countDrawCall();  // drawn as the cursor quad is, and counted so
        texturedQuad(scene.blink.vertex);
    }
    if (!caps.altCellCursor && scene.cursorChanged) {
        if (const float* projection = Draw::projection3DCopy()) pickCellCursor(scene, projection);
    }
    publishStats(scene);
}

}  // namespace scene
}  // namespace velmar
