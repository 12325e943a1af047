// PrepareMap: turns a scene's loaded map into GL resources once: ground
// textures, lightmap textures, the water animation, the ground compiled into
// display lists per render cube (and the lightmap pass and cell lists where
// the render settings ask for them), the world matrix, the lightmap unit's
// state lists, and the placed models resolved through the model manager.
// Main thread, main GL context current; needs the texture and model managers.
#pragma once

#include "client/scene/scene.h"

namespace velmar {
namespace scene {

// 1 when prepared (also when it already was), 0 without a loaded map.
int PrepareMap(CScene& scene);

// The cube resolution setting clamped to 1..50.
int clampCubeResolution(int setting);
// Render cubes across `cubes` ground cubes: the quotient rounded up.
int renderCubesAcross(int cubes, int resolution);

}  // namespace scene
}  // namespace velmar
