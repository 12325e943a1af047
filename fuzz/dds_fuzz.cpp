// DDS header and level walk: every level readDds lays out must lie inside
// the span, which the fuzzer checks by touching its first and last byte.
#include <cstddef>
#include <cstdint>

#include "client/assets/dds.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmar::DdsImage image;
    if (velmar::readDds(data, size, &image) != velmar::DdsStatus::Ok) return 0;
    if (image.levelCount > velmar::kDdsMaxLevels) __builtin_trap();
    volatile std::uint8_t sink = 0;
    for (std::uint32_t i = 0; i < image.levelCount; ++i) {
        const velmar::DdsLevel& level = image.levels[i];
        if (level.size == 0) continue;
        if (level.offset > size || level.size > size - level.offset) __builtin_trap();
        sink = sink + data[level.offset] + data[level.offset + level.size - 1];
    }
    return 0;
}
