// Every decision about what the launcher takes from the server, in one
// place: what the publisher's keys change, the bounds on the sizes a server
// states, and that no update leaves the game without a launcher that runs.
// The phases of both runs ask it and do the file and network work
// themselves.
//
// The trust lives in the game directory, not in the launcher program: the
// first run with a key (built in, or from the environment) keeps it there as
// the directory's root of trust (data/quillon.root), and from then on every
// run trusts that root and only the roots it signs, whatever key the launcher
// program that runs has or lacks. A run opens by fetching the signed
// announcement of the latest revision, the newer roots it names (each signed
// by the one before; they may revoke signing keys), the certificate of the
// signing key when the root key did not sign it, and the mirror list it
// vouches for; an expired announcement or certificate means the server is
// out of date. allow.txt, the notices, lastrev.txt, the latest revision's
// signed list and the full list must then be what the announcement names.
// Each revision's signed file list is checked with the root or signing key
// before it is read; every line file is then checked against its list,
// each data file's SHA-256 digest and size come from it, nothing longer than
// the signed size is downloaded, and a latest revision below the recorded
// one is a rollback and is refused. A place that serves what fails these
// checks is skipped for the next mirror while there is one. Each failure is
// the box the launcher shows before it ends, with every game file and the
// record as they were.
//
// Without a root and without a key every answer is the protocol's own:
// nothing signed is asked for, every body is taken from the one server, and
// a file is judged by its MD5 digest alone; only the sizes a delta list
// states are bounded by a fixed cap instead, and data files by another.
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
#include "patcher/protocol/trust_files.h"

namespace quillon {

class LinePrefetch;

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

// The most bytes a download of the file may take: with a key, the signed
// size; without one a fixed cap no game file reaches.
constexpr std::uint64_t kMaxUnsignedFile = 64ull << 30;
std::uint64_t downloadLimit(const Expected& want);
// Whether a staging file of `size` bytes holds a beginning to continue.
bool mayContinue(const Expected& want, std::uint64_t size);
// A download that went past its limit: with a key that is not the signed
// file; without one nothing (the caller's own failure stands).
std::optional<PatchFailure> overLimitFailure(const Expected& want, const std::string& name);

// A downloaded file whose SHA-256 digest or size is not the signed one.
PatchFailure signedDigestMismatch(const std::string& name);
// The same for a data file of the revision (PatchFailure::unsignedBytesOf).
PatchFailure dataFileMismatch(const std::string& name);
// The "Update Signature Error" box: `first`, then that nothing was changed.
PatchFailure signatureFailure(const std::string& first);
// The box for a server that cannot be reached at the start of a run.
PatchFailure serverDownFailure();
// A web page where a control file should be: what a hotel's or a station's
// network answers before its log-in, for every address. That is no update
// server at all (and, with a key, no attack to warn of).
bool looksLikeWebPage(const std::string& body);
// The box for a lastrev.txt that cannot be fetched or read.
PatchFailure latestRevisionFailure();

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

// --- One run ---

class Trust {
public:
    // `recorded`: the revision the game directory holds.
    Trust(PatchContext& ctx, std::uint32_t recorded) : m_ctx(ctx), m_recorded(recorded) {}

    // The run's first step: the game directory's root (made from the
    // launcher's key when there is none yet), the announcement with what it
    // needs, and the mirrors. Without a root and a key nothing is fetched.
    std::optional<PatchFailure> open();
    bool keyed() const { return m_keyed; }

    // allow.txt, notice.txt and notice_close.txt: with a key each must be
    // what the announcement names, and is asked for only when it names it.
    bool announces(const std::string& path) const;
    std::optional<PatchFailure> checkControlFile(const std::string& path, std::string_view body) const;
    // The latest revision of lastrev.txt while `recorded` is installed:
    // never below it, and with a key the announced one.
    std::optional<PatchFailure> checkLatest(std::uint32_t offered, std::uint32_t recorded) const;
    // The server offers `offered` (the full list's revision) while `recorded` is installed.
    std::optional<PatchFailure> refuseRollback(std::uint32_t offered, std::uint32_t recorded) const;

    // meta/files_<rev>.txt (kRevision) or meta/files_full.txt (kFull, `rev`
    // unused) with its signature, checked with the trusted keys (and the
    // announcement, which names the latest and the full one) and read; with
    // `lines`, from what was fetched there ahead when it will do.
    std::optional<PatchFailure> fetchList(FileList::Kind kind, std::uint32_t rev, Vouch* vouch,
                                          LinePrefetch* lines = nullptr);
    // Every file to fetch must have a signed digest before anything is fetched.
    std::optional<PatchFailure> requireDigests(const UpdateList& entries) const;

private:
    std::optional<PatchFailure> loadRoot();
    std::optional<PatchFailure> openFrom(std::size_t place);
    std::optional<PatchFailure> takeRoots(std::size_t place, std::uint32_t upTo);
    std::optional<PatchFailure> trustSigner(std::size_t place, std::string_view text, std::string_view sig);
    std::optional<PatchFailure> takeMirrorList();
    bool signedByTrustedKey(std::string_view text, std::string_view sig) const;
    bool pinned(const std::string& path, std::string_view body) const;

    PatchContext& m_ctx;
    std::uint32_t m_recorded;
    bool m_keyed = false;
    RootOfTrust m_root;
    std::vector<PublicKey> m_listKeys;  // the root key, and the certified signing key
    Announcement m_announcement;
};

}  // namespace quillon
