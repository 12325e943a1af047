// The scene draw of a frame: camera update, visible-set recalculation, then
// ground, lightmap pass, models, animated water, cell cursor and click blink,
// with the cell cursor pick before or after depending on the detection
// mode. Acts on the active scene; nothing without one. Main thread, called
// by the draw front end with the 3D projection loaded.
#pragma once

#include "client/scene/scene.h"

namespace velmar {
namespace scene {

void drawActiveScene();

// The four vertices of the water quad at ground cube (x, y), with their
// texture coordinates: x, y, z, s, t each.
struct WaterVertex {
    float x, y, z, s, t;
};
void waterQuad(const CScene& scene, int x, int y, WaterVertex out[4]);

}  // namespace scene
}  // namespace velmar
