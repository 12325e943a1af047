// CRMap: the map file ("data/map/<name>", RMAP version 6) read whole and
// turned into the in-memory map: ground cubes with tiles and ground textures,
// vk-cell layers, lightmaps, placed models, and the lists that are kept
// without further use (meshes, sound effects, effects, lights).
//
// The scene creates one map, loads it and destroys it; map preparation later
// writes GL names, sizes and model references into the arrays. Every count
// of the file is checked against the bytes really left before anything is
// allocated, and every index into another array is checked at load, so the
// lookups below stay inside their arrays whatever the header claims. No GL.
// Main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/core/vmath.h"
#include "client/scene/rmap_layout.h"
#include "client/storage/byte_reader.h"

namespace velmar {
namespace scene {

// A tile face index meaning "no tile".
constexpr std::int32_t kNoTile = kRmapNoTile;
constexpr int kMaxLayers = 256;

// One vk-cell as the map file stores it: four little-endian float corner
// heights, then a byte that is 0 for a blocked cell. Cells are read in
// place from the loaded file, which is most of a map's bytes: nothing is
// copied for them.
class VKCell {
public:
    // Corners 0..3: (x0,y0), (x1,y0), (x0,y1), (x1,y1).
    float height(int corner) const {
        float value;
        std::memcpy(&value, m_record + 4 * corner, sizeof value);
        return value;
    }
    bool blocked() const { return m_record[kRmapCellWalkableOffset] == 0; }

private:
    std::uint8_t m_record[kRmapCellBytes];
};
static_assert(sizeof(VKCell) == kRmapCellBytes && alignof(VKCell) == 1, "a vk-cell is its file record");

struct GroundTexture {
    float width = 0.0f, height = 0.0f;  // filled by map preparation
    std::int32_t textureId = 0;
    unsigned glName = 0;
};

struct Tile {
    float u[4], v[4];
    std::uint8_t colour[4];
    GroundTexture* texture;
    std::int32_t lightmap;  // -1: none
};

struct Cube {
    float height[4];
    std::uint32_t water;
    Tile* wallY;  // wall on the +y edge
    Tile* wallX;  // wall on the +x edge
    Tile* top;
};

struct MeshFace {
    float vertex[9];
    float vertexCopy[9];
    std::uint8_t opaque[36];
    GroundTexture* texture;  // null when the file's index is out of range
};

struct MeshKey {
    std::int32_t word;
    float value[4];
};

struct Mesh {
    std::int32_t word;
    bool flagA, flagB;
    float kept9[9];
    float offsetP[3], offsetQ[3];
    float kept1;
    float kept3a[3], kept3b[3];
    std::vector<MeshFace> faces;
    std::vector<MeshKey> keys;
    float boxMin[3], boxMax[3], centre[3];
};

struct PlacedModel {
    float position[3], rotation[3], scale[3];
    Matrix4 matrix;
    std::uint8_t kind;  // 0 internal, 1 external
    std::int32_t modelId;
    std::int32_t unused;
    void* model = nullptr;  // the model manager's entry, set by map preparation
    std::uint32_t faceCount = 0;  // faces of all its meshes, set with `model`
};

struct SoundEffect {
    std::uint32_t word[9];  // the words at 80, 84, 88, a zero word, the words at 92..108
};

struct MapHeader {
    std::uint16_t cellsWide = 0, cellsHigh = 0;
    std::int32_t cubesWide = 0, cubesHigh = 0;
    float cubeSize = 0.0f;
    std::uint8_t waterType = 0;
    float waterLevel = 0.0f;
    std::uint8_t hasWater = 0;
    std::int32_t reserved1 = 0, reserved2 = 0;
    float reservedColour[3] = {};
    float sceneTint[3] = {};
    float reservedFactor = 0.0f;
    std::uint8_t layerCount = 0;
    std::int32_t cellsPerLayer = 0;
    std::int32_t lightmapCount = 0, lightmapWidth = 0, lightmapHeight = 0;
    std::int32_t textureCount = 0, groundPassCount = 0, tileCount = 0, cubeCount = 0;
    std::int32_t modelCount = 0, soundEffectCount = 0, effectCount = 0, meshCount = 0;
    std::int32_t lightCount = 0;
    float cellsPerCubeX = 0.0f, cellsPerCubeY = 0.0f;  // derived
};

class CRMap {
public:
    CRMap() = default;
    ~CRMap();
    CRMap(const CRMap&) = delete;
    CRMap& operator=(const CRMap&) = delete;

