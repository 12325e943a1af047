// The delta lists: binary patches that turn the file a player has into the
// one a revision ships, so a small change to a large file travels small.
// They are optional, beside the protocol every launcher speaks:
//
// - meta/<rev>.txt of a revision with patches holds one extra line,
//   "DELTAS:<sha256>:<size>", the digest and size of its delta list, before
//   any MSG line. Launchers that do not know the kind skip it; with a key the
//   line is covered by the revision's signed list like the rest of the file,
//   so the delta list is covered through it.
// - meta/delta_<rev>.txt, the delta list (text, every line ended by a line
//   feed):
//     QUASK-DELTAS:1                 always the first line
//     REV:<rev>                      exactly once
//     DELTA:<base sha256>:<base size>:<result sha256>:<result size>:<patch size>:<name>
//   one patch of the revision: it applies to the file `name` (leading
//   slash, as the metadata names it) when that file is the base, and gives
//   the result. Lines of other kinds are skipped; a new layout changes the 1.
// - delta/<rev><name>.zpatch, the patch: one zstd frame made against the
//   base as its reference prefix (delta_patch.h).
//
// A patch's result is judged like a download: by the sum file's digest and,
// with a key, by the signed one, never by the list alone. Pure functions;
// any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/protocol/line_files.h"

namespace quillon {

struct DeltaEntry {
    std::string name;     // "/data/x.map"
    SignedDigest base;    // the file the patch applies to
    SignedDigest result;  // what it gives
    std::uint64_t patchSize = 0;
};

struct DeltaList {
    std::uint32_t revision = 0;
    std::vector<DeltaEntry> entries;
};

std::string deltaListPath(std::uint32_t rev);                           // meta/delta_<rev>.txt
std::string deltaPatchPath(std::uint32_t rev, const std::string& name);  // delta/<rev><name>.zpatch

// The "DELTAS:" line of a revision's metadata body, when it has one before
// the message (whose text may hold anything).
std::optional<SignedDigest> deltaListMarker(std::string_view metadata);
std::string deltaMarkerLine(const SignedDigest& list);  // with its line feed

// Empty on success, else why the body is not a delta list of `rev`.
std::string parseDeltaList(std::string_view body, std::uint32_t rev, DeltaList* list);
std::string deltaListText(const DeltaList& list);

}  // namespace quillon
