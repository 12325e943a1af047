// A test-only RMDL reader, written from the file layout apart from the
// contentkit writer and checker: plain offsets into the bytes, every field
// kept, and where each mesh record and child list starts so tests can patch
// a file in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace reference {

struct RmdlSurfaceFields {
    std::int32_t texture = 0;
    std::array<float, 9> vertices{};
    std::array<float, 6> texCoords{};
    std::uint32_t wordD = 0, wordE = 0;
};

struct RmdlKeyFields {
    std::int32_t time = 0;
    std::array<float, 4> rotation{};
};

struct RmdlMeshFields {
    std::size_t offset = 0;       // of the record in the file
    std::size_t childOffset = 0;  // of its child list
    std::int32_t tag = 0;
    std::array<float, 16> localMatrix{};
    std::array<float, 3> localOffset{}, position{}, rotationAxis{}, scale{};
    float rotationAngle = 0;
    std::array<float, 9> unused{};
    std::vector<RmdlSurfaceFields> surfaces;
    std::vector<RmdlKeyFields> keys;
    std::vector<std::uint32_t> children;
};

struct RmdlFields {
    std::uint16_t version = 0;
    std::uint32_t wordA = 0, meshCount = 0, root = 0, wordB = 0;
    std::uint8_t byteC = 0;
    std::array<float, 3> p0{}, p1{}, p2{};
    std::vector<RmdlMeshFields> meshes;
    std::size_t endOffset = 0;  // first byte after the last mesh
};

// False (with a reason) when the magic, version or any part is missing.
bool readRmdl(const std::vector<std::uint8_t>& file, RmdlFields* out, std::string* why);

// Overwrites a little-endian 32-bit value at `offset`.
void patchU32(std::vector<std::uint8_t>* file, std::size_t offset, std::uint32_t value);

}  // namespace reference
