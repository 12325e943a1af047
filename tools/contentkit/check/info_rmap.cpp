// RMAP info: the header as the client's map loader reads it, then every
// segment measured against the bytes left (64-bit arithmetic, so no count
// can wrap) and every index the loader resolves checked against its list.
// Counts in the file only bound loops over bytes that are present; nothing
// is allocated from them.
#include <cmath>
#include <cstring>
#include <set>
#include <tuple>

#include "client/storage/byte_reader.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/check/info_internal.h"
#include "tools/contentkit/formats/rmap_writer.h"
#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

struct RmapHeader {
    std::uint16_t version = 0, cellsWide = 0, cellsHigh = 0;
    std::int32_t cubesWide = 0, cubesHigh = 0;
    float cubeSize = 0, waterLevel = 0;
    std::uint8_t waterType = 0, hasWater = 0, layerCount = 0;
    std::int32_t cellsPerLayer = 0, lightmapCount = 0, lightmapWidth = 0, lightmapHeight = 0;
    std::int32_t textureCount = 0, groundPassCount = 0, tileCount = 0, cubeCount = 0;
    std::int32_t modelCount = 0, soundEffectCount = 0, effectCount = 0, meshCount = 0, lightCount = 0;
};

RmapHeader parseHeader(const velmar::ByteReader& d) {
    RmapHeader h;
    h.version = d.u16At(velmar::kRmapVersionOffset);
    h.cellsWide = d.u16At(velmar::kRmapCellsWideOffset);
    h.cellsHigh = d.u16At(velmar::kRmapCellsHighOffset);
    h.cubesWide = d.i32At(velmar::kRmapCubesWideOffset);
    h.cubesHigh = d.i32At(velmar::kRmapCubesHighOffset);
    h.cubeSize = d.f32At(velmar::kRmapCubeSizeOffset);
    h.waterType = d.u8At(velmar::kRmapWaterTypeOffset);
    h.waterLevel = d.f32At(velmar::kRmapWaterLevelOffset);
    h.hasWater = d.u8At(velmar::kRmapHasWaterOffset);
    h.layerCount = d.u8At(velmar::kRmapLayerCountOffset);
    std::int32_t* counts[velmar::kRmapCountFields] = {
        &h.cellsPerLayer, &h.lightmapCount,    &h.lightmapWidth, &h.lightmapHeight, &h.textureCount,
        &h.groundPassCount, &h.tileCount,      &h.cubeCount,     &h.modelCount,     &h.soundEffectCount,
        &h.effectCount,   &h.meshCount,        &h.lightCount};
    for (std::size_t i = 0; i < velmar::kRmapCountFields; ++i) {
        *counts[i] = d.i32At(velmar::kRmapCountsOffset + 4 * i);
    }
    return h;
}

// The read position over the segments; `need` refuses a segment larger
// than what is left, `needRecords` without ever forming count * size.
struct SegmentWalk {
    velmar::ByteReader file;
    std::size_t pos;
    InfoReport* report;

    bool need(std::uint64_t bytes, const char* segment) {
        const std::uint64_t left = file.size() - pos;
        if (bytes > left) {
            return report->fail(strf("%s segment at offset %zu needs %llu bytes, %llu are left", segment, pos,
                                     static_cast<unsigned long long>(bytes),
                                     static_cast<unsigned long long>(left)));
        }
        return true;
    }
    bool needRecords(std::uint64_t count, std::uint64_t record, const char* segment) {
        const std::uint64_t left = file.size() - pos;
        if (count > 0 && (record == 0 || count > left / record)) {
            return report->fail(
                strf("%s segment at offset %zu needs %llu records of %llu bytes, %llu bytes are left", segment,
                     pos, static_cast<unsigned long long>(count), static_cast<unsigned long long>(record),
                     static_cast<unsigned long long>(left)));
        }
        return true;
    }
    // Fields at an offset from the read position.
    std::uint8_t u8(std::size_t at) const { return file.u8At(pos + at); }
    std::int32_t i32(std::size_t at) const { return file.i32At(pos + at); }
    float f32(std::size_t at) const { return file.f32At(pos + at); }
};

