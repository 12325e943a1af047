// Private to contentkit's glTF converter: what it reads from a parsed
// model besides its node tree: accessors as numbers with every offset
// checked against the buffer, the texture coordinate set and transform of a
// material, and the required extensions it can honour. Pure functions.
#pragma once

#include <tiny_gltf.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace contentkit {

// An accessor's elements as doubles, `width` components each; false with a
// message naming the accessor when it does not hold them or reaches past
// its buffer.
bool readAccessor(const tinygltf::Model& m, int index, int width, std::vector<double>* out, std::string* error);

// Where a primitive's texture coordinates come from: the TEXCOORD set its
// material's base colour texture names, moved by that texture's
// KHR_texture_transform (u' = m0 u + m1 v + m2, v' = m3 u + m4 v + m5).
struct UvMapping {
    int set = 0;
    double m[6] = {1, 0, 0, 0, 1, 0};
};
UvMapping uvMapping(const tinygltf::Model& model, int material);

// Looked for in the file before the model is read: what such an extension
// moves out of the buffers (compressed meshes) would fail the read, or be
// read as geometry. False with a message naming the extension.
bool checkRequiredExtensions(const std::uint8_t* data, std::size_t size, std::string* error);

// The file names the model's image and buffer URIs mean, keyed by the name
// tinygltf makes of each (it reads '+' as a space, as in a query, and a '%'
// without two hex digits as a byte): a URI's '+' is a plus, and a stray '%'
// is kept as it stands. Only names that differ are listed; data URIs never.
std::map<std::string, std::string> uriFileNames(const std::uint8_t* data, std::size_t size);
// The name tinygltf makes of one URI, as uriFileNames keys it.
std::string tinygltfFileName(const std::string& uri);

// Looked for once the model is parsed: a buffer without a file of its own
// is the .glb's data only when it is the first; any other (a compressed
// model's stand-in, which holds nothing) would be given that data instead.
// False with a message naming the buffer.
bool checkBuffers(const tinygltf::Model& model, bool binary, std::string* error);

}  // namespace contentkit
