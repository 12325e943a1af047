// Builds RMAP bytes for the tests, written from the file layout on its own
// (independent of the reader and of the content tool's writer).
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "client/scene/rmap.h"

namespace velmar {
namespace scene {
namespace test {

struct Bytes {
    std::vector<std::uint8_t> b;
    void u8(int v) { b.push_back(static_cast<std::uint8_t>(v)); }
    void u16(int v) { u8(v & 0xFF); u8((v >> 8) & 0xFF); }
    void i32(std::int64_t v) {
        for (int i = 0; i < 4; ++i) u8(static_cast<int>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xFF));
    }
    void f32(float v) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        i32(bits);
    }
};

struct MapSpec {
    int cellsWide = 2, cellsHigh = 2, cubesWide = 1, cubesHigh = 1;
    float cubeSize = 10.0f;
    int hasWater = 0, layerCount = 0, cellsPerLayer = 0;
    int lightmapCount = 0, lightmapWidth = 0, lightmapHeight = 0;
    int textureCount = 0, tileCount = 0, cubeCount = 0, modelCount = 0;
    int soundEffectCount = 0, effectCount = 0, meshCount = 0, lightCount = 0;
    int groundPassCount = 1;
};

inline Bytes header(const MapSpec& s, int version = 6) {
    Bytes out;
    out.b = {'R', 'M', 'A', 'P'};
    out.u16(version);
    out.u16(s.cellsWide);
    out.u16(s.cellsHigh);
    out.i32(s.cubesWide);
    out.i32(s.cubesHigh);
    out.f32(s.cubeSize);
    out.u8(3);          // water type
    out.f32(1.5f);      // water level
    out.u8(s.hasWater);
    out.i32(0);
    out.i32(0);
    for (int i = 0; i < 3; ++i) out.f32(0.0f);
    out.f32(0.25f);
    out.f32(0.5f);
    out.f32(0.75f);
    out.f32(0.0f);
    out.u8(s.layerCount);
    for (int v : {s.cellsPerLayer, s.lightmapCount, s.lightmapWidth, s.lightmapHeight,
                  s.textureCount, s.groundPassCount, s.tileCount, s.cubeCount, s.modelCount,
                  s.soundEffectCount, s.effectCount, s.meshCount, s.lightCount})
        out.i32(v);
    return out;
}

inline void tile(Bytes& out, int texture, int lightmap) {
    for (int i = 0; i < 8; ++i) out.f32(0.125f * static_cast<float>(i));
    for (int i = 0; i < 4; ++i) out.u8(i);
    out.i32(texture);
    out.i32(lightmap);
}

inline void cube(Bytes& out, std::int64_t wallY, std::int64_t wallX, std::int64_t top, int water = 1) {
    for (int i = 0; i < 4; ++i) out.f32(static_cast<float>(i));
    out.u8(water);
    out.i32(wallY);
    out.i32(wallX);
    out.i32(top);
}

inline void model(Bytes& out, float x, float y, float z, float rz, int kind) {
    for (float v : {x, y, z, 0.0f, 0.0f, rz, 1.0f, 1.0f, 1.0f}) out.f32(v);
    out.u8(kind);
    out.i32(7);
    out.i32(99);
}

// A flat map of cubesWide x cubesHigh cubes, each with a top tile of ground
// texture 0 and `cellsPerCube` cells across; layer L lies at height L * 10.
// Cells for which `blocked` answers true are not walkable; with `water`
// every cube carries water.
inline Bytes flatMap(int cubesWide, int cubesHigh, int cellsPerCube, int layers, float cubeSize,
                     bool water, const std::function<bool(int, int)>& blocked = nullptr) {
    MapSpec s;
    s.cubesWide = cubesWide;
    s.cubesHigh = cubesHigh;
    s.cellsWide = cubesWide * cellsPerCube;
    s.cellsHigh = cubesHigh * cellsPerCube;
    s.cubeSize = cubeSize;
    s.hasWater = water ? 1 : 0;
    s.layerCount = layers;
    s.cellsPerLayer = s.cellsWide * s.cellsHigh;
    s.textureCount = 1;
    s.tileCount = 1;
    s.cubeCount = cubesWide * cubesHigh;
    Bytes out = header(s);
    for (int layer = 0; layer < layers; ++layer)
        for (int y = 0; y < s.cellsHigh; ++y)
            for (int x = 0; x < s.cellsWide; ++x) {
                for (int k = 0; k < 4; ++k) out.f32(static_cast<float>(layer * 10));
                out.u8(blocked && blocked(x, y) ? 0 : 1);
            }
    out.i32(1);
    tile(out, 0, 0);
    for (int i = 0; i < s.cubeCount; ++i) {
        for (int k = 0; k < 4; ++k) out.f32(0.0f);
        out.u8(water ? 1 : 0);
        out.i32(kNoTile);
        out.i32(kNoTile);
        out.i32(0);
    }
    return out;
}

}  // namespace test
}  // namespace scene
}  // namespace velmar
