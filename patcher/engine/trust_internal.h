// Every decision about what the launcher takes from the server, in one
// place: what the publisher's key changes, the bounds on the sizes a server
// states, and that no update leaves the game without a launcher that runs.
// The phases of both runs ask it and do the file and network work
// themselves.
//
// With a key the launcher takes from the server only what the key vouches
// for: the signed file list of each revision (or of the full check) is
// fetched first and its signature checked; every line file is then checked
// against the list before it is read, each data file's SHA-256 digest and
// size come from it, nothing longer than the signed size is downloaded, and
// a latest revision below the recorded one is a rollback and is refused.
// Each failure is the box the launcher shows before it ends, with every game
// file and the record as they were.
//
// Without a key every answer is the protocol's own: nothing signed is asked
// for, every body is taken, and a file is judged by its MD5 digest alone;
// only the sizes a delta list states are bounded by a fixed cap instead.
// Runs on the worker thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/engine/patch_context.h"
#include "patcher/protocol/digests.h"
#include "patcher/protocol/file_lists.h"

namespace quillon {

constexpr char kSignatureCaption[] = "Update Signature Error";

// --- Files ---

// What a file must be: its MD5 digest, and with a key the signed digest.
struct Expected {
    Digest md5{};
    const SignedDigest* signedDigest = nullptr;
};

// Which digests judge a file. A staging file is judged by its MD5 digest
// and, with a key, by the signed one as well; with a key an installed file
// is judged by its signed SHA-256 digest alone.
enum class FileRole { kStaging, kInstalled };
struct Judged {
    bool md5 = true;
    bool sha256 = false;
};
Judged digestsToJudge(const Expected& want, FileRole role);

enum class Verdict { kMatches, kSignedDiffers, kMd5Differs };
// `got` holds the digests digestsToJudge asked for.
Verdict judge(const Expected& want, const Judged& by, const FileDigests& got);
// Bytes in memory (a patched file) judged by every digest there is.
bool bytesAreExpected(const Expected& want, std::string_view bytes);
// Whether a file of digest `have` can be the one `want` names: with a key
// only the signed file can, without one any may (its MD5 digest decides).
bool mayBeExpected(const Expected& want, const SignedDigest& have);

// The most bytes a download of the file may take: with a key, the signed size.
std::uint64_t downloadLimit(const Expected& want);
// Whether a staging file of `size` bytes holds a beginning to continue.
bool mayContinue(const Expected& want, std::uint64_t size);
// A download that went past its limit: with a key that is not the signed
// file; without one nothing (the caller's own failure stands).
std::optional<PatchFailure> overLimitFailure(const Expected& want, const std::string& name);

// A downloaded file whose SHA-256 digest or size is not the signed one.
PatchFailure signedDigestMismatch(const std::string& name);

// --- Sizes the server states ---

// Delta patches are applied in memory, so every size a delta list states
// is bounded before anything is taken for it: a file brought by patches,
// each step on the way and each patch may be no larger than this. With a
// key that is the signed size of the file; without one a fixed cap, above
// which files always come whole. A patch that states more is not fetched.
constexpr std::uint64_t kMaxUnsignedPatchedFile = 512ull << 20;
std::uint64_t patchedFileLimit(const Expected& want);

// --- The launcher ---

// An update may never leave the game directory without a launcher that
// runs: the running launcher's file is only replaced by a program of this
// machine that starts, and never deleted. Each answer but kRuns is refused
// before a game file changes.
enum class LauncherCheck { kRuns, kNotAProgram, kDoesNotRun, kDeleted };
std::optional<PatchFailure> refuseLauncherLoss(LauncherCheck check);

// --- Lists ---

// What one signed list vouches for; without a key there is none, every body
// passes and no file gets a signed digest.
class Vouch {
public:
    // A line file must be exactly what the list names as `path`.
    std::optional<PatchFailure> checkBody(const std::string& path, std::string_view body) const;
    // The FILE lines of one revision's list: each names a file the revision
    // fetches and not yet given a digest by a later revision.
    std::optional<PatchFailure> giveDigests(UpdateList& entries) const;
    // The full list's FILE lines for its SUM lines, in the same order; every
    // SUM line needs one and no FILE line may name another file.
    std::optional<PatchFailure> digestsForFullList(const std::vector<FullSumEntry>& sums,
                                                   std::vector<std::optional<SignedDigest>>* digests) const;

private:
    friend class Trust;
    std::optional<FileList> m_list;
};

class Trust {
public:
    explicit Trust(PatchContext& ctx) : m_ctx(ctx) {}

    // meta/files_<rev>.txt (kRevision) or meta/files_full.txt (kFull, `rev`
    // unused) with its signature, checked with the key and read.
    std::optional<PatchFailure> fetchList(FileList::Kind kind, std::uint32_t rev, Vouch* vouch) const;
    // The server offers `offered` while `recorded` is installed.
    std::optional<PatchFailure> refuseRollback(std::uint32_t offered, std::uint32_t recorded) const;
    // Every file to fetch must have a signed digest before anything is fetched.
    std::optional<PatchFailure> requireDigests(const UpdateList& entries) const;

private:
    PatchContext& m_ctx;
};

}  // namespace quillon
