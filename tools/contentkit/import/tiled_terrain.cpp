// Ground and cells from the map's layers: the height image (one pixel per
// cell corner), the lifts that raise whole cubes and open cliff walls, the
// ground textures by majority of each cube's cells, the water, and the cell
// layers with their walkability; each read turned over into the client's
// rows (tiled_import_internal.h).
#include <algorithm>
#include <cmath>
#include <map>

#include "tools/contentkit/formats/image.h"
#include "tools/contentkit/import/tiled_import_internal.h"

namespace contentkit {

namespace {

constexpr double kEdgeTolerance = 0.01;

std::size_t cellIndex(const ImportContext& ctx, int x, int y) {
    return static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * static_cast<std::size_t>(ctx.map.width);
}

// As Tiled shows the cube of the client's cube row y.
std::string cubeName(const ImportContext& ctx, int x, int y) {
    const int c = ctx.settings.cellsPerCube, ty = ctx.cubesHigh - 1 - y;
    return "cube " + cellName(x, ty) + " (cells " + cellName(x * c, ty * c) + " to " +
           cellName(x * c + c - 1, ty * c + c - 1) + ")";
}

// --- Heights ---

// Elevation per cell corner, (width + 1) x (height + 1) in the client's rows,
// from a height layer.
bool readHeightImage(ImportContext& ctx, const TiledLayer& layer, std::vector<double>* corners, std::string* error) {
    const int w = ctx.map.width + 1, h = ctx.map.height + 1;
    double scale = ctx.settings.heightScale, base = ctx.settings.heightBase;
    const std::string where = ctx.file() + ": layer '" + layer.name + "'";
    if (!propertyDouble(layer.properties, "heightScale", where, &scale, error) ||
        !propertyDouble(layer.properties, "heightBase", where, &base, error)) {
        return false;
    }
    if (layer.image.source.empty()) {
        *error = ctx.layerAt(layer, "the image layer holds no picture");
        return false;
    }
    Bytes bytes;
    std::string why;
    GreyImage grey;
    if (!ctx.sources.read(layer.image.source, &bytes, &why) || !decodeGrey16(bytes.data(), bytes.size(), &grey, &why)) {
        *error = ctx.layerAt(layer, layer.image.source + ": " + why);
        return false;
    }
    if (grey.width != w || grey.height != h) {
        *error = ctx.layerAt(layer, layer.image.source + " is " + std::to_string(grey.width) + " x " +
                                        std::to_string(grey.height) + " pixels; the map needs one per cell corner, " +
                                        std::to_string(w) + " x " + std::to_string(h));
        return false;
    }
    corners->resize(grey.values.size());
    const std::size_t stride = static_cast<std::size_t>(w);
    for (int y = 0; y < h; ++y) {
        const std::size_t from = static_cast<std::size_t>(h - 1 - y) * stride, to = static_cast<std::size_t>(y) * stride;
        for (std::size_t x = 0; x < stride; ++x) (*corners)[to + x] = base + scale * grey.values[from + x] / 65535.0;
    }
    return true;
}

// The largest lift among each cube's cells that hold a lift tile (cells
// without one do not count, so a lift below 0 lowers its cube).
bool readLifts(ImportContext& ctx, std::vector<double>* cubeLift, std::string* error) {
    cubeLift->assign(static_cast<std::size_t>(ctx.cubesWide) * static_cast<std::size_t>(ctx.cubesHigh), 0.0);
    if (!ctx.lift) return true;
    const int c = ctx.settings.cellsPerCube;
    std::map<std::uint32_t, double> byGid;
    std::vector<bool> lifted(cubeLift->size(), false);
    for (int y = 0; y < ctx.map.height; ++y) {
        for (int x = 0; x < ctx.map.width; ++x) {
            const std::uint32_t gid = gidAt(ctx, *ctx.lift, x, y) & kTiledGidMask;
            if (gid == 0) continue;
            auto found = byGid.find(gid);
            if (found == byGid.end()) {
                const TiledTileset* set = ctx.map.tilesetOf(gid);
                const TiledTile* tile = set->tile(gid - set->firstGid);
                double lift = 0;
                const std::string where =
                    ctx.file() + ": layer '" + ctx.lift->name + "', cell " + tiledCellName(ctx, x, y);
                if (!tile || !hasProperty(tile->properties, "lift")) {
                    *error = where + ": tile " + std::to_string(gid - set->firstGid) + " of tileset '" + set->name +
                             "' has no property 'lift'";
                    return false;
                }
                if (!propertyDouble(tile->properties, "lift", where, &lift, error)) return false;
                found = byGid.emplace(gid, lift).first;
            }
            const std::size_t cube = static_cast<std::size_t>(x / c + (y / c) * ctx.cubesWide);
            (*cubeLift)[cube] = lifted[cube] ? std::max((*cubeLift)[cube], found->second) : found->second;
            lifted[cube] = true;
        }
    }
    return true;
}

bool buildElevations(ImportContext& ctx, std::string* error) {
    std::vector<double> corners;
    const auto base = ctx.heights.find(0);
    if (base != ctx.heights.end()) {
        if (!readHeightImage(ctx, *base->second, &corners, error)) return false;
    } else {
        corners.assign(static_cast<std::size_t>(ctx.map.width + 1) * static_cast<std::size_t>(ctx.map.height + 1),
                       ctx.settings.heightBase);
    }
    std::vector<double> lift;
    if (!readLifts(ctx, &lift, error)) return false;
    const int c = ctx.settings.cellsPerCube, stride = ctx.map.width + 1;
    auto at = [&](int x, int y) { return corners[static_cast<std::size_t>(x + y * stride)]; };
    ctx.cubeElevation.resize(lift.size());
    for (int y = 0; y < ctx.cubesHigh; ++y) {
        for (int x = 0; x < ctx.cubesWide; ++x) {
            const double l = lift[static_cast<std::size_t>(x + y * ctx.cubesWide)];
            const int x0 = x * c, x1 = x0 + c, y0 = y * c, y1 = y0 + c;
            ctx.cubeElevation[static_cast<std::size_t>(x + y * ctx.cubesWide)] = {at(x0, y0) + l, at(x1, y0) + l,
                                                                                 at(x0, y1) + l, at(x1, y1) + l};
        }
    }
    std::vector<std::array<double, 4>> cells(static_cast<std::size_t>(ctx.map.width) * ctx.map.height);
    for (int y = 0; y < ctx.map.height; ++y) {
        for (int x = 0; x < ctx.map.width; ++x) {
            const double l = lift[static_cast<std::size_t>(x / c + (y / c) * ctx.cubesWide)];
            cells[cellIndex(ctx, x, y)] = {at(x, y) + l, at(x + 1, y) + l, at(x, y + 1) + l, at(x + 1, y + 1) + l};
        }
    }
    ctx.cellElevation.push_back(std::move(cells));
    return true;
}

// --- Ground ---

// The ground tile most of the cube's cells hold, turned; ties go to the
// first in the client's row order. 0 when none holds one.
std::uint32_t majorityTile(const ImportContext& ctx, int cx, int cy) {
    const int c = ctx.settings.cellsPerCube;
    std::vector<std::pair<std::uint32_t, int>> votes;  // full gid of the first holder, count
    for (int y = cy * c; y < cy * c + c; ++y) {
        for (int x = cx * c; x < cx * c + c; ++x) {
            const std::uint32_t gid = gidAt(ctx, *ctx.ground, x, y);
            if ((gid & kTiledGidMask) == 0) continue;
            auto it = std::find_if(votes.begin(), votes.end(), [gid](const auto& v) {
                return (v.first & kTiledGidMask) == (gid & kTiledGidMask);
            });
            if (it == votes.end()) votes.emplace_back(gid, 1);
            else ++it->second;
        }
    }
    std::uint32_t best = 0;
    int count = 0;
    for (const auto& v : votes) {
        if (v.second > count) {
            best = v.first;
            count = v.second;
        }
    }
    return best;
}

std::int32_t textureSlot(ImportContext& ctx, std::int32_t id) {
    auto& t = ctx.rmap.textures;
    const auto found = std::find(t.begin(), t.end(), id);
    if (found != t.end()) return static_cast<std::int32_t>(found - t.begin());
    t.push_back(id);
    return static_cast<std::int32_t>(t.size() - 1);
}

// The top's coordinates across the texture's span of cubes, flipped as
// the editor shows the (turned) tile: vertically and horizontally first,
// then across the diagonal.
RmapTile topTile(const ImportContext& ctx, int x, int y, std::uint32_t gid, std::int32_t slot) {
    const int span = ctx.settings.textureSpan;
    RmapTile tile;
    tile.colour = {255, 255, 255, 255};
    tile.texture = slot;
    const int lu[4] = {0, 1, 0, 1}, lv[4] = {0, 0, 1, 1};
    for (int k = 0; k < 4; ++k) {
        float u = static_cast<float>(x % span + lu[k]) / static_cast<float>(span);
        float v = static_cast<float>(y % span + lv[k]) / static_cast<float>(span);
        if (gid & kTiledFlipHorizontal) u = 1.0f - u;
        if (gid & kTiledFlipVertical) v = 1.0f - v;
        if (gid & kTiledFlipDiagonal) std::swap(u, v);
        tile.u[static_cast<std::size_t>(k)] = u;
        tile.v[static_cast<std::size_t>(k)] = v;
    }
    return tile;
}

// A wall's texture runs with the elevation, so neighbouring walls meet.
// `reversed`: the first vertex lies at the far end of the edge (+x walls
// run from y1 back to y0).
RmapTile wallTile(const ImportContext& ctx, int along, bool reversed, const std::array<double, 4>& elevation,
                  std::int32_t slot) {
    const float span = static_cast<float>(ctx.settings.textureSpan);
    const float scale = static_cast<float>(ctx.settings.textureSpan) * ctx.settings.cubeSize;
    RmapTile tile;
    tile.colour = {255, 255, 255, 255};
    tile.texture = slot;
    const float u0 = static_cast<float>(along % ctx.settings.textureSpan) / span, u1 = u0 + 1.0f / span;
    // Corner order: first, second, fourth, third vertex.
    tile.u = reversed ? std::array<float, 4>{u1, u0, u1, u0} : std::array<float, 4>{u0, u1, u0, u1};
    for (int k = 0; k < 4; ++k) {
        tile.v[static_cast<std::size_t>(k)] = static_cast<float>(-elevation[static_cast<std::size_t>(k)]) / scale;
    }
    return tile;
}

std::int32_t addTile(RmapMap* map, const RmapTile& tile) {
    map->tiles.push_back(tile);
    return static_cast<std::int32_t>(map->tiles.size() - 1);
}

// A wall shows the higher cube's ground tile's `wallTexture`, else the
// map's, else that cube's top texture.
bool addWalls(ImportContext& ctx, const std::vector<std::int32_t>& topIds, const std::vector<std::uint32_t>& tiles,
              std::string* error) {
    const int w = ctx.cubesWide, h = ctx.cubesHigh;
    auto e = [&](int x, int y) -> const std::array<double, 4>& {
        return ctx.cubeElevation[static_cast<std::size_t>(x + y * w)];
    };
    std::int32_t slot = 0;
    auto wallSlot = [&](int x, int y, int nx, int ny, double mine, double theirs) {
        const std::size_t high = static_cast<std::size_t>(mine >= theirs ? x + y * w : nx + ny * w);
        const TiledTileset* set = ctx.map.tilesetOf(tiles[high]);
        const TiledTile* tile = set->tile((tiles[high] & kTiledGidMask) - set->firstGid);
        long long id = ctx.settings.hasWallTexture ? ctx.settings.wallTexture : topIds[high];
        const std::string where = set->file + ": tileset '" + set->name + "', tile " +
                                  std::to_string((tiles[high] & kTiledGidMask) - set->firstGid);
        if (tile && !propertyInt(tile->properties, "wallTexture", 0, INT32_MAX, where, &id, error)) return false;
        slot = textureSlot(ctx, static_cast<std::int32_t>(id));
        return true;
    };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            RmapCube& cube = ctx.rmap.cubes[static_cast<std::size_t>(x + y * w)];
            const auto& c = e(x, y);
            if (x + 1 < w) {
                const auto& n = e(x + 1, y);
                if (std::fabs(c[1] - n[0]) > kEdgeTolerance || std::fabs(c[3] - n[2]) > kEdgeTolerance) {
                    if (!wallSlot(x, y, x + 1, y, c[1] + c[3], n[0] + n[2])) return false;
                    // Vertices: (x1,y1) top, (x1,y0) top, (x1,y0) neighbour, (x1,y1) neighbour.
                    cube.wallX = addTile(&ctx.rmap, wallTile(ctx, y, true, {c[3], c[1], n[2], n[0]}, slot));
                }
            }
            if (y + 1 < h) {
                const auto& n = e(x, y + 1);
                if (std::fabs(c[2] - n[0]) > kEdgeTolerance || std::fabs(c[3] - n[1]) > kEdgeTolerance) {
                    if (!wallSlot(x, y, x, y + 1, c[2] + c[3], n[0] + n[1])) return false;
                    cube.wallY = addTile(&ctx.rmap, wallTile(ctx, x, false, {c[2], c[3], n[0], n[1]}, slot));
                }
            }
        }
    }
    return true;
}

