// A Tiled map turned into the client's map files: data/map/NAME.rmap with
// lightmaps baked from the sun, the terrain, the placed models' boxes and
// the map's lights, data/map/NAME.ini, and the textures, models and def
// files the map needs. The conventions (which layer, property and object
// means what) are the README's "Making content"; in short:
//
//   map properties   cubeSize, cellsPerCube, sceneTint, waterLevel, waterType,
//                    heightScale, heightBase, textureSpan, wallTexture,
//                    sunAzimuth, sunElevation, sunColour, ambient,
//                    lightmapSize, textureIdBase, modelIdBase, and the map
//                    ini's Name, BGM, MiniMap and camera keys
//   tile layers      ground (textures), lift (raised cells), walk (walkable
//                    or blocked; vklayer N for further cell layers)
//   image layers     height (grey corner heights; vklayer N)
//   object layers    models, sounds, effects, lights
//
// The client's start camera looks along the map's rows from row 0, so the
// import turns Tiled's rows over (row 0 of Tiled becomes the client's last)
// and with them the tiles' flips, the objects' positions and turns, the
// height image and the sun: from the start camera the map reads as Tiled
// draws it, its top at the top of the screen.
//
// Nothing is written here: the result holds every file's bytes, and the
// caller writes them only when the whole import succeeded, so bad input
// leaves the game directory as it was. Messages name the map file and the
// layer, cell or object. The same input gives the same bytes. Stateless; the
// bake uses worker threads of its own.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/contentkit/formats/byte_io.h"
#include "tools/contentkit/formats/def_writer.h"
#include "tools/contentkit/formats/rmap_writer.h"
#include "tools/contentkit/tiled/tiled_map.h"

namespace contentkit {

// The longest map name whose RMAP file name ("NAME.rmap") the map ini holds.
constexpr std::size_t kMaxMapNameLength = 14;
constexpr int kDefaultLightmapSize = 4;
constexpr int kMaxLightmapSize = 32;
// What one import holds in memory is bounded: the vk-cells of all cell
// layers together (about 170 bytes of work each), and the texels of the
// lightmaps baked before the identical ones are shared.
constexpr long long kMaxImportCells = 1 << 22;
constexpr long long kMaxLightmapBytes = 1 << 28;

// The client's start-up camera on the map it opens first, which ignores
// the ini's InitAngle, InitDist and InitVert: the target cell (in the
// client's rows; Tiled's row is the map's height - 1 - 185), angle,
// distance and vertical factor, and the cell size its camera assumes.
constexpr int kStartCellX = 153, kStartCellY = 185;
constexpr float kStartAngle = 85.4f, kStartDistance = 185.0f, kStartVertical = 6.0f;
constexpr double kStartCameraCellSize = 5.0;

struct TiledImportOptions {
    std::string name;      // NAME of data/map/NAME.rmap
    int lightmapSize = 0;  // texels on a lightmap's side; 0: the map's property, else the default
    // The map is the one the client opens at start: a map whose cells do
    // not hold the start camera's target is refused, limits that cannot
    // hold the start camera are warned about.
    bool startCamera = false;
};

// The game directory the map goes into, read for what is there already:
// the def files (IDs in use, the model files behind model IDs) and
// Water.ini. GDF-packed files come back unpacked.
class GameDirReader {
public:
    virtual ~GameDirReader() = default;
    // False when the file does not exist or cannot be read.
    virtual bool read(const std::string& relativePath, Bytes* out) = 0;
};

// A game directory on disk. Its files are found as the client finds them,
// without regard to letter case: a directory copied from Windows may hold
// "data/def/textures.def".
class GameDirOnDisk : public GameDirReader {
public:
    explicit GameDirOnDisk(std::string root) : m_root(std::move(root)) {}
    bool read(const std::string& relativePath, Bytes* out) override;
    // `relativePath` as it is spelled on disk, or as it stands when no file
    // or folder of it is there: where a new version of the file must go for
    // the client to read that one and no other.
    std::string spelled(const std::string& relativePath) const;

private:
    std::string m_root;
};

// The entries and load lines of a def file's text in file order, read by
// the client's grammar (comments and blank lines are not kept).
std::vector<DefLine> readDefLines(const Bytes& text);
// Where the client stops reading a def file's text early: the offset of the
// line with a key without ':' or a NUL byte (a last line without its line
// break judged as it reads once ended); the text's size when it reads on to
// the end.
std::size_t defReadStop(const Bytes& text);

struct ImportedFile {
    std::string path;  // relative to the game directory
    Bytes bytes;
};

struct TiledImportResult {
    std::vector<ImportedFile> files;  // in writing order, the map file first
    std::vector<std::string> report;  // what was made, a line each
    std::vector<std::string> warnings;
    RmapMap map;                         // what the RMAP file holds
    std::vector<std::int32_t> textureIds;  // ground textures, ascending
    std::vector<std::int32_t> modelIds;    // placed models, ascending
    double bakeSeconds = 0;
};

bool importTiledMap(const TiledMap& map, TiledFileSource& sources, GameDirReader& game,
                    const TiledImportOptions& options, TiledImportResult* result, std::string* error);

// Reads the map file through `sources` and imports it.
bool importTiledFile(const std::string& mapFile, TiledFileSource& sources, GameDirReader& game,
                     const TiledImportOptions& options, TiledImportResult* result, std::string* error);

}  // namespace contentkit
