// RMDL writer for the client's models (version 1): a little-endian file of a
// 59-byte header and a flat array of mesh records that form a tree through
// child index lists. Each mesh carries its local matrix and offset, its node
// placement (position, rotation, scale), textured triangles naming texture
// IDs of Textures.def, rotation key frames and its children.
//
// RmdlModel is the in-memory description; the writer checks it first and
// refuses a model the client would misdraw or never finish drawing: mesh or
// child indices out of range, a child list that is not a tree under the root
// (a cycle, a node with two parents, a node the root never reaches), key
// frames out of time order, and floats that are not finite.
//
// Output is a pure function of the description. Stateless; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/assets/rmdl_layout.h"
#include "tools/contentkit/formats/byte_io.h"

namespace contentkit {

// The byte layout is the client's, stated once.
using velmar::kRmdlBaseNodeTag;
using velmar::kRmdlChildBytes;
using velmar::kRmdlHeaderBytes;
using velmar::kRmdlKeyFrameBytes;
using velmar::kRmdlMagic;
using velmar::kRmdlMeshBytes;
using velmar::kRmdlSurfaceBytes;
using velmar::kRmdlVersion;
// The client's per-mesh table of distinct textures gives up when it fills,
// so a mesh may use one fewer than its slots.
constexpr std::size_t kRmdlMaxMeshTextures = velmar::kMaxMeshTextureSlots - 1;

using Vec3 = std::array<float, 3>;

struct RmdlSurface {
    std::int32_t textureId = 0;
    std::array<Vec3, 3> vertices{};
    std::array<std::array<float, 2>, 3> texCoords{};  // s, t per vertex
    std::uint32_t wordD = 0, wordE = 0;               // kept by the client, unused
};

struct RmdlKeyFrame {
    std::int32_t time = 0;                         // timer milliseconds, ascending
    std::array<float, 4> rotation{0, 0, 0, 1};     // quaternion x, y, z, w
};

struct RmdlMesh {
    std::int32_t tag = 0;
    std::array<float, 16> localMatrix{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    Vec3 localOffset{};
    Vec3 position{};
    float rotationAngle = 0;  // radians
    Vec3 rotationAxis{0, 0, 1};
    Vec3 scale{1, 1, 1};
    std::array<float, 9> unused{};
    std::vector<RmdlSurface> surfaces;
    std::vector<RmdlKeyFrame> keyFrames;  // none, or at least two
    std::vector<std::uint32_t> children;  // indices into RmdlModel::meshes
};

struct RmdlModel {
    std::uint32_t wordA = 0;
    std::uint32_t rootMesh = 0;
    std::uint32_t wordB = 0;
    std::uint8_t byteC = 0;
    Vec3 p0{}, p1{}, p2{};  // P1.y and P2 place base nodes
    std::vector<RmdlMesh> meshes;
};

// Serialised size of a model, without checking it.
std::size_t rmdlFileSize(const RmdlModel& model);

// True when the model can be written; otherwise false with the first fault.
bool validateRmdl(const RmdlModel& model, std::string* error);

// Validates, then lays out the whole file.
bool writeRmdl(const RmdlModel& model, Bytes* out, std::string* error);

}  // namespace contentkit