bool buildCubes(ImportContext& ctx, std::string* error) {
    const int w = ctx.cubesWide, h = ctx.cubesHigh;
    ctx.rmap.cubes.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    std::vector<std::int32_t> topIds(ctx.rmap.cubes.size());
    std::vector<std::uint32_t> tiles(ctx.rmap.cubes.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const std::size_t i = static_cast<std::size_t>(x + y * w);
            const std::uint32_t gid = majorityTile(ctx, x, y);
            tiles[i] = gid;
            if (gid == 0) {
                *error = ctx.layerAt(*ctx.ground, cubeName(ctx, x, y) + ": no cell holds a tile; every cube needs "
                                                                        "a ground texture");
                return false;
            }
            if (!tileTexture(ctx, gid, &topIds[i], error)) return false;
            RmapCube& cube = ctx.rmap.cubes[i];
            const auto& e = ctx.cubeElevation[i];
            for (int k = 0; k < 4; ++k) cube.heights[static_cast<std::size_t>(k)] = static_cast<float>(0.0 - e[static_cast<std::size_t>(k)]);
            cube.water = ctx.settings.hasWater && *std::min_element(e.begin(), e.end()) < ctx.settings.waterLevel;
            cube.top = addTile(&ctx.rmap, topTile(ctx, x, y, gid, textureSlot(ctx, topIds[i])));
        }
    }
    return addWalls(ctx, topIds, tiles, error);
}

}  // namespace