    // Loads "data/map/" + fileName through LoadFileData; loaded() tells.
    void load(const char* fileName);
    // The same on bytes already in memory (`name` is for the log lines); the
    // map keeps a copy of them.
    void loadBytes(const char* name, const std::uint8_t* data, std::size_t size);
    bool loaded() const { return m_loaded; }

    // Mean of the cell's corner heights; 0 with a warning out of range.
    float VKCellGetHeight(std::uint8_t layer, std::uint16_t x, std::uint16_t y) const;

    // Null when the position lies outside the grid or beyond the records
    // the file holds.
    const VKCell* cellAt(int layer, int x, int y) const;
    Cube* cubeAt(int x, int y);
    const Cube* cubeAt(int x, int y) const;

    const MapHeader& header() const { return m_header; }
    const std::string& fileName() const { return m_fileName; }
    // The cells of a layer, header().cellsPerLayer of them; null for a layer
    // the map does not have.
    const VKCell* layer(int index) const {
        return index >= 0 && index < kMaxLayers ? m_layers[index] : nullptr;
    }
    const std::vector<std::uint8_t>& lightmapFlags() const { return m_lightmapFlags; }
    const std::vector<std::uint8_t>& lightmapTexels() const { return m_lightmapTexels; }
    std::vector<GroundTexture>& textures() { return m_textures; }
    std::vector<Tile>& tiles() { return m_tiles; }
    std::vector<Cube>& cubes() { return m_cubes; }
    const std::vector<Mesh>& meshes() const { return m_meshes; }
    std::vector<PlacedModel>& models() { return m_models; }
    const std::vector<SoundEffect>& soundEffects() const { return m_soundEffects; }
    const std::vector<std::array<std::uint32_t, 4>>& effects() const { return m_effects; }
    const std::vector<std::array<std::uint32_t, 6>>& lights() const { return m_lights; }

private:
    using Reader = ByteReader;
    bool loadV6(Reader& in);
    bool loadV1VKCells(Reader& in);
    bool LoadV1LightMaps(Reader& in);
    bool loadV1Textures(Reader& in);
    bool loadV2Tiles(Reader& in);
    bool loadV1Cubes(Reader& in);
    bool loadV1Meshes(Reader& in);
    bool readMeshLists(Reader& in, Mesh& mesh, std::int32_t faceCount, std::int32_t keyCount);
    bool loadV2Models(Reader& in);
    bool loadV3SoundEffects(Reader& in);
    bool loadV1Effects(Reader& in);
    bool loadV1Lights(Reader& in);
    // Takes `data` (a block of the program's heap) as the map's bytes.
    void loadOwned(const char* name, std::uint8_t* data, std::size_t size);
    void clear();

    bool m_loaded = false;
    std::uint8_t* m_bytes = nullptr;  // the file as loaded; the cells point into it
    std::string m_fileName;
    MapHeader m_header;
    const VKCell* m_layers[kMaxLayers] = {};
    std::vector<std::uint8_t> m_lightmapFlags, m_lightmapTexels;
    std::vector<GroundTexture> m_textures;
    std::vector<Tile> m_tiles;
    std::vector<Cube> m_cubes;
    std::vector<Mesh> m_meshes;
    std::vector<PlacedModel> m_models;
    std::vector<SoundEffect> m_soundEffects;
    std::vector<std::array<std::uint32_t, 4>> m_effects;
    std::vector<std::array<std::uint32_t, 6>> m_lights;
};

// The placed model's matrix: translate (x, -y, z), rotate -rz about z, -rx
// about x, ry about y, scale (sx, -sy, sz), with the table sines.
Matrix4 placedModelMatrix(const float position[3], const float rotation[3],
                          const float scale[3]);

}  // namespace scene
}  // namespace velmar
