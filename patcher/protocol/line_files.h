// The patch server's small text files: allow.txt, lastrev.txt, the metadata
// and checksum files of each revision and the full checksum list. Parsers
// work on the body as received (a byte span); they never touch the disk or
// the network. A failure carries the exact box text and caption the
// launcher shows before it ends with code 1.
//
// File names from the server are checked here, before anything builds a
// path from them: a name must start with a slash and stay inside the game
// directory.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon {

using Digest = std::array<std::uint8_t, 16>;
using Sha256 = std::array<std::uint8_t, 32>;

// What a signed file list says of one file: its SHA-256 digest and size.
struct SignedDigest {
    Sha256 sha256{};
    std::uint64_t size = 0;
};
inline bool sameDigest(const SignedDigest& a, const SignedDigest& b) {
    return a.size == b.size && a.sha256 == b.sha256;
}

struct PatchFailure {
    std::string text;
    std::string caption;
    // A data file whose bytes are not those its revision signed: named, so
    // that the run can tell a publish during it from an attack.
    std::string unsignedBytesOf = {};
};

struct UpdateFileEntry {
    enum Type { kDirectory = 0, kFile = 1 };
    enum Action { kFetch = 0, kDelete = 1 };
    int type = kFile;
    int action = kFetch;
    std::string name;  // as written: leading slash, forward slashes
    Digest digest{};   // all zero until a sum line sets it
    bool staged = false;
    // Set from the revision's signed file list when the launcher has a key.
    std::optional<SignedDigest> signedDigest;
};

// The actions of all revisions collected so far: one entry per name, the
// latest revision's entry first. Indexed by name, so a revision of many
// entries is collected in time linear in their number. The name of a listed
// entry is its key and must not change.
class UpdateList {
public:
    UpdateList() = default;
    // A copy's index would point into the original; a move keeps the nodes.
    UpdateList(const UpdateList&) = delete;
    UpdateList& operator=(const UpdateList&) = delete;
    UpdateList(UpdateList&&) = default;
    UpdateList& operator=(UpdateList&&) = default;

    // Replaces any entry of the same name and puts the new one in front.
    void add(UpdateFileEntry entry);
    UpdateFileEntry* find(std::string_view name);
    const std::list<UpdateFileEntry>& newestFirst() const { return m_entries; }
    std::size_t size() const { return m_entries.size(); }

private:
    std::list<UpdateFileEntry> m_entries;  // nodes stay put: the index keeps them
    std::unordered_map<std::string_view, std::list<UpdateFileEntry>::iterator> m_byName;
};

// The date of the latest DATE line; stays in force across revisions.
struct RevisionDate {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// State carried from one revision's metadata to the next.
struct MetadataScan {
    RevisionDate date;
    std::vector<std::string> history;  // in revision order
};

// True when patching is open: the body is exactly "allow".
bool isPatchingAllowed(std::string_view body);

// The revision of a lastrev.txt body, or 0 when it is not one.
std::uint32_t parseLatestRevision(std::string_view body);

// 32 hex characters to 16 bytes; any other character counts as 0.
Digest hexToDigest(const char* hex);

// A name from the server that may become a path below the game directory.
// No part of it may end in ".new": that is the launcher's name for its
// staging files, and a content file under it would be overwritten by, or
// renamed over, another file's download.
bool isSafeContentName(std::string_view name);
// True when some part of the name ends in ".new" (the case above).
bool hasStagingSuffix(std::string_view name);

// Metadata of revision `rev` (meta/<rev>.txt). `hasFileLines` tells whether
// the revision's sums must be fetched.
std::optional<PatchFailure> parseRevisionMetadata(std::string_view body, std::uint32_t rev,
                                                  UpdateList& list, MetadataScan& scan,
                                                  bool* hasFileLines);
// Checksums of revision `rev` (meta/sum_<rev>.txt) for the collected entries.
std::optional<PatchFailure> parseRevisionSums(std::string_view body, std::uint32_t rev,
                                              UpdateList& list);

struct FullSumEntry {
    std::string name;
    Digest digest;
};
// The full checksum list (meta/sum_full.txt) and the revision it describes.
std::optional<PatchFailure> parseFullSums(std::string_view body, std::uint32_t* rev,
                                          std::vector<FullSumEntry>* entries);

// The failures of a fetch that returned nothing usable.
PatchFailure metadataFetchFailure(std::uint32_t rev);
PatchFailure sumsFetchFailure(std::uint32_t rev);

// The notice with the update history appended, newest revision first.
std::string noticeWithHistory(const std::string& notice, const std::vector<std::string>& history);

}  // namespace quillon
