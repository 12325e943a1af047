#include "client/scene/rmap.h"

#include <cstring>

#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/runtime.h"
#include "client/storage/load_file_data.h"

namespace velmar {
namespace scene {

// --- Reading ---

struct CRMap::Reader {
    const std::uint8_t* data;
    std::uint64_t size;
    std::uint64_t offset;

    std::uint64_t left() const { return size - offset; }
    // Whether `count` records of `recordSize` bytes remain; a negative count
    // never fits. 64-bit products: a count cannot wrap the check.
    bool fits(std::int64_t count, std::uint64_t recordSize) const {
        return count >= 0 && static_cast<std::uint64_t>(count) * recordSize <= left();
    }
    const std::uint8_t* at() const { return data + offset; }
};

namespace {

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::int32_t i32(const std::uint8_t* p) { return static_cast<std::int32_t>(u32(p)); }
float f32(const std::uint8_t* p) {
    std::uint32_t bits = u32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
void floats(const std::uint8_t* p, float* out, int count) {
    for (int i = 0; i < count; ++i) out[i] = f32(p + 4 * i);
}

// Cell heights are copied as stored; the file is little-endian like the host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "map records are little-endian");

double nowSeconds() { return PerfClock::isCreated() ? PerfClock::seconds() : 0.0; }

const char* const kNoData = "no data left to read out this segment (file to small?)";

}  // namespace

// --- Load ---

void CRMap::clear() {
    for (auto& layer : m_layers) std::vector<VKCell>().swap(layer);
    m_lightmapFlags.clear();
    m_lightmapTexels.clear();
    m_textures.clear();
    m_tiles.clear();
    m_cubes.clear();
    m_meshes.clear();
    m_models.clear();
    m_soundEffects.clear();
    m_effects.clear();
    m_lights.clear();
    m_header = MapHeader();
}

void CRMap::load(const char* fileName) {
    m_loaded = false;
    Message(kLogInfo, "CRMap: Begin MapLoading '%s'", fileName);
    double t0 = nowSeconds();
    std::string path = std::string("data/map/") + fileName;
    std::uint32_t size = 0;
    std::uint8_t* bytes = LoadFileData(path.c_str(), &size);
    double t1 = nowSeconds();
    if (!bytes) {
        Message(kLogWarn, "CRMap: Map Loading '%s' Failed. (Read Error)", fileName);
        return;
    }
    m_fileName = fileName;
    loadBytes(fileName, bytes, size);
    release(bytes);
    if (m_loaded) {
        double t2 = nowSeconds();
        Message(kLogInfo, "CRMap: Finished MapLoading '%s' in %f Seconds (%f I/O; %f Processing)",
                fileName, t2 - t0, t1 - t0, t2 - t1);
    }
}

void CRMap::loadBytes(const char* name, const std::uint8_t* data, std::size_t size) {
    m_loaded = false;
    m_fileName = name;
    if (size < 6) {
        Message(kLogWarn, "CRMap: Map Loading '%s' Failed. (File is too small)", name);
        return;
    }
    if (u32(data) != 0x50414D52u) {
        Message(kLogWarn, "CRMap: Map Loading '%s' Failed. (File is not HEADER)", name);
        return;
    }
    clear();
    Reader in{data, size, 6};
    int version = u16(data + 4);
    if (version != 6) {
        Message(kLogWarn, "CRMap: Map Loading '%s' Failed. (Map has Unsupported Version: %d)",
                name, version);
        return;
    }
    Message(kLogInfo, "CRMap: '%s' is Version %d", name, version);

    struct Step {
        bool (CRMap::*read)(Reader&);
        const char* failure;
    };
    static const Step kSteps[] = {
        {&CRMap::loadV6, "CRMap: Map Loading '%s' Failed. ( Header Fail )"},
        {&CRMap::loadV1VKCells, "CMap: Map Loading '%s' Failed. ( VKCells Fail )"},
        {&CRMap::LoadV1LightMaps, "CMap: Map Loading '%s' Failed. ( Lightmaps Fail )"},
        {&CRMap::loadV1Textures, "CMap: Map Loading '%s' Failed. ( Textures Fail }"},
        {&CRMap::loadV2Tiles, "CMap: Map Loading '%s' Failed. ( Tiles Fail )"},
        {&CRMap::loadV1Cubes, "CMap: Map Loading '%s' Failed. ( Cubes Fail )"},
        {&CRMap::loadV1Meshes, "CMap: Map Loading '%s' Failed. ( Meshes Fail )"},
        {&CRMap::loadV2Models, "CMap: Map Loading '%s' Failed. ( Models Fail )"},
        {&CRMap::loadV3SoundEffects, "CMap: Map Loading '%s' Failed. ( Sound Effects Fail ) "},
        {&CRMap::loadV1Effects, "CMap: Map Loading '%s' Failed. ( Effects Fail ) "},
        {&CRMap::loadV1Lights, "CMap: Map Loading '%s' Failed. ( Lights Fail ) "},
    };
    for (const Step& step : kSteps) {
        if (!(this->*step.read)(in)) {
            Message(kLogWarn, step.failure, name);
            return;
        }
    }
    m_loaded = true;
}

// --- Header and grid segments ---

bool CRMap::loadV6(Reader& in) {
    if (in.left() < 111) {
        Message(kLogWarn, "CRMap->loadV5: %s", kNoData);
        return false;
    }
    const std::uint8_t* p = in.data;  // offsets below are from the file start
    MapHeader& h = m_header;
    h.cellsWide = u16(p + 6);
    h.cellsHigh = u16(p + 8);
    h.cubesWide = i32(p + 10);
    h.cubesHigh = i32(p + 14);
    h.cubeSize = f32(p + 18);
    h.waterType = p[22];
    h.waterLevel = f32(p + 23);
    h.hasWater = p[27];
    h.reserved1 = i32(p + 28);
    h.reserved2 = i32(p + 32);
    floats(p + 36, h.reservedColour, 3);
    floats(p + 48, h.sceneTint, 3);
    h.reservedFactor = f32(p + 60);
    h.layerCount = p[64];
    std::int32_t* counts[] = {&h.cellsPerLayer, &h.lightmapCount,   &h.lightmapWidth,
                              &h.lightmapHeight, &h.textureCount,   &h.groundPassCount,
                              &h.tileCount,      &h.cubeCount,      &h.modelCount,
                              &h.soundEffectCount, &h.effectCount,  &h.meshCount,
                              &h.lightCount};
    for (int i = 0; i < 13; ++i) *counts[i] = i32(p + 65 + 4 * i);
    // A zero grid gives infinite or NaN ratios; users of the ratios saturate.
    h.cellsPerCubeX = static_cast<float>(h.cellsWide) / static_cast<float>(h.cubesWide);
    h.cellsPerCubeY = static_cast<float>(h.cellsHigh) / static_cast<float>(h.cubesHigh);
    Message(kLogInfo, "CRMap->loadV6: W: %s TS: %f, Cell Relation:  x: %f  y: %f ",
            h.hasWater == 1 ? "Yes" : "No", h.cubeSize, h.cellsPerCubeX, h.cellsPerCubeY);
    in.offset += 111;
    return true;
}

bool CRMap::loadV1VKCells(Reader& in) {
    const MapHeader& h = m_header;
    if (h.cellsPerLayer == 0) {
        Message(kLogInfo, "CRMap->loadV1VKCells: Map Contains no vk-cells.");
        return true;
    }
    if (!in.fits(static_cast<std::int64_t>(h.layerCount) * h.cellsPerLayer, 17)) {
        Message(kLogWarn, "CRMap->loadV1VKCells: %s", kNoData);
        return false;
    }
    for (int layer = 0; layer < h.layerCount; ++layer) {
        std::vector<VKCell>& cells = m_layers[layer];
        // Filled record by record straight from the bytes: no zero-fill first.
        cells.reserve(static_cast<std::size_t>(h.cellsPerLayer));
        const std::uint8_t* p = in.at();
        for (std::int32_t i = 0; i < h.cellsPerLayer; ++i, p += 17) {
            VKCell cell;
            std::memcpy(cell.height, p, sizeof cell.height);  // little-endian floats as stored
            cell.blocked = p[16] == 0 ? 1 : 0;
            cells.push_back(cell);
        }
        in.offset += static_cast<std::uint64_t>(h.cellsPerLayer) * 17;
    }
    Message(kLogInfo, "CRMap->loadV1VKCells: %d x %d Cells, %d Layers (%d Total per Layer)",
            h.cellsWide, h.cellsHigh, h.layerCount, h.cellsPerLayer);
    return true;
}

bool CRMap::LoadV1LightMaps(Reader& in) {
    const MapHeader& h = m_header;
    if (h.lightmapCount == 0) {
        Message(kLogInfo, "CRMap->LoadV1LightMaps: Map contains no lightmaps.");
        return true;
    }
    bool sane = h.lightmapWidth >= 0 && h.lightmapHeight >= 0;
    std::uint64_t texels = sane ? static_cast<std::uint64_t>(h.lightmapWidth) *
                                      static_cast<std::uint64_t>(h.lightmapHeight)
                                : 0;
    // Width x height x 4 + 1 stays below 2^65 only as a quotient check.
    if (!sane || texels > in.left() / 4 || !in.fits(h.lightmapCount, texels * 4 + 1)) {
        Message(kLogWarn, "CRMap->LoadV1LightMaps: %s", kNoData);
        return false;
    }
    std::size_t count = static_cast<std::size_t>(h.lightmapCount);
    m_lightmapFlags.assign(in.at(), in.at() + count);
    in.offset += count;
    std::size_t bytes = static_cast<std::size_t>(texels * 4 * count);
    m_lightmapTexels.assign(in.at(), in.at() + bytes);
    in.offset += bytes;
    Message(kLogInfo, "CRMap->loadV1Textures: %d LightMaps", h.lightmapCount);
    return true;
}

bool CRMap::loadV1Textures(Reader& in) {
    if (m_header.textureCount == 0) {
        Message(kLogInfo, "CRMap->loadV1Textures: Map has no Ground Textures.");
        return true;
    }
    if (!in.fits(m_header.textureCount, 4)) {
        Message(kLogWarn, "CRMap->loadV1Textures: %s", kNoData);
        return false;
    }
    m_textures.resize(static_cast<std::size_t>(m_header.textureCount));
    for (GroundTexture& texture : m_textures) {
        texture.textureId = i32(in.at());
        in.offset += 4;
    }
    return true;
}

bool CRMap::loadV2Tiles(Reader& in) {
    const MapHeader& h = m_header;
    if (h.tileCount == 0) {
        Message(kLogInfo, "CRMap->loadV2Tiles: Map contains no Tiles.");
        return true;
    }
    if (!in.fits(h.tileCount, 44)) {
        Message(kLogWarn, "CRMap->loadV2Tiles: %s", kNoData);
        return false;
    }
    m_tiles.resize(static_cast<std::size_t>(h.tileCount));
    for (std::size_t i = 0; i < m_tiles.size(); ++i) {
        Tile& tile = m_tiles[i];
        const std::uint8_t* p = in.at();
        floats(p, tile.u, 4);
        floats(p + 16, tile.v, 4);
        std::memcpy(tile.colour, p + 32, 4);
        std::int32_t texture = i32(p + 36);
        if (texture < 0 || static_cast<std::size_t>(texture) >= m_textures.size()) {
            Message(kLogWarn,
                    "CRMap->loadV2Tiles: Error, tile %d referenced texture %d; map has only %d "
                    "textures.",
                    static_cast<int>(i), texture, static_cast<int>(m_textures.size()));
            m_tiles.clear();
            return false;
        }
        tile.texture = &m_textures[static_cast<std::size_t>(texture)];
        std::int32_t lightmap = i32(p + 40);
        tile.lightmap = lightmap >= 0 && lightmap < h.lightmapCount ? lightmap : -1;
        in.offset += 44;
    }
    return true;
}

bool CRMap::loadV1Cubes(Reader& in) {
    const MapHeader& h = m_header;
    if (h.cubeCount == 0) {
        Message(kLogInfo, "CRMap->loadV1Cubes: Map Contains no Cubes.");
        return true;
    }
    if (!in.fits(h.cubeCount, 29)) {
        Message(kLogWarn, "CRMap->loadV1Cubes: %s", kNoData);
        return false;
    }
    m_cubes.resize(static_cast<std::size_t>(h.cubeCount));
    for (std::size_t i = 0; i < m_cubes.size(); ++i) {
        Cube& cube = m_cubes[i];
        const std::uint8_t* p = in.at();
        floats(p, cube.height, 4);
        cube.water = p[16] == 1 ? 1 : 0;
        Tile** faces[] = {&cube.wallY, &cube.wallX, &cube.top};
        for (int f = 0; f < 3; ++f) {
            std::int32_t index = i32(p + 17 + 4 * f);
            if (index == kNoTile) {
                *faces[f] = nullptr;
            } else if (index < 0 || static_cast<std::size_t>(index) >= m_tiles.size()) {
                Message(kLogWarn,
                        "CRMap->loadV1Cubes: Error, cube %d referenced tile %d; map has only %d "
                        "tiles.",
                        static_cast<int>(i), index, h.tileCount);
                m_cubes.clear();
                return false;
            } else {
                *faces[f] = &m_tiles[static_cast<std::size_t>(index)];
            }
        }
        in.offset += 29;
    }
    Message(kLogInfo, "CRMap->loadV1Cubes: %d x %d (%d Total in Header)", h.cubesWide,
            h.cubesHigh, h.cubeCount);
    return true;
}

// --- Lists kept without further use ---

bool CRMap::loadV1Meshes(Reader& in) {
    const MapHeader& h = m_header;
    if (h.meshCount == 0) {
        Message(kLogInfo, "CRMap->loadV1Meshes: Map Contains no Meshes.");
        return true;
    }
    // The mesh loop runs no time for a negative count: nothing is read.
    if (h.meshCount < 0) {
        Message(kLogInfo, "CRMap->loadV1Meshs: %d Meshes", h.meshCount);
        return true;
    }
    // Each mesh needs at least its fixed part, so the count is bounded by
    // the bytes left before the list grows; then record by record.
    if (!in.fits(h.meshCount, 101)) {
        Message(kLogWarn, "CRMap->loadV1Meshes: %s", kNoData);
        return false;
    }
    m_meshes.resize(static_cast<std::size_t>(h.meshCount));
    for (Mesh& mesh : m_meshes) {
        if (!in.fits(1, 101)) {
            Message(kLogWarn, "CRMap->loadV1Meshes: %s", kNoData);
            return false;
        }
        const std::uint8_t* p = in.at();
        mesh.word = i32(p);
        mesh.flagA = (p[4] & 1) != 0;
        mesh.flagB = (p[4] & 2) != 0;
        floats(p + 5, mesh.kept9, 9);
        floats(p + 41, mesh.offsetP, 3);
        floats(p + 53, mesh.offsetQ, 3);
        mesh.kept1 = f32(p + 65);
        floats(p + 69, mesh.kept3a, 3);
        floats(p + 81, mesh.kept3b, 3);
        std::int32_t faceCount = i32(p + 93);
        std::int32_t keyCount = i32(p + 97);
        in.offset += 101;
        if (faceCount > 0) {
            if (!in.fits(faceCount, 76)) {
                Message(kLogWarn, "CRMap->loadV1Meshes: %s", kNoData);
                return false;
            }
            mesh.faces.resize(static_cast<std::size_t>(faceCount));
            for (MeshFace& face : mesh.faces) {
                floats(in.at(), face.vertex, 9);
                std::memcpy(face.vertexCopy, face.vertex, sizeof face.vertex);
                std::memcpy(face.opaque, in.at() + 36, sizeof face.opaque);
                std::int32_t texture = i32(in.at() + 72);
                face.texture = texture >= 0 && static_cast<std::size_t>(texture) < m_textures.size()
                                   ? &m_textures[static_cast<std::size_t>(texture)]
                                   : nullptr;
                in.offset += 76;
            }
        }
        if (keyCount > 0) {
            if (!in.fits(keyCount, 20)) {
                Message(kLogWarn, "CRMap->loadV1Meshes: %s", kNoData);
                return false;
            }
            mesh.keys.resize(static_cast<std::size_t>(keyCount));
            for (MeshKey& key : mesh.keys) {
                key.word = i32(in.at());
                floats(in.at() + 4, key.value, 4);
                in.offset += 20;
            }
        }
        for (int axis = 0; axis < 3; ++axis) {
            mesh.boxMin[axis] = 9999999.0f;
            mesh.boxMax[axis] = -9999999.0f;
        }
        for (const MeshFace& face : mesh.faces) {
            for (int v = 0; v < 3; ++v) {
                for (int axis = 0; axis < 3; ++axis) {
                    float c = face.vertex[v * 3 + axis];
                    if (!mesh.flagA) c += mesh.offsetP[axis] + mesh.offsetQ[axis];
                    if (c < mesh.boxMin[axis]) mesh.boxMin[axis] = c;
                    if (c > mesh.boxMax[axis]) mesh.boxMax[axis] = c;
                }
            }
        }
        for (int axis = 0; axis < 3; ++axis)
            mesh.centre[axis] = (mesh.boxMin[axis] + mesh.boxMax[axis]) * 0.5f;
    }
    Message(kLogInfo, "CRMap->loadV1Meshs: %d Meshes", h.meshCount);
    return true;
}

Matrix4 placedModelMatrix(const float position[3], const float rotation[3],
                          const float scale[3]) {
    auto rotate = [](float degrees, int axis) {
        float s = tableSinDeg(degrees), c = tableCosDeg(degrees);
        Matrix4 r = matIdentity();
        int a = (axis + 1) % 3, b = (axis + 2) % 3;  // the plane the rotation turns
        r.m[a * 4 + a] = c;
        r.m[a * 4 + b] = s;
        r.m[b * 4 + a] = -s;
        r.m[b * 4 + b] = c;
        return r;
    };
    Matrix4 translate = matIdentity();
    translate.m[12] = position[0];
    translate.m[13] = -position[1];
    translate.m[14] = position[2];
    Matrix4 scaling = matIdentity();
    scaling.m[0] = scale[0];
    scaling.m[5] = -scale[1];
    scaling.m[10] = scale[2];
    const Matrix4 factors[] = {rotate(-rotation[2], 2), rotate(-rotation[0], 0),
                               rotate(rotation[1], 1), scaling};
    Matrix4 product = translate;
    for (const Matrix4& factor : factors) {
        Matrix4 next;
        matMultiply(product, factor, next);
        product = next;
    }
    return product;
}

bool CRMap::loadV2Models(Reader& in) {
    const MapHeader& h = m_header;
    if (h.modelCount == 0) {
        Message(kLogInfo, "CRMap->loadV2Models: Map has no Models.");
        return true;
    }
    if (!in.fits(h.modelCount, 45)) {
        Message(kLogWarn, "CRMap->loadV2Models: %s", kNoData);
        return false;
    }
    m_models.resize(static_cast<std::size_t>(h.modelCount));
    int external = 0, internal = 0;
    for (PlacedModel& model : m_models) {
        const std::uint8_t* p = in.at();
        floats(p, model.position, 3);
        floats(p + 12, model.rotation, 3);
        floats(p + 24, model.scale, 3);
        model.matrix = placedModelMatrix(model.position, model.rotation, model.scale);
        model.kind = p[36];
        model.modelId = i32(p + 37);
        model.unused = i32(p + 41);
        if (model.kind == 1) ++external;
        if (model.kind == 0) ++internal;
        in.offset += 45;
    }
    Message(kLogInfo, "CRMap->loadV2Models: %d Total Models (%d External, %d Internal) ",
            h.modelCount, external, internal);
    return true;
}

bool CRMap::loadV3SoundEffects(Reader& in) {
    if (m_header.soundEffectCount == 0) {
        Message(kLogInfo, "CRMap->loadV3SoundEffects: Map has no SoundEffects.");
        return true;
    }
    if (!in.fits(m_header.soundEffectCount, 112)) {
        Message(kLogWarn, "CRMap->loadV3SoundEffects: %s", kNoData);
        return false;
    }
    m_soundEffects.resize(static_cast<std::size_t>(m_header.soundEffectCount));
    for (SoundEffect& effect : m_soundEffects) {
        const std::uint8_t* p = in.at();
        effect.word[0] = u32(p + 80);
        effect.word[1] = u32(p + 84);
        effect.word[2] = u32(p + 88);
        effect.word[3] = 0;
        for (int i = 0; i < 5; ++i) effect.word[4 + i] = u32(p + 92 + 4 * i);
        in.offset += 112;
    }
    Message(kLogInfo, "CRMap->loadV2SoundEffects: %d Total Sound Effects",
            m_header.soundEffectCount);
    return true;
}

bool CRMap::loadV1Effects(Reader& in) {
    if (m_header.effectCount == 0) {
        Message(kLogInfo, "CRMap->loadV1Effects: Map has no Effects.");
        return true;
    }
    if (!in.fits(m_header.effectCount, 16)) {
        Message(kLogWarn, "CRMap->loadV1Effects: %s", kNoData);
        return false;
    }
    m_effects.resize(static_cast<std::size_t>(m_header.effectCount));
    for (auto& effect : m_effects) {
        for (int i = 0; i < 4; ++i) effect[i] = u32(in.at() + 4 * i);
        in.offset += 16;
    }
    Message(kLogInfo, "CRMap->loadV1Effects: %d Total Effects", m_header.effectCount);
    return true;
}

bool CRMap::loadV1Lights(Reader& in) {
    if (m_header.lightCount == 0) {
        Message(kLogInfo, "CRMap->loadV1Lights: Map has no Lights.");
        return true;
    }
    if (!in.fits(m_header.lightCount, 24)) {
        Message(kLogWarn, "CRMap->loadV1Lights: %s", kNoData);
        return false;
    }
    m_lights.resize(static_cast<std::size_t>(m_header.lightCount));
    for (auto& light : m_lights) {
        for (int i = 0; i < 6; ++i) light[i] = u32(in.at() + 4 * i);
        in.offset += 24;
    }
    Message(kLogInfo, "CRMap->LoadV1Lights: %d Total Lights", m_header.lightCount);
    return true;
}

// --- Lookups ---

const VKCell* CRMap::cellAt(int layer, int x, int y) const {
    if (layer < 0 || layer >= m_header.layerCount || x < 0 || y < 0 ||
        x >= m_header.cellsWide || y >= m_header.cellsHigh)
        return nullptr;
    std::size_t index = static_cast<std::size_t>(x) +
                        static_cast<std::size_t>(y) * m_header.cellsWide;
    const std::vector<VKCell>& cells = m_layers[layer];
    return index < cells.size() ? &cells[index] : nullptr;
}

const Cube* CRMap::cubeAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= m_header.cubesWide || y >= m_header.cubesHigh) return nullptr;
    std::uint64_t index = static_cast<std::uint64_t>(x) +
                          static_cast<std::uint64_t>(y) * static_cast<std::uint64_t>(m_header.cubesWide);
    return index < m_cubes.size() ? &m_cubes[static_cast<std::size_t>(index)] : nullptr;
}

Cube* CRMap::cubeAt(int x, int y) {
    return const_cast<Cube*>(static_cast<const CRMap*>(this)->cubeAt(x, y));
}

float CRMap::VKCellGetHeight(std::uint8_t layer, std::uint16_t x, std::uint16_t y) const {
    if (layer >= m_header.layerCount) {
        Message(kLogWarn,
                "CRMap->VKCellGetHeight: Map has only %d Layer(s) ; requested info for layer %d\n",
                m_header.layerCount, layer);
        return 0.0f;
    }
    if (x >= m_header.cellsWide || y >= m_header.cellsHigh) {
        Message(kLogWarn, "CRMap->VKCellGetHeight: Out of Range Request %d, %d", x, y);
        return 0.0f;
    }
    const VKCell* cell = cellAt(layer, x, y);
    if (!cell) return 0.0f;  // the layer holds fewer cells than the grid
    return (cell->height[0] + cell->height[1] + cell->height[2] + cell->height[3]) * 0.25f;
}

}  // namespace scene
}  // namespace velmar
