// What both Tiled formats share: paths, numbers, properties, the format
// switch and the checks a whole map must pass.
#include "tools/contentkit/tiled/tiled_map.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "tools/contentkit/formats/text.h"
#include "tools/contentkit/tiled/tiled_parse_internal.h"

namespace contentkit {

const TiledProperty* findTiledProperty(const TiledProperties& properties, const std::string& name) {
    for (const TiledProperty& p : properties) {
        if (equalNoCase(p.name, name)) return &p;
    }
    return nullptr;
}

const TiledTile* TiledTileset::tile(std::uint32_t localId) const {
    const auto at = std::lower_bound(tiles.begin(), tiles.end(), localId,
                                     [](const TiledTile& t, std::uint32_t id) { return t.id < id; });
    return at != tiles.end() && at->id == localId ? &*at : nullptr;
}

const TiledTileset* TiledMap::tilesetOf(std::uint32_t gid) const {
    const std::uint32_t id = gid & kTiledGidMask;
    for (auto it = tilesets.rbegin(); it != tilesets.rend(); ++it) {
        if (id >= it->firstGid) {
            return id - it->firstGid < static_cast<std::uint32_t>(it->tileCount) ? &*it : nullptr;
        }
    }
    return nullptr;
}

std::string joinTiledPath(const std::string& fromFile, const std::string& relative) {
    // Maps saved on Windows may separate folders with backslashes.
    std::string slashed = relative;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    const std::filesystem::path rel(slashed);
    if (rel.is_absolute()) return rel.lexically_normal().generic_string();
    return (std::filesystem::path(fromFile).parent_path() / rel).lexically_normal().generic_string();
}

char firstTiledByte(const std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    // A UTF-8 byte order mark may lead either format.
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) i = 3;
    for (; i < size; ++i) {
        if (!std::isspace(data[i])) return static_cast<char>(data[i]);
    }
    return 0;
}

std::size_t lineOfOffset(const std::uint8_t* data, std::size_t size, std::size_t offset) {
    std::size_t line = 1;
    for (std::size_t i = 0; i < offset && i < size; ++i) line += data[i] == '\n';
    return line;
}

bool tiledInt(const std::string& text, long long low, long long high, long long* out) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    *out = v;
    return true;
}

bool tiledDouble(const std::string& text, double* out) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool tiledRgb(const std::string& text, std::int32_t* out) {
    const std::size_t start = !text.empty() && text[0] == '#' ? 1 : 0;
    if (text.size() != start + 6) return false;
    std::int32_t v = 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
        v = v * 16 + (std::isdigit(static_cast<unsigned char>(text[i])) ? text[i] - '0'
                                                                         : std::tolower(text[i]) - 'a' + 10);
    }
    *out = v;
    return true;
}

const char kTiledAlignmentNames[] =
    "unspecified, topleft, top, topright, left, center, right, bottomleft, bottom or bottomright";

bool parseTiledAlignment(const std::string& text, TiledAlignment* out) {
    // In the enum's order.
    static const char* const kNames[] = {"unspecified", "topleft", "top",        "topright", "left",
                                         "center",      "right",   "bottomleft", "bottom",   "bottomright"};
    if (text.empty()) {
        *out = TiledAlignment::Unspecified;
        return true;
    }
    for (std::size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (text == kNames[i]) {
            *out = static_cast<TiledAlignment>(i);
            return true;
        }
    }
    return false;
}

bool parseTiledDrawing(const std::string& renderSize, const std::string& fillMode, TiledTileset* t,
                       std::string* error) {
    if (renderSize != "" && renderSize != "tile" && renderSize != "grid") {
        *error = "tilerendersize \"" + renderSize + "\" is not tile or grid";
        return false;
    }
    if (fillMode != "" && fillMode != "stretch" && fillMode != "preserve-aspect-fit") {
        *error = "fillmode \"" + fillMode + "\" is not stretch or preserve-aspect-fit";
        return false;
    }
    t->drawnAtGridSize = renderSize == "grid";
    t->keepsAspect = fillMode == "preserve-aspect-fit";
    return true;
}

bool checkLayerStart(long long x, long long y, const std::string& part, const TiledMap& map, std::string* error) {
    if (x == 0 && y == 0) return true;
    *error = map.file + ": " + part + ": the layer starts at tile (" + std::to_string(x) + ", " + std::to_string(y) +
             ") of the map, where the editor draws it shifted; only layers that start at (0, 0) are read";
    return false;
}

bool readExternalTileset(const std::string& mapFile, const std::string& source, TiledFileSource& files,
                         TiledTileset* tileset, std::string* error) {
    const std::string path = joinTiledPath(mapFile, source);
    Bytes bytes;
    std::string why;
    if (!files.read(path, &bytes, &why)) {
        *error = mapFile + ": tileset '" + source + "': " + why;
        return false;
    }
    tileset->file = path;
    const char first = firstTiledByte(bytes.data(), bytes.size());
    if (first == '<') return parseTmxTileset(path, bytes.data(), bytes.size(), tileset, error);
    if (first == '{') return parseJsonTileset(path, bytes.data(), bytes.size(), tileset, error);
    *error = path + ": not a Tiled tileset (neither XML nor JSON)";
    return false;
}

