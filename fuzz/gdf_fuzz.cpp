// GDF containers: header, descrambler and inflate. Compressed headers that
// announce more than kFuzzMaxContent bytes are skipped: the loader sizes its
// buffer from the header by design (up to kGdfMaxSize), which the fuzzer's
// memory limit would report rather than any fault. An uncompressed payload is
// the content whatever size the header names (the size only feeds the key).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "client/storage/gdf.h"

namespace {
constexpr std::uint64_t kFuzzMaxContent = 16u << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmar::GdfHeader header;
    const bool hasHeader = velmar::gdfReadHeader(data, size, &header) == velmar::GdfStatus::Ok;
    if (hasHeader && header.compressed() && header.contentSize() > kFuzzMaxContent) return 0;
    std::vector<std::uint8_t> content;
    const velmar::GdfStatus status = velmar::gdfDecode(data, size, &content);
    if (status != velmar::GdfStatus::Ok && !content.empty()) __builtin_trap();
    if (status == velmar::GdfStatus::Ok && header.compressed() &&
        content.size() != header.contentSize())
        __builtin_trap();
    if (status == velmar::GdfStatus::Ok && !header.compressed() &&
        content.size() != size - velmar::kGdfHeaderSize)
        __builtin_trap();
    return 0;
}
