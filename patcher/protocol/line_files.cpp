#include "patcher/protocol/line_files.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "patcher/protocol/lines_internal.h"

namespace quillon {

namespace {

// --- Texts ---

std::string withRev(const char* format, std::uint32_t rev) {
    char text[256];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(rev));
    return text;
}

PatchFailure metaFailure(const char* format, std::uint32_t rev) {
    return {withRev(format, rev), "Meta File Error"};
}

PatchFailure sumFailure(const char* format, std::uint32_t rev) {
    return {withRev(format, rev), "Sum File Error"};
}

constexpr char kMetaCorrupted[] =
    "Metafile for rev. %u corrupted - If this problem persists - please contact the Support!";
constexpr char kMetaIllegalName[] =
    "Metafile for rev. %u invalid - illegal file name - If this problem persists - please contact the Support!";
constexpr char kMsgInvalid[] = "Metafile for rev. %u invlaid - MSG filed invalid";
constexpr char kSumCorrupted[] =
    "Sumfile for rev. %u corrupted - If this problem persists - please contact the Support!";
constexpr char kSumIllegalName[] =
    "Sumfile for rev. %u invalid - illegal file name - If this problem persists - please contact the Support!";

bool isPlainName(std::string_view name);

// The box for a name the launcher cannot take: the staging suffix gets a
// text of its own, since the name is harmless in itself.
PatchFailure nameFailure(bool metadata, std::uint32_t rev, std::string_view name) {
    if (!isPlainName(name)) return metadata ? metaFailure(kMetaIllegalName, rev) : sumFailure(kSumIllegalName, rev);
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s for rev. %u invalid - '%.*s' ends in .new, the name the launcher gives its downloads - please contact the Support!",
                  metadata ? "Metafile" : "Sumfile", static_cast<unsigned>(rev),
                  static_cast<int>(std::min<std::size_t>(name.size(), 300)), name.data());
    return {text, metadata ? "Meta File Error" : "Sum File Error"};
}

// --- Scanning ---

// Leading decimal digits; stops at the first other character and saturates
// instead of wrapping.
std::uint64_t leadingDecimal(std::string_view text) {
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min<std::uint64_t>(value * 10 + static_cast<unsigned>(c - '0'), UINT64_MAX / 100);
    }
    return value;
}

bool sameRevision(std::string_view line, std::uint32_t rev) {
    return leadingDecimal(line.substr(4)) == rev;
}

// Calls `visit(line, offsetOfLine)` for each line until it returns false or
// a line of 0 or 1 characters ends the file.
void scanLines(std::string_view body,
               const std::function<bool(std::string_view, std::size_t)>& visit) {
    LineWalk lines(body);
    std::string_view line;
    while (lines.next(&line))
        if (line.size() <= 1 || !visit(line, lines.offset())) return;
}

unsigned dateField(std::string_view line, std::size_t from, std::size_t len) {
    return static_cast<unsigned>(leadingDecimal(line.substr(from, len)));
}

}  // namespace

// --- Entries ---

void UpdateList::add(UpdateFileEntry entry) {
    const auto known = m_byName.find(entry.name);
    if (known != m_byName.end()) {
        const auto old = known->second;
        m_byName.erase(known);  // its key is the name about to be freed
        m_entries.erase(old);
    }
    m_entries.push_front(std::move(entry));
    m_byName.emplace(m_entries.front().name, m_entries.begin());
}

UpdateFileEntry* UpdateList::find(std::string_view name) {
    const auto it = m_byName.find(name);
    return it == m_byName.end() ? nullptr : &*it->second;
}

// --- Small files ---

bool isPatchingAllowed(std::string_view body) {
    // Compared as a zero-terminated text: "allow\n" is not "allow".
    if (body.size() < 5) return false;
    const std::size_t zero = body.find('\0');
    return body.substr(0, zero) == "allow";
}

std::uint32_t parseLatestRevision(std::string_view body) {
    if (body.size() < 5 || !startsWith(body, "REV:")) return 0;
    const std::uint64_t rev = leadingDecimal(body.substr(4));
    return rev > UINT32_MAX ? 0 : static_cast<std::uint32_t>(rev);
}

