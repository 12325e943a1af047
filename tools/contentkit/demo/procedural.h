// Procedural pictures for demo content: tileable grass, rock and water
// frames (the last frame wraps back to the first), mouse cursors with a
// transparent background, a checker board and a splash picture.
//
// Every generator is a pure function of its arguments (a seed where there is
// noise): the same call gives the same pixels on every run. Stateless.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/contentkit/formats/image.h"

namespace contentkit {

enum class CursorKind { Standard, Button, Camera };

Image makeGrass(int width, int height, std::uint32_t seed);
Image makeRock(int width, int height, std::uint32_t seed);
// Frame `frame` of `frameCount` (frame is taken modulo frameCount).
Image makeWaterFrame(int width, int height, std::uint32_t seed, int frame, int frameCount);
// Hot spot at the top-left pixel for the arrows, the centre for the camera.
Image makeCursor(CursorKind kind, int size);
Image makeChecker(int width, int height, int cell);
// A framed panel on pure white, which the launcher cuts out.
Image makeSplash(int width, int height, std::uint32_t seed);

// Pattern names accepted by makePattern, for the command line.
const std::vector<std::string>& patternNames();

struct PatternRequest {
    std::string name;
    int width = 256;
    int height = 256;
    std::uint32_t seed = 1;
    int frame = 0;
    int frameCount = 8;
};

// False with a message for an unknown name or a size outside 1..kMaxImageEdge.
bool makePattern(const PatternRequest& request, Image* out, std::string* error);

}  // namespace contentkit
