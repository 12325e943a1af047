#include "client/scene/rmap.h"

#include <cstring>

#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/runtime.h"
#include "client/storage/load_file_data.h"

namespace velmar {
namespace scene {

namespace {

// Cells are read in place; the file is little-endian like the host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "map records are little-endian");

double nowSeconds() { return PerfClock::isCreated() ? PerfClock::seconds() : 0.0; }

const char* const kNoData = "no data left to read out this segment (file to small?)";

// A face's tile index names no tile or one of `count` tiles.
bool faceIndexValid(std::int32_t index, std::uint32_t count) {
    return index == kNoTile || static_cast<std::uint32_t>(index) < count;
}

}  // namespace

// --- Load ---

CRMap::~CRMap() { release(m_bytes); }

void CRMap::clear() {
    for (const VKCell*& layer : m_layers) layer = nullptr;
    release(m_bytes);
    m_bytes = nullptr;
    m_lightmapFlags = {};
    m_lightmapTexels = {};
    m_textures.clear();
    m_tiles = {};
    m_cubes = {};
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
    loadOwned(fileName, bytes, size);
    if (m_loaded) {
        double t2 = nowSeconds();
        Message(kLogInfo, "CRMap: Finished MapLoading '%s' in %f Seconds (%f I/O; %f Processing)",
                fileName, t2 - t0, t1 - t0, t2 - t1);
    }
}

void CRMap::loadBytes(const char* name, const std::uint8_t* data, std::size_t size) {
    auto* copy = static_cast<std::uint8_t*>(allocate(size ? size : 1));
    if (size) std::memcpy(copy, data, size);
    loadOwned(name, copy, size);
}

void CRMap::loadOwned(const char* name, std::uint8_t* data, std::size_t size) {
    m_loaded = false;
    m_fileName = name;
    if (size < kRmapHeaderStart) {
        release(data);
        Message(kLogWarn, "CRMap: Map Loading '%s' Failed. (File is too small)", name);
        return;
    }
    Reader in(data, size);
    if (in.u32At(0) != kRmapMagic) {
        release(data);
        Message(kLogWarn, "CRMap: Map Loading '%s' Failed. (File is not HEADER)", name);
        return;
    }
    clear();
    m_bytes = data;
    in.seek(kRmapHeaderStart);
    int version = in.u16At(kRmapVersionOffset);
    if (version != kRmapVersion) {
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
    if (!in.has(kRmapHeaderEnd - kRmapHeaderStart)) {
        Message(kLogWarn, "CRMap->loadV5: %s", kNoData);
        return false;
    }
    MapHeader& h = m_header;  // offsets are from the file start
    h.cellsWide = in.u16At(kRmapCellsWideOffset);
    h.cellsHigh = in.u16At(kRmapCellsHighOffset);
    h.cubesWide = in.i32At(kRmapCubesWideOffset);
    h.cubesHigh = in.i32At(kRmapCubesHighOffset);
    h.cubeSize = in.f32At(kRmapCubeSizeOffset);
    h.waterType = in.u8At(kRmapWaterTypeOffset);
    h.waterLevel = in.f32At(kRmapWaterLevelOffset);
    h.hasWater = in.u8At(kRmapHasWaterOffset);
    h.reserved1 = in.i32At(kRmapReserved1Offset);
    h.reserved2 = in.i32At(kRmapReserved2Offset);
    in.f32sAt(kRmapReservedColourOffset, h.reservedColour, 3);
    in.f32sAt(kRmapSceneTintOffset, h.sceneTint, 3);
    h.reservedFactor = in.f32At(kRmapReservedFactorOffset);
    h.layerCount = in.u8At(kRmapLayerCountOffset);
    std::int32_t* counts[kRmapCountFields] = {
        &h.cellsPerLayer, &h.lightmapCount, &h.lightmapWidth,    &h.lightmapHeight, &h.textureCount,
        &h.groundPassCount, &h.tileCount,   &h.cubeCount,        &h.modelCount,     &h.soundEffectCount,
        &h.effectCount,   &h.meshCount,     &h.lightCount};
    for (std::size_t i = 0; i < kRmapCountFields; ++i) *counts[i] = in.i32At(kRmapCountsOffset + 4 * i);
    // A zero grid gives infinite or NaN ratios; users of the ratios saturate.
    h.cellsPerCubeX = static_cast<float>(h.cellsWide) / static_cast<float>(h.cubesWide);
    h.cellsPerCubeY = static_cast<float>(h.cellsHigh) / static_cast<float>(h.cubesHigh);
    Message(kLogInfo, "CRMap->loadV6: W: %s TS: %f, Cell Relation:  x: %f  y: %f ",
            h.hasWater == 1 ? "Yes" : "No", h.cubeSize, h.cellsPerCubeX, h.cellsPerCubeY);
    in.seek(kRmapHeaderEnd);
    return true;
}

bool CRMap::loadV1VKCells(Reader& in) {
    const MapHeader& h = m_header;
    if (h.cellsPerLayer == 0) {
        Message(kLogInfo, "CRMap->loadV1VKCells: Map Contains no vk-cells.");
        return true;
    }
    if (!in.fits(static_cast<std::int64_t>(h.layerCount) * h.cellsPerLayer, kRmapCellBytes)) {
        Message(kLogWarn, "CRMap->loadV1VKCells: %s", kNoData);
        return false;
    }
    for (int layer = 0; layer < h.layerCount; ++layer) {
        const std::uint8_t* cells = in.take(static_cast<std::uint64_t>(h.cellsPerLayer) * kRmapCellBytes);
        m_layers[layer] = reinterpret_cast<const VKCell*>(cells);
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
    m_lightmapFlags = Records<std::uint8_t>(in.take(count), count);
    std::size_t bytes = static_cast<std::size_t>(texels * 4 * count);
    m_lightmapTexels = Records<std::uint8_t>(in.take(bytes), bytes);
    Message(kLogInfo, "CRMap->loadV1Textures: %d LightMaps", h.lightmapCount);
    return true;
}

bool CRMap::loadV1Textures(Reader& in) {
    if (m_header.textureCount == 0) {
        Message(kLogInfo, "CRMap->loadV1Textures: Map has no Ground Textures.");
        return true;
    }
    if (!in.fits(m_header.textureCount, kRmapTextureBytes)) {
        Message(kLogWarn, "CRMap->loadV1Textures: %s", kNoData);
        return false;
    }
    m_textures.resize(static_cast<std::size_t>(m_header.textureCount));
    for (GroundTexture& texture : m_textures) texture.textureId = in.i32();
    return true;
}

bool CRMap::loadV2Tiles(Reader& in) {
    const MapHeader& h = m_header;
    if (h.tileCount == 0) {
        Message(kLogInfo, "CRMap->loadV2Tiles: Map contains no Tiles.");
        return true;
    }
    if (!in.fits(h.tileCount, kRmapTileBytes)) {
        Message(kLogWarn, "CRMap->loadV2Tiles: %s", kNoData);
        return false;
    }
    const std::size_t count = static_cast<std::size_t>(h.tileCount);
    const std::uint8_t* records = in.take(count * kRmapTileBytes);
    const std::size_t textures = m_textures.size();
    // Only the texture index needs a look; the rest is read where it lies.
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t texture = recordI32(records + i * kRmapTileBytes + kRmapTileTextureOffset);
        if (static_cast<std::uint32_t>(texture) >= textures) {
            Message(kLogWarn,
                    "CRMap->loadV2Tiles: Error, tile %d referenced texture %d; map has only %d "
                    "textures.",
                    static_cast<int>(i), texture, static_cast<int>(textures));
            return false;
        }
    }
    m_tiles = Records<Tile>(reinterpret_cast<const Tile*>(records), count);
    return true;
}

bool CRMap::loadV1Cubes(Reader& in) {
    const MapHeader& h = m_header;
    if (h.cubeCount == 0) {
        Message(kLogInfo, "CRMap->loadV1Cubes: Map Contains no Cubes.");
        return true;
    }
    if (!in.fits(h.cubeCount, kRmapCubeBytes)) {
        Message(kLogWarn, "CRMap->loadV1Cubes: %s", kNoData);
        return false;
    }
    const std::size_t count = static_cast<std::size_t>(h.cubeCount);
    const std::uint8_t* records = in.take(count * kRmapCubeBytes);
    const auto tiles = static_cast<std::uint32_t>(m_tiles.size());
    // Only the three tile indices need a look; the rest is read where it lies.
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* faces = records + i * kRmapCubeBytes + kRmapCubeFacesOffset;
        const std::int32_t wallY = recordI32(faces), wallX = recordI32(faces + 4), top = recordI32(faces + 8);
        if (faceIndexValid(wallY, tiles) && faceIndexValid(wallX, tiles) && faceIndexValid(top, tiles))
            continue;
        const std::int32_t bad = !faceIndexValid(wallY, tiles)   ? wallY
                                 : !faceIndexValid(wallX, tiles) ? wallX
                                                                 : top;
        Message(kLogWarn,
                "CRMap->loadV1Cubes: Error, cube %d referenced tile %d; map has only %d "
                "tiles.",
                static_cast<int>(i), bad, h.tileCount);
        return false;
    }
    m_cubes = Records<Cube>(reinterpret_cast<const Cube*>(records), count);
    Message(kLogInfo, "CRMap->loadV1Cubes: %d x %d (%d Total in Header)", h.cubesWide,
            h.cubesHigh, h.cubeCount);
    return true;
}

// --- Lists kept without further use ---

namespace {

// The box around a mesh's faces; a mesh without flag A has its two offsets
// added to every vertex.
void computeMeshBox(Mesh& mesh) {
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

// The fixed part of a mesh record; the face and key counts come back.
void readMeshFixedPart(const ByteReader& record, Mesh& mesh, std::int32_t* faceCount,
                       std::int32_t* keyCount) {
    mesh.word = record.i32At(0);
    const std::uint8_t flags = record.u8At(kRmapMeshFlagsOffset);
    mesh.flagA = (flags & 1) != 0;
    mesh.flagB = (flags & 2) != 0;
    record.f32sAt(kRmapMeshKept9Offset, mesh.kept9, 9);
    record.f32sAt(kRmapMeshOffsetPOffset, mesh.offsetP, 3);
    record.f32sAt(kRmapMeshOffsetQOffset, mesh.offsetQ, 3);
    mesh.kept1 = record.f32At(kRmapMeshKept1Offset);
    record.f32sAt(kRmapMeshKept3aOffset, mesh.kept3a, 3);
    record.f32sAt(kRmapMeshKept3bOffset, mesh.kept3b, 3);
    *faceCount = record.i32At(kRmapMeshFaceCountOffset);
    *keyCount = record.i32At(kRmapMeshKeyCountOffset);
}

}  // namespace

bool CRMap::readMeshLists(Reader& in, Mesh& mesh, std::int32_t faceCount, std::int32_t keyCount) {
    if (faceCount > 0) {
        if (!in.fits(faceCount, kRmapFaceBytes)) return false;
        mesh.faces.resize(static_cast<std::size_t>(faceCount));
        for (MeshFace& face : mesh.faces) {
            const Reader record = in.record(kRmapFaceBytes);
            record.f32sAt(0, face.vertex, 9);
            std::memcpy(face.vertexCopy, face.vertex, sizeof face.vertex);
            std::memcpy(face.opaque, record.at() + kRmapFaceExtraOffset, sizeof face.opaque);
            std::int32_t texture = record.i32At(kRmapFaceTextureOffset);
            face.texture = texture >= 0 && static_cast<std::size_t>(texture) < m_textures.size()
                               ? &m_textures[static_cast<std::size_t>(texture)]
                               : nullptr;
        }
    }
    if (keyCount > 0) {
        if (!in.fits(keyCount, kRmapKeyBytes)) return false;
        mesh.keys.resize(static_cast<std::size_t>(keyCount));
        for (MeshKey& key : mesh.keys) {
            key.word = in.i32();
            in.f32s(key.value, 4);
        }
    }
    return true;
}

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
    if (!in.fits(h.meshCount, kRmapMeshFixedBytes)) {
        Message(kLogWarn, "CRMap->loadV1Meshes: %s", kNoData);
        return false;
    }
    m_meshes.resize(static_cast<std::size_t>(h.meshCount));
    for (Mesh& mesh : m_meshes) {
        std::int32_t faceCount = 0, keyCount = 0;
        const Reader record = in.record(kRmapMeshFixedBytes);
        if (!record.failed()) readMeshFixedPart(record, mesh, &faceCount, &keyCount);
        if (record.failed() || !readMeshLists(in, mesh, faceCount, keyCount)) {
            Message(kLogWarn, "CRMap->loadV1Meshes: %s", kNoData);
            return false;
        }
        computeMeshBox(mesh);
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
    if (!in.fits(h.modelCount, kRmapModelBytes)) {
        Message(kLogWarn, "CRMap->loadV2Models: %s", kNoData);
        return false;
    }
    m_models.resize(static_cast<std::size_t>(h.modelCount));
    int external = 0, internal = 0;
    for (PlacedModel& model : m_models) {
        const Reader record = in.record(kRmapModelBytes);
        record.f32sAt(0, model.position, 3);
        record.f32sAt(kRmapModelRotationOffset, model.rotation, 3);
        record.f32sAt(kRmapModelScaleOffset, model.scale, 3);
        model.matrix = placedModelMatrix(model.position, model.rotation, model.scale);
        model.kind = record.u8At(kRmapModelKindOffset);
        model.modelId = record.i32At(kRmapModelIdOffset);
        model.unused = record.i32At(kRmapModelUnusedOffset);
        if (model.kind == kModelExternal) ++external;
        if (model.kind == kModelInternal) ++internal;
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
    if (!in.fits(m_header.soundEffectCount, kRmapSoundEffectBytes)) {
        Message(kLogWarn, "CRMap->loadV3SoundEffects: %s", kNoData);
        return false;
    }
    m_soundEffects.resize(static_cast<std::size_t>(m_header.soundEffectCount));
    for (SoundEffect& effect : m_soundEffects) {
        const Reader record = in.record(kRmapSoundEffectBytes);
        const std::size_t words = kRmapSoundEffectWordsOffset;
        // The fourth word is never taken from the file.
        for (int i = 0; i < 3; ++i) effect.word[i] = record.u32At(words + 4 * i);
        effect.word[3] = 0;
        for (int i = 3; i < 8; ++i) effect.word[1 + i] = record.u32At(words + 4 * i);
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
    if (!in.fits(m_header.effectCount, kRmapEffectBytes)) {
        Message(kLogWarn, "CRMap->loadV1Effects: %s", kNoData);
        return false;
    }
    m_effects.resize(static_cast<std::size_t>(m_header.effectCount));
    for (auto& effect : m_effects) {
        for (std::uint32_t& word : effect) word = in.u32();
    }
    Message(kLogInfo, "CRMap->loadV1Effects: %d Total Effects", m_header.effectCount);
    return true;
}

bool CRMap::loadV1Lights(Reader& in) {
    if (m_header.lightCount == 0) {
        Message(kLogInfo, "CRMap->loadV1Lights: Map has no Lights.");
        return true;
    }
    if (!in.fits(m_header.lightCount, kRmapLightBytes)) {
        Message(kLogWarn, "CRMap->loadV1Lights: %s", kNoData);
        return false;
    }
    m_lights.resize(static_cast<std::size_t>(m_header.lightCount));
    for (auto& light : m_lights) {
        for (std::uint32_t& word : light) word = in.u32();
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
    const VKCell* cells = m_layers[layer];
    const bool held = cells && m_header.cellsPerLayer > 0 &&
                      index < static_cast<std::size_t>(m_header.cellsPerLayer);
    return held ? &cells[index] : nullptr;
}

const Cube* CRMap::cubeAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= m_header.cubesWide || y >= m_header.cubesHigh) return nullptr;
    std::uint64_t index = static_cast<std::uint64_t>(x) +
                          static_cast<std::uint64_t>(y) * static_cast<std::uint64_t>(m_header.cubesWide);
    return index < m_cubes.size() ? &m_cubes[static_cast<std::size_t>(index)] : nullptr;
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
    return (cell->height(0) + cell->height(1) + cell->height(2) + cell->height(3)) * 0.25f;
}

}  // namespace scene
}  // namespace velmar
