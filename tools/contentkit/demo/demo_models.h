// The demo game's models, built in memory for the RMDL writer: a tree, a
// house, a windmill whose rotor turns by key frames under a base node, and a
// crate placed with a rotation. Models stand on y = 0 and rise towards -y,
// the client's model space (it negates y when it places a model), and are a
// few world units across. Their surfaces name the model texture IDs listed here, which the
// demo's Textures.def defines.
//
// Pure functions of their arguments; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/contentkit/formats/rmdl_writer.h"

namespace contentkit {

enum class DemoModelKind { Tree, House, Windmill, Crate };

// Texture IDs the demo models use.
constexpr std::int32_t kTexBark = 201;
constexpr std::int32_t kTexLeaves = 202;
constexpr std::int32_t kTexPlaster = 203;
constexpr std::int32_t kTexRoof = 204;
constexpr std::int32_t kTexBlades = 205;
constexpr std::int32_t kTexCrate = 206;

// Milliseconds of one full turn of the windmill's rotor.
constexpr std::int32_t kWindmillTurnMs = 4000;

struct DemoModelInfo {
    DemoModelKind kind;
    const char* name;  // file stem under data/model/
};

// Every kind, in the order model IDs 1, 2, 3, 4 use them.
const std::vector<DemoModelInfo>& demoModelKinds();

// The kind for a model ID: IDs 1.. go round the list above.
DemoModelKind demoModelKindFor(std::int32_t modelId);

RmdlModel makeDemoModel(DemoModelKind kind);

}  // namespace contentkit
