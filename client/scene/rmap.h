// CRMap: the map file ("data/map/<name>", RMAP version 6) read whole and
// turned into the in-memory map: ground cubes with tiles and ground textures,
// vk-cell layers, lightmaps, placed models, and the lists that are kept
// without further use (meshes, sound effects, effects, lights).
//
// The records that make most of a map's bytes (vk-cells, lightmaps, tiles,
// cubes) are read in place from the file as loaded, which the map keeps.
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

// A record's little-endian fields, read in place (the host is little-endian
// like the file).
inline float recordF32(const std::uint8_t* at) {
    float value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
inline std::int32_t recordI32(const std::uint8_t* at) {
    std::int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// One vk-cell as the map file stores it: four little-endian float corner
// heights, then a byte that is 0 for a blocked cell. Cells are read in
// place from the loaded file, which is most of a map's bytes: nothing is
// copied for them.
class VKCell {
public:
    // Corners 0..3: (x0,y0), (x1,y0), (x0,y1), (x1,y1).
    float height(int corner) const { return recordF32(m_record + 4 * corner); }
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

// One tile as the map file stores it, read in place: the u and v of its four
// corners, four colour bytes (kept, not used), the index of its ground
// texture (checked at load) and its lightmap index as stored (the map's
// lightmapOf() says which lightmap that is).
class Tile {
public:
    // Corners in the order [0] first vertex, [1] second, [2] fourth, [3] third.
    float u(int corner) const { return recordF32(m_record + 4 * corner); }
    float v(int corner) const { return recordF32(m_record + kRmapTileVOffset + 4 * corner); }
    std::uint8_t colour(int i) const { return m_record[kRmapTileColourOffset + i]; }
    std::int32_t textureIndex() const { return recordI32(m_record + kRmapTileTextureOffset); }
    std::int32_t storedLightmap() const { return recordI32(m_record + kRmapTileLightmapOffset); }

private:
    std::uint8_t m_record[kRmapTileBytes];
};
static_assert(sizeof(Tile) == kRmapTileBytes && alignof(Tile) == 1, "a tile is its file record");

enum class CubeFace { WallY = 0, WallX = 1, Top = 2 };  // the +y wall, the +x wall, the top

// One ground cube as the map file stores it, read in place: four corner
// heights, the water byte and the tile index of each face (checked at load:
// a tile of the map or kRmapNoTile).
class Cube {
public:
    // Corners 0..3: (x0,y0), (x1,y0), (x0,y1), (x1,y1).
    float height(int corner) const { return recordF32(m_record + 4 * corner); }
    // Only the byte 1 means water.
    bool water() const { return m_record[kRmapCubeWaterOffset] == 1; }
    std::int32_t tileIndex(CubeFace face) const {
        return recordI32(m_record + kRmapCubeFacesOffset + 4 * static_cast<int>(face));
    }

private:
    std::uint8_t m_record[kRmapCubeBytes];
};
static_assert(sizeof(Cube) == kRmapCubeBytes && alignof(Cube) == 1, "a cube is its file record");

// Records read in place from the map's bytes.
template <typename T>
class Records {
public:
    Records() = default;
    Records(const T* data, std::size_t size) : m_data(data), m_size(size) {}
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const T* data() const { return m_data; }
    const T* begin() const { return m_data; }
    const T* end() const { return m_data + m_size; }
    const T& operator[](std::size_t i) const { return m_data[i]; }

private:
    const T* m_data = nullptr;
    std::size_t m_size = 0;
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
    const Cube* cubeAt(int x, int y) const;
    // The tile on a cube's face; null for none.
    const Tile* tileOf(const Cube& cube, CubeFace face) const {
        const std::int32_t index = cube.tileIndex(face);
        return index == kNoTile ? nullptr : &m_tiles[static_cast<std::size_t>(index)];
    }
    // The ground texture record of a tile.
    GroundTexture& textureOf(const Tile& tile) {
        return m_textures[static_cast<std::size_t>(tile.textureIndex())];
    }
    // The tile's lightmap, -1 for none (a stored index not below lightmapCount).
    std::int32_t lightmapOf(const Tile& tile) const {
        const std::int32_t index = tile.storedLightmap();
        return index >= 0 && index < m_header.lightmapCount ? index : kRmapNoLightmap;
    }

    const MapHeader& header() const { return m_header; }
    const std::string& fileName() const { return m_fileName; }
    // The cells of a layer, header().cellsPerLayer of them; null for a layer
    // the map does not have.
    const VKCell* layer(int index) const {
        return index >= 0 && index < kMaxLayers ? m_layers[index] : nullptr;
    }
    // One flag byte per lightmap; the lightmaps' RGBA texels one after the other.
    Records<std::uint8_t> lightmapFlags() const { return m_lightmapFlags; }
    Records<std::uint8_t> lightmapTexels() const { return m_lightmapTexels; }
    std::vector<GroundTexture>& textures() { return m_textures; }
    Records<Tile> tiles() const { return m_tiles; }
    Records<Cube> cubes() const { return m_cubes; }
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
    // The file as loaded: cells, lightmaps, tiles and cubes are read there.
    std::uint8_t* m_bytes = nullptr;
    std::string m_fileName;
    MapHeader m_header;
    const VKCell* m_layers[kMaxLayers] = {};
    Records<std::uint8_t> m_lightmapFlags, m_lightmapTexels;
    std::vector<GroundTexture> m_textures;
    Records<Tile> m_tiles;
    Records<Cube> m_cubes;
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
