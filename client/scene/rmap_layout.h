// The RMAP world map file's layout, version 6: little-endian, packed records,
// segments back to back in this order after the header: vk-cell layers,
// lightmap flags then texels, ground textures, tiles, cubes, meshes (each
// with its faces and keys), placed models, sound effects, effects, lights.
// The client's map loader reads it and the content tools write and check
// it, all from these numbers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar {

constexpr std::uint32_t kRmapMagic = 0x50414D52;  // "RMAP" read little-endian
constexpr std::uint16_t kRmapVersion = 6;
constexpr std::size_t kRmapVersionOffset = 4;
constexpr std::size_t kRmapHeaderStart = 6;  // magic and version before it
constexpr std::size_t kRmapHeaderEnd = 117;  // the 111-byte header after them

// --- Header fields, from the file's start ---
constexpr std::size_t kRmapCellsWideOffset = 6;    // u16
constexpr std::size_t kRmapCellsHighOffset = 8;    // u16
constexpr std::size_t kRmapCubesWideOffset = 10;   // i32
constexpr std::size_t kRmapCubesHighOffset = 14;   // i32
constexpr std::size_t kRmapCubeSizeOffset = 18;    // f32
constexpr std::size_t kRmapWaterTypeOffset = 22;   // u8
constexpr std::size_t kRmapWaterLevelOffset = 23;  // f32
constexpr std::size_t kRmapHasWaterOffset = 27;    // u8
constexpr std::size_t kRmapReserved1Offset = 28;   // i32
constexpr std::size_t kRmapReserved2Offset = 32;   // i32
constexpr std::size_t kRmapReservedColourOffset = 36;  // 3 f32
constexpr std::size_t kRmapSceneTintOffset = 48;       // 3 f32
constexpr std::size_t kRmapReservedFactorOffset = 60;  // f32
constexpr std::size_t kRmapLayerCountOffset = 64;      // u8
// Thirteen i32 counts: cells per layer, lightmaps, lightmap width and
// height, ground textures, ground passes, tiles, cubes, models, sound
// effects, effects, meshes, lights.
constexpr std::size_t kRmapCountsOffset = 65;
constexpr std::size_t kRmapCountFields = 13;

// --- Records, offsets from each record's start ---
constexpr std::size_t kRmapCellBytes = 17;  // 4 f32 corner heights, then the walkable byte
constexpr std::size_t kRmapCellWalkableOffset = 16;
constexpr std::size_t kRmapTextureBytes = 4;  // a texture ID
constexpr std::size_t kRmapTileBytes = 44;    // 4 f32 u, 4 f32 v, 4 colour bytes, ...
constexpr std::size_t kRmapTileVOffset = 16;
constexpr std::size_t kRmapTileColourOffset = 32;
constexpr std::size_t kRmapTileTextureOffset = 36;   // i32 index into the ground textures
constexpr std::size_t kRmapTileLightmapOffset = 40;  // i32, -1: none
constexpr std::size_t kRmapCubeBytes = 29;  // 4 f32 corner heights, the water byte, ...
constexpr std::size_t kRmapCubeWaterOffset = 16;
constexpr std::size_t kRmapCubeFacesOffset = 17;  // i32 tiles: +y wall, +x wall, top
constexpr std::size_t kRmapMeshFixedBytes = 101;  // then faces, then keys
constexpr std::size_t kRmapMeshFlagsOffset = 4;
constexpr std::size_t kRmapMeshKept9Offset = 5;
constexpr std::size_t kRmapMeshOffsetPOffset = 41;
constexpr std::size_t kRmapMeshOffsetQOffset = 53;
constexpr std::size_t kRmapMeshKept1Offset = 65;
constexpr std::size_t kRmapMeshKept3aOffset = 69;
constexpr std::size_t kRmapMeshKept3bOffset = 81;
constexpr std::size_t kRmapMeshFaceCountOffset = 93;
constexpr std::size_t kRmapMeshKeyCountOffset = 97;
constexpr std::size_t kRmapFaceBytes = 76;  // 9 f32 vertices, 36 bytes the client keeps
constexpr std::size_t kRmapFaceExtraOffset = 36;
constexpr std::size_t kRmapFaceTextureOffset = 72;
constexpr std::size_t kRmapKeyBytes = 20;  // i32 word, 4 f32 values
constexpr std::size_t kRmapModelBytes = 45;  // 3 f32 position, rotation and scale each
constexpr std::size_t kRmapModelRotationOffset = 12;
constexpr std::size_t kRmapModelScaleOffset = 24;
constexpr std::size_t kRmapModelKindOffset = 36;
constexpr std::size_t kRmapModelIdOffset = 37;
constexpr std::size_t kRmapModelUnusedOffset = 41;
constexpr std::size_t kRmapSoundEffectBytes = 112;  // 80 bytes not read, then 8 words
constexpr std::size_t kRmapSoundEffectWordsOffset = 80;
constexpr std::size_t kRmapEffectBytes = 16;
constexpr std::size_t kRmapLightBytes = 24;

// --- Values ---
constexpr std::size_t kRmapMaxLayers = 255;  // the layer count is one byte
// Tile index of a cube face that has no tile.
constexpr std::int32_t kRmapNoTile = 0x7FFFFFFE;
// Lightmap index of a tile without a lightmap.
constexpr std::int32_t kRmapNoLightmap = -1;
// Lightmap flag bits: colour, and with colour also alpha; neither: alpha only.
constexpr std::uint8_t kLightmapAlpha = 1;
constexpr std::uint8_t kLightmapColour = 2;
constexpr std::uint8_t kModelInternal = 0;
constexpr std::uint8_t kModelExternal = 1;

}  // namespace velmar
