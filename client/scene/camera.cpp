#include "client/scene/camera.h"

#include <cmath>

#include "client/core/perf_clock.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/core/timer.h"
#include "client/gl/gl_ext.h"
#include "client/input/mouse.h"

namespace velmar {
namespace scene {

namespace {

// The camera's own degrees-to-table factor (pi / 180 in two steps).
constexpr float kCameraDegToRad = 3.1415927f * 0.0055555557f;

struct Vec3 {
    float x, y, z;
};

Vec3 normalised(Vec3 v) {
    float length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    if (length == 0.0f) return v;
    return {v.x / length, v.y / length, v.z / length};
}

float clampTo(float value, float low, float high) {
    if (value < low) return low;
    if (value > high) return high;
    return value;
}

// Rotation-mode state shared by the handlers.
struct DragState {
    bool rotating = false;
    int lastX = 0, lastY = 0;
    int savedCursor = kCursorStandard;
} g_drag;

Matrix4 lookAt(Vec3 eye, Vec3 target) {
    Vec3 f = normalised({target.x - eye.x, target.y - eye.y, target.z - eye.z});
    Vec3 s = normalised({-f.z, 0.0f, f.x});
    Vec3 u = {s.y * f.z - s.z * f.y, s.z * f.x - s.x * f.z, s.x * f.y - s.y * f.x};
    Matrix4 view = matIdentity();
    view.m[0] = s.x;  view.m[4] = s.y;  view.m[8] = s.z;
    view.m[1] = u.x;  view.m[5] = u.y;  view.m[9] = u.z;
    view.m[2] = -f.x; view.m[6] = -f.y; view.m[10] = -f.z;
    Matrix4 translate = matIdentity();
    translate.m[12] = -eye.x;
    translate.m[13] = -eye.y;
    translate.m[14] = -eye.z;
    Matrix4 mirror = matIdentity();
    mirror.m[10] = -1.0f;
    Matrix4 moved, result;
    matMultiply(view, translate, moved);
    matMultiply(moved, mirror, result);
    return result;
}

}  // namespace

// --- Camera ---

void updateCamera(CScene& scene) {
    const MapHeader& h = scene.map->header();
    scene.targetX = scene.cellX * kCameraCellSize + 2.5f - static_cast<float>(h.cubesWide) * 5.0f;
    scene.targetZ = -(scene.cellY * kCameraCellSize + 2.5f - static_cast<float>(h.cubesHigh) * 5.0f);
    int column = saturatingTrunc(scene.cellX), row = saturatingTrunc(scene.cellY);
    float height = 0.0f;
    if (column >= 0 && column <= 0xFFFF && row >= 0 && row <= 0xFFFF)
        height = scene.map->VKCellGetHeight(scene.layer, static_cast<std::uint16_t>(column),
                                            static_cast<std::uint16_t>(row));
    scene.targetHeight = -height;
    scene.cameraChanged = false;

    float radians = scene.angle * kCameraDegToRad;
    scene.eyeX = tableCos(radians) * scene.distance + scene.targetX;
    // A map whose VertMin lies below 0 lets a drag take the factor there: its
    // root would make the eye NaN and the whole view black.
    const float vertical = scene.vertical > 0.0f ? scene.vertical : 0.0f;
    scene.eyeHeight = 0.5f * scene.distance * std::sqrt(vertical) + 2.0f * scene.targetHeight;
    scene.eyeZ = tableSin(radians) * scene.distance + scene.targetZ;

    scene.modelView = lookAt({scene.eyeX, scene.eyeHeight, scene.eyeZ},
                             {scene.targetX, scene.targetHeight, scene.targetZ});
    matMultiply(scene.modelView, scene.world, scene.groundView);

    if (scene.targetX != scene.lastTargetX) {
        if (std::fabs(scene.targetX - scene.lastTargetX) > 0.5f) scene.recalc = true;
    } else if (scene.targetZ != scene.lastTargetZ) {
        if (std::fabs(scene.targetZ - scene.lastTargetZ) > 0.5f) scene.recalc = true;
    } else if (scene.lastDistance - scene.distance >= 25.0f ||
               scene.distance - scene.lastDistance >= 20.0f) {
        scene.recalc = true;
    }
}

// --- Mouse handlers ---

void cameraWheel(int steps) {
    CScene* scene = activeScene();
    if (!scene) return;
    scene->distance = clampTo(scene->distance + static_cast<float>(steps) * 5.0f,
                              scene->limits.distMin, scene->limits.distMax);
    scene->cursorChanged = true;
    scene->cameraChanged = true;
}

int cameraMouseMove(int x, int y) {
    CScene* scene = activeScene();
    if (!scene) return 0;
    scene->cursorChanged = true;
    if (!g_drag.rotating) {
        g_drag.lastX = x;
        g_drag.lastY = y;
        return 0;
    }
    CRConf* conf = CRConf::instance();
    float rot = conf ? conf->GetFloat(RCONF_MOUSECAMROTSENSITIVITY) : 0.0f;
    float vert = conf ? conf->GetFloat(RCONF_MOUSECAMVERTSENSITIVITY) : 0.0f;
    float dist = conf ? conf->GetFloat(RCONF_MOUSECAMDISTSENSITIVITY) : 0.0f;
    const CameraLimits& limits = scene->limits;
    scene->angle += rot * static_cast<float>(x - g_drag.lastX);
    if (scene->angle > 360.0f) scene->angle -= 360.0f;
    if (scene->angle < 0.0f) scene->angle += 360.0f;
    scene->vertical += vert * static_cast<float>(y - g_drag.lastY);
    scene->cameraChanged = true;
    scene->distance += dist * static_cast<float>(y - g_drag.lastY);
    if (limits.lockAngle) scene->angle = clampTo(scene->angle, limits.angleMin, limits.angleMax);
    scene->vertical = clampTo(scene->vertical, limits.vertMin, limits.vertMax);
    scene->distance = clampTo(scene->distance, limits.distMin, limits.distMax);
    g_drag.lastX = x;
    g_drag.lastY = y;
    return 1;
}

void cameraMouseButton(int button, int action) {
    CScene* scene = activeScene();
    if (!scene) return;
    if (button == 0 && action == 1) {
        if (!scene->cursor.valid) return;
        SetVKCellPos(*scene, static_cast<float>(scene->cursor.column),
                     static_cast<float>(scene->cursor.row));
        const float a[4] = {1.0f, 0.0f, 0.0f, 1.0f};
        const float b[4] = {0.7f, 0.4f, 0.0f, 1.0f};
        startBlink(*scene, a, b);
    } else if (button == 1 && action == 1) {
        g_drag.rotating = true;
        g_drag.savedCursor = cursorType();
        setCursorType(kCursorCamera);
    } else if (button == 1 && action == 0) {
        g_drag.rotating = false;
        setCursorType(g_drag.savedCursor);
    }
}

// --- Cell cursor ---

void pickCellAt(CScene& scene, float mx, float my, float depth, float width, float height,
                const float* projection) {
    Matrix4 proj, both, inverse;
    for (int i = 0; i < 16; ++i) proj.m[i] = projection[i];
    matMultiply(proj, scene.groundView, both);
    if (!matInverse(both, inverse)) return;
    float in[4] = {mx / width * 2.0f - 1.0f, (height - my) / height * 2.0f - 1.0f,
                   depth * 2.0f - 1.0f, 1.0f};
    float out[4];
    for (int r = 0; r < 4; ++r)
        out[r] = inverse.m[r] * in[0] + inverse.m[4 + r] * in[1] + inverse.m[8 + r] * in[2] +
                 inverse.m[12 + r] * in[3];
    if (out[3] != 0.0f)
        for (int i = 0; i < 3; ++i) out[i] /= out[3];

    const MapHeader& h = scene.map->header();
    // Saturating conversions: a degenerate header (cube size 0) gives
    // infinities or NaN here, which must not reach an integer cast.
    int column = saturatingTrunc(h.cellsPerCubeX * out[0] / h.cubeSize);
    int row = saturatingTrunc(h.cellsPerCubeY * out[1] / h.cubeSize);
    if (column >= h.cellsWide || row >= h.cellsHigh || column <= 0 || row <= 0) return;
    CellCursor& cursor = scene.cursor;
    if (column == cursor.column && row == cursor.row) {
        scene.cursorChanged = false;
        return;
    }
    cursor.column = column;
    cursor.row = row;
    const VKCell* cell = scene.map->cellAt(scene.layer, column, row);
    if (!cell || cell->blocked()) {
        cursor.valid = false;
        return;
    }
    cursor.valid = true;
    float cw = h.cubeSize / h.cellsPerCubeX, ch = h.cubeSize / h.cellsPerCubeY;
    cursor.x0 = static_cast<float>(column) * cw;
    cursor.x1 = static_cast<float>(column + 1) * cw;
    cursor.y0 = static_cast<float>(row) * ch;
    cursor.y1 = static_cast<float>(row + 1) * ch;
    for (int i = 0; i < 4; ++i) cursor.height[i] = cell->height(i) - 0.1f;
    const float quad[4][3] = {{cursor.x0, cursor.y0, cursor.height[0]},
                              {cursor.x1, cursor.y0, cursor.height[1]},
                              {cursor.x1, cursor.y1, cursor.height[3]},
                              {cursor.x0, cursor.y1, cursor.height[2]}};
    for (int v = 0; v < 4; ++v)
        for (int k = 0; k < 3; ++k) cursor.vertex[v][k] = quad[v][k];
    scene.cursorChanged = false;
}

void pickCellCursor(CScene& scene, const float* projection) {
    const RenderCaps& caps = renderCaps();
    int x = cursorX(), y = caps.height - cursorY();
    // Outside the framebuffer there is no depth to read; the pick waits.
    if (x < 0 || y < 0 || x >= caps.width || y >= caps.height) return;
    float mx = static_cast<float>(cursorX()), my = static_cast<float>(cursorY());
    float depth = 1.0f;
    glReadPixels(x, y, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
    pickCellAt(scene, mx, my, depth, caps.widthF, caps.heightF, projection);
}

// --- Click blink ---

void startBlink(CScene& scene, const float colourA[4], const float colourB[4]) {
    ClickBlink& blink = scene.blink;
    for (int v = 0; v < 4; ++v)
        for (int k = 0; k < 3; ++k) blink.vertex[v][k] = scene.cursor.vertex[v][k];
    blink.calls = 0;
    blink.limit = 6;
    for (int k = 0; k < 4; ++k) {
        blink.colour[0][k] = colourA[k];
        blink.colour[1][k] = colourB[k];
    }
    blink.active = true;
    CTimer* timer = CTimer::instance();
    if (!timer) return;
    int previous = blink.timerEvent.exchange(-1);
    if (previous != -1) timer->Cancel(previous);
    std::int64_t now = PerfClock::isCreated() ? PerfClock::milliseconds() : 0;
    blink.timerEvent = timer->Add(now + 200, 200, 6, blinkEvent, &scene);
}

void blinkEvent(int, void* userData, int) {
    ClickBlink& blink = static_cast<CScene*>(userData)->blink;
    int calls = blink.calls.load(std::memory_order_relaxed);
    blink.colourIndex.store(calls % 2 == 1 ? 1 : 0, std::memory_order_relaxed);
    ++calls;
    blink.calls.store(calls, std::memory_order_relaxed);
    if (calls >= blink.limit) {
        blink.active = false;
        blink.timerEvent = -1;
    }
}

}  // namespace scene
}  // namespace velmar
