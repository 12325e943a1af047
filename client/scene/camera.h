// The orbit camera around the selected cell, the mouse handlers the input
// layer forwards to the scene, the cell cursor pick and the click blink.
// Everything acts on the active scene and does nothing without one. Main
// thread, except the blink's timer event.
#pragma once

#include "client/scene/scene.h"

namespace velmar {
namespace scene {

// A vk-cell's width in the camera formulas, whatever the map header says.
constexpr float kCameraCellSize = 5.0f;

// Recomputes target, eye and the two view matrices; decides whether the
// visible set must be recalculated.
void updateCamera(CScene& scene);

// The mouse, as the input layer hands it on after the GUI declined it.
void cameraWheel(int steps);
// Returns 1 when the movement rotated the camera.
int cameraMouseMove(int x, int y);
// Button 0 left, 1 right; action 1 press, 0 release.
void cameraMouseButton(int button, int action);

// The pick from a depth value at window pixel (mx, my), in a window of
// width x height, with the 3D projection `projection` (column-major).
void pickCellAt(CScene& scene, float mx, float my, float depth, float width, float height,
                const float* projection);
// Reads the depth under the mouse cursor and picks (GL context current).
void pickCellCursor(CScene& scene, const float* projection);

void startBlink(CScene& scene, const float colourA[4], const float colourB[4]);
// The blink's timer event.
void blinkEvent(int id, void* scene, int extra);

}  // namespace scene
}  // namespace velmar
