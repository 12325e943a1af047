// Tiled maps in memory: what the map editor's two file formats (TMX, which
// is XML, and its JSON form) say about an orthogonal, finite map: the map's
// size and properties, its tilesets (embedded, or external .tsx / .tsj files)
// with their tile offsets, tile objects' alignments and the properties and pictures of their tiles,
// and its layers in file order, group layers flattened: tile layers with one
// global tile ID per cell, image layers and object layers.
//
// parseTiledMap reads the map from a byte span (TMX when its first non-blank
// byte is '<', JSON when it is '{') and gets the external tilesets through a
// TiledFileSource, so tests and fuzzers run without a disk. Every layer
// encoding the editor writes is read: CSV, XML tile elements, base64 plain
// or compressed with zlib, gzip or zstd. What it refuses, it refuses with one
// message that names the file and, where there is one, the layer and the
// cell or object: malformed XML or JSON, an infinite or non-orthogonal map,
// a layer of the wrong size, a tile ID that no tileset holds, a tileset that
// cannot be read. Pure functions of their input; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/contentkit/formats/byte_io.h"

namespace contentkit {

// Flip bits of a global tile ID; the rest is the ID.
constexpr std::uint32_t kTiledFlipHorizontal = 0x80000000u;
constexpr std::uint32_t kTiledFlipVertical = 0x40000000u;
constexpr std::uint32_t kTiledFlipDiagonal = 0x20000000u;
constexpr std::uint32_t kTiledGidMask = 0x0FFFFFFFu;
// Larger maps are refused before anything is allocated for them.
constexpr int kTiledMaxCells = 1 << 24;
constexpr int kTiledMaxSide = 65535;

// A custom property as the editor stores it; the value as text (colours
// as #AARRGGBB or #RRGGBB, booleans as true / false).
struct TiledProperty {
    std::string name, type, value;
};
using TiledProperties = std::vector<TiledProperty>;

// The property of that name (letter case ignored), or null.
const TiledProperty* findTiledProperty(const TiledProperties& properties, const std::string& name);

struct TiledImage {
    std::string source;  // path joined to the folder of the file that names it
    int width = 0, height = 0;
    // The editor's transparent colour (0xRRGGBB): its pixels are drawn as
    // holes; -1 for none.
    std::int32_t transparent = -1;
};

struct TiledTile {
    std::uint32_t id = 0;  // local to its tileset
    TiledProperties properties;
    TiledImage image;  // tiles of an image-collection tileset
    // The part of `image` the tile shows; a width of 0: all of it.
    int x = 0, y = 0, width = 0, height = 0;
};

// The point of its tile a tile object's x and y name (the tileset's
// "objectalignment"); Unspecified is BottomLeft on orthogonal maps.
enum class TiledAlignment { Unspecified, TopLeft, Top, TopRight, Left, Center, Right, BottomLeft, Bottom, BottomRight };

struct TiledTileset {
    std::uint32_t firstGid = 1;
    std::string name;
    std::string file;  // the .tsx / .tsj it came from; the map for an embedded one
    int tileWidth = 0, tileHeight = 0, tileCount = 0, columns = 0, margin = 0, spacing = 0;
    // Its tile offset: the editor draws every tile of it shifted by this
    // many pixels (a tile object's shift scaled and turned with it).
    int offsetX = 0, offsetY = 0;
    TiledAlignment objectAlignment = TiledAlignment::Unspecified;
    // How the editor draws its tiles in tile layers ("tilerendersize",
    // "fillmode"): at their own size from the cell's bottom-left corner, or
    // fitted to the map's grid, stretched or keeping their shape.
    bool drawnAtGridSize = false, keepsAspect = false;
    TiledImage image;              // the atlas; empty for an image collection
    std::vector<TiledTile> tiles;  // tiles that carry properties or a picture

    const TiledTile* tile(std::uint32_t localId) const;
};

enum class TiledLayerKind { Tiles, Image, Objects };

struct TiledObject {
    std::uint32_t id = 0;
    std::string name, type;
    double x = 0, y = 0, width = 0, height = 0, rotation = 0;  // pixels, degrees clockwise
    std::uint32_t gid = 0;  // a tile object's tile, flip bits kept
    bool point = false;
    TiledProperties properties;
};

struct TiledLayer {
    TiledLayerKind kind = TiledLayerKind::Tiles;
    std::string name;
    TiledProperties properties;
    std::vector<std::uint32_t> gids;  // tile layers: map width * height, row after row
    TiledImage image;                 // image layers
    std::vector<TiledObject> objects; // object layers
    // Where the editor draws the layer, shifted by its own offset and its
    // groups' (pixels); objects keep the positions the file gives them.
    double offsetX = 0, offsetY = 0;
};

struct TiledMap {
    std::string file;
    int width = 0, height = 0;  // in tiles
    int tileWidth = 0, tileHeight = 0;
    TiledProperties properties;
    std::vector<TiledTileset> tilesets;  // ascending first IDs
    std::vector<TiledLayer> layers;

    // The tileset holding global ID `gid` (flip bits ignored), or null.
    const TiledTileset* tilesetOf(std::uint32_t gid) const;
};

// Where the files a map names come from: the disk for the command, memory
// for the built-in demo map and the tests.
class TiledFileSource {
public:
    virtual ~TiledFileSource() = default;
    // False with a reason when `path` cannot be read.
    virtual bool read(const std::string& path, Bytes* out, std::string* why) = 0;
};

// "#RRGGBB" or "RRGGBB" (as TMX writes a transparent colour) into
// 0xRRGGBB; false for anything else.
bool tiledRgb(const std::string& text, std::int32_t* out);

// Strict text to number, as the readers and property values take them: the
// whole text, in range, finite.
bool tiledInt(const std::string& text, long long low, long long high, long long* out);
bool tiledDouble(const std::string& text, double* out);

// `relative` joined to the folder of `fromFile`, with "." and ".." folded and
// backslashes taken as separators.
std::string joinTiledPath(const std::string& fromFile, const std::string& relative);

bool parseTiledMap(const std::string& file, const std::uint8_t* data, std::size_t size, TiledFileSource& files,
                   TiledMap* map, std::string* error);

}  // namespace contentkit
