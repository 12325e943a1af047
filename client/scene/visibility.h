// The visible set of the active scene: which render cubes, water and placed
// models lie around the camera target, rebuilt only when the camera moved
// far enough. No GL; main thread.
#pragma once

#include "client/scene/scene.h"

namespace velmar {
namespace scene {

// The model's test rectangle reaches k times its scale around its position.
constexpr float kModelTestExtent = -15.0f;

void Recalc_ViewableCubes(CScene& scene);

// Whether a model at (x, z) with scale (sx, sz) counts as visible in the
// view square [minX, maxX] x [minY, maxY].
bool modelInViewSquare(float x, float z, float sx, float sz, float minX, float maxX, float minY,
                       float maxY);

}  // namespace scene
}  // namespace velmar