bool checkCounts(const RmapHeader& h, InfoReport* r) {
    const std::pair<const char*, std::int32_t> counts[] = {
        {"cellsPerLayer", h.cellsPerLayer}, {"lightmapCount", h.lightmapCount},
        {"textureCount", h.textureCount},   {"tileCount", h.tileCount},
        {"cubeCount", h.cubeCount},         {"meshCount", h.meshCount},
        {"modelCount", h.modelCount},       {"soundEffectCount", h.soundEffectCount},
        {"effectCount", h.effectCount},     {"lightCount", h.lightCount}};
    for (const auto& [name, value] : counts) {
        if (value < 0) return r->fail(strf("%s %d is negative", name, value));
    }
    if (h.cubesWide <= 0 || h.cubesHigh <= 0) {
        return r->fail(
            strf("cube grid %d x %d is not positive; the cell relation divides by it", h.cubesWide, h.cubesHigh));
    }
    if (!std::isfinite(h.cubeSize) || h.cubeSize <= 0) {
        return r->fail(strf("cubeSize %g is not positive", h.cubeSize));
    }
    const std::int64_t cells = static_cast<std::int64_t>(h.cellsWide) * h.cellsHigh;
    if (h.layerCount > 0 && h.cellsPerLayer < cells) {
        return r->fail(strf("cellsPerLayer %d is below the %d x %d grid; cell lookups would leave the layer",
                            h.cellsPerLayer, h.cellsWide, h.cellsHigh));
    }
    const std::int64_t cubes = static_cast<std::int64_t>(h.cubesWide) * h.cubesHigh;
    if (h.cubeCount < cubes) {
        return r->fail(strf("cubeCount %d is below the %d x %d cube grid", h.cubeCount, h.cubesWide, h.cubesHigh));
    }
    if (h.cellsPerLayer > cells && h.layerCount > 0) {
        r->warn(strf("cellsPerLayer %d is more than the grid's %lld cells", h.cellsPerLayer,
                     static_cast<long long>(cells)));
    }
    if (h.cubeCount > cubes) {
        r->warn(
            strf("cubeCount %d is more than the grid's %lld cubes", h.cubeCount, static_cast<long long>(cubes)));
    }
    if (h.layerCount == 0) r->warn("no cell layers: selecting layer 0 ends the client");
    if (h.cellsWide % h.cubesWide != 0 || h.cellsHigh % h.cubesHigh != 0 || h.cellsWide < h.cubesWide ||
        h.cellsHigh < h.cubesHigh) {
        r->warn("the cell grid is not a whole number of cells per cube");
    }
    if (h.groundPassCount != h.textureCount) {
        r->warn(strf("groundPassCount %d differs from textureCount %d; the ground compile visits only %d slots",
                     h.groundPassCount, h.textureCount, h.groundPassCount));
    }
    return true;
}

// --- Segments ---

bool walkCells(const RmapHeader& h, SegmentWalk* w) {
    if (h.cellsPerLayer == 0) return true;
    const std::uint64_t per = static_cast<std::uint64_t>(h.cellsPerLayer);
    if (!w->needRecords(h.layerCount * per, kRmapCellBytes, "vk-cell")) return false;
    std::string blocked;
    std::uint64_t odd = 0;
    for (unsigned l = 0; l < h.layerCount; ++l) {
        std::uint64_t count = 0;
        for (std::uint64_t i = 0; i < per; ++i) {
            const std::uint8_t walkable = w->u8(velmar::kRmapCellWalkableOffset);
            count += walkable == 0;
            odd += walkable > 1;
            w->pos += kRmapCellBytes;
        }
        blocked += strf("%s%llu", l ? ", " : "", static_cast<unsigned long long>(count));
    }
    if (h.layerCount > 0) w->report->field("blocked cells per layer", blocked);
    if (odd > 0) {
        w->report->warn(
            strf("%llu cells have a walkable byte other than 0 or 1", static_cast<unsigned long long>(odd)));
    }
    return true;
}

