// RMAP validation and layout.
#include "tools/contentkit/formats/rmap_writer.h"

#include <cmath>
#include <cstdint>

#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

constexpr std::uint64_t kMaxFileBytes = 0x7FFFFFFF;

template <typename Floats>
bool allFinite(const Floats& values) {
    for (float v : values) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

bool fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

bool tileInRange(std::int32_t tile, std::size_t tileCount) {
    return tile == kRmapNoTile || (tile >= 0 && static_cast<std::size_t>(tile) < tileCount);
}

// --- Validation ---

bool validateGrid(const RmapMap& m, std::string* error) {
    if (m.cellsWide == 0 || m.cellsHigh == 0) return fail(error, "the vk-cell grid is empty");
    if (m.cubesWide <= 0 || m.cubesHigh <= 0) {
        return fail(error, strf("cube grid %d x %d is not positive", m.cubesWide, m.cubesHigh));
    }
    // The cell overlay and the cursor assume whole cells per cube.
    if (m.cellsWide < m.cubesWide || m.cellsWide % m.cubesWide != 0 || m.cellsHigh < m.cubesHigh ||
        m.cellsHigh % m.cubesHigh != 0) {
        return fail(error, strf("%d x %d cells are not a whole number of cells per cube of the %d x %d grid",
                                m.cellsWide, m.cellsHigh, m.cubesWide, m.cubesHigh));
    }
    if (!std::isfinite(m.cubeSize) || m.cubeSize <= 0.0f) {
        return fail(error, "cubeSize must be positive and finite");
    }
    if (!std::isfinite(m.waterLevel) || !allFinite(m.sceneTint)) {
        return fail(error, "water level and scene tint must be finite");
    }
    if (m.layers.empty() || m.layers.size() > kRmapMaxLayers) {
        return fail(error, strf("%zu cell layers; the map needs 1 to 255", m.layers.size()));
    }
    const std::size_t cells = static_cast<std::size_t>(m.cellsWide) * m.cellsHigh;
    for (std::size_t l = 0; l < m.layers.size(); ++l) {
        if (m.layers[l].size() != cells) {
            return fail(error, strf("layer %zu has %zu cells, the grid has %zu", l, m.layers[l].size(), cells));
        }
        for (std::size_t i = 0; i < cells; ++i) {
            if (!allFinite(m.layers[l][i].heights)) {
                return fail(error, strf("layer %zu cell %zu has a height that is not finite", l, i));
            }
        }
    }
    return true;
}

bool validateLightmaps(const RmapMap& m, std::string* error) {
    if (m.lightmapWidth < 0 || m.lightmapHeight < 0) return fail(error, "lightmap size is negative");
    if (m.lightmaps.empty()) return true;
    if (m.lightmapWidth == 0 || m.lightmapHeight == 0) return fail(error, "lightmaps of size 0");
    const std::uint64_t bytes =
        static_cast<std::uint64_t>(m.lightmapWidth) * static_cast<std::uint64_t>(m.lightmapHeight) * 4u;
    for (std::size_t i = 0; i < m.lightmaps.size(); ++i) {
        if ((m.lightmaps[i].flags & ~(kLightmapAlpha | kLightmapColour)) != 0) {
            return fail(error, strf("lightmap %zu has unknown flag bits 0x%02x", i, m.lightmaps[i].flags));
        }
        if (m.lightmaps[i].texels.size() != bytes) {
            return fail(error, strf("lightmap %zu holds %zu bytes, %d x %d RGBA needs %llu", i,
                                    m.lightmaps[i].texels.size(), m.lightmapWidth, m.lightmapHeight,
                                    static_cast<unsigned long long>(bytes)));
        }
    }
    return true;
}

bool validateTiles(const RmapMap& m, std::string* error) {
    for (std::size_t i = 0; i < m.textures.size(); ++i) {
        if (m.textures[i] < 0) return fail(error, strf("ground texture %zu has negative ID %d", i, m.textures[i]));
    }
    if (m.groundPassCount < -1 || m.groundPassCount > static_cast<std::int64_t>(m.textures.size())) {
        return fail(error, strf("groundPassCount %d is outside -1..%zu", m.groundPassCount, m.textures.size()));
    }
    for (std::size_t i = 0; i < m.tiles.size(); ++i) {
        const RmapTile& t = m.tiles[i];
        if (t.texture < 0 || static_cast<std::size_t>(t.texture) >= m.textures.size()) {
            return fail(error, strf("tile %zu uses ground texture %d of %zu", i, t.texture, m.textures.size()));
        }
        if (t.lightmap != kRmapNoLightmap &&
            (t.lightmap < 0 || static_cast<std::size_t>(t.lightmap) >= m.lightmaps.size())) {
            return fail(error, strf("tile %zu uses lightmap %d of %zu", i, t.lightmap, m.lightmaps.size()));
        }
        if (!allFinite(t.u) || !allFinite(t.v)) {
            return fail(error, strf("tile %zu has a coordinate that is not finite", i));
        }
    }
    return true;
}

bool validateCubes(const RmapMap& m, std::string* error) {
    const std::size_t count = static_cast<std::size_t>(m.cubesWide) * static_cast<std::size_t>(m.cubesHigh);
    if (m.cubes.size() != count) {
        return fail(
            error, strf("%zu cubes, the %d x %d grid needs %zu", m.cubes.size(), m.cubesWide, m.cubesHigh, count));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const RmapCube& c = m.cubes[i];
        const std::size_t x = i % static_cast<std::size_t>(m.cubesWide),
                          y = i / static_cast<std::size_t>(m.cubesWide);
        for (std::int32_t tile : {c.wallY, c.wallX, c.top}) {
            if (!tileInRange(tile, m.tiles.size())) {
                return fail(error, strf("cube (%zu, %zu) uses tile %d of %zu", x, y, tile, m.tiles.size()));
            }
        }
        if (c.wallX != kRmapNoTile && x + 1 == static_cast<std::size_t>(m.cubesWide)) {
            return fail(error, strf("cube (%zu, %zu) has a +x wall on the last column", x, y));
        }
        if (c.wallY != kRmapNoTile && y + 1 == static_cast<std::size_t>(m.cubesHigh)) {
            return fail(error, strf("cube (%zu, %zu) has a +y wall on the last row", x, y));
        }
        if (c.water && !m.hasWater) {
            return fail(error, strf("cube (%zu, %zu) has water on a map without water", x, y));
        }
        if (!allFinite(c.heights)) {
            return fail(error, strf("cube (%zu, %zu) has a height that is not finite", x, y));
        }
    }
    return true;
}

bool validateObjects(const RmapMap& m, std::string* error) {
    for (std::size_t i = 0; i < m.meshes.size(); ++i) {
        const RmapMesh& mesh = m.meshes[i];
        if (!allFinite(mesh.offsetP) || !allFinite(mesh.offsetQ)) {
            return fail(error, strf("mesh %zu has an offset that is not finite", i));
        }
        for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
            const RmapFace& face = mesh.faces[f];
            if (face.texture < 0 || static_cast<std::size_t>(face.texture) >= m.textures.size()) {
                return fail(error, strf("mesh %zu face %zu uses ground texture %d of %zu", i, f, face.texture,
                                        m.textures.size()));
            }
            if (!allFinite(face.vertices)) {
                return fail(error, strf("mesh %zu face %zu has a vertex that is not finite", i, f));
            }
        }
    }
    for (std::size_t i = 0; i < m.models.size(); ++i) {
        const RmapModel& model = m.models[i];
        if (model.kind != kModelInternal && model.kind != kModelExternal) {
            return fail(error, strf("model %zu has kind %d, not 0 or 1", i, model.kind));
        }
        if (!allFinite(model.position) || !allFinite(model.rotation) || !allFinite(model.scale)) {
            return fail(error, strf("model %zu has a position, rotation or scale that is not finite", i));
        }
    }
    return true;
}

