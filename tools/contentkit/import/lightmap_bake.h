// Baked lightmaps for a map's ground: every face (cube tops and walls) gets
// a lightmap of size x size texels lit by an ambient colour, the sun (with
// the shadows of the terrain and of boxes standing for the placed models)
// and point lights that the terrain and the boxes may hide.
//
// The client lays a face's lightmap over it from texel coordinate 0.125 to
// 0.875 and draws (ground + lightmap colour) x (1 - lightmap alpha), so a
// texel keeps the light's weakest channel in its alpha (as darkness) and
// adds the rest of the colour for a ground of middling brightness. Texels
// come in steps of 8 of 255; faces whose lightmaps come out byte-equal share
// one.
//
// Map axes: x along the columns, y along the rows, z the elevation (the
// negated heights of the file). The work is split over threads by face;
// every texel depends only on the input, so the bytes do not depend on the
// number of threads. Stateless.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "tools/contentkit/formats/rmap_writer.h"

namespace contentkit {

using Rgb = std::array<double, 3>;

struct BakeSettings {
    int size = 4;                       // texels on a side, 4 to 32
    std::array<double, 3> sun{0, 0, 1}; // unit vector towards the sun, z above 0
    Rgb sunColour{1.0, 0.95, 0.85};
    Rgb ambient{0.38, 0.42, 0.52};
    double groundLevel = 0.5;  // the ground brightness the colour part is made for
};

// A placed model's box: centre on the ground at (x, y), its local x axis at
// `yaw` radians (the map's y-rotation: local x runs along (cos, -sin) in map
// axes), half its extents across, standing from `base` up by `height`.
struct BakeBox {
    double x = 0, y = 0, yaw = 0;
    double halfX = 0, halfZ = 0;
    double base = 0, height = 0;
};

struct BakeLight {
    double x = 0, y = 0, z = 0;
    Rgb colour{1, 1, 1};
    double radius = 30;  // no light at or beyond this distance
};

struct BakeStats {
    std::size_t faces = 0;
    std::size_t lightmaps = 0;
};

// Replaces the map's lightmaps and sets every face's tile to its lightmap.
// Each face must have a tile of its own (shared tiles would take the last
// face's light); false with a message otherwise, or for a size outside 4..32.
bool bakeLightmaps(RmapMap* map, const std::vector<BakeBox>& boxes, const std::vector<BakeLight>& lights,
                   const BakeSettings& settings, BakeStats* stats, std::string* error);

// The elevation of the drawn ground at map point (x, y): the top of the
// cube there, split into the two triangles the client draws.
double groundElevation(const RmapMap& map, double x, double y);

}  // namespace contentkit