bool walkLightmaps(const RmapHeader& h, SegmentWalk* w) {
    if (h.lightmapCount == 0) return true;
    if (h.lightmapWidth <= 0 || h.lightmapHeight <= 0) {
        return w->report->fail(strf("lightmap size %d x %d is not positive", h.lightmapWidth, h.lightmapHeight));
    }
    const std::uint64_t image =
        static_cast<std::uint64_t>(h.lightmapWidth) * static_cast<std::uint64_t>(h.lightmapHeight) * 4u;
    if (!w->needRecords(static_cast<std::uint64_t>(h.lightmapCount), image + 1, "lightmap")) return false;
    std::uint64_t kinds[4] = {0, 0, 0, 0}, unknown = 0;
    for (std::int32_t i = 0; i < h.lightmapCount; ++i) {
        const std::uint8_t flags = w->u8(static_cast<std::size_t>(i));
        ++kinds[flags & 3];
        unknown += (flags & ~3) != 0;
    }
    w->pos += static_cast<std::size_t>(h.lightmapCount) * static_cast<std::size_t>(image + 1);
    w->report->field("lightmap kinds",
                     strf("%llu alpha, %llu colour, %llu colour and alpha",
                          static_cast<unsigned long long>(kinds[0] + kinds[1]),
                          static_cast<unsigned long long>(kinds[2]), static_cast<unsigned long long>(kinds[3])));
    if (kinds[1] > 0) {
        w->report->warn(strf("%llu lightmaps set the alpha bit without the colour bit; it is ignored",
                             static_cast<unsigned long long>(kinds[1])));
    }
    if (unknown > 0) {
        w->report->warn(
            strf("%llu lightmap flag bytes have bits above bit 1", static_cast<unsigned long long>(unknown)));
    }
    return true;
}

bool walkTexturesAndTiles(const RmapHeader& h, SegmentWalk* w) {
    if (!w->needRecords(static_cast<std::uint64_t>(h.textureCount), kRmapTextureBytes, "ground texture")) {
        return false;
    }
    std::string ids;
    std::int32_t negative = 0;
    for (std::int32_t i = 0; i < h.textureCount; ++i) {
        const std::int32_t id = w->i32(kRmapTextureBytes * static_cast<std::size_t>(i));
        if (i < 16) ids += strf("%s%d", i ? " " : "", id);
        negative += id < 0;
    }
    if (h.textureCount > 16) ids += " ...";
    if (h.textureCount > 0) w->report->field("ground texture IDs", ids);
    if (negative > 0) {
        w->report->warn(strf("%d ground textures have a negative ID; they draw as texture 0", negative));
    }
    w->pos += static_cast<std::size_t>(h.textureCount) * kRmapTextureBytes;

    if (!w->needRecords(static_cast<std::uint64_t>(h.tileCount), kRmapTileBytes, "tile")) return false;
    for (std::int32_t i = 0; i < h.tileCount; ++i, w->pos += kRmapTileBytes) {
        const std::int32_t texture = w->i32(velmar::kRmapTileTextureOffset);
        const std::int32_t lightmap = w->i32(velmar::kRmapTileLightmapOffset);
        if (texture < 0 || texture >= h.textureCount) {
            return w->report->fail(
                strf("tile %d uses ground texture %d; the map has %d", i, texture, h.textureCount));
        }
        if (lightmap < 0 && lightmap != kRmapNoLightmap) {
            return w->report->fail(strf("tile %d has lightmap index %d; only -1 or 0..%d are usable", i, lightmap,
                                        h.lightmapCount - 1));
        }
    }
    return true;
}

