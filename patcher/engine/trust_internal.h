// What the launcher takes from the server once it has the publisher's key:
// the signed file list of each revision (or of the full check) is fetched
// first and its signature checked; every line file is then checked against
// the list before it is read, and each data file's SHA-256 digest and size
// come from it. A latest revision below the recorded one is a rollback and
// is refused. Each failure is the box the launcher shows before it ends,
// with every game file and the record as they were.
//
// Without a key none of this runs: the launcher speaks the protocol without
// signatures. Runs on the worker thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/engine/file_steps_internal.h"
#include "patcher/protocol/file_lists.h"

namespace quillon {

constexpr char kSignatureCaption[] = "Update Signature Error";

// meta/files_<rev>.txt (kRevision) or meta/files_full.txt (kFull, `rev`
// unused) with its signature, checked with the context's key and read.
std::optional<PatchFailure> fetchSignedList(PatchContext& ctx, FileList::Kind kind, std::uint32_t rev,
                                            FileList* list);

// A line file must be exactly what the list names as `path`.
std::optional<PatchFailure> checkListedBody(const FileList& list, const std::string& path,
                                            std::string_view body);

// The FILE lines of one revision's list: each names a file the revision
// fetches and not yet given a digest by a later revision.
std::optional<PatchFailure> takeSignedDigests(const FileList& list, UpdateList& entries);
// Every file to fetch must have a signed digest before anything is fetched.
std::optional<PatchFailure> requireSignedDigests(const UpdateList& entries);

// The full list's FILE lines for its SUM lines, in the same order; every
// SUM line needs one and no FILE line may name another file.
std::optional<PatchFailure> signedDigestsForFullList(const FileList& list,
                                                     const std::vector<FullSumEntry>& sums,
                                                     std::vector<SignedDigest>* digests);

// The server offers `offered` while `recorded` is installed.
std::optional<PatchFailure> refuseRollback(std::uint32_t offered, std::uint32_t recorded);

// A downloaded file whose SHA-256 digest or size is not the signed one.
PatchFailure signedDigestMismatch(const std::string& name);

}  // namespace quillon
