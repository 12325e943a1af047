// RFNT fonts: the texel block parseRfnt points at must lie inside the span.
#include <cstddef>
#include <cstdint>

#include "client/assets/font.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmar::RfntData font;
    if (velmar::parseRfnt(data, size, &font) != velmar::RfntStatus::Ok) return 0;
    const std::uint64_t texels = std::uint64_t{font.width} * font.height;
    if (texels == 0) return 0;
    if (font.texels < data || font.texels > data + size) __builtin_trap();
    if (texels > static_cast<std::uint64_t>(data + size - font.texels)) __builtin_trap();
    volatile std::uint8_t sink = font.texels[0];
    sink = sink + font.texels[texels - 1];
    return 0;
}
