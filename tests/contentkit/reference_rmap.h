// A map file reader written for the tests only, from the file layout and
// not from the writer: every field at its documented offset, the segments in
// file order, each record read back field by field. It refuses (returns
// false) a file that ends inside a segment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace reference {

struct RmapFileHeader {
    std::uint32_t magic = 0;
    std::uint16_t version = 0, cellsWide = 0, cellsHigh = 0;
    std::int32_t cubesWide = 0, cubesHigh = 0;
    float cubeSize = 0;
    std::uint8_t waterType = 0;
    float waterLevel = 0;
    std::uint8_t hasWater = 0;
    std::int32_t reserved1 = 0, reserved2 = 0;
    std::array<float, 3> reservedColour{}, sceneTint{};
    float reservedFactor = 0;
    std::uint8_t layerCount = 0;
    std::int32_t cellsPerLayer = 0, lightmapCount = 0, lightmapWidth = 0, lightmapHeight = 0;
    std::int32_t textureCount = 0, groundPassCount = 0, tileCount = 0, cubeCount = 0, modelCount = 0;
    std::int32_t soundEffectCount = 0, effectCount = 0, meshCount = 0, lightCount = 0;
};

struct RmapFileCell {
    std::array<float, 4> heights{};
    std::uint8_t walkable = 0;
};

struct RmapFileTile {
    std::array<float, 4> u{}, v{};
    std::array<std::uint8_t, 4> colour{};
    std::int32_t texture = 0, lightmap = 0;
};

struct RmapFileCube {
    std::array<float, 4> heights{};
    std::uint8_t water = 0;
    std::int32_t tiles[3] = {0, 0, 0};  // +y wall, +x wall, top
};

struct RmapFileMesh {
    std::int32_t word = 0;
    std::uint8_t flags = 0;
    std::array<float, 9> kept1{};
    std::array<float, 3> p{}, q{};
    float kept2 = 0;
    std::array<float, 3> kept3{}, kept4{};
    std::int32_t faceCount = 0, keyCount = 0;
    std::vector<std::array<float, 9>> faceVertices;
    std::vector<std::array<std::uint8_t, 36>> faceExtra;
    std::vector<std::int32_t> faceTextures;
    std::vector<std::int32_t> keyWords;
    std::vector<std::array<float, 4>> keyValues;
};

struct RmapFileModel {
    std::array<float, 9> floats{};  // position, rotation, scale
    std::uint8_t kind = 0;
    std::int32_t modelId = 0, unused = 0;
};

struct RmapFile {
    RmapFileHeader header;
    std::vector<std::vector<RmapFileCell>> layers;
    std::vector<std::uint8_t> lightmapFlags, lightmapTexels;
    std::vector<std::int32_t> textures;
    std::vector<RmapFileTile> tiles;
    std::vector<RmapFileCube> cubes;
    std::vector<RmapFileMesh> meshes;
    std::vector<RmapFileModel> models;
    std::vector<std::array<std::uint8_t, 112>> soundEffects;
    std::vector<std::array<std::uint32_t, 4>> effects;
    std::vector<std::array<std::uint32_t, 6>> lights;
    std::size_t end = 0;  // offset after the last segment
};

bool readRmap(const std::vector<std::uint8_t>& file, RmapFile* out);

}  // namespace reference