std::uint64_t meshBytes(const RmapMesh& mesh) {
    return kRmapMeshFixedBytes + static_cast<std::uint64_t>(mesh.faces.size()) * kRmapFaceBytes +
           static_cast<std::uint64_t>(mesh.keys.size()) * kRmapKeyBytes;
}

std::uint64_t fileBytes(const RmapMap& m) {
    const std::uint64_t cells = static_cast<std::uint64_t>(m.cellsWide) * m.cellsHigh;
    const std::uint64_t lightmap =
        static_cast<std::uint64_t>(m.lightmapWidth) * static_cast<std::uint64_t>(m.lightmapHeight) * 4u + 1u;
    std::uint64_t total = kRmapHeaderEnd + m.layers.size() * cells * kRmapCellBytes +
                          m.lightmaps.size() * lightmap + m.textures.size() * kRmapTextureBytes +
                          m.tiles.size() * kRmapTileBytes + m.cubes.size() * kRmapCubeBytes +
                          m.models.size() * kRmapModelBytes + m.soundEffects.size() * kRmapSoundEffectBytes +
                          m.effects.size() * kRmapEffectBytes + m.lights.size() * kRmapLightBytes;
    for (const RmapMesh& mesh : m.meshes) total += meshBytes(mesh);
    return total;
}

// --- Layout ---

template <typename Floats>
void putFloats(ByteWriter* w, const Floats& values) {
    for (float v : values) w->f32(v);
}