bool walkCubes(const RmapHeader& h, SegmentWalk* w) {
    if (!w->needRecords(static_cast<std::uint64_t>(h.cubeCount), kRmapCubeBytes, "cube")) return false;
    std::uint64_t water = 0, walls = 0, edgeWalls = 0;
    for (std::int32_t i = 0; i < h.cubeCount; ++i, w->pos += kRmapCubeBytes) {
        water += w->u8(velmar::kRmapCubeWaterOffset) == 1;
        for (int face = 0; face < 3; ++face) {
            const std::int32_t tile = w->i32(velmar::kRmapCubeFacesOffset + 4 * face);
            if (tile == kRmapNoTile) continue;
            if (tile < 0 || tile >= h.tileCount) {
                return w->report->fail(
                    strf("cube %d referenced tile %d; map has only %d tiles", i, tile, h.tileCount));
            }
            if (face == 2) continue;
            ++walls;
            const std::int32_t x = i % h.cubesWide, y = i / h.cubesWide;
            edgeWalls += (face == 1 && x == h.cubesWide - 1) || (face == 0 && y >= h.cubesHigh - 1);
        }
    }
    w->report->field("walls", strf("%llu", static_cast<unsigned long long>(walls)));
    w->report->field("water cubes", strf("%llu", static_cast<unsigned long long>(water)));
    if (water > 0 && h.hasWater != 1) w->report->warn("cubes carry water but the map has none; no water is drawn");
    if (edgeWalls > 0) {
        w->report->warn(strf("%llu walls face past the grid's last column or row",
                             static_cast<unsigned long long>(edgeWalls)));
    }
    return true;
}

bool walkMeshes(const RmapHeader& h, SegmentWalk* w) {
    for (std::int32_t i = 0; i < h.meshCount; ++i) {
        if (!w->need(kRmapMeshFixedBytes, "mesh")) return false;
        const std::int32_t faces = w->i32(velmar::kRmapMeshFaceCountOffset);
        const std::int32_t keys = w->i32(velmar::kRmapMeshKeyCountOffset);
        w->pos += kRmapMeshFixedBytes;
        const std::uint64_t faceCount = faces > 0 ? static_cast<std::uint64_t>(faces) : 0;
        const std::uint64_t keyCount = keys > 0 ? static_cast<std::uint64_t>(keys) : 0;
        if (!w->need(faceCount * kRmapFaceBytes + keyCount * kRmapKeyBytes, "mesh")) {
            w->report->error = strf("mesh %d: ", i) + w->report->error;
            return false;
        }
        for (std::uint64_t f = 0; f < faceCount; ++f, w->pos += kRmapFaceBytes) {
            const std::int32_t texture = w->i32(velmar::kRmapFaceTextureOffset);
            if (texture < 0 || texture >= h.textureCount) {
                return w->report->fail(strf("mesh %d face %llu uses ground texture %d; the map has %d", i,
                                            static_cast<unsigned long long>(f), texture, h.textureCount));
            }
        }
        w->pos += static_cast<std::size_t>(keyCount * kRmapKeyBytes);
    }
    return true;
}

