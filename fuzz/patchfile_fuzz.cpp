// Compressed patch files: the header and property checks and the LZMA
// decoder UnpackFile runs on the file's bytes. Headers that announce more
// than kFuzzMaxContent bytes are skipped: the unpacker sizes its buffer from
// the header by design (up to 4 GiB, refused with a box when memory is
// short), which the fuzzer's memory limit would report rather than a fault.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "shared/patch_file.h"

namespace {
constexpr std::uint32_t kFuzzMaxContent = 16u << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quask::PatchHeader header;
    if (quask::patchReadHeader(data, size, size, &header) == quask::PatchStatus::Ok &&
        header.unpackedSize > kFuzzMaxContent)
        return 0;
    std::vector<std::uint8_t> content;
    quask::PatchHeader decoded;
    const quask::PatchStatus status = quask::patchDecode(data, size, &content, &decoded);
    if (status == quask::PatchStatus::Ok && content.size() != decoded.unpackedSize)
        __builtin_trap();
    return 0;
}
