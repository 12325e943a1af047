#include "patcher/engine/patch_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "patcher/disk/parallel_checks.h"
#include "patcher/disk/phase_pause.h"
#include "patcher/engine/downloads_internal.h"
#include "patcher/engine/trust_internal.h"

namespace quillon {

namespace {

const PatchFailure kServerDown{
    "The Update Server seems to be down or\nthere is a Problem with your Internet Connection.",
    "Update Server down"};

// The directory entry of phase 2: parents first, then the directory itself.
std::optional<PatchFailure> makeDirectory(GameTree& tree, const std::string& name) {
    const PhaseTexts& t = patchRunTexts();
    if (auto failure = makeParents(tree, name, t)) return failure;
    Fd parent = tree.openParent(name, false);
    if (!parent.valid() || (::mkdirat(parent.get(), leafOf(name).c_str(), 0755) != 0 && errno != EEXIST))
        return permissionFailure("[0]");
    tree.changedEntryOf(name);
    return std::nullopt;
}

// One revision's metadata and, when it names files, its sums. With a key
// the revision's signed list comes first and vouches for both bodies.
std::optional<PatchFailure> collectRevision(PatchContext& ctx, std::uint32_t rev, UpdateList& list,
                                            MetadataScan& scan, DeltaPlan* deltas) {
    FileList signedList;
    if (ctx.trustedKey) {
        if (auto failure = fetchSignedList(ctx, FileList::kRevision, rev, &signedList)) return failure;
    }
    const std::string metaPath = formatCounts("meta/%u.txt", rev, 0);
    std::string meta;
    if (ctx.http.fetch(ctx.baseUrl + metaPath, &meta) != HttpStatus::Ok) return metadataFetchFailure(rev);
    if (ctx.trustedKey) {
        if (auto failure = checkListedBody(signedList, metaPath, meta)) return failure;
    }
    bool hasFiles = false;
    if (auto failure = parseRevisionMetadata(meta, rev, list, scan, &hasFiles)) return failure;
    collectDeltaList(ctx, rev, meta, deltas);
    pauseHereForTest("metadata");
    if (hasFiles) {
        const std::string sumsPath = formatCounts("meta/sum_%u.txt", rev, 0);
        std::string sums;
        if (ctx.http.fetch(ctx.baseUrl + sumsPath, &sums) != HttpStatus::Ok) return sumsFetchFailure(rev);
        if (ctx.trustedKey) {
            if (auto failure = checkListedBody(signedList, sumsPath, sums)) return failure;
        }
        if (auto failure = parseRevisionSums(sums, rev, list)) return failure;
    }
    if (ctx.trustedKey) return takeSignedDigests(signedList, list);
    return std::nullopt;
}

bool fetchesFile(const UpdateFileEntry& e) {
    return e.type == UpdateFileEntry::kFile && e.action == UpdateFileEntry::kFetch;
}

Expected expectedOf(const UpdateFileEntry& e) {
    return Expected{e.digest, e.signedDigest ? &*e.signedDigest : nullptr};
}

// --- The phases of applying the updates ---

// Which files a staging file of an earlier run already holds as expected;
// returns how many are still to be downloaded.
unsigned scanStaged(LauncherState& ui, GameTree& tree, std::vector<UpdateFileEntry>& entries) {
    ui.SetStatusText("Searching for local Update Packages");
    const auto n = static_cast<unsigned>(entries.size());
    unsigned toDownload = 0;
    checkInParallel(
        tree.gameDir(), n,
        [&entries](std::size_t i, GameTree& own) {
            UpdateFileEntry& e = entries[i];
            if (fetchesFile(e)) e.staged = fileMatches(own, e.name, leafOf(stagingName(e.name)), expectedOf(e));
        },
        [&](std::size_t i) {
            if (fetchesFile(entries[i]) && !entries[i].staged) ++toDownload;
            ui.SetFileProgress(100.0 * (i + 1) / n);
            return true;
        });
    return toDownload;
}

// Makes the directories and parents in list order, then downloads every file
// not staged yet into its staging file, several at once.
std::optional<PatchFailure> downloadMissing(PatchContext& ctx, GameTree& tree,
                                            const std::vector<UpdateFileEntry>& entries, unsigned toDownload,
                                            unsigned patched) {
    const PhaseTexts& texts = patchRunTexts();
    const auto n = static_cast<unsigned>(entries.size());
    std::vector<FileFetch> fetches;
    for (unsigned i = 0; i < n; ++i) {
        const UpdateFileEntry& e = entries[i];
        ctx.ui.SetStatusText(formatCounts("Updating Object %u of %u", i + 1, n));
        if (e.action == UpdateFileEntry::kDelete) continue;
        if (e.type == UpdateFileEntry::kDirectory) {
            if (auto failure = makeDirectory(tree, e.name)) return failure;
            continue;
        }
        if (auto failure = makeParents(tree, e.name, texts)) return failure;
        if (e.staged) continue;
        FileFetch fetch;
        fetch.name = e.name;
        fetch.index = i + 1;
        fetch.done = patched + static_cast<unsigned>(fetches.size()) + 1;
        fetch.count = toDownload;
        fetch.want = expectedOf(e);
        fetches.push_back(std::move(fetch));
    }
    return fetchFiles(ctx, tree, fetches, texts);
}

// Every staging file must be there and as expected before anything is
// replaced.
std::optional<PatchFailure> verifyDownloads(LauncherState& ui, GameTree& tree,
                                            const std::vector<UpdateFileEntry>& entries) {
    const auto n = static_cast<unsigned>(entries.size());
    const PhaseTexts& texts = patchRunTexts();
    std::vector<std::optional<PatchFailure>> verdicts(n);
    std::optional<PatchFailure> failed;
    checkInParallel(
        tree.gameDir(), n,
        [&](std::size_t i, GameTree& own) {
            if (fetchesFile(entries[i])) verdicts[i] = verifyStaged(own, entries[i].name, expectedOf(entries[i]), texts);
        },
        [&](std::size_t i) {
            ui.SetStatusText(formatCounts("Checking File intigry (%u of %u)", static_cast<unsigned>(i) + 1, n));
            ui.SetFileProgress(100.0 * static_cast<double>(i + 1) / n);
            if (!fetchesFile(entries[i])) return true;
            failed = std::move(verdicts[i]);
            if (failed) return false;
            pauseHereForTest("check");
            return true;
        });
    return failed;
}

// Deletes and replaces the game files, then makes the replacements durable.
std::optional<PatchFailure> replaceFiles(PatchContext& ctx, GameTree& tree,
                                         const std::vector<UpdateFileEntry>& entries) {
    const auto n = static_cast<unsigned>(entries.size());
    for (unsigned i = 0; i < n; ++i) {
        const UpdateFileEntry& e = entries[i];
        ctx.ui.SetFileProgress(100.0 * (i + 1) / n);
        if (e.type != UpdateFileEntry::kFile) continue;  // directories are never removed
        if (e.action == UpdateFileEntry::kDelete) {
            // The result is ignored; a directory that leads outside the game
            // is never reached.
            Fd dir = tree.openParent(e.name, false);
            if (dir.valid() && ::unlinkat(dir.get(), leafOf(e.name).c_str(), 0) == 0) tree.changedEntryOf(e.name);
            continue;
        }
        if (auto failure = replaceFile(ctx, tree, e.name, patchRunTexts())) return failure;
        pauseHereForTest("replace");
    }
    return makeReplacementsDurable(tree);
}

}  // namespace

std::optional<PatchFailure> checkPatchingOpen(PatchContext& ctx, bool* open) {
    ctx.ui.SetStatusText("Getting Patchserver State");
    std::string body;
    if (ctx.http.fetch(ctx.baseUrl + "allow.txt", &body) != HttpStatus::Ok) return kServerDown;
    *open = isPatchingAllowed(body);
    if (*open) return std::nullopt;
    if (ctx.http.fetch(ctx.baseUrl + "notice_close.txt", &body) != HttpStatus::Ok) return kServerDown;
    ctx.ui.EnableStart(false);
    ctx.ui.EnableFullCheck(false);
    ctx.ui.SetNoticeText(body);
    ctx.ui.SetStatusText("Server is under Maintenance");
    return std::nullopt;
}

std::string fetchNotice(PatchContext& ctx) {
    ctx.ui.SetStatusText("Getting Patch Notice");
    std::string body;
    if (ctx.http.fetch(ctx.baseUrl + "notice.txt", &body) != HttpStatus::Ok) return "Patch Notice missing";
    return body;
}

std::optional<PatchFailure> runPatch(PatchContext& ctx, RevisionRecord& record) {
    bool open = false;
    if (auto failure = checkPatchingOpen(ctx, &open)) return failure;
    if (!open) return std::nullopt;
    const std::string notice = fetchNotice(ctx);
    ctx.ui.SetNoticeText(notice);

    ctx.ui.SetStatusText("Getting current Content Revision");
    std::string body;
    const std::uint32_t latest =
        ctx.http.fetch(ctx.baseUrl + "lastrev.txt", &body) == HttpStatus::Ok ? parseLatestRevision(body) : 0;
    if (latest == 0)
        return PatchFailure{"Error while fetching the latest Content Revision\nIf this problem persists - please contact the Support!",
                            "Update Server Error"};
    if (latest == record.revision) {
        showReady(ctx);
        return std::nullopt;
    }
    // Without a key an older server revision is installed as any other;
    // with one it is an attacker's way back to a known flaw.
    if (ctx.trustedKey) {
        if (auto failure = refuseRollback(latest, record.revision)) return failure;
    }

    // Counted in 64 bits: the loop ends even for the largest revision, and
    // a local revision above the server's collects nothing.
    const std::uint64_t local = record.revision;
    const std::uint64_t missing = latest > local ? latest - local : 0;
    ctx.ui.SetStatusText(formatCounts("Collecting Update Information for %u Rev(s)", static_cast<unsigned>(missing), 0));
    ctx.ui.SetFileProgress(0);
    UpdateList list;
    MetadataScan scan;
    DeltaPlan deltas;
    for (std::uint64_t r = local + 1; r <= latest; ++r) {
        if (auto failure = collectRevision(ctx, static_cast<std::uint32_t>(r), list, scan, &deltas)) return failure;
        ctx.ui.SetFileProgress(100.0 * static_cast<double>(r - local) / static_cast<double>(missing));
    }
    if (ctx.trustedKey) {
        if (auto failure = requireSignedDigests(list)) return failure;
    }
    ctx.ui.SetFileProgress(0);
    ctx.ui.SetStatusText("Refreshing Update Notice");
    if (!scan.history.empty()) ctx.ui.SetNoticeText(noticeWithHistory(notice, scan.history));
    return applyUpdates(ctx, list, latest, record, deltas);
}

std::optional<PatchFailure> applyUpdates(PatchContext& ctx, UpdateList& list, std::uint32_t latest,
                                         RevisionRecord& record, const DeltaPlan& deltas) {
    LauncherState& ui = ctx.ui;
    GameTree tree(ctx.gameDir);
    std::vector<UpdateFileEntry> entries = list.newestFirst();
    const unsigned toDownload = scanStaged(ui, tree, entries);
    // A file with patches has an installed version, so its directory is there.
    const unsigned patched = stageFromDeltas(ctx, tree, deltas, entries, toDownload);
    if (auto failure = downloadMissing(ctx, tree, entries, toDownload, patched)) return failure;
    if (auto failure = verifyDownloads(ui, tree, entries)) return failure;
    ui.SetFileProgress(0);
    ui.setUpdating(true);
    ui.SetStatusText("Updating - Please Wait");
    if (auto failure = replaceFiles(ctx, tree, entries)) return failure;

    ui.SetFileProgress(0);
    record.revision = latest;
    record.dirty = true;
    SaveRevisionRecord(ctx.gameDir, &record);  // a failure is retried at exit
    ui.setUpdating(false);
    showReady(ctx);
    ui.Flash();
    return std::nullopt;
}

}  // namespace quillon