bool walkModels(const RmapHeader& h, SegmentWalk* w) {
    if (!w->needRecords(static_cast<std::uint64_t>(h.modelCount), kRmapModelBytes, "model")) return false;
    std::set<std::int32_t> ids;
    std::uint64_t external = 0, internal = 0, odd = 0, notFinite = 0;
    for (std::int32_t i = 0; i < h.modelCount; ++i, w->pos += kRmapModelBytes) {
        for (int f = 0; f < 9; ++f) notFinite += !std::isfinite(w->f32(4 * f)) ? 1 : 0;
        const std::uint8_t kind = w->u8(velmar::kRmapModelKindOffset);
        external += kind == kModelExternal;
        internal += kind == kModelInternal;
        odd += kind > kModelExternal;
        if (kind == kModelExternal) ids.insert(w->i32(velmar::kRmapModelIdOffset));
    }
    w->report->field("models",
                     strf("%d (%llu external, %llu internal)", h.modelCount,
                          static_cast<unsigned long long>(external), static_cast<unsigned long long>(internal)));
    std::string list;
    for (std::int32_t id : ids) list += strf("%s%d", list.empty() ? "" : " ", id);
    if (!ids.empty()) w->report->field("external model IDs", list);
    if (!ids.empty() && *ids.begin() < 0) {
        w->report->warn(strf("model ID %d is negative; no model.def entry can match it", *ids.begin()));
    }
    if (odd > 0) {
        w->report->warn(strf("%llu models have a kind other than 0 or 1 and are not drawn",
                             static_cast<unsigned long long>(odd)));
    }
    if (notFinite > 0) w->report->warn("a model position, rotation or scale is not a finite number");
    return true;
}

bool walkLists(const RmapHeader& h, SegmentWalk* w) {
    const std::tuple<const char*, std::int32_t, std::size_t> lists[] = {
        {"sound effect", h.soundEffectCount, kRmapSoundEffectBytes},
        {"effect", h.effectCount, kRmapEffectBytes},
        {"light", h.lightCount, kRmapLightBytes}};
    for (const auto& [name, count, record] : lists) {
        if (!w->needRecords(static_cast<std::uint64_t>(count), record, name)) return false;
        w->pos += static_cast<std::size_t>(count) * record;
    }
    return true;
}

void reportHeader(const RmapHeader& h, InfoReport* r) {
    r->field("version", strf("%d", h.version));
    r->field("vk-cells",
             strf("%d x %d, %d layers of %d", h.cellsWide, h.cellsHigh, h.layerCount, h.cellsPerLayer));
    r->field("cubes", strf("%d x %d of size %g, %d records", h.cubesWide, h.cubesHigh, h.cubeSize, h.cubeCount));
    r->field("water",
             // As the map property waterLevel gives it: the file keeps heights negated.
             h.hasWater == 1 ? strf("type %d at level %g (stored negated, as %g)", h.waterType, 0.0f - h.waterLevel,
                                    h.waterLevel)
                             : std::string("none"));
    r->field("lightmaps", strf("%d of %d x %d", h.lightmapCount, h.lightmapWidth, h.lightmapHeight));
    r->field("ground textures", strf("%d (%d passes)", h.textureCount, h.groundPassCount));
    r->field("tiles", strf("%d", h.tileCount));
    r->field("meshes, sound effects, effects, lights",
             strf("%d, %d, %d, %d", h.meshCount, h.soundEffectCount, h.effectCount, h.lightCount));
}

}  // namespace

bool infoRmap(const std::uint8_t* data, std::size_t len, InfoReport* report) {
    report->format = "RMAP";
    if (len < 6) return report->fail(strf("file is %zu bytes, too short for magic and version", len));
    const velmar::ByteReader file(data, len);
    if (!hasMagic(file, kRmapMagic, report)) return false;
    const std::uint16_t version = file.u16At(velmar::kRmapVersionOffset);
    if (version != kRmapVersion) return report->fail(strf("version %d; only 6 is read", version));
    if (!holdsHeader(len, kRmapHeaderEnd, "header", report)) return false;
    const RmapHeader h = parseHeader(file);
    reportHeader(h, report);
    if (!checkCounts(h, report)) return false;
    SegmentWalk walk{file, kRmapHeaderEnd, report};
    if (!walkCells(h, &walk) || !walkLightmaps(h, &walk) || !walkTexturesAndTiles(h, &walk) ||
        !walkCubes(h, &walk) || !walkMeshes(h, &walk) || !walkModels(h, &walk) || !walkLists(h, &walk)) {
        return false;
    }
    if (walk.pos < len) report->warn(strf("%zu bytes after the last segment are ignored", len - walk.pos));
    return true;
}

}  // namespace contentkit
