// The demo's first map: a generated landscape of 192 x 224 vk-cells in two
// layers (the ground, and the same ground with the lake's cells walkable at
// the water surface, for boats), rolling hills, a plateau with cliff walls,
// a low stone wall, a lake of water cubes, cells blocked on cliffs, in the
// water and under models, shading lightmaps (alpha only, and colour with
// alpha) and a few dozen placed models around the cell where the client
// puts its cursor at start.
//
// writeDemoMap writes data/map/<kFirstMapName>.rmap and the map's ini
// data/map/<kFirstMapName>.ini into a game directory; the caller writes what
// the map refers to (Textures.def with the ground textures, model.def with
// the models, Water.ini with the water type), which demoMapContent lists.
// No clock, no unseeded randomness, no unordered containers: the same
// bytes on every run. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/scene/first_map.h"
#include "tools/contentkit/byte_io.h"
#include "tools/contentkit/ini_writer.h"
#include "tools/contentkit/rmap_writer.h"

namespace contentkit {

// The map the client creates its scene for at start-up.
constexpr const char* kFirstMapName = velmar::scene::kFirstMapName;
// The RMAP file the map's ini names under RMap: the map name and ".rmap".
constexpr const char kFirstMapRmap[] = "Lakeside.rmap";

// What the ground textures show, for the texture generator.
// Planks is known to the texture generator; the current map uses none.
enum class GroundLook { Grass, Rock, Sand, CliffWall, Planks };

struct GroundTexture {
    std::int32_t id = 0;
    GroundLook look = GroundLook::Grass;
};

struct DemoMapContent {
    std::vector<GroundTexture> groundTextures;  // in the map's texture order
    std::vector<std::int32_t> textureIds;       // the same IDs, ascending
    std::vector<std::int32_t> modelIds;         // placed model IDs, ascending, distinct
    std::vector<int> waterTypes;                // "Water_<n>" sections the map needs
    std::string rmapPath;                       // relative to the game directory
    std::string iniPath;
};

// The IDs and paths without building anything.
DemoMapContent demoMapContent();

// The map as a description and as file bytes.
RmapMap buildDemoRmap();
bool buildDemoMapFiles(Bytes* rmap, Bytes* ini, std::string* error);

// Writes both files under gameDir (folders created when missing, files
// replaced). False with a message on the first failure.
bool writeDemoMap(const std::string& gameDir, std::string* error);
bool writeDemoMap(const std::string& gameDir, DemoMapContent* content, std::string* error);

}  // namespace contentkit
