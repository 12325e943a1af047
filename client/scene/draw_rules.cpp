// The GL-free rules of the draw front end.
#include <cstdarg>

#include "client/core/vmath.h"
#include "client/scene/draw.h"

namespace velmar::scene {

namespace {

static_assert(static_cast<int>(kRadToTableIndex * 0.21816616f) == kHalfFovTableIndex,
              "the half field of view is table entry trunc(2607.5945 * 0.21816616)");

std::size_t formatLine(char (&buffer)[kFontTextBuffer], const char* format, ...)
    __attribute__((format(printf, 2, 3)));

std::size_t formatLine(char (&buffer)[kFontTextBuffer], const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::size_t length = formatFontText(buffer, format, args);
    va_end(args);
    return length;
}

}  // namespace

// --- Projections ---

Matrix16 projection3D(float width, float height) {
    const float h = tangentTable()[kHalfFovTableIndex];
    const float aspect = width / height;
    Matrix16 m{};
    m[0] = 2.0f / (2.0f * h * aspect);
    m[5] = 2.0f / (2.0f * h);
    m[10] = kDepthScale;
    m[11] = -1.0f;
    m[14] = kDepthOffset;
    return m;
}

Matrix16 projection2D(float width, float height) {
    Matrix16 m{};
    m[0] = 2.0f / width;
    m[5] = -2.0f / height;
    m[10] = -1.0f;
    m[12] = -1.0f;
    m[13] = 1.0f;
    m[15] = 1.0f;
    return m;
}

// --- Overlay rules ---

int overlayHeight(OverlaySwitches switches, bool sceneActive) {
    int height = switches.fpsLine ? kOverlayFpsHeight : 0;
    if (switches.sceneStats) height += sceneActive ? kOverlaySceneHeight : kOverlayNoSceneHeight;
    return height;
}

int overlayWidth(int height) {
    return height == kOverlayFpsHeight ? kOverlayNarrowWidth : kOverlayWideWidth;
}

DrawCallColour drawCallColour(int averageDrawCalls) {
    if (averageDrawCalls >= kDrawCallsRed) return DrawCallColour::Red;
    if (averageDrawCalls >= kDrawCallsOrange) return DrawCallColour::Orange;
    return DrawCallColour::White;
}

// --- Scene statistics ---

SceneStats& sceneStats() {
    static SceneStats stats;
    return stats;
}

void formatSceneLines(const SceneStats& s, const OverlayReadings& r, SceneLines* out) {
    const char* name = s.rmapName ? s.rmapName : "";
    std::size_t* n = out->length;
    auto& t = out->text;
    n[0] = formatLine(t[0], "RName: %s", name);
    n[1] = formatLine(t[1], "Position: %f %f %f", s.targetX, s.targetZ, s.targetHeight);
    n[2] = formatLine(t[2], "CellPos: %f %f", s.cellColumn, s.cellRow);
    n[3] = formatLine(t[3], "Camera: A:%f D:%f V:%f ", s.cameraAngle, s.cameraDistance,
                      s.cameraVertical);
    n[4] = formatLine(t[4], "Eye: %f %f %f", s.eyeX, s.eyeHeight, s.eyeZ);
    n[5] = formatLine(t[5], "Mouse: %d %d", r.mouseX, r.mouseY);
    n[6] = formatLine(t[6], "CellCursor: %d %d [%s]", s.pickedColumn, s.pickedRow,
                      s.cellCursorValid ? "Yes" : "No");
    n[7] = formatLine(t[7], "Cubes: %d", s.cubes);
    n[8] = formatLine(t[8], "Water: %d [F: %d]", s.water,
                      s.waterFrame.load(std::memory_order_relaxed));
    n[9] = formatLine(t[9], "Model: %d (Faces: %u)", s.models, s.modelFaces);
    n[10] = formatLine(t[10], "Tick: %f", r.tick);
    n[11] = formatLine(t[11], "Drawcalls: %d", r.drawCallsPerFrame);
}

}  // namespace velmar::scene