void writeHeader(const RmapMap& m, ByteWriter* w) {
    w->u32(kRmapMagic);
    w->u16(kRmapVersion);
    w->u16(m.cellsWide);
    w->u16(m.cellsHigh);
    w->i32(m.cubesWide);
    w->i32(m.cubesHigh);
    w->f32(m.cubeSize);
    w->u8(m.waterType);
    w->f32(m.waterLevel);
    w->u8(m.hasWater ? 1 : 0);
    w->i32(m.reserved1);
    w->i32(m.reserved2);
    putFloats(w, m.reservedColour);
    putFloats(w, m.sceneTint);
    w->f32(m.reservedFactor);
    w->u8(static_cast<std::uint8_t>(m.layers.size()));
    w->i32(static_cast<std::int32_t>(static_cast<std::uint32_t>(m.cellsWide) * m.cellsHigh));
    w->i32(static_cast<std::int32_t>(m.lightmaps.size()));
    w->i32(m.lightmapWidth);
    w->i32(m.lightmapHeight);
    w->i32(static_cast<std::int32_t>(m.textures.size()));
    w->i32(m.groundPassCount < 0 ? static_cast<std::int32_t>(m.textures.size()) : m.groundPassCount);
    w->i32(static_cast<std::int32_t>(m.tiles.size()));
    w->i32(static_cast<std::int32_t>(m.cubes.size()));
    w->i32(static_cast<std::int32_t>(m.models.size()));
    w->i32(static_cast<std::int32_t>(m.soundEffects.size()));
    w->i32(static_cast<std::int32_t>(m.effects.size()));
    w->i32(static_cast<std::int32_t>(m.meshes.size()));
    w->i32(static_cast<std::int32_t>(m.lights.size()));
}

void writeGround(const RmapMap& m, ByteWriter* w) {
    for (const auto& layer : m.layers) {
        for (const RmapCell& cell : layer) {
            putFloats(w, cell.heights);
            w->u8(cell.walkable ? 1 : 0);
        }
    }
    for (const RmapLightmap& lm : m.lightmaps) w->u8(lm.flags);
    for (const RmapLightmap& lm : m.lightmaps) w->bytes(lm.texels.data(), lm.texels.size());
    for (std::int32_t id : m.textures) w->i32(id);
    for (const RmapTile& t : m.tiles) {
        putFloats(w, t.u);
        putFloats(w, t.v);
        w->bytes(t.colour.data(), t.colour.size());
        w->i32(t.texture);
        w->i32(t.lightmap);
    }
    for (const RmapCube& c : m.cubes) {
        putFloats(w, c.heights);
        w->u8(c.water ? 1 : 0);
        w->i32(c.wallY);
        w->i32(c.wallX);
        w->i32(c.top);
    }
}

void writeObjects(const RmapMap& m, ByteWriter* w) {
    for (const RmapMesh& mesh : m.meshes) {
        w->i32(mesh.word);
        w->u8(static_cast<std::uint8_t>((mesh.flagA ? 1 : 0) | (mesh.flagB ? 2 : 0)));
        putFloats(w, mesh.kept1);
        putFloats(w, mesh.offsetP);
        putFloats(w, mesh.offsetQ);
        w->f32(mesh.kept2);
        putFloats(w, mesh.kept3);
        putFloats(w, mesh.kept4);
        w->i32(static_cast<std::int32_t>(mesh.faces.size()));
        w->i32(static_cast<std::int32_t>(mesh.keys.size()));
        for (const RmapFace& face : mesh.faces) {
            putFloats(w, face.vertices);
            w->bytes(face.extra.data(), face.extra.size());
            w->i32(face.texture);
        }
        for (const RmapMeshKey& key : mesh.keys) {
            w->i32(key.word);
            putFloats(w, key.values);
        }
    }
    for (const RmapModel& model : m.models) {
        putFloats(w, model.position);
        putFloats(w, model.rotation);
        putFloats(w, model.scale);
        w->u8(model.kind);
        w->i32(model.modelId);
        w->i32(model.unused);
    }
    for (const RmapSoundEffect& s : m.soundEffects) {
        w->bytes(s.head.data(), s.head.size());
        for (std::uint32_t word : s.words) w->u32(word);
    }
    for (const auto& effect : m.effects) {
        for (std::uint32_t word : effect) w->u32(word);
    }
    for (const auto& light : m.lights) {
        for (std::uint32_t word : light) w->u32(word);
    }
}

}  // namespace

bool validateRmap(const RmapMap& map, std::string* error) {
    if (!validateGrid(map, error) || !validateLightmaps(map, error) || !validateTiles(map, error) ||
        !validateCubes(map, error) || !validateObjects(map, error)) {
        return false;
    }
    const std::uint64_t bytes = fileBytes(map);
    if (bytes > kMaxFileBytes) {
        return fail(error, strf("the map needs %llu bytes; the loader measures at most 2147483647",
                                static_cast<unsigned long long>(bytes)));
    }
    return true;
}

bool writeRmap(const RmapMap& map, Bytes* out, std::string* error) {
    if (!validateRmap(map, error)) return false;
    out->clear();
    out->reserve(static_cast<std::size_t>(fileBytes(map)));
    ByteWriter w(out);
    writeHeader(map, &w);
    writeGround(map, &w);
    writeObjects(map, &w);
    return true;
}

}  // namespace contentkit