bool buildTerrain(ImportContext& ctx, std::string* error) {
    RmapMap& m = ctx.rmap;
    m.cellsWide = static_cast<std::uint16_t>(ctx.map.width);
    m.cellsHigh = static_cast<std::uint16_t>(ctx.map.height);
    m.cubesWide = ctx.cubesWide;
    m.cubesHigh = ctx.cubesHigh;
    m.cubeSize = ctx.settings.cubeSize;
    m.hasWater = ctx.settings.hasWater;
    m.waterType = static_cast<std::uint8_t>(ctx.settings.waterType);
    m.waterLevel = static_cast<float>(0.0 - ctx.settings.waterLevel);
    m.sceneTint = ctx.settings.sceneTint;
    return buildElevations(ctx, error) && buildCubes(ctx, error);
}

// --- Cells ---

namespace {

struct WalkTile {
    bool walkable = true;
    bool atWater = false;
};

bool walkTileOf(ImportContext& ctx, const TiledLayer& layer, int x, int y, std::map<std::uint32_t, WalkTile>* cache,
                WalkTile* out, std::string* error) {
    const std::uint32_t gid = gidAt(ctx, layer, x, y) & kTiledGidMask;
    auto found = cache->find(gid);
    if (found == cache->end()) {
        const TiledTileset* set = ctx.map.tilesetOf(gid);
        const TiledTile* tile = set->tile(gid - set->firstGid);
        WalkTile w;
        const std::string where = ctx.file() + ": layer '" + layer.name + "', cell " + tiledCellName(ctx, x, y);
        if (tile && (!propertyBool(tile->properties, "walkable", where, &w.walkable, error) ||
                     !propertyBool(tile->properties, "atWater", where, &w.atWater, error))) {
            return false;
        }
        if (w.atWater && !ctx.settings.hasWater) {
            *error = where + ": the tile puts the cell at the water surface, but the map has no 'waterLevel'";
            return false;
        }
        found = cache->emplace(gid, w).first;
    }
    *out = found->second;
    return true;
}

bool applyWalkLayer(ImportContext& ctx, const TiledLayer& layer, std::size_t vk, std::string* error) {
    std::map<std::uint32_t, WalkTile> cache;
    for (int y = 0; y < ctx.map.height; ++y) {
        for (int x = 0; x < ctx.map.width; ++x) {
            if ((gidAt(ctx, layer, x, y) & kTiledGidMask) == 0) continue;
            WalkTile w;
            if (!walkTileOf(ctx, layer, x, y, &cache, &w, error)) return false;
            ctx.walkable[vk][cellIndex(ctx, x, y)] = w.walkable;
            if (w.atWater) ctx.cellElevation[vk][cellIndex(ctx, x, y)].fill(ctx.settings.waterLevel);
        }
    }
    return true;
}

}  // namespace

