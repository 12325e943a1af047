// The draw front end: the two projection set-ups of the client (a perspective
// 3D mode for the scene and a 2D mode in window pixels, origin top left, for
// everything on top), the per-frame draw (scene, GUI, mouse cursor, statistics
// overlay) and the two overlay fonts.
//
// The front end owns its display lists, the kept copy of the 3D projection and
// the fonts; DrawInit makes them and Shutdown frees them. Everything under
// `Draw` runs on the main thread with the rendering context current. The pure
// rules (projection matrices, overlay size and colours, statistics line texts)
// need no GL and may be called from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "client/assets/font.h"

namespace velmar {
class CRConf;
}

namespace velmar::scene {

// --- Projections ---
using Matrix16 = std::array<float, 16>;  // column-major, as GL takes it

// The near-plane half-height is this entry of the tangent table, a vertical
// half-angle of about 12.5 degrees.
constexpr int kHalfFovTableIndex = 568;
constexpr float kDepthScale = -1.0028612f;   // (far + near) / (near - far), near 1, far 700
constexpr float kDepthOffset = -2.0028612f;  // 2 * far * near / (near - far)

// The trigonometric tables must be filled. Window sizes must be above 0.
Matrix16 projection3D(float width, float height);
Matrix16 projection2D(float width, float height);

// --- Overlay rules ---
struct OverlaySwitches {
    bool fpsLine = false;     // Stat_FPS
    bool sceneStats = false;  // Stat_Scene
};

constexpr int kOverlayFpsHeight = 18;
constexpr int kOverlayNoSceneHeight = 30;
constexpr int kOverlaySceneHeight = 162;
constexpr int kOverlayNarrowWidth = 55;
constexpr int kOverlayWideWidth = 255;
constexpr int kOverlayLineStep = 12;

// Background height in pixels; 0 draws no overlay at all.
int overlayHeight(OverlaySwitches switches, bool sceneActive);
// The narrow background only behind the FPS line alone.
int overlayWidth(int height);

enum class DrawCallColour { White, Orange, Red };
constexpr int kDrawCallsOrange = 251;
constexpr int kDrawCallsRed = 1001;
DrawCallColour drawCallColour(int averageDrawCalls);

// --- Scene statistics ---
// Filled by the scene and the camera; the water frame is written by another
// thread and read here without a lock.
struct SceneStats {
    const char* rmapName = "";
    float targetX = 0.0f, targetZ = 0.0f, targetHeight = 0.0f;
    float cellColumn = 0.0f, cellRow = 0.0f;
    float cameraAngle = 0.0f, cameraDistance = 0.0f, cameraVertical = 0.0f;
    float eyeX = 0.0f, eyeHeight = 0.0f, eyeZ = 0.0f;
    int pickedColumn = 0, pickedRow = 0;
    bool cellCursorValid = false;
    int cubes = 0;
    int water = 0;
    std::atomic<int> waterFrame{0};
    int models = 0;
    unsigned modelFaces = 0;
};
SceneStats& sceneStats();

// The values of the statistics lines that come from outside the scene.
struct OverlayReadings {
    int mouseX = 0, mouseY = 0;
    double tick = 0.0;         // timer seconds
    int drawCallsPerFrame = 0;
};

constexpr int kSceneLines = 12;
struct SceneLines {
    char text[kSceneLines][kFontTextBuffer];
    std::size_t length[kSceneLines];
};
// The twelve lines below the scene title, top to bottom; the last one is the
// draw-call average.
void formatSceneLines(const SceneStats& stats, const OverlayReadings& readings, SceneLines* out);

// --- Front end (main thread) ---
namespace Draw {

// The GL state every frame relies on and nothing changes for long: depth
// test, smooth shading, 2D textures, alpha blending, the quality hints and
// the point, line and polygon smoothing the settings ask for. Once, right
// after the capability check.
void SetRenderState(CRConf& conf);

// Needs the texture manager's default texture to be GL name 1 and the GUI to
// start; either failing is logged at the critical level and ends the process
// with code 1. Leaves the front end in 2D-only mode.
void DrawInit();
// On: draw the scene in 3D mode from the next frame. Off (only while on):
// back to 2D-only mode at once.
void Enable3D(bool on);
bool is3D();
// Once per main-loop pass, between clearing and swapping the buffers.
void DrawFrame();
// Frees fonts, lists, the projection copy and the default texture reference.
// Safe without DrawInit and when called twice.
void Shutdown();
// GL_MULTISAMPLE on or off, only when multisampling is in use.
void Multisampling(bool on);

// The kept 3D projection for picking; null outside DrawInit .. Shutdown.
const float* projection3DCopy();

// The scene draw of 3D mode; none draws nothing.
using SceneDrawHook = void (*)();
void setSceneDraw(SceneDrawHook hook);

// The overlay of a frame (background, FPS line, scene statistics) drawn with
// `font`; the 2D projection is current.
void drawOverlay(const rFont& font, OverlaySwitches switches, bool sceneActive);

}  // namespace Draw

}  // namespace velmar::scene
