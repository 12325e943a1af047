// RMAP writer: an in-memory description of a version-6 world map (header,
// vk-cell layers, lightmaps, ground textures, tiles, cubes, meshes, placed
// models, sound effects, effects, lights) and the byte layout the client's
// map loader parses: little-endian, packed records, segments back to back.
//
// The counts of the header come from the sizes of the description's lists,
// so they cannot disagree with the records. Before writing, the description
// is checked against everything the client relies on without checking it
// itself (index ranges, grid sizes, finite numbers, a file the loader's
// signed 32-bit size checks can measure); a faulty description gives a
// message and no bytes. Plain values; stateless functions; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/scene/rmap_layout.h"
#include "tools/contentkit/formats/byte_io.h"

namespace contentkit {

// The byte layout is the client's, stated once.
using velmar::kRmapMagic;
using velmar::kRmapVersion;
using velmar::kRmapHeaderEnd;
using velmar::kRmapCellBytes;
using velmar::kRmapTextureBytes;
using velmar::kRmapTileBytes;
using velmar::kRmapCubeBytes;
using velmar::kRmapMeshFixedBytes;
using velmar::kRmapFaceBytes;
using velmar::kRmapKeyBytes;
using velmar::kRmapModelBytes;
using velmar::kRmapSoundEffectBytes;
using velmar::kRmapEffectBytes;
using velmar::kRmapLightBytes;
using velmar::kRmapMaxLayers;
using velmar::kRmapNoTile;
using velmar::kRmapNoLightmap;
using velmar::kLightmapAlpha;
using velmar::kLightmapColour;
using velmar::kModelInternal;
using velmar::kModelExternal;

// Corner order of every height quadruple: (x0, y0), (x1, y0), (x0, y1),
// (x1, y1), where x0, y0 are the smaller column and row.
using CornerHeights = std::array<float, 4>;

struct RmapCell {
    CornerHeights heights{};
    bool walkable = true;
};

struct RmapLightmap {
    std::uint8_t flags = 0;
    Bytes texels;  // lightmapWidth * lightmapHeight RGBA texels, rows in order
};

struct RmapTile {
    // Corners [0] first vertex, [1] second, [2] fourth, [3] third of the face.
    std::array<float, 4> u{}, v{};
    std::array<std::uint8_t, 4> colour{};
    std::int32_t texture = 0;  // index into RmapMap::textures
    std::int32_t lightmap = kRmapNoLightmap;
};

struct RmapCube {
    CornerHeights heights{};
    bool water = false;
    std::int32_t wallY = kRmapNoTile;  // wall on the +y edge, towards row y + 1
    std::int32_t wallX = kRmapNoTile;  // wall on the +x edge, towards column x + 1
    std::int32_t top = kRmapNoTile;
};

struct RmapFace {
    std::array<float, 9> vertices{};       // three (x, y, z)
    std::array<std::uint8_t, 36> extra{};  // not read by the client
    std::int32_t texture = 0;              // index into RmapMap::textures
};

struct RmapMeshKey {
    std::int32_t word = 0;
    std::array<float, 4> values{};
};

struct RmapMesh {
    std::int32_t word = 0;
    bool flagA = false, flagB = false;
    std::array<float, 9> kept1{};
    std::array<float, 3> offsetP{}, offsetQ{};
    float kept2 = 0.0f;
    std::array<float, 3> kept3{}, kept4{};
    std::vector<RmapFace> faces;
    std::vector<RmapMeshKey> keys;
};

struct RmapModel {
    std::array<float, 3> position{};  // x, height, z in the centred map frame
    std::array<float, 3> rotation{};  // degrees about x, y, z
    std::array<float, 3> scale{1.0f, 1.0f, 1.0f};
    std::uint8_t kind = kModelExternal;
    std::int32_t modelId = 0;
    std::int32_t unused = 0;
};

struct RmapSoundEffect {
    std::array<std::uint8_t, 80> head{};   // not read by the client
    std::array<std::uint32_t, 8> words{};  // the words at 80 to 108
};

struct RmapMap {
    std::uint16_t cellsWide = 0, cellsHigh = 0;
    std::int32_t cubesWide = 0, cubesHigh = 0;
    float cubeSize = 10.0f;
    std::uint8_t waterType = 0;
    float waterLevel = 0.0f;
    bool hasWater = false;
    std::int32_t reserved1 = 0, reserved2 = 0;
    std::array<float, 3> reservedColour{};
    std::array<float, 3> sceneTint{1.0f, 1.0f, 1.0f};
    float reservedFactor = 0.0f;
    std::int32_t lightmapWidth = 0, lightmapHeight = 0;
    // Texture slots the ground compile visits; -1 writes the texture count.
    std::int32_t groundPassCount = -1;

    std::vector<std::vector<RmapCell>> layers;  // cellsWide * cellsHigh each, row after row
    std::vector<RmapLightmap> lightmaps;
    std::vector<std::int32_t> textures;  // texture IDs
    std::vector<RmapTile> tiles;
    std::vector<RmapCube> cubes;  // cubesWide * cubesHigh, row after row
    std::vector<RmapMesh> meshes;
    std::vector<RmapModel> models;
    std::vector<RmapSoundEffect> soundEffects;
    std::vector<std::array<std::uint32_t, 4>> effects;
    std::vector<std::array<std::uint32_t, 6>> lights;
};

// False with a message naming the first fault: grid sizes that are zero,
// negative or not a whole number of cells per cube, a layer or cube list of
// the wrong length, more than 255 layers, lightmaps of the wrong size or with
// unknown flag bits, a negative texture ID, a tile, face or cube index out of
// range, a wall on the grid's last column or row (no neighbour to meet),
// water on a map without water, a model kind other than 0 or 1, a number that
// is not finite, or a file too large for the loader's 32-bit size checks.
bool validateRmap(const RmapMap& map, std::string* error);

// Validates, then lays out the file into *out.
bool writeRmap(const RmapMap& map, Bytes* out, std::string* error);

}  // namespace contentkit
