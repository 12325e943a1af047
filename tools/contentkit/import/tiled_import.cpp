// The import's frame: properties read strictly, the map's settings, the
// layers sorted by what they mean, what the game directory defines already,
// and the files that come out.
#include "tools/contentkit/import/tiled_import.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "client/assets/def_file.h"
#include "client/storage/disk_file.h"
#include "tools/contentkit/formats/text.h"
#include "tools/contentkit/import/tiled_import_internal.h"

namespace contentkit {

// --- Properties ---

namespace {

bool badProperty(const TiledProperty& p, const std::string& where, const std::string& wanted, std::string* error) {
    *error = where + ": property '" + p.name + "' = '" + p.value + "' is not " + wanted;
    return false;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool hasProperty(const TiledProperties& p, const char* name) { return findTiledProperty(p, name) != nullptr; }

bool propertyDouble(const TiledProperties& p, const char* name, const std::string& where, double* value,
                    std::string* error) {
    const TiledProperty* found = findTiledProperty(p, name);
    if (!found) return true;
    return tiledDouble(found->value, value) || badProperty(*found, where, "a number", error);
}

bool propertyInt(const TiledProperties& p, const char* name, long long low, long long high, const std::string& where,
                 long long* value, std::string* error) {
    const TiledProperty* found = findTiledProperty(p, name);
    if (!found) return true;
    return tiledInt(found->value, low, high, value) ||
           badProperty(*found, where, "a whole number from " + std::to_string(low) + " to " + std::to_string(high),
                       error);
}

bool propertyBool(const TiledProperties& p, const char* name, const std::string& where, bool* value,
                  std::string* error) {
    const TiledProperty* found = findTiledProperty(p, name);
    if (!found) return true;
    const std::string v = lowerText(found->value);
    if (v != "true" && v != "false") return badProperty(*found, where, "true or false", error);
    *value = v == "true";
    return true;
}

// "#RRGGBB" or the editor's "#AARRGGBB" (the alpha is dropped).
bool propertyColour(const TiledProperties& p, const char* name, const std::string& where, std::array<double, 3>* value,
                    std::string* error) {
    const TiledProperty* found = findTiledProperty(p, name);
    if (!found) return true;
    const std::string& v = found->value;
    if ((v.size() != 7 && v.size() != 9) || v[0] != '#') return badProperty(*found, where, "a colour #RRGGBB", error);
    const std::size_t start = v.size() == 9 ? 3 : 1;
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (hexDigit(v[i]) < 0) return badProperty(*found, where, "a colour #RRGGBB", error);
    }
    for (int c = 0; c < 3; ++c) {
        const std::size_t at = start + static_cast<std::size_t>(c) * 2;
        (*value)[static_cast<std::size_t>(c)] = (hexDigit(v[at]) * 16 + hexDigit(v[at + 1])) / 255.0;
    }
    return true;
}

std::string cellName(int x, int y) { return "(" + std::to_string(x) + ", " + std::to_string(y) + ")"; }

std::uint32_t turnedGid(std::uint32_t gid) { return gid ^ kTiledFlipVertical; }

std::uint32_t gidAt(const ImportContext& ctx, const TiledLayer& layer, int x, int mapRow) {
    const std::size_t at = static_cast<std::size_t>(x) +
                           static_cast<std::size_t>(tiledRow(ctx, mapRow)) * static_cast<std::size_t>(ctx.map.width);
    return turnedGid(layer.gids[at]);
}

std::string tiledCellName(const ImportContext& ctx, int x, int mapRow) { return cellName(x, tiledRow(ctx, mapRow)); }

namespace {

// --- Settings ---

bool readIniSettings(const TiledProperties& p, const std::string& where, MapIni* ini, std::string* error) {
    const struct {
        const char* key;
        float* value;
    } floats[] = {{"InitAngle", &ini->initAngle}, {"InitDist", &ini->initDist}, {"InitVert", &ini->initVert},
                  {"DistMin", &ini->distMin},     {"DistMax", &ini->distMax},   {"VertMin", &ini->vertMin},
                  {"VertMax", &ini->vertMax},     {"AngleMin", &ini->angleMin}, {"AngleMax", &ini->angleMax}};
    for (const auto& f : floats) {
        double v = *f.value;
        if (!propertyDouble(p, f.key, where, &v, error)) return false;
        *f.value = static_cast<float>(v);
    }
    if (const TiledProperty* name = findTiledProperty(p, "Name")) ini->name = name->value;
    if (const TiledProperty* bgm = findTiledProperty(p, "BGM")) ini->bgm = bgm->value;
    return propertyBool(p, "MiniMap", where, &ini->miniMap, error) &&
           propertyBool(p, "LockAngle", where, &ini->lockAngle, error) &&
           propertyBool(p, "LockDist", where, &ini->lockDist, error) &&
           propertyBool(p, "LockVert", where, &ini->lockVert, error);
}

bool readSunSettings(const TiledProperties& p, const std::string& where, BakeSettings* bake, std::string* error) {
    double azimuth = 300, elevation = 40;
    if (!propertyDouble(p, "sunAzimuth", where, &azimuth, error) ||
        !propertyDouble(p, "sunElevation", where, &elevation, error) ||
        !propertyColour(p, "sunColour", where, &bake->sunColour, error) ||
        !propertyColour(p, "ambient", where, &bake->ambient, error)) {
        return false;
    }
    if (!(elevation > 0 && elevation <= 90)) {
        *error = where + ": property 'sunElevation' must lie above 0 and at most 90 degrees";
        return false;
    }
    // Azimuth clockwise from the top of the map as the editor shows it,
    // where the client's rows end (+y).
    const double az = azimuth * M_PI / 180.0, el = elevation * M_PI / 180.0;
    bake->sun = {std::sin(az) * std::cos(el), std::cos(az) * std::cos(el), std::sin(el)};
    return true;
}

bool readSettings(ImportContext& ctx, std::string* error) {
    const TiledProperties& p = ctx.map.properties;
    const std::string where = ctx.at("map");
    MapSettings& s = ctx.settings;
    double cubeSize = s.cubeSize;
    long long perCube = s.cellsPerCube, waterType = 0, span = 1, wall = 0, size = kDefaultLightmapSize;
    long long textureBase = s.textureIdBase, modelBase = s.modelIdBase;
    std::array<double, 3> tint{1, 1, 1};
    if (!propertyDouble(p, "cubeSize", where, &cubeSize, error) ||
        !propertyInt(p, "cellsPerCube", 1, 64, where, &perCube, error) ||
        !propertyColour(p, "sceneTint", where, &tint, error) ||
        !propertyDouble(p, "waterLevel", where, &s.waterLevel, error) ||
        !propertyInt(p, "waterType", 0, 255, where, &waterType, error) ||
        !propertyDouble(p, "heightScale", where, &s.heightScale, error) ||
        !propertyDouble(p, "heightBase", where, &s.heightBase, error) ||
        !propertyInt(p, "textureSpan", 1, 64, where, &span, error) ||
        !propertyInt(p, "wallTexture", 0, INT32_MAX, where, &wall, error) ||
        !propertyInt(p, "lightmapSize", 4, kMaxLightmapSize, where, &size, error) ||
        !propertyInt(p, "textureIdBase", 0, INT32_MAX, where, &textureBase, error) ||
        !propertyInt(p, "modelIdBase", 0, INT32_MAX, where, &modelBase, error) ||
        !readSunSettings(p, where, &s.bake, error) || !readIniSettings(p, where, &s.ini, error)) {
        return false;
    }
    if (!(cubeSize > 0 && cubeSize <= 1000)) {
        *error = where + ": property 'cubeSize' must lie above 0 and at most 1000";
        return false;
    }
    if (ctx.map.width % perCube != 0 || ctx.map.height % perCube != 0) {
        *error = where + ": the map is " + std::to_string(ctx.map.width) + " x " + std::to_string(ctx.map.height) +
                 " cells; with cellsPerCube " + std::to_string(perCube) + " both sides must be multiples of it";
        return false;
    }
    s.cubeSize = static_cast<float>(cubeSize);
    s.cellsPerCube = static_cast<int>(perCube);
    for (int c = 0; c < 3; ++c) s.sceneTint[static_cast<std::size_t>(c)] = static_cast<float>(tint[static_cast<std::size_t>(c)]);
    s.hasWater = hasProperty(p, "waterLevel");
    s.waterType = static_cast<int>(waterType);
    s.textureSpan = static_cast<int>(span);
    s.hasWallTexture = hasProperty(p, "wallTexture");
    s.wallTexture = static_cast<std::int32_t>(wall);
    s.bake.size = ctx.options.lightmapSize > 0 ? ctx.options.lightmapSize : static_cast<int>(size);
    s.textureIdBase = static_cast<std::int32_t>(textureBase);
    s.modelIdBase = static_cast<std::int32_t>(modelBase);
    ctx.cubesWide = ctx.map.width / s.cellsPerCube;
    ctx.cubesHigh = ctx.map.height / s.cellsPerCube;
    return true;
}

// --- The start camera ---

std::string number(double v) { return strf("%g", v); }

// The client's camera takes a cell as 5 units wide and the ground's middle
// at cubesWide x 5 units; with other cells its start target moves.
bool checkStartCamera(ImportContext& ctx, std::string* error) {
    const MapSettings& s = ctx.settings;
    const double cell = ctx.cellSize();
    const double x = (kStartCellX * kStartCameraCellSize + kStartCameraCellSize / 2 +
                      ctx.cubesWide * (cell - kStartCameraCellSize)) / cell;
    const double y = (kStartCellY * kStartCameraCellSize + kStartCameraCellSize / 2 +
                      ctx.cubesHigh * (cell - kStartCameraCellSize)) / cell;
    const std::string start = "the client's start camera looks at cell (" + std::to_string(kStartCellX) + ", " +
                              std::to_string(kStartCellY) + ") counted from the map's bottom edge";
    if (cell != kStartCameraCellSize) {
        ctx.warn(ctx.at("vk-cells are " + number(cell) + " units wide (cubeSize / cellsPerCube), but the "
                        "client's camera counts 5 a cell: its start camera looks at cell (" +
                        number(std::floor(x)) + ", " + number(std::floor(ctx.map.height - y)) +
                        ") of Tiled, not at its start cell"));
    }
    if (!(x >= 0 && y >= 0 && x < ctx.map.width && y < ctx.map.height)) {
        *error = ctx.at(start + ", which Tiled shows at (" + std::to_string(kStartCellX) + ", " +
                        std::to_string(ctx.map.height - 1 - kStartCellY) + "): the map of " +
                        std::to_string(ctx.map.width) + " x " + std::to_string(ctx.map.height) +
                        " cells does not hold it and shows nothing at start (it needs " +
                        std::to_string(kStartCellX + 1) + " x " + std::to_string(kStartCellY + 1) +
                        " cells or more with vk-cells of 5 units)");
        return false;
    }
    const MapIni& ini = s.ini;
    std::vector<std::string> outside;
    auto check = [&](const char* what, float value, const char* lowKey, float low, const char* highKey, float high) {
        if (value < low) outside.push_back(std::string(lowKey) + " " + number(low) + " above its " + what);
        if (value > high) outside.push_back(std::string(highKey) + " " + number(high) + " below its " + what);
    };
    check("distance 185", kStartDistance, "DistMin", std::max(ini.distMin, 35.0f), "DistMax",
          std::min(ini.distMax, 300.0f));
    check("vertical factor 6", kStartVertical, "VertMin", ini.vertMin, "VertMax", ini.vertMax);
    if (ini.lockAngle) check("angle 85.4", kStartAngle, "AngleMin", ini.angleMin, "AngleMax", ini.angleMax);
    if (outside.empty()) return true;
    std::string list;
    for (const std::string& o : outside) list += (list.empty() ? "" : ", ") + o;
    ctx.warn(ctx.at("the map's camera limits cannot hold the client's start camera (" + list +
                    "): its first zoom or turn jumps to the limit"));
    return true;
}

// --- Layers ---

bool takeLayer(ImportContext& ctx, const TiledLayer& layer, TiledLayerKind kind, const char* kindName, std::string* error) {
    if (layer.kind == kind) return true;
    *error = ctx.layerAt(layer, std::string("a layer of this name must be ") + kindName);
    return false;
}

// Cells stay where they are: a tile or image layer the editor draws shifted
// would show other cells than the game; so would tiles of a tileset that it
// draws shifted.
bool checkNotOffset(ImportContext& ctx, const TiledLayer& layer, std::string* error) {
    if (layer.offsetX != 0 || layer.offsetY != 0) {
        *error = ctx.layerAt(layer, "the editor draws the layer offset by (" + number(layer.offsetX) + ", " +
                                        number(layer.offsetY) + ") pixels, which its cells cannot follow; set the "
                                        "offset of the layer and of its groups to 0");
        return false;
    }
    bool anyOffset = false;
    for (const TiledTileset& t : ctx.map.tilesets) anyOffset = anyOffset || t.offsetX != 0 || t.offsetY != 0;
    for (std::size_t i = 0; anyOffset && i < layer.gids.size(); ++i) {
        const TiledTileset* t = (layer.gids[i] & kTiledGidMask) != 0 ? ctx.map.tilesetOf(layer.gids[i]) : nullptr;
        if (!t || (t->offsetX == 0 && t->offsetY == 0)) continue;
        const std::size_t w = static_cast<std::size_t>(ctx.map.width);
        *error = ctx.file() + ": layer '" + layer.name + "', cell " +
                 cellName(static_cast<int>(i % w), static_cast<int>(i / w)) + ": the editor draws the tiles of tileset '" +
                 t->name + "'" + (t->file != ctx.file() ? " (" + t->file + ")" : "") + " offset by (" +
                 std::to_string(t->offsetX) + ", " + std::to_string(t->offsetY) +
                 ") pixels, which its cells cannot follow; set the drawing offset of the tileset to 0";
        return false;
    }
    return true;
}

bool sortLayers(ImportContext& ctx, std::string* error) {
    for (const TiledLayer& layer : ctx.map.layers) {
        const std::string role = lowerText(layer.name);
        long long vk = 0;
        const std::string where = ctx.file() + ": layer '" + layer.name + "'";
        if (!propertyInt(layer.properties, "vklayer", 0, kRmapMaxLayers - 1, where, &vk, error)) return false;
        const TiledLayer** single = role == "ground" ? &ctx.ground : role == "lift" ? &ctx.lift : nullptr;
        std::map<int, const TiledLayer*>* perLayer = role == "height" ? &ctx.heights : role == "walk" ? &ctx.walks : nullptr;
        std::vector<const TiledLayer*>* objects = role == "models"    ? &ctx.models
                                                  : role == "sounds"  ? &ctx.sounds
                                                  : role == "effects" ? &ctx.effects
                                                  : role == "lights"  ? &ctx.lights
                                                                      : nullptr;
        if (single) {
            if (!takeLayer(ctx, layer, TiledLayerKind::Tiles, "a tile layer", error) ||
                !checkNotOffset(ctx, layer, error))
                return false;
            if (*single) {
                *error = ctx.layerAt(layer, "the map has two layers of this name");
                return false;
            }
            *single = &layer;
        } else if (perLayer) {
            const bool image = role == "height";
            if (!takeLayer(ctx, layer, image ? TiledLayerKind::Image : TiledLayerKind::Tiles,
                           image ? "an image layer" : "a tile layer", error) ||
                !checkNotOffset(ctx, layer, error))
                return false;
            if (!perLayer->emplace(static_cast<int>(vk), &layer).second) {
                *error = ctx.layerAt(layer, "the map has two layers of this name for vk-cell layer " + std::to_string(vk));
                return false;
            }
        } else if (objects) {
            if (!takeLayer(ctx, layer, TiledLayerKind::Objects, "an object layer", error)) return false;
            objects->push_back(&layer);
        } else {
            ctx.warn(ctx.layerAt(layer, "not a layer the importer knows (ground, height, lift, walk, models, sounds, "
                                        "effects, lights); skipped"));
        }
    }
    if (!ctx.ground) {
        *error = ctx.at("the map has no tile layer 'ground' to give the cubes their textures");
        return false;
    }
    return true;
}

// Every further vk-cell layer holds a copy of the whole grid.
bool checkImportSize(ImportContext& ctx, std::string* error) {
    int layers = 1;
    for (const auto& kv : ctx.heights) layers = std::max(layers, kv.first + 1);
    for (const auto& kv : ctx.walks) layers = std::max(layers, kv.first + 1);
    const long long cells = static_cast<long long>(ctx.map.width) * ctx.map.height;
    if (cells * layers <= kMaxImportCells) return true;
    *error = ctx.at("a map of " + std::to_string(ctx.map.width) + " x " + std::to_string(ctx.map.height) +
                    " cells in " + std::to_string(layers) + " vk-cell layer" + (layers == 1 ? "" : "s") +
                    " is more than the importer takes (at most " + std::to_string(kMaxImportCells) +
                    " cells in all layers together)");
    return false;
}

bool checkLightmapSize(ImportContext& ctx, std::string* error) {
    const long long size = ctx.settings.bake.size;
    const long long bytes = static_cast<long long>(ctx.rmap.tiles.size()) * size * size * 4;
    if (bytes <= kMaxLightmapBytes) return true;
    *error = ctx.at(std::to_string(ctx.rmap.tiles.size()) + " faces with lightmaps of " + std::to_string(size) +
                    " x " + std::to_string(size) + " texels are more than the importer bakes (at most " +
                    std::to_string(kMaxLightmapBytes / (1 << 20)) + " MiB of texels); give a smaller lightmapSize");
    return false;
}

// --- Game directory ---

// Definitions of a def file and the files it loads, by the client's grammar.
class DefCollector : public velmar::DefTextHandler {
public:
    explicit DefCollector(std::map<std::int32_t, std::string>* entries) : m_entries(entries) {}
    void onDefEntry(std::int32_t id, const std::string& path) override { (*m_entries)[id] = path; }
    void onDefLoad(const std::string& path) override { loads.push_back(path); }
    std::vector<std::string> loads;

private:
    std::map<std::int32_t, std::string>* m_entries;
};

std::string gamePath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    while (path.rfind("./", 0) == 0) path.erase(0, 2);
    return path;
}

void readDefTree(GameDirReader& game, const std::string& top, const std::string& skip,
                 std::map<std::int32_t, std::string>* entries) {
    std::vector<std::string> pending{top}, seen;
    while (!pending.empty() && seen.size() < 256) {
        const std::string path = gamePath(pending.back());
        pending.pop_back();
        if (path == skip || std::find(seen.begin(), seen.end(), path) != seen.end()) continue;
        seen.push_back(path);
        Bytes bytes;
        if (!game.read(path, &bytes)) continue;
        DefCollector collector(entries);
        velmar::parseDefText(bytes.data(), bytes.size(), collector);
        for (auto it = collector.loads.rbegin(); it != collector.loads.rend(); ++it) pending.push_back(*it);
    }
}

void readGameDir(ImportContext& ctx) {
    const std::string name = ctx.options.name;
    readDefTree(ctx.game, "data/def/model.def", "data/def/map_" + name + "_models.def", &ctx.modelFiles);
    std::map<std::int32_t, std::string> textures;
    readDefTree(ctx.game, "data/def/Textures.def", "data/def/map_" + name + "_textures.def", &textures);
    for (const auto& kv : textures) ctx.textureIds.insert(kv.first);
    Bytes water;
    if (!ctx.game.read("data/def/Water.ini", &water)) return;
    const std::string text(water.begin(), water.end());
    for (std::size_t at = text.find('['); at != std::string::npos; at = text.find('[', at + 1)) {
        const std::size_t end = text.find(']', at);
        if (end == std::string::npos) break;
        const std::string section = lowerText(text.substr(at + 1, end - at - 1));
        long long type = 0;
        if (section.rfind("water_", 0) == 0 && tiledInt(section.substr(6), 0, 255, &type)) {
            ctx.waterSections.insert(static_cast<int>(type));
        }
    }
}

// --- Output ---

bool writeMapFiles(ImportContext& ctx, std::string* error) {
    TiledImportResult& r = *ctx.result;
    const std::string name = ctx.options.name;
    ImportedFile rmap{"data/map/" + name + ".rmap", {}};
    if (!writeRmap(ctx.rmap, &rmap.bytes, error)) {
        *error = ctx.at(*error);
        return false;
    }
    MapIni ini = ctx.settings.ini;
    ini.rmap = name + ".rmap";
    if (ini.name.empty()) ini.name = name;
    IniFile file;
    ImportedFile iniFile{"data/map/" + name + ".ini", {}};
    if (!buildMapIni(ini, &file, error) || !writeIni(file, &iniFile.bytes, error)) {
        *error = ctx.at("the map ini: " + *error);
        return false;
    }
    r.files.insert(r.files.begin(), {std::move(rmap), std::move(iniFile)});
    return true;
}

void reportMap(ImportContext& ctx, const BakeStats& bake) {
    const RmapMap& m = ctx.rmap;
    char line[400];
    std::snprintf(line, sizeof line,
                  "data/map/%s.rmap: %d x %d cells in %zu layer%s, %d x %d cubes, %zu ground texture%s, %zu model%s, "
                  "%zu light%s, %zu lightmaps of %d x %d for %zu faces (baked in %.2f s)",
                  ctx.options.name.c_str(), m.cellsWide, m.cellsHigh, m.layers.size(), m.layers.size() == 1 ? "" : "s",
                  m.cubesWide, m.cubesHigh, m.textures.size(), m.textures.size() == 1 ? "" : "s", m.models.size(),
                  m.models.size() == 1 ? "" : "s", m.lights.size(), m.lights.size() == 1 ? "" : "s", bake.lightmaps,
                  m.lightmapWidth, m.lightmapHeight, bake.faces, ctx.result->bakeSeconds);
    ctx.result->report.insert(ctx.result->report.begin(), {line, "data/map/" + ctx.options.name + ".ini"});
}

bool checkName(const std::string& name, std::string* error) {
    bool plain = !name.empty() && name.size() <= kMaxMapNameLength;
    for (char c : name) plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
    if (plain) return true;
    *error = "map name '" + name + "' must be 1 to " + std::to_string(kMaxMapNameLength) +
             " letters, digits, '_' or '-' (the map ini holds the RMAP file name in 19 characters)";
    return false;
}

}  // namespace

bool importTiledMap(const TiledMap& map, TiledFileSource& sources, GameDirReader& game,
                    const TiledImportOptions& options, TiledImportResult* result, std::string* error) {
    *result = TiledImportResult();
    if (!checkName(options.name, error)) return false;
    if (options.lightmapSize != 0 && (options.lightmapSize < 4 || options.lightmapSize > kMaxLightmapSize)) {
        *error = "the lightmap size must be 4 to " + std::to_string(kMaxLightmapSize) + " texels";
        return false;
    }
    ImportContext ctx(map, sources, game, options, result);
    if (!readSettings(ctx, error) || (options.startCamera && !checkStartCamera(ctx, error)) ||
        !sortLayers(ctx, error) || !checkImportSize(ctx, error)) {
        return false;
    }
    readGameDir(ctx);
    if (!buildTerrain(ctx, error) || !checkLightmapSize(ctx, error) || !buildCells(ctx, error) ||
        !placeObjects(ctx, error))
        return false;
    storeCells(ctx);
    const auto start = std::chrono::steady_clock::now();
    BakeStats stats;
    if (!bakeLightmaps(&ctx.rmap, ctx.boxes, ctx.bakeLights, ctx.settings.bake, &stats, error)) {
        *error = ctx.at(*error);
        return false;
    }
    result->bakeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    shareIdenticalTiles(&ctx.rmap);
    warnNearLevelShores(ctx);
    if (ctx.settings.hasWater && !ctx.waterSections.count(ctx.settings.waterType)) {
        ctx.warn(ctx.at("data/def/Water.ini has no section Water_" + std::to_string(ctx.settings.waterType) +
                        "; the client draws the water with its defaults"));
    }
    if (!addDefinitionFiles(ctx, error) || !writeMapFiles(ctx, error)) return false;
    reportMap(ctx, stats);
    result->map = ctx.rmap;
    result->textureIds = ctx.rmap.textures;
    std::sort(result->textureIds.begin(), result->textureIds.end());
    result->textureIds.erase(std::unique(result->textureIds.begin(), result->textureIds.end()), result->textureIds.end());
    for (const RmapModel& m : ctx.rmap.models) result->modelIds.push_back(m.modelId);
    std::sort(result->modelIds.begin(), result->modelIds.end());
    result->modelIds.erase(std::unique(result->modelIds.begin(), result->modelIds.end()), result->modelIds.end());
    return true;
}

std::vector<DefLine> readDefLines(const Bytes& text) {
    class Lines : public velmar::DefTextHandler {
    public:
        void onDefEntry(std::int32_t id, const std::string& path) override { lines.push_back({DefLine::Kind::Entry, id, path}); }
        void onDefLoad(const std::string& path) override { lines.push_back({DefLine::Kind::Include, 0, path}); }
        std::vector<DefLine> lines;
    } handler;
    velmar::parseDefText(text.data(), text.size(), handler);
    return handler.lines;
}

std::size_t defReadStop(const Bytes& text) {
    const std::size_t readable = readDefLines(text).size();
    const bool mark = text.size() >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF;
    std::size_t seen = 0;
    for (std::size_t at = mark ? 3 : 0; at < text.size();) {
        std::size_t end = at;
        while (end < text.size() && text[end] != '\n' &&
               !(text[end] == '\r' && (end + 1 == text.size() || text[end + 1] != '\n')))
            ++end;
        // A last line without its break is judged as it reads once ended.
        const bool last = end == text.size();
        if (!last) ++end;
        const auto from = text.begin() + static_cast<std::ptrdiff_t>(at), to = text.begin() + static_cast<std::ptrdiff_t>(end);
        if (std::find(from, to, 0) != to) return at;  // the client reads no byte past a NUL
        // The line as the client meets it inside the text: a byte order
        // mark there is no mark.
        Bytes line{'\n'};
        line.insert(line.end(), from, to);
        if (last) line.push_back('\n');
        const std::size_t items = readDefLines(line).size();
        std::size_t first = 1;
        while (first < line.size() && (line[first] == ' ' || line[first] == '\t')) ++first;
        const bool quiet = line[first] == '\r' || line[first] == '\n' || line[first] == ';' ||
                           (line[first] == '/' && first + 1 < line.size() && line[first + 1] == '/');
        if ((items == 0 && !quiet) || (items > 0 && seen >= readable && !last)) return at;
        seen += items;
        at = end;
    }
    return text.size();
}

std::string GameDirOnDisk::spelled(const std::string& relativePath) const {
    std::string root = m_root;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    root += '/';
    // The folders that are there keep their spelling; what is new goes in
    // them, never beside them in another case.
    std::string head = relativePath, tail;
    for (;;) {
        const std::string found = velmar::resolveDataPath((root + head).c_str());
        std::error_code ec;
        if (found.size() > root.size() && found.compare(0, root.size(), root) == 0 &&
            std::filesystem::exists(found, ec))
            return found.substr(root.size()) + tail;
        const std::size_t slash = head.rfind('/');
        if (slash == std::string::npos || slash == 0) return relativePath;
        tail = head.substr(slash) + tail;
        head.resize(slash);
    }
}

bool GameDirOnDisk::read(const std::string& relativePath, Bytes* out) {
    std::FILE* f = std::fopen((m_root + "/" + spelled(relativePath)).c_str(), "rb");
    if (!f) return false;
    out->clear();
    std::uint8_t buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->insert(out->end(), buffer, buffer + n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

bool importTiledFile(const std::string& mapFile, TiledFileSource& sources, GameDirReader& game,
                     const TiledImportOptions& options, TiledImportResult* result, std::string* error) {
    Bytes bytes;
    std::string why;
    if (!sources.read(mapFile, &bytes, &why)) {
        *error = mapFile + ": " + why;
        return false;
    }
    TiledMap map;
    return parseTiledMap(mapFile, bytes.data(), bytes.size(), sources, &map, error) &&
           importTiledMap(map, sources, game, options, result, error);
}

}  // namespace contentkit
