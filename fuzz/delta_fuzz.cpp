// The delta lists, their line in the metadata, and patches applied to a
// base. The first byte picks the part; a list that parses must come back the
// same through the writer, and a patch may only ever give exactly the size
// asked for or nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "patcher/protocol/delta_list.h"
#include "patcher/protocol/delta_patch.h"

namespace {

void deltaList(std::string_view body) {
    quillon::DeltaList list, again;
    if (!quillon::parseDeltaList(body, 7, &list).empty()) return;
    if (!quillon::parseDeltaList(quillon::deltaListText(list), 7, &again).empty()) __builtin_trap();
    if (again.entries.size() != list.entries.size()) __builtin_trap();
    for (std::size_t i = 0; i < list.entries.size(); ++i) {
        const quillon::DeltaEntry &a = list.entries[i], &b = again.entries[i];
        if (a.name != b.name || !quillon::sameDigest(a.base, b.base) || !quillon::sameDigest(a.result, b.result) ||
            a.patchSize != b.patchSize || !quillon::isSafeContentName(a.name))
            __builtin_trap();
    }
}

// The second byte splits the rest into base and patch; the result is asked
// for at a few sizes, the base's own among them (a small change keeps it).
void patch(std::string_view bytes) {
    if (bytes.empty()) return;
    const std::size_t split = static_cast<unsigned char>(bytes[0]) * (bytes.size() - 1) / 255;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data()) + 1;
    const quillon::ByteView base{data, split}, frame{data + split, bytes.size() - 1 - split};
    for (std::uint64_t size : {std::uint64_t{0}, std::uint64_t{split}, std::uint64_t{1} << 20}) {
        quillon::PatchedBytes result;
        if (quillon::applyDeltaPatch(base, frame, size, &result) && result.size != size) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: deltaList(body); break;
        case 1: {
            const auto marker = quillon::deltaListMarker(body);
            if (marker && quillon::deltaListMarker(quillon::deltaMarkerLine(*marker)) == std::nullopt) __builtin_trap();
            break;
        }
        default: patch(body); break;
    }
    return 0;
}
