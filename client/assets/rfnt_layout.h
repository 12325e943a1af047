// The RFNT font file's header layout: the size byte, 256 advance widths, 256
// glyph rectangles as four little-endian doubles, the texture height and
// width, then the texels. The client's loader reads it and the content tools
// write it, both from these offsets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar {

constexpr std::uint32_t kRfntMagic = 0x544E4652;  // "RFNT" read little-endian
constexpr std::size_t kRfntSizeOffset = 6;
constexpr std::size_t kRfntAdvanceOffset = 7;
constexpr std::size_t kRfntRectOffset = 263;
constexpr std::size_t kRfntRectBytes = 32;
constexpr std::size_t kRfntHeightOffset = 8455;
constexpr std::size_t kRfntWidthOffset = 8459;
constexpr std::size_t kRfntHeaderSize = 8463;

}  // namespace velmar
