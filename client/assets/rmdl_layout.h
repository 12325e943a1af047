// The RMDL model file's layout, version 1: little-endian, a fixed header,
// then the mesh records back to back. Each mesh record is a fixed part
// followed by its surfaces, key frames and child indices, in that order.
// The client's model parser reads it and the content tools write and check
// it, all from these numbers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar {

constexpr std::uint32_t kRmdlMagic = 0x4C444D52;  // "RMDL" read little-endian
constexpr std::uint16_t kRmdlVersion = 1;
constexpr std::size_t kRmdlVersionOffset = 4;

// --- Header, from the file's start ---
constexpr std::size_t kRmdlWordAOffset = 6;
constexpr std::size_t kRmdlMeshCountOffset = 10;
constexpr std::size_t kRmdlRootMeshOffset = 14;
constexpr std::size_t kRmdlWordBOffset = 18;
constexpr std::size_t kRmdlByteCOffset = 22;
constexpr std::size_t kRmdlP0Offset = 23;  // three f32 vectors
constexpr std::size_t kRmdlP1Offset = 35;
constexpr std::size_t kRmdlP2Offset = 47;
constexpr std::size_t kRmdlHeaderBytes = 59;

// --- Records ---
// A mesh's fixed part: tag, 16 f32 local matrix, local offset, position,
// angle, axis, scale, 9 unused f32, then the three counts.
constexpr std::size_t kRmdlMeshBytes = 168;
constexpr std::size_t kRmdlMeshTransformOffset = 4;  // the 29 floats after the tag
constexpr std::size_t kRmdlMeshTransformFloats = 29;
constexpr std::size_t kRmdlSurfaceCountOffset = 156;
constexpr std::size_t kRmdlKeyFrameCountOffset = 160;
constexpr std::size_t kRmdlChildCountOffset = 164;
// A surface: texture ID, 9 f32 vertices, 6 f32 texture coordinates, 2 words.
constexpr std::size_t kRmdlSurfaceBytes = 72;
constexpr std::size_t kRmdlSurfaceFloatsOffset = 4;
constexpr std::size_t kRmdlSurfaceFloats = 15;
// A key frame: i32 time, then the rotation quaternion x, y, z, w.
constexpr std::size_t kRmdlKeyFrameBytes = 20;
constexpr std::size_t kRmdlKeyFrameRotationOffset = 4;
constexpr std::size_t kRmdlChildBytes = 4;

// --- Values ---
// Node tag of a base node, which the client places by the header vectors.
constexpr std::int32_t kRmdlBaseNodeTag = -6;
// Distinct textures per mesh when grouping: the table has this many slots and
// the last one is never filled.
constexpr std::uint32_t kMaxMeshTextureSlots = 8192;

}  // namespace velmar