Digest hexToDigest(const char* hex) {
    auto nibble = [](char c) -> std::uint8_t {
        if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
        return 0;
    };
    Digest d{};
    for (int i = 0; i < 16; ++i)
        d[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    return d;
}

bool hasStagingSuffix(std::string_view name) {
    for (std::size_t end = name.find('/'); ; end = name.find('/', end + 1)) {
        const std::string_view before = name.substr(0, end == std::string_view::npos ? name.size() : end);
        if (before.size() >= 4 && before.compare(before.size() - 4, 4, ".new") == 0) return true;
        if (end == std::string_view::npos) return false;
    }
}

bool isSafeContentName(std::string_view name) { return isPlainName(name) && !hasStagingSuffix(name); }

namespace {

bool isPlainName(std::string_view name) {
    // A leading slash joins the name to the game directory; every component
    // must be a plain name so the path cannot leave it or mean something
    // else on another system.
    if (name.size() < 2 || name[0] != '/') return false;
    std::size_t start = 1;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        for (char c : part) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7F || c == ':' || c == '\\') return false;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

// --- Revision metadata ---

namespace {

RevisionDate readDate(std::string_view line) {
    return RevisionDate{dateField(line, 5, 4),  dateField(line, 10, 2), dateField(line, 13, 2),
                        dateField(line, 16, 2), dateField(line, 19, 2), dateField(line, 22, 2)};
}

// A "DATA:" line: one entry of the update list.
std::optional<PatchFailure> readDataLine(std::string_view line, std::uint32_t rev, UpdateList& list,
                                         bool* hasFileLines) {
    UpdateFileEntry entry;
    std::size_t actionAt;
    if (line.compare(5, 3, "dir") == 0) {
        entry.type = UpdateFileEntry::kDirectory;
        actionAt = 9;
    } else if (line.compare(5, 4, "file") == 0) {
        entry.type = UpdateFileEntry::kFile;
        actionAt = 10;
    } else {
        return metaFailure(
            "Metafile for rev. %u invalid - unknown data:type specifier - If this problem persists - please contact the Support!",
            rev);
    }
    const char action = line[actionAt];
    if (action == 'A' || action == 'M' || action == 'R') {
        entry.action = UpdateFileEntry::kFetch;
    } else if (action == 'D') {
        entry.action = UpdateFileEntry::kDelete;
    } else {
        return metaFailure(
            "Metafile for rev. %u invalid - unknown data:action specifier - If this problem persists - please contact the Support!",
            rev);
    }
    const std::string_view name = line.size() > actionAt + 2 ? line.substr(actionAt + 2) : std::string_view();
    if (!isSafeContentName(name)) return nameFailure(true, rev, name);
    entry.name = std::string(name);
    if (entry.type == UpdateFileEntry::kFile) *hasFileLines = true;
    list.add(std::move(entry));
    return std::nullopt;
}

// A "MSG:" line at `offset` of the body: the revision's message, whose text
// may hold line feeds and so is measured in the body, joins the history.
std::optional<PatchFailure> readMessage(std::string_view body, std::string_view line, std::size_t offset,
                                        std::uint32_t rev, MetadataScan& scan) {
    const std::size_t colon = line.find(':', 4);
    if (colon < 5 || colon > 9 || colon == std::string_view::npos) return metaFailure(kMsgInvalid, rev);
    const std::string_view digits = line.substr(4, colon - 4);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return metaFailure(kMsgInvalid, rev);
    const std::size_t length = static_cast<std::size_t>(leadingDecimal(digits));
    const std::size_t textAt = offset + colon + 1;
    if (length > body.size() - std::min(textAt, body.size())) return metaFailure(kMsgInvalid, rev);
    if (length > 0) {
        char date[64];
        const RevisionDate& d = scan.date;
        std::snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u:%02u", d.year, d.month, d.day, d.hour,
                      d.minute, d.second);
        scan.history.push_back("Update from " + std::string(date) + ":\n" +
                               std::string(body.substr(textAt, length)) + "\n");
    }
    return std::nullopt;
}

}  // namespace

std::optional<PatchFailure> parseRevisionMetadata(std::string_view body, std::uint32_t rev,
                                                  UpdateList& list, MetadataScan& scan,
                                                  bool* hasFileLines) {
    *hasFileLines = false;
    if (body.size() < 5) return metadataFetchFailure(rev);
    bool sawRev = false;
    std::optional<PatchFailure> failure;
    scanLines(body, [&](std::string_view line, std::size_t offset) {
        if (startsWith(line, "REV:") && line.size() >= 5) {
            if (!sameRevision(line, rev)) failure = metaFailure(kMetaCorrupted, rev);
            sawRev = true;
        } else if (startsWith(line, "DATE:") && line.size() >= 24) {
            scan.date = readDate(line);
        } else if (startsWith(line, "DATA:") && line.size() >= 12) {
            failure = readDataLine(line, rev, list, hasFileLines);
        } else if (startsWith(line, "MSG:") && line.size() >= 6) {
            failure = readMessage(body, line, offset, rev, scan);
            return false;  // the message is the last item of the file
        }
        return !failure;
    });
    if (failure) return failure;
    if (!sawRev) return metaFailure(kMetaCorrupted, rev);
    return std::nullopt;
}

// --- Checksums ---

namespace {

// A "SUM:" line: the hex digits and the name, once column 36 holds the colon.
bool splitSumLine(std::string_view line, std::string_view* hex, std::string_view* name) {
    if (line[36] != ':') return false;
    *hex = line.substr(4, 32);
    *name = line.substr(37);
    return true;
}

}  // namespace

std::optional<PatchFailure> parseRevisionSums(std::string_view body, std::uint32_t rev,
                                              UpdateList& list) {
    if (body.size() < 5) return sumsFetchFailure(rev);
    bool sawRev = false;
    std::optional<PatchFailure> failure;
    scanLines(body, [&](std::string_view line, std::size_t) {
        if (startsWith(line, "REV:") && line.size() >= 5) {
            if (!sameRevision(line, rev)) failure = metaFailure(kMetaCorrupted, rev);
            sawRev = true;
        } else if (startsWith(line, "SUM:") && line.size() >= 38) {
            std::string_view hex, name;
            if (!splitSumLine(line, &hex, &name)) {
                failure = sumFailure(
                    "Sumfile for rev. %u corrupted - If this problem persists - please contact the Support! offset err",
                    rev);
            } else if (!isSafeContentName(name)) {
                failure = nameFailure(false, rev, name);
            } else if (UpdateFileEntry* entry = list.find(name)) {
                entry->digest = hexToDigest(hex.data());
            } else {
                failure = sumFailure(
                    "Sumfile for rev. %u contains sums for unknown files in metadata - please contact the support!",
                    rev);
            }
        }
        return !failure;
    });
    if (failure) return failure;
    if (!sawRev) return sumFailure(kSumCorrupted, rev);
    return std::nullopt;
}

std::optional<PatchFailure> parseFullSums(std::string_view body, std::uint32_t* rev,
                                          std::vector<FullSumEntry>* entries) {
    *rev = 0;
    entries->clear();
    std::optional<PatchFailure> failure;
    bool sawRev = false;
    scanLines(body, [&](std::string_view line, std::size_t) {
        if (startsWith(line, "REV:") && line.size() >= 5) {
            sawRev = true;
            const std::uint64_t value = leadingDecimal(line.substr(4));
            *rev = value > UINT32_MAX ? 0 : static_cast<std::uint32_t>(value);
        } else if (startsWith(line, "SUM:") && line.size() >= 38) {
            std::string_view hex, name;
            if (!splitSumLine(line, &hex, &name)) {
                failure = sumFailure(
                    "Sumfile for rev. %u corrupted - If this problem persists - please contact the Support! offset err FULLSUMFILE",
                    *rev);
            } else if (!isSafeContentName(name)) {
                failure = nameFailure(false, *rev, name);
            } else {
                entries->push_back(FullSumEntry{std::string(name), hexToDigest(hex.data())});
            }
        }
        return !failure;
    });
    // Neither a revision nor a file (an error page served as the list): a
    // check of nothing would call any installation whole.
    if (!failure && !sawRev && entries->empty())
        failure = sumFailure(
            "Sumfile for rev. %u corrupted - If this problem persists - please contact the Support! offset err FULLSUMFILE",
            *rev);
    return failure;
}

PatchFailure metadataFetchFailure(std::uint32_t rev) {
    return {withRev("Error while fetching Revision metadata for Rev. %u\n - If this problem persists - please contact the Support!", rev),
            "Update Server Error (fetch revinfo)"};
}

PatchFailure sumsFetchFailure(std::uint32_t rev) {
    return {withRev("Error while fetching Revision Checksums for Rev. %u\n - If this problem persists - please contact the Support!", rev),
            "Update Server Error (fetch rev sums)"};
}

std::string noticeWithHistory(const std::string& notice, const std::vector<std::string>& history) {
    if (history.empty()) return notice;
    std::string text = notice + "\n\nUpdate History:\n===========\n\n";
    for (auto it = history.rbegin(); it != history.rend(); ++it) text += *it + "\n";
    return text;
}

}  // namespace quillon