bool checkTiledMapHeader(const std::string& orientation, bool infinite, TiledMap* map, std::string* error) {
    const std::string& f = map->file;
    if (orientation != "orthogonal") {
        *error = f + ": the map is " + (orientation.empty() ? "of no orientation" : orientation) +
                 "; only orthogonal maps have cells that are vk-cells";
        return false;
    }
    if (infinite) {
        *error = f + ": the map is infinite; give it a fixed size (Map > Map Properties > Infinite off)";
        return false;
    }
    if (map->width < 1 || map->height < 1 || map->width > kTiledMaxSide || map->height > kTiledMaxSide ||
        static_cast<long long>(map->width) * map->height > kTiledMaxCells) {
        *error = f + ": a map of " + std::to_string(map->width) + " x " + std::to_string(map->height) +
                 " tiles is not one the importer takes (sides of 1 to " + std::to_string(kTiledMaxSide) +
                 " cells, at most " + std::to_string(kTiledMaxCells) + " cells)";
        return false;
    }
    if (map->tileWidth < 1 || map->tileHeight < 1) {
        *error = f + ": the map's tile size must be at least 1 x 1 pixels";
        return false;
    }
    return true;
}

namespace {

std::string cellText(int x, int y) { return "(" + std::to_string(x) + ", " + std::to_string(y) + ")"; }

bool checkTilesets(TiledMap* map, std::string* error) {
    std::stable_sort(map->tilesets.begin(), map->tilesets.end(),
                     [](const TiledTileset& a, const TiledTileset& b) { return a.firstGid < b.firstGid; });
    for (std::size_t i = 0; i < map->tilesets.size(); ++i) {
        TiledTileset& t = map->tilesets[i];
        // Older files leave out what the editor works out from the atlas.
        if (!t.image.source.empty() && t.tileWidth > 0 && t.tileHeight > 0) {
            const long long across = (static_cast<long long>(t.image.width) - t.margin + t.spacing) /
                                     (static_cast<long long>(t.tileWidth) + t.spacing);
            const long long down = (static_cast<long long>(t.image.height) - t.margin + t.spacing) /
                                   (static_cast<long long>(t.tileHeight) + t.spacing);
            if (t.columns == 0 && across > 0) t.columns = static_cast<int>(across);
            if (t.tileCount == 0 && across > 0 && down > 0 && across * down <= INT32_MAX)
                t.tileCount = static_cast<int>(across * down);
        }
        std::sort(t.tiles.begin(), t.tiles.end(), [](const TiledTile& a, const TiledTile& b) { return a.id < b.id; });
        const std::string name = t.file + ": tileset '" + t.name + "'";
        if (t.firstGid < 1 || t.firstGid > kTiledGidMask || t.tileCount < 0 ||
            t.tileCount > static_cast<long long>(kTiledGidMask - t.firstGid) + 1) {
            *error = name + ": first tile ID " + std::to_string(t.firstGid) + " and " + std::to_string(t.tileCount) +
                     " tiles do not fit the tile ID range";
            return false;
        }
        if (i + 1 < map->tilesets.size() &&
            static_cast<long long>(t.firstGid) + t.tileCount > map->tilesets[i + 1].firstGid) {
            *error = name + " overlaps the tile IDs of tileset '" + map->tilesets[i + 1].name + "'";
            return false;
        }
        for (std::size_t k = 1; k < t.tiles.size(); ++k) {
            if (t.tiles[k].id == t.tiles[k - 1].id) {
                *error = name + ": tile " + std::to_string(t.tiles[k].id) + " is described twice";
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool checkGroupDepth(const TiledMap& map, int depth, std::string* error) {
    if (depth < 32) return true;
    *error = map.file + ": group layers nest deeper than 32";
    return false;
}

bool checkTiledMap(TiledMap* map, std::string* error) {
    if (!checkTilesets(map, error)) return false;
    for (const TiledLayer& layer : map->layers) {
        const std::string where = map->file + ": layer '" + layer.name + "'";
        for (std::size_t i = 0; i < layer.gids.size(); ++i) {
            if ((layer.gids[i] & kTiledGidMask) != 0 && !map->tilesetOf(layer.gids[i])) {
                const int x = static_cast<int>(i % static_cast<std::size_t>(map->width));
                const int y = static_cast<int>(i / static_cast<std::size_t>(map->width));
                *error = where + ", cell " + cellText(x, y) + ": tile ID " +
                         std::to_string(layer.gids[i] & kTiledGidMask) + " belongs to no tileset of the map";
                return false;
            }
        }
        for (const TiledObject& o : layer.objects) {
            if ((o.gid & kTiledGidMask) != 0 && !map->tilesetOf(o.gid)) {
                *error = where + ", object " + std::to_string(o.id) + ": tile ID " +
                         std::to_string(o.gid & kTiledGidMask) + " belongs to no tileset of the map";
                return false;
            }
        }
    }
    return true;
}

bool parseTiledMap(const std::string& file, const std::uint8_t* data, std::size_t size, TiledFileSource& files,
                   TiledMap* map, std::string* error) {
    *map = TiledMap();
    map->file = file;
    const char first = firstTiledByte(data, size);
    bool parsed = false;
    if (first == '<') {
        parsed = parseTmxMap(file, data, size, files, map, error);
    } else if (first == '{') {
        parsed = parseJsonMap(file, data, size, files, map, error);
    } else {
        *error = file + ": not a Tiled map (neither TMX nor JSON)";
    }
    return parsed && checkTiledMap(map, error);
}

}  // namespace contentkit
