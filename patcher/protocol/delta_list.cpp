#include "patcher/protocol/delta_list.h"

#include "patcher/protocol/digests.h"
#include "patcher/protocol/file_lists.h"
#include "patcher/protocol/lines_internal.h"

namespace quillon {

namespace {

constexpr char kHeader[] = "QUASK-DELTAS:1";

// The next ':'-ended field of `rest`, which moves past it.
bool nextField(std::string_view* rest, std::string_view* field) {
    const std::size_t colon = rest->find(':');
    if (colon == std::string_view::npos) return false;
    *field = rest->substr(0, colon);
    rest->remove_prefix(colon + 1);
    return true;
}

bool readDigest(std::string_view* rest, SignedDigest* digest) {
    std::string_view hex, size;
    return nextField(rest, &hex) && nextField(rest, &size) && parseListSha256(hex, &digest->sha256) &&
           parseListDecimal(size, UINT64_MAX, &digest->size);
}

// After "DELTA:": base, result, patch size, name. Names hold no ':', so the
// fields split in one way only.
bool readEntry(std::string_view rest, DeltaEntry* entry) {
    std::string_view patchSize;
    if (!readDigest(&rest, &entry->base) || !readDigest(&rest, &entry->result) ||
        !nextField(&rest, &patchSize) || !parseListDecimal(patchSize, UINT64_MAX, &entry->patchSize) ||
        !isSafeContentName(rest))
        return false;
    entry->name = std::string(rest);
    return true;
}

std::string digestFields(const SignedDigest& d) { return sha256Hex(d.sha256) + ":" + std::to_string(d.size); }

}  // namespace

std::string deltaListPath(std::uint32_t rev) { return "meta/delta_" + std::to_string(rev) + ".txt"; }

std::string deltaPatchPath(std::uint32_t rev, const std::string& name) {
    return "delta/" + std::to_string(rev) + name + ".zpatch";
}

std::optional<SignedDigest> deltaListMarker(std::string_view metadata) {
    LineWalk lines(metadata);
    std::string_view line;
    while (lines.next(&line)) {
        // Where the launcher's scan of the file ends, this one ends too.
        if (line.size() < 2 || startsWith(line, "MSG:")) break;
        if (!startsWith(line, "DELTAS:")) continue;
        std::string_view rest = line.substr(7);
        SignedDigest digest;
        std::string_view hex;
        if (nextField(&rest, &hex) && parseListSha256(hex, &digest.sha256) &&
            parseListDecimal(rest, UINT64_MAX, &digest.size))
            return digest;
        return std::nullopt;
    }
    return std::nullopt;
}

std::string deltaMarkerLine(const SignedDigest& list) { return "DELTAS:" + digestFields(list) + "\n"; }

std::string parseDeltaList(std::string_view body, std::uint32_t rev, DeltaList* list) {
    *list = DeltaList{};
    if (body.empty() || body.back() != '\n') return "not ended by a line feed";
    bool first = true, sawRev = false;
    LineWalk lines(body);
    std::string_view line;
    while (lines.next(&line)) {
        if (first) {
            if (line != kHeader) return "not a delta list";
            first = false;
        } else if (startsWith(line, "REV:")) {
            std::uint64_t value = 0;
            if (sawRev || !parseListDecimal(line.substr(4), UINT32_MAX, &value) || value != rev)
                return "bad REV line";
            list->revision = rev;
            sawRev = true;
        } else if (startsWith(line, "DELTA:")) {
            DeltaEntry entry;
            if (!readEntry(line.substr(6), &entry)) return "bad DELTA line";
            list->entries.push_back(std::move(entry));
        } else if (line.empty()) {
            return "blank line";
        }
    }
    if (!sawRev) return "no REV line";
    return {};
}

std::string deltaListText(const DeltaList& list) {
    std::string text = std::string(kHeader) + "\nREV:" + std::to_string(list.revision) + "\n";
    for (const DeltaEntry& e : list.entries)
        text += "DELTA:" + digestFields(e.base) + ":" + digestFields(e.result) + ":" +
                std::to_string(e.patchSize) + ":" + e.name + "\n";
    return text;
}

}  // namespace quillon
