// The patch server's line files. The first byte picks the file; for the
// revision metadata the rest is split at the first NUL byte into the
// metadata and the sums of the same revision, so the sums meet the entries
// the metadata made.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/protocol/line_files.h"

namespace {

// Every name is safe and listed once: the index finds each entry itself.
void checkNames(quillon::UpdateList& list) {
    for (const quillon::UpdateFileEntry& entry : list.newestFirst())
        if (!quillon::isSafeContentName(entry.name) || list.find(entry.name) != &entry) __builtin_trap();
}

void revision(std::string_view body) {
    const std::size_t split = body.find('\0');
    const std::string_view meta = body.substr(0, split);
    const std::string_view sums =
        split == std::string_view::npos ? std::string_view() : body.substr(split + 1);
    quillon::UpdateList list;
    quillon::MetadataScan scan;
    bool hasFileLines = false;
    for (std::uint32_t rev : {1u, 2u}) {
        if (quillon::parseRevisionMetadata(meta, rev, list, scan, &hasFileLines)) return;
        checkNames(list);
        if (hasFileLines && quillon::parseRevisionSums(sums, rev, list)) return;
    }
    quillon::noticeWithHistory("notice", scan.history);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
        case 0: revision(body); break;
        case 1: {
            std::uint32_t rev = 0;
            std::vector<quillon::FullSumEntry> entries;
            if (!quillon::parseFullSums(body, &rev, &entries)) {
                for (const quillon::FullSumEntry& entry : entries)
                    if (!quillon::isSafeContentName(entry.name)) __builtin_trap();
            }
            break;
        }
        case 2:
            quillon::isPatchingAllowed(body);
            quillon::parseLatestRevision(body);
            break;
        default: {
            quillon::isSafeContentName(body);
            const std::string hex(body.substr(0, 32));
            if (hex.size() == 32) quillon::hexToDigest(hex.c_str());
            break;
        }
    }
    return 0;
}
