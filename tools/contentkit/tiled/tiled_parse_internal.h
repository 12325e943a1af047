// Private to contentkit's Tiled reader: the two format readers behind
// parseTiledMap and what they share (external tilesets, line numbers for
// messages, the map-level checks). Each reader fills the map as the file
// says; parseTiledMap then checks what both formats must satisfy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/contentkit/tiled/tiled_map.h"

namespace contentkit {

bool parseTmxMap(const std::string& file, const std::uint8_t* data, std::size_t size, TiledFileSource& files,
                 TiledMap* map, std::string* error);
bool parseJsonMap(const std::string& file, const std::uint8_t* data, std::size_t size, TiledFileSource& files,
                  TiledMap* map, std::string* error);

// An external tileset in either format (by its first non-blank byte); its
// first ID is the map's and stays as the caller set it.
bool parseTmxTileset(const std::string& file, const std::uint8_t* data, std::size_t size, TiledTileset* tileset,
                     std::string* error);
bool parseJsonTileset(const std::string& file, const std::uint8_t* data, std::size_t size, TiledTileset* tileset,
                      std::string* error);
bool readExternalTileset(const std::string& mapFile, const std::string& source, TiledFileSource& files,
                         TiledTileset* tileset, std::string* error);

// A tileset's "objectalignment" as the editor writes it (empty: unspecified);
// false for any other text.
bool parseTiledAlignment(const std::string& text, TiledAlignment* out);
// The names it takes, for messages.
extern const char kTiledAlignmentNames[];

// A tileset's "tilerendersize" ("tile" or "grid") and "fillmode" ("stretch"
// or "preserve-aspect-fit"), empty for the editor's defaults; false for any
// other text, with `error` saying what the editor writes.
bool parseTiledDrawing(const std::string& renderSize, const std::string& fillMode, TiledTileset* t,
                       std::string* error);

// The first non-blank byte, or 0.
char firstTiledByte(const std::uint8_t* data, std::size_t size);
// Line number (from 1) of byte `offset`.
std::size_t lineOfOffset(const std::uint8_t* data, std::size_t size, std::size_t offset);

// Group layers are followed `depth` deep; false with a message past 32.
bool checkGroupDepth(const TiledMap& map, int depth, std::string* error);

// A tile layer's `x` and `y`: where its tiles start on the map, in tiles.
// The editor draws a layer that starts elsewhere shifted; false with a
// message naming `part` (the layer) then.
bool checkLayerStart(long long x, long long y, const std::string& part, const TiledMap& map, std::string* error);

// Map-level checks after either reader: size limits, tilesets, tile IDs.
bool checkTiledMap(TiledMap* map, std::string* error);

// The map's size fields, checked alike for both formats.
bool checkTiledMapHeader(const std::string& orientation, bool infinite, TiledMap* map, std::string* error);

}  // namespace contentkit
