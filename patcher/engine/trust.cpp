#include "patcher/engine/trust_internal.h"

#include <cstdio>

#include "patcher/engine/line_prefetch_internal.h"

namespace quillon {

namespace {

constexpr char kNothingChanged[] =
    "\nNothing was changed - If this problem persists - please contact the Support!";

std::string subject(FileList::Kind kind, std::uint32_t rev, bool capital) {
    if (kind == FileList::kFull) return capital ? "The full checksum list" : "the full checksum list";
    return (capital ? "Revision " : "revision ") + std::to_string(rev);
}

}  // namespace

PatchFailure signatureFailure(const std::string& first) { return {first + kNothingChanged, kSignatureCaption}; }

PatchFailure serverDownFailure() {
    return {"The Update Server seems to be down or\nthere is a Problem with your Internet Connection.",
            "Update Server down"};
}

bool looksLikeWebPage(const std::string& body) {
    std::size_t i = body.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n')) ++i;
    return i < body.size() && body[i] == '<';
}

PatchFailure latestRevisionFailure() {
    return {"Error while fetching the latest Content Revision\nIf this problem persists - please contact the Support!",
            "Update Server Error"};
}

// --- Files ---

Judged digestsToJudge(const Expected& want, FileRole role) {
    const bool keyed = want.signedDigest != nullptr;
    return Judged{role == FileRole::kStaging || !keyed, keyed};
}

Verdict judge(const Expected& want, const Judged& by, const FileDigests& got) {
    if (want.signedDigest && !sameDigest(got.signedDigest, *want.signedDigest)) return Verdict::kSignedDiffers;
    if (by.md5 && got.md5 != want.md5) return Verdict::kMd5Differs;
    return Verdict::kMatches;
}

bool bytesAreExpected(const Expected& want, std::string_view bytes) {
    if (md5OfBytes(bytes.data(), bytes.size()) != want.md5) return false;
    return !want.signedDigest || sameDigest(signedDigestOf(bytes), *want.signedDigest);
}

bool mayBeExpected(const Expected& want, const SignedDigest& have) {
    return !want.signedDigest || sameDigest(have, *want.signedDigest);
}

std::uint64_t downloadLimit(const Expected& want) {
    return want.signedDigest ? want.signedDigest->size : kMaxUnsignedFile;
}

bool mayContinue(const Expected& want, std::uint64_t size) {
    // A staging file as long as the signed file, or longer, has nothing to continue.
    return !want.signedDigest || size < want.signedDigest->size;
}

std::optional<PatchFailure> overLimitFailure(const Expected& want, const std::string& name) {
    if (!want.signedDigest) return std::nullopt;
    return dataFileMismatch(name);
}

PatchFailure signedDigestMismatch(const std::string& name) {
    return signatureFailure("'" + name + "' does not match its signature.");
}

PatchFailure dataFileMismatch(const std::string& name) {
    PatchFailure failure = signedDigestMismatch(name);
    failure.unsignedBytesOf = name;
    return failure;
}

// --- Sizes the server states ---

std::uint64_t patchedFileLimit(const Expected& want) {
    return want.signedDigest ? want.signedDigest->size : kMaxUnsignedPatchedFile;
}

// --- The launcher ---

std::optional<PatchFailure> refuseLauncherLoss(LauncherCheck check) {
    const char* what = nullptr;
    switch (check) {
        case LauncherCheck::kRuns: return std::nullopt;
        case LauncherCheck::kNotAProgram:
            what = "The update would replace the launcher with a file that is not a program for this computer.";
            break;
        case LauncherCheck::kDoesNotRun:
            what = "The update would replace the launcher with a program that does not start.";
            break;
        case LauncherCheck::kDeleted: what = "The update would delete the launcher."; break;
    }
    return PatchFailure{std::string(what) + kNothingChanged, "Update Launcher Error"};
}

// --- Lists ---

std::optional<PatchFailure> Vouch::checkBody(const std::string& path, std::string_view body) const {
    if (!m_list) return std::nullopt;
    const auto it = m_list->lists.find(path);
    if (it == m_list->lists.end() || !sameDigest(it->second, signedDigestOf(body))) return signedDigestMismatch(path);
    return std::nullopt;
}

std::optional<PatchFailure> Vouch::giveDigests(UpdateList& entries) const {
    if (!m_list) return std::nullopt;
    for (const auto& [name, digest] : m_list->files) {
        UpdateFileEntry* entry = entries.find(name);
        // An entry with a digest got it from an earlier revision's list: this
        // revision did not name the file again, so it cannot vouch for it.
        if (!entry || entry->type != UpdateFileEntry::kFile || entry->action != UpdateFileEntry::kFetch ||
            entry->signedDigest) {
            return signatureFailure("Revision " + std::to_string(m_list->revision) + " signs '" + name +
                                    "', which it does not fetch.");
        }
        entry->signedDigest = digest;
    }
    return std::nullopt;
}

std::optional<PatchFailure> Vouch::digestsForFullList(const std::vector<FullSumEntry>& sums,
                                                      std::vector<std::optional<SignedDigest>>* digests) const {
    digests->assign(sums.size(), std::nullopt);
    if (!m_list) return std::nullopt;
    for (std::size_t i = 0; i < sums.size(); ++i) {
        const auto it = m_list->files.find(sums[i].name);
        if (it == m_list->files.end()) return signatureFailure("'" + sums[i].name + "' has no signed digest.");
        (*digests)[i] = it->second;
    }
    if (m_list->files.size() != sums.size())
        return signatureFailure("The full checksum list and its signature name different files.");
    return std::nullopt;
}

bool Trust::signedByTrustedKey(std::string_view text, std::string_view sig) const {
    for (const PublicKey& key : m_listKeys)
        if (verifySignature(key, text, sig)) return true;
    return false;
}

bool Trust::pinned(const std::string& path, std::string_view body) const {
    const auto it = m_announcement.files.find(path);
    return it != m_announcement.files.end() && sameDigest(it->second, signedDigestOf(body));
}

std::optional<PatchFailure> Trust::fetchList(FileList::Kind kind, std::uint32_t rev, Vouch* vouch,
                                             LinePrefetch* lines) {
    vouch->m_list.reset();
    if (!m_keyed) return std::nullopt;
    const bool full = kind == FileList::kFull;
    const std::string path = full ? kFullListPath : revisionListPath(rev);
    const std::string sigPath = full ? kFullSignaturePath : revisionSignaturePath(rev);
    // The announcement names the lists a server at its revision must have.
    const bool mustBePinned = full || rev == m_announcement.revision;
    FileList list;
    std::optional<PatchFailure> failure;
    // A body out of a revision pack that does not hold is asked for alone
    // before the place is blamed: the pack may be older than the file.
    bool packed = false, again = false;
    for (;;) {
        const std::size_t place = m_ctx.mirrors.current();
        std::string body, signature;
        failure.reset();
        const auto fetched = [&](const std::string& p, std::string* out, std::uint64_t maxBytes) {
            bool fromPack = false;
            if (lines && !again && lines->take(p, m_ctx.mirrors.base(place), out, &fromPack)) {
                packed = packed || fromPack;
                return true;
            }
            return m_ctx.mirrors.fetchFrom(m_ctx.http, place, p, out, maxBytes) == HttpStatus::Ok;
        };
        if (!fetched(path, &body, kMaxControlFile) || !fetched(sigPath, &signature, kSignatureSize) ||
            signature.size() != kSignatureSize) {
            failure = signatureFailure("The signature of " + subject(kind, rev, false) + " is missing or damaged.");
        } else if (!signedByTrustedKey(body, signature)) {
            // The list is read only once a key vouches for its bytes.
            failure = signatureFailure(subject(kind, rev, true) + " is not signed by the publisher of this game.");
        } else if (!parseFileList(body, &list).empty() || list.kind != kind || (!full && list.revision != rev)) {
            // Signed, but not the list asked for (another revision's, or the full one).
            failure = signatureFailure("The signature of " + subject(kind, rev, false) + " is missing or damaged.");
        } else if (mustBePinned && !pinned(path, body)) {
            failure = signedDigestMismatch(path);
        }
        if (failure && packed && !again) {
            again = true;
            continue;
        }
        again = false;
        packed = false;
        if (!failure || !m_ctx.mirrors.skip(place, failure->text.substr(0, failure->text.find('\n')))) break;
    }
    if (failure) return failure;
    vouch->m_list = std::move(list);
    return std::nullopt;
}

std::optional<PatchFailure> Trust::refuseRollback(std::uint32_t offered, std::uint32_t recorded) const {
    // Without a key an older server revision is installed as any other;
    // with one it is an attacker's way back to a known flaw.
    if (!m_keyed || offered >= recorded) return std::nullopt;
    char text[512];
    std::snprintf(text, sizeof text,
                  "The Update Server offers revision %u, older than the installed revision %u.%s",
                  static_cast<unsigned>(offered), static_cast<unsigned>(recorded), kNothingChanged);
    return PatchFailure{text, "Update Rollback Refused"};
}

std::optional<PatchFailure> Trust::requireDigests(const UpdateList& entries) const {
    if (!m_keyed) return std::nullopt;
    for (const UpdateFileEntry& e : entries.newestFirst()) {
        if (e.type == UpdateFileEntry::kFile && e.action == UpdateFileEntry::kFetch && !e.signedDigest)
            return signatureFailure("'" + e.name + "' has no signed digest.");
    }
    return std::nullopt;
}

}  // namespace quillon
