// Private to contentkit's Tiled reader: the tile layer data of both map
// formats, decoded into exactly `count` global tile IDs. CSV text, or base64
// of little-endian 32-bit IDs, plain or compressed with zlib, gzip or zstd.
// Compressed data never inflates past the size the layer needs, so a small
// file cannot make the reader allocate much. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace contentkit {

enum class TiledCompression { None, Zlib, Gzip, Zstd };

// "" (none), "zlib", "gzip" or "zstd"; false for anything else.
bool parseTiledCompression(const std::string& name, TiledCompression* out);

// False with a message ("holds 3 tiles, the layer needs 4", "tile 7 is not
// a number") when the data is not `count` IDs.
bool decodeTiledCsv(std::string_view text, std::size_t count, std::vector<std::uint32_t>* out,
                    std::string* error);
bool decodeTiledBase64(std::string_view text, TiledCompression compression, std::size_t count,
                       std::vector<std::uint32_t>* out, std::string* error);

}  // namespace contentkit
