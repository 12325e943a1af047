#include "patcher/engine/full_check.h"

#include <vector>

#include "patcher/disk/parallel_checks.h"
#include "patcher/engine/downloads_internal.h"
#include "patcher/engine/patch_run.h"
#include "patcher/engine/trust_internal.h"

namespace quillon {

namespace {

constexpr char kSumFetch[] =
    "Can't fetch the Full File Checksum file\nIf this problem persists, please contact the support!";
constexpr char kSumFetchCaption[] = "Fetch Error (FullSumFile)";

struct CheckEntry {
    FullSumEntry sum;
    std::optional<SignedDigest> signedDigest;  // with a key
    bool needsFetch = false;
    bool staged = false;

    Expected expected() const { return Expected{sum.digest, signedDigest ? &*signedDigest : nullptr}; }
};

// A full check also flashes the window when it is done.
void finish(PatchContext& ctx) {
    showReady(ctx);
    ctx.ui.Flash();
}

std::optional<PatchFailure> fetchBody(PatchContext& ctx, std::string* body) {
    switch (ctx.http.fetch(ctx.baseUrl + "meta/sum_full.txt", body)) {
        case HttpStatus::Ok: break;
        case HttpStatus::NoLength:
        case HttpStatus::TooLarge: return PatchFailure{std::string(kSumFetch) + " (2)", kSumFetchCaption};
        case HttpStatus::ReadError:
            return PatchFailure{"Failed to Download '<FullCheckSumFile>' from PatchServer\n= Read Error=\nIf this problem persists, please contact the Support!",
                                "Fetch Error (EOF)"};
        default: return PatchFailure{kSumFetch, kSumFetchCaption};
    }
    if (body->size() < 5) return PatchFailure{std::string(kSumFetch) + " (3sz)", kSumFetchCaption};
    return std::nullopt;
}

// The list as the server wrote it: each SUM line goes to the front. With a
// key the signed list comes first; it vouches for the body, names the
// SHA-256 digest of every listed file and may not go back in revisions.
std::optional<PatchFailure> fetchList(PatchContext& ctx, const RevisionRecord& record, std::uint32_t* rev,
                                      std::vector<CheckEntry>* entries) {
    ctx.ui.SetStatusText("Getting Checksum Information");
    FileList signedList;
    if (ctx.trustedKey) {
        if (auto failure = fetchSignedList(ctx, FileList::kFull, 0, &signedList)) return failure;
    }
    std::string body;
    if (auto failure = fetchBody(ctx, &body)) return failure;
    if (ctx.trustedKey) {
        if (auto failure = checkListedBody(signedList, "meta/sum_full.txt", body)) return failure;
    }
    std::vector<FullSumEntry> sums;
    if (auto failure = parseFullSums(body, rev, &sums)) return failure;
    std::vector<SignedDigest> digests;
    if (ctx.trustedKey) {
        if (auto failure = refuseRollback(*rev, record.revision)) return failure;
        if (auto failure = signedDigestsForFullList(signedList, sums, &digests)) return failure;
    }
    entries->clear();
    entries->reserve(sums.size());
    for (std::size_t i = sums.size(); i-- > 0;) {
        CheckEntry entry;
        entry.sum = sums[i];
        if (ctx.trustedKey) entry.signedDigest = digests[i];
        entries->push_back(std::move(entry));
    }
    return std::nullopt;
}

// With a key the installed file is judged by its signed SHA-256 digest alone.
unsigned checkInstalled(PatchContext& ctx, std::vector<CheckEntry>& entries) {
    const auto n = static_cast<unsigned>(entries.size());
    unsigned bad = 0;
    checkInParallel(
        ctx.gameDir, n,
        [&entries](std::size_t i, GameTree& own) {
            CheckEntry& e = entries[i];
            e.needsFetch = !fileMatches(own, e.sum.name, "", e.expected(), !e.signedDigest);
        },
        [&](std::size_t i) {
            ctx.ui.SetStatusText(formatCounts("Checking File intigry (%u of %u)", static_cast<unsigned>(i) + 1, n));
            ctx.ui.SetFileProgress(100.0 * static_cast<double>(i + 1) / n);
            if (entries[i].needsFetch) ++bad;
            return true;
        });
    return bad;
}

// Every staging file that replaces an installed one, checked before anything is replaced.
std::optional<PatchFailure> verifyDownloads(PatchContext& ctx, const std::vector<CheckEntry>& entries) {
    const PhaseTexts& texts = fullCheckTexts();
    const auto n = static_cast<unsigned>(entries.size());
    std::vector<std::optional<PatchFailure>> verdicts(n);
    std::optional<PatchFailure> failed;
    checkInParallel(
        ctx.gameDir, n,
        [&](std::size_t i, GameTree& own) {
            if (entries[i].needsFetch) verdicts[i] = verifyStaged(own, entries[i].sum.name, entries[i].expected(), texts);
        },
        [&](std::size_t i) {
            ctx.ui.SetStatusText(formatCounts("Checking File intigry (%u of %u)", static_cast<unsigned>(i) + 1, n));
            ctx.ui.SetFileProgress(100.0 * static_cast<double>(i + 1) / n);
            failed = std::move(verdicts[i]);
            return !failed;
        });
    return failed;
}

std::optional<PatchFailure> downloadMissing(PatchContext& ctx, GameTree& tree,
                                            std::vector<CheckEntry>& entries, unsigned bad) {
    const PhaseTexts& texts = fullCheckTexts();
    const auto n = static_cast<unsigned>(entries.size());
    ctx.ui.SetStatusText("Searching for local Update Packages");
    checkInParallel(
        ctx.gameDir, n,
        [&entries](std::size_t i, GameTree& own) {
            CheckEntry& e = entries[i];
            if (e.needsFetch) e.staged = fileMatches(own, e.sum.name, leafOf(stagingName(e.sum.name)), e.expected());
        },
        [&](std::size_t i) {
            ctx.ui.SetFileProgress(100.0 * static_cast<double>(i + 1) / n);
            return true;
        });
    unsigned done = 0;
    std::vector<FileFetch> fetches;
    for (const CheckEntry& e : entries) {
        if (!e.needsFetch) continue;
        if (auto failure = makeParents(tree, e.sum.name, texts)) return failure;
        ++done;
        if (e.staged) {
            ctx.ui.SetTotalProgress(100.0 * done / bad);
            ctx.ui.SetStatusTotalText(formatCounts("File %u of %u", done, bad));
            continue;
        }
        // A file to download shows its count as its download starts.
        FileFetch fetch;
        fetch.name = e.sum.name;
        fetch.index = fetch.done = done;
        fetch.count = bad;
        fetch.want = e.expected();
        fetches.push_back(std::move(fetch));
    }
    return fetchFiles(ctx, tree, fetches, texts);
}

}  // namespace

std::optional<PatchFailure> runFullCheck(PatchContext& ctx, RevisionRecord& record) {
    LauncherState& ui = ctx.ui;
    ui.EnableFullCheck(false);
    ui.EnableStart(false);
    bool open = false;
    if (auto failure = checkPatchingOpen(ctx, &open)) return failure;
    if (!open) return std::nullopt;
    ui.SetNoticeText(fetchNotice(ctx));

    std::uint32_t listRev = 0;
    std::vector<CheckEntry> entries;
    if (auto failure = fetchList(ctx, record, &listRev, &entries)) return failure;
    GameTree tree(ctx.gameDir);
    const unsigned bad = checkInstalled(ctx, entries);
    if (bad == 0) {
        finish(ctx);
        return std::nullopt;
    }
    if (auto failure = downloadMissing(ctx, tree, entries, bad)) return failure;

    if (auto failure = verifyDownloads(ctx, entries)) return failure;
    const PhaseTexts& texts = fullCheckTexts();
    const auto n = static_cast<unsigned>(entries.size());

    ui.SetFileProgress(0);
    ui.setUpdating(true);
    ui.SetStatusText("Updating - Please Wait");
    for (unsigned i = 0; i < n; ++i) {
        ui.SetFileProgress(100.0 * (i + 1) / n);
        if (!entries[i].needsFetch) continue;
        if (auto failure = replaceFile(ctx, tree, entries[i].sum.name, texts)) return failure;
    }
    if (auto failure = makeReplacementsDurable(tree)) return failure;
    ui.SetFileProgress(0);
    // A list without a REV line names no revision: the local one is kept,
    // since the files it lists are now in place whatever it was.
    if (listRev != 0) record.revision = listRev;
    record.dirty = true;
    SaveRevisionRecord(ctx.gameDir, &record);  // a failure is retried at exit
    ui.setUpdating(false);
    finish(ctx);
    return std::nullopt;
}

}  // namespace quillon