bool buildCells(ImportContext& ctx, std::string* error) {
    int layers = 1;
    for (const auto& kv : ctx.heights) layers = std::max(layers, kv.first + 1);
    for (const auto& kv : ctx.walks) layers = std::max(layers, kv.first + 1);
    std::vector<bool>& ground = ctx.walkable.emplace_back(ctx.cellElevation[0].size(), true);
    if (ctx.settings.hasWater) {
        for (std::size_t i = 0; i < ground.size(); ++i) {
            const auto& e = ctx.cellElevation[0][i];
            ground[i] = (e[0] + e[1] + e[2] + e[3]) * 0.25 >= ctx.settings.waterLevel;
        }
    }
    const auto walk0 = ctx.walks.find(0);
    if (walk0 != ctx.walks.end() && !applyWalkLayer(ctx, *walk0->second, 0, error)) return false;
    for (int vk = 1; vk < layers; ++vk) {
        ctx.cellElevation.push_back(ctx.cellElevation[0]);
        ctx.walkable.push_back(ctx.walkable[0]);
        const auto image = ctx.heights.find(vk);
        if (image != ctx.heights.end()) {
            std::vector<double> corners;
            if (!readHeightImage(ctx, *image->second, &corners, error)) return false;
            const std::size_t stride = static_cast<std::size_t>(ctx.map.width) + 1;
            for (int y = 0; y < ctx.map.height; ++y) {
                for (int x = 0; x < ctx.map.width; ++x) {
                    const std::size_t c = static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * stride;
                    ctx.cellElevation.back()[cellIndex(ctx, x, y)] = {corners[c], corners[c + 1], corners[c + stride],
                                                                      corners[c + stride + 1]};
                }
            }
        }
        const auto walk = ctx.walks.find(vk);
        if (walk != ctx.walks.end() && !applyWalkLayer(ctx, *walk->second, static_cast<std::size_t>(vk), error))
            return false;
    }
    return true;
}

