#include "patcher/engine/trust_internal.h"

#include <cstdio>

#include "patcher/protocol/digests.h"

namespace quillon {

namespace {

constexpr char kNothingChanged[] =
    "\nNothing was changed - If this problem persists - please contact the Support!";

PatchFailure signatureFailure(const std::string& first) {
    return {first + kNothingChanged, kSignatureCaption};
}

std::string subject(FileList::Kind kind, std::uint32_t rev, bool capital) {
    if (kind == FileList::kFull) return capital ? "The full checksum list" : "the full checksum list";
    return (capital ? "Revision " : "revision ") + std::to_string(rev);
}

}  // namespace

std::optional<PatchFailure> fetchSignedList(PatchContext& ctx, FileList::Kind kind, std::uint32_t rev,
                                            FileList* list) {
    const bool full = kind == FileList::kFull;
    const std::string damaged = "The signature of " + subject(kind, rev, false) + " is missing or damaged.";
    std::string body, signature;
    if (ctx.http.fetch(ctx.baseUrl + (full ? kFullListPath : revisionListPath(rev)), &body) != HttpStatus::Ok ||
        ctx.http.fetch(ctx.baseUrl + (full ? kFullSignaturePath : revisionSignaturePath(rev)), &signature,
                       kSignatureSize) != HttpStatus::Ok ||
        signature.size() != kSignatureSize) {
        return signatureFailure(damaged);
    }
    // The list is read only once the key vouches for its bytes.
    if (!ctx.trustedKey || !verifySignature(*ctx.trustedKey, body, signature))
        return signatureFailure(subject(kind, rev, true) + " is not signed by the publisher of this game.");
    // Signed, but not the list asked for (another revision's, or the full one).
    if (!parseFileList(body, list).empty() || list->kind != kind || (!full && list->revision != rev))
        return signatureFailure(damaged);
    return std::nullopt;
}

std::optional<PatchFailure> checkListedBody(const FileList& list, const std::string& path,
                                            std::string_view body) {
    const auto it = list.lists.find(path);
    if (it == list.lists.end() || !sameDigest(it->second, signedDigestOf(body))) return signedDigestMismatch(path);
    return std::nullopt;
}

std::optional<PatchFailure> takeSignedDigests(const FileList& list, UpdateList& entries) {
    for (const auto& [name, digest] : list.files) {
        UpdateFileEntry* entry = entries.find(name);
        // An entry with a digest got it from an earlier revision's list: this
        // revision did not name the file again, so it cannot vouch for it.
        if (!entry || entry->type != UpdateFileEntry::kFile || entry->action != UpdateFileEntry::kFetch ||
            entry->signedDigest) {
            return signatureFailure("Revision " + std::to_string(list.revision) + " signs '" + name +
                                    "', which it does not fetch.");
        }
        entry->signedDigest = digest;
    }
    return std::nullopt;
}

std::optional<PatchFailure> requireSignedDigests(const UpdateList& entries) {
    for (const UpdateFileEntry& e : entries.newestFirst()) {
        if (e.type == UpdateFileEntry::kFile && e.action == UpdateFileEntry::kFetch && !e.signedDigest)
            return signatureFailure("'" + e.name + "' has no signed digest.");
    }
    return std::nullopt;
}

std::optional<PatchFailure> signedDigestsForFullList(const FileList& list,
                                                     const std::vector<FullSumEntry>& sums,
                                                     std::vector<SignedDigest>* digests) {
    digests->clear();
    for (const FullSumEntry& sum : sums) {
        const auto it = list.files.find(sum.name);
        if (it == list.files.end()) return signatureFailure("'" + sum.name + "' has no signed digest.");
        digests->push_back(it->second);
    }
    if (list.files.size() != sums.size())
        return signatureFailure("The full checksum list and its signature name different files.");
    return std::nullopt;
}

std::optional<PatchFailure> refuseRollback(std::uint32_t offered, std::uint32_t recorded) {
    if (offered >= recorded) return std::nullopt;
    char text[512];
    std::snprintf(text, sizeof text,
                  "The Update Server offers revision %u, older than the installed revision %u.%s",
                  static_cast<unsigned>(offered), static_cast<unsigned>(recorded), kNothingChanged);
    return PatchFailure{text, "Update Rollback Refused"};
}

PatchFailure signedDigestMismatch(const std::string& name) {
    return signatureFailure("'" + name + "' does not match its signature.");
}

}  // namespace quillon
