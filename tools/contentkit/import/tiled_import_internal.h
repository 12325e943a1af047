// Private to contentkit's Tiled import: the state the import phases share
// and the phases themselves, in the order importTiledMap runs them:
// settings and layers (tiled_import.cpp), ground and terrain and cells
// (tiled_terrain.cpp), objects (tiled_objects.cpp), the bake
// (lightmap_bake.h), then the files (tiled_import.cpp, tiled_assets.cpp).
// Each phase returns false with a message naming the map file and the
// layer, cell or object.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/contentkit/formats/ini_writer.h"
#include "tools/contentkit/import/lightmap_bake.h"
#include "tools/contentkit/import/tiled_import.h"

namespace contentkit {

struct MapSettings {
    float cubeSize = 10.0f;
    int cellsPerCube = 2;
    std::array<float, 3> sceneTint{1.0f, 1.0f, 1.0f};
    bool hasWater = false;
    double waterLevel = 0.0;  // elevation, growing upwards
    int waterType = 0;
    double heightScale = 25.5, heightBase = 0.0;
    int textureSpan = 1;
    bool hasWallTexture = false;
    std::int32_t wallTexture = 0;
    BakeSettings bake;
    std::int32_t textureIdBase = 5000, modelIdBase = 500;
    MapIni ini;
};

// A texture the import makes from a tile's picture, or a model it makes
// from a model file, with the ID it gets.
struct MadeAsset {
    std::string key;   // what it was made from, to make it once
    std::string path;  // relative to the game directory
    std::int32_t id = 0;
    Bytes bytes;
};

struct ImportContext {
    ImportContext(const TiledMap& m, TiledFileSource& s, GameDirReader& g, const TiledImportOptions& o,
                  TiledImportResult* r)
        : map(m), sources(s), game(g), options(o), result(r) {}

    const TiledMap& map;
    TiledFileSource& sources;
    GameDirReader& game;
    const TiledImportOptions& options;
    TiledImportResult* result;

    MapSettings settings;
    const TiledLayer* ground = nullptr;
    const TiledLayer* lift = nullptr;
    std::map<int, const TiledLayer*> heights, walks;  // by vk-cell layer
    std::vector<const TiledLayer*> models, sounds, effects, lights;

    // What the game directory defines already, outside the import's own def files.
    std::map<std::int32_t, std::string> modelFiles;
    std::set<std::int32_t> textureIds;
    std::set<int> waterSections;

    int cubesWide = 0, cubesHigh = 0;
    std::vector<std::array<double, 4>> cubeElevation;  // per cube, corner order of the file
    std::vector<std::vector<std::array<double, 4>>> cellElevation;  // per vk-cell layer
    std::vector<std::vector<bool>> walkable;                        // per vk-cell layer

    std::vector<BakeBox> boxes;
    std::vector<BakeLight> bakeLights;
    std::vector<MadeAsset> madeTextures, madeModels;
    std::set<const TiledTileset*> drawnApart;  // ground tilesets warned of
    RmapMap rmap;

    std::string file() const { return map.file; }
    std::string at(const std::string& what) const { return map.file + ": " + what; }
    std::string layerAt(const TiledLayer& layer, const std::string& what) const {
        return map.file + ": layer '" + layer.name + "': " + what;
    }
    float cellSize() const { return settings.cubeSize / static_cast<float>(settings.cellsPerCube); }
    void warn(const std::string& text) { result->warnings.push_back(text); }
};

// --- Properties (tiled_import.cpp) ---
// Each leaves *value alone when the property is absent and fails with a
// message naming `where` and the property when its text does not fit.
bool propertyDouble(const TiledProperties& p, const char* name, const std::string& where, double* value,
                    std::string* error);
bool propertyInt(const TiledProperties& p, const char* name, long long low, long long high,
                 const std::string& where, long long* value, std::string* error);
bool propertyBool(const TiledProperties& p, const char* name, const std::string& where, bool* value,
                  std::string* error);
bool propertyColour(const TiledProperties& p, const char* name, const std::string& where,
                    std::array<double, 3>* value, std::string* error);
bool hasProperty(const TiledProperties& p, const char* name);

std::string cellName(int x, int y);

// --- Orientation ---
// Tiled draws its row 0 at the top; the client's start camera looks along
// the map's rows from row 0, so its screen shows row 0 at the bottom. The
// import turns Tiled's map over as Tiled's own vertical flip would, so the
// screen shows it as Tiled does: the client's row y is Tiled's row
// height - 1 - y (corner row y of the height image is its row height - y),
// every tile is flipped with its row, a position's row runs up from the
// map's bottom edge, and a clockwise turn stays clockwise. Messages name
// cells as Tiled does.
inline int tiledRow(const ImportContext& ctx, int mapRow) { return ctx.map.height - 1 - mapRow; }
// A tile turned over with its row: its vertical flip toggled (Tiled flips
// a tile's picture vertically and horizontally before it swaps its axes, so
// this holds for diagonally flipped tiles as well).
std::uint32_t turnedGid(std::uint32_t gid);
// The tile of `layer` at column x of the client's row `mapRow`, turned.
std::uint32_t gidAt(const ImportContext& ctx, const TiledLayer& layer, int x, int mapRow);
// "(x, y)" of the client's cell as Tiled names it.
std::string tiledCellName(const ImportContext& ctx, int x, int mapRow);

// --- Terrain (tiled_terrain.cpp) ---
bool buildTerrain(ImportContext& ctx, std::string* error);
bool buildCells(ImportContext& ctx, std::string* error);
// The cell layers into the map, once the models have blocked their cells.
void storeCells(ImportContext& ctx);
// One tile per face, so the bake can give every face its own lightmap;
// shareIdenticalTiles folds the copies afterwards.
void shareIdenticalTiles(RmapMap* map);
void warnNearLevelShores(ImportContext& ctx);

// --- Objects (tiled_objects.cpp) ---
bool placeObjects(ImportContext& ctx, std::string* error);
// The pixels the editor draws a tile over when it keeps the tile's size: a
// collection tile's picture (or the part it shows), else the tileset's
// tile size.
void tileDrawnSize(const TiledTileset& set, std::uint32_t gid, double* w, double* h);

// --- Assets (tiled_assets.cpp) ---
// The texture ID of a ground tile: its `texture` property, or the ID of the
// texture made from its picture.
bool tileTexture(ImportContext& ctx, std::uint32_t gid, std::int32_t* id, std::string* error);
// The model ID for a `modelFile` property, converting the file once.
bool modelFromFile(ImportContext& ctx, const std::string& where, const std::string& file,
                   const TiledProperties& properties, std::int32_t* id, std::string* error);
// The def files for what was made, and the load lines that pull them in.
bool addDefinitionFiles(ImportContext& ctx, std::string* error);
// The model file behind a model ID, read and measured; false with a warning
// reason when it cannot be.
bool modelBox(ImportContext& ctx, std::int32_t id, std::array<float, 3>* size, std::string* why);

}  // namespace contentkit