void storeCells(ImportContext& ctx) {
    ctx.rmap.layers.assign(ctx.cellElevation.size(), std::vector<RmapCell>(ctx.cellElevation[0].size()));
    for (std::size_t vk = 0; vk < ctx.cellElevation.size(); ++vk) {
        for (std::size_t i = 0; i < ctx.cellElevation[vk].size(); ++i) {
            RmapCell& cell = ctx.rmap.layers[vk][i];
            for (int k = 0; k < 4; ++k) {
                cell.heights[static_cast<std::size_t>(k)] = static_cast<float>(0.0 - ctx.cellElevation[vk][i][static_cast<std::size_t>(k)]);
            }
            cell.walkable = ctx.walkable[vk][i];
        }
    }
}

// --- After the bake ---

void shareIdenticalTiles(RmapMap* map) {
    std::map<Bytes, std::int32_t> index;
    std::vector<std::int32_t> remap(map->tiles.size());
    std::vector<RmapTile> kept;
    for (std::size_t i = 0; i < map->tiles.size(); ++i) {
        const RmapTile& t = map->tiles[i];
        Bytes key;
        ByteWriter w(&key);
        for (int k = 0; k < 4; ++k) {
            w.f32(t.u[static_cast<std::size_t>(k)]);
            w.f32(t.v[static_cast<std::size_t>(k)]);
            w.u8(t.colour[static_cast<std::size_t>(k)]);
        }
        w.i32(t.texture);
        w.i32(t.lightmap);
        const auto found = index.emplace(key, static_cast<std::int32_t>(kept.size()));
        if (found.second) kept.push_back(t);
        remap[i] = found.first->second;
    }
    for (RmapCube& c : map->cubes) {
        for (std::int32_t* tile : {&c.wallY, &c.wallX, &c.top}) {
            if (*tile != kRmapNoTile) *tile = remap[static_cast<std::size_t>(*tile)];
        }
    }
    map->tiles.swap(kept);
}

