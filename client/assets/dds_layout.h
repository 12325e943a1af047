// The DDS texture file's header as the game reads and writes it: the magic,
// a 124-byte header whose fields below are the ones used, the pixel format's
// FourCC, then the levels back to back from offset 128. The client's texture
// loader reads it and the content tools write and check it, all from these
// numbers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar {

constexpr std::uint32_t kDdsMagic = 0x20534444;  // "DDS " read little-endian
constexpr std::size_t kDdsHeaderBytes = 128;
constexpr std::uint32_t kDdsHeaderSizeField = 124;  // what the header-size field holds

// --- Fields, from the file's start ---
constexpr std::size_t kDdsHeaderSizeOffset = 4;
constexpr std::size_t kDdsFlagsOffset = 8;
constexpr std::size_t kDdsHeightOffset = 12;
constexpr std::size_t kDdsWidthOffset = 16;
constexpr std::size_t kDdsLinearSizeOffset = 20;
constexpr std::size_t kDdsMipCountOffset = 28;
constexpr std::size_t kDdsFourCcOffset = 84;
// Read only by the content checker: what says a file is not one flat picture.
constexpr std::size_t kDdsDepthOffset = 24;
constexpr std::size_t kDdsPixelFlagsOffset = 80;
constexpr std::size_t kDdsRgbBitCountOffset = 88;
constexpr std::size_t kDdsCaps2Offset = 112;

// --- Header flags ---
constexpr std::uint32_t kDdsFlagMipCount = 0x20000;
constexpr std::uint32_t kDdsFlagLinearSize = 0x80000;
constexpr std::uint32_t kDdsFlagDepth = 0x800000;
constexpr std::uint32_t kDdsPixelFlagFourCc = 0x4;
constexpr std::uint32_t kDdsCaps2CubeMap = 0x200;
constexpr std::uint32_t kDdsCaps2Volume = 0x200000;

}  // namespace velmar