// More than half of a water cube's top within this of the surface (waves
// move it by up to 1) draws ground and water so close that the window's
// 16-bit depth buffer mixes them up into a sawtooth along the shore.
constexpr double kNearLevel = 1.5;

void warnNearLevelShores(ImportContext& ctx) {
    if (!ctx.settings.hasWater) return;
    const double cs = ctx.settings.cubeSize, level = ctx.settings.waterLevel;
    int count = 0;
    std::string first;
    for (int ty = 0; ty < ctx.cubesHigh; ++ty) {  // named in Tiled's reading order
        const int y = ctx.cubesHigh - 1 - ty;
        for (int x = 0; x < ctx.cubesWide; ++x) {
            // Water is drawn over the cubes that carry it, and only there.
            if (!ctx.rmap.cubes[static_cast<std::size_t>(x + y * ctx.cubesWide)].water) continue;
            int near = 0;
            for (int j = 0; j < 4; ++j) {
                for (int i = 0; i < 4; ++i) {
                    const double e = groundElevation(ctx.rmap, (x + (i + 0.5) / 4) * cs, (y + (j + 0.5) / 4) * cs);
                    near += std::fabs(e - level) < kNearLevel;
                }
            }
            if (near <= 8) continue;
            if (count++ < 3) first += (first.empty() ? "" : ", ") + cubeName(ctx, x, y);
        }
    }
    if (count == 0) return;
    ctx.warn(ctx.at(std::to_string(count) + (count == 1 ? " cube lies" : " cubes lie") +
                    " under water almost level with it (more than half the top within 1.5 of the surface), where "
                    "the window's 16-bit depth buffer cannot keep ground and water apart: lower the ground there "
                    "(a lift below 0 on the shore's water cubes) or steepen the shore at " +
                    first + (count > 3 ? ", ..." : "")));
}

}  // namespace contentkit
