#include "patcher/engine/phases_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "patcher/disk/parallel_checks.h"
#include "patcher/disk/phase_pause.h"
#include "patcher/disk/stale_files.h"
#include "patcher/engine/downloads_internal.h"
#include "patcher/engine/self_update_internal.h"

namespace quillon {

namespace {

const PhaseTexts kPatchRunTexts{"[1]", " (2)", " (file)", "(generic check)", "(sum)",
                                "[selfpatch_move]", "[3]", " (renname)", "Decompression failed."};
const PhaseTexts kFullCheckTexts{"[fc:1]", " (fc:5)", " (fc:file)", "(fc: generic check)",
                                 "(fc: sum)", "[fc:selfpatch_move]", "[fc:3]", " (fc:renname)",
                                 "Decompression failed. (fc)"};

// --- The phases ---

// Which files a staging file of an earlier run already holds as expected;
// returns how many are still to be downloaded.
unsigned scanStaged(LauncherState& ui, GameTree& tree, std::vector<PlanEntry>& entries) {
    ui.SetStatusText("Searching for local Update Packages");
    const auto n = static_cast<unsigned>(entries.size());
    // A file whose folder is not there has nothing staged: each folder is
    // asked once, and only the files of folders that are there go to the
    // checking threads. A fresh install so starts its downloads at once.
    std::map<std::string, bool> folderThere;
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < n; ++i) {
        if (entries[i].kind != PlanEntry::kFetchFile) continue;
        const auto [at, added] = folderThere.emplace(parentOf(entries[i].name), false);
        if (added) at->second = tree.lendParent(entries[i].name, false) >= 0;
        if (at->second) candidates.push_back(i);
    }
    unsigned toDownload = 0;
    std::size_t counted = 0;  // entries before it are counted and shown
    const auto countUpTo = [&](std::size_t end) {
        for (; counted < end; ++counted) {
            if (entries[counted].kind == PlanEntry::kFetchFile && !entries[counted].staged) ++toDownload;
            ui.SetFileProgress(100.0 * static_cast<double>(counted + 1) / n);
        }
    };
    checkInParallel(
        tree.gameDir(), candidates.size(),
        [&](std::size_t k, GameTree& own) {
            PlanEntry& e = entries[candidates[k]];
            e.staged = fileMatches(own, e.name, FileRole::kStaging, e.expected());
        },
        [&](std::size_t k) {
            countUpTo(candidates[k] + 1);
            return true;
        });
    countUpTo(n);
    return toDownload;
}

// A directory entry: parents first, then the directory itself.
std::optional<PatchFailure> makeDirectory(GameTree& tree, const std::string& name, const PhaseTexts& texts) {
    if (auto failure = makeParents(tree, name, texts)) return failure;
    Fd parent = tree.openParent(name, false);
    if (!parent.valid() || (::mkdirat(parent.get(), leafOf(name).c_str(), 0755) != 0 && errno != EEXIST))
        return permissionFailure("[0]");
    tree.changedEntryOf(name);
    return std::nullopt;
}

// Phase 2, entry by entry in list order: the status, then the directory,
// or the file's parents and its download. The next entry waits for a free
// connection, so with one the download has ended before it. `patched` files
// were staged from delta patches and count as downloaded.
std::optional<PatchFailure> downloadMissing(PatchContext& ctx, GameTree& tree, const std::vector<PlanEntry>& entries,
                                            const RunRules& rules, unsigned toDownload, unsigned patched,
                                            Arrivals* arrivals) {
    const PhaseTexts& texts = *rules.texts;
    const bool byFetch = rules.numbering == RunRules::kByFetch;
    const auto n = static_cast<unsigned>(entries.size());
    unsigned count = toDownload;
    if (byFetch) {
        count = 0;
        for (const PlanEntry& e : entries) count += e.kind == PlanEntry::kFetchFile;
    }
    unsigned counted = patched;
    Downloads downloads(ctx, tree, texts, arrivals);
    for (unsigned i = 0; i < n; ++i) {
        const PlanEntry& e = entries[i];
        if (!byFetch) ctx.ui.SetStatusText(formatCounts("Updating Object %u of %u", i + 1, n));
        if (e.kind == PlanEntry::kDirectory) {
            if (auto failure = makeDirectory(tree, e.name, texts)) return failure;
            continue;
        }
        if (e.kind != PlanEntry::kFetchFile) continue;
        if (auto failure = makeParents(tree, e.name, texts)) return failure;
        // The full check numbers every file it fetches, a reused one too;
        // the patch run only its downloads, as each starts.
        if (byFetch) {
            ++counted;
            ctx.ui.SetTotalProgress(100.0 * counted / count);
            ctx.ui.SetStatusTotalText(formatCounts("File %u of %u", counted, count));
        }
        if (e.staged) continue;
        if (!byFetch) ++counted;
        FileFetch fetch;
        fetch.name = e.name;
        fetch.index = byFetch ? counted : i + 1;
        fetch.done = counted;
        fetch.count = count;
        fetch.counted = byFetch;
        fetch.want = e.expected();
        downloads.add(std::move(fetch));
        if (auto failure = downloads.waitForConnection()) return failure;
    }
    return downloads.finish();
}

// Every staging file must be there and as expected before anything is
// replaced; one that is still as it was when its download ended is judged
// by the digests read back then.
std::optional<PatchFailure> verifyDownloads(LauncherState& ui, GameTree& tree, const std::vector<PlanEntry>& entries,
                                            const PhaseTexts& texts, const EarlyDigests& early) {
    const auto n = static_cast<unsigned>(entries.size());
    std::vector<std::optional<PatchFailure>> verdicts(n);
    std::optional<PatchFailure> failed;
    checkInParallel(
        tree.gameDir(), n,
        [&](std::size_t i, GameTree& own) {
            const PlanEntry& e = entries[i];
            if (e.kind == PlanEntry::kFetchFile) verdicts[i] = verifyStaged(own, e.name, e.expected(), texts, &early);
        },
        [&](std::size_t i) {
            ui.SetStatusText(formatCounts("Checking File intigry (%u of %u)", static_cast<unsigned>(i) + 1, n));
            ui.SetFileProgress(100.0 * static_cast<double>(i + 1) / n);
            if (entries[i].kind != PlanEntry::kFetchFile) return true;
            failed = std::move(verdicts[i]);
            if (failed) return false;
            pauseHereForTest("check");
            return true;
        });
    return failed;
}

// Deletes and replaces the game files, then makes the replacements durable.
// A file that a revision deletes and that cannot be deleted stays, as the
// run goes on without it; the log says so. Every delete comes before every
// replacement: on a drive that ignores case, a name one revision gave up
// ("Foo") is the file a later one fetched ("foo"), and a delete after the
// replacement would remove the new file.
std::optional<PatchFailure> replaceFiles(PatchContext& ctx, GameTree& tree, const std::vector<PlanEntry>& entries,
                                         const PhaseTexts& texts) {
    const auto n = static_cast<unsigned>(entries.size());
    unsigned handled = 0;
    for (const PlanEntry& e : entries) {
        if (e.kind != PlanEntry::kDeleteFile) continue;
        ctx.ui.SetFileProgress(100.0 * ++handled / n);
        if (!deleteFile(tree, e.name))
            ctx.ui.Note("could not delete '" + e.name + "' (" + std::strerror(errno) + "): the file stays");
    }
    for (const PlanEntry& e : entries) {
        if (e.kind == PlanEntry::kDeleteFile) continue;
        ctx.ui.SetFileProgress(100.0 * ++handled / n);
        if (e.kind != PlanEntry::kFetchFile) continue;  // directories are never removed
        if (auto failure = replaceFile(ctx, tree, e.name, texts)) return failure;
        pauseHereForTest("replace");
    }
    return makeReplacementsDurable(tree);
}

// Temporaries of files a killed run was unpacking, in the directories this
// run writes to.
void removeLeftovers(GameTree& tree, const std::vector<PlanEntry>& entries) {
    std::vector<std::string> names;
    for (const PlanEntry& e : entries)
        if (e.kind == PlanEntry::kFetchFile || e.kind == PlanEntry::kDeleteFile) names.push_back(e.name);
    removeAbandonedTemporaries(tree, names);
}

}  // namespace

const RunRules& patchRunRules() {
    static const RunRules rules{&kPatchRunTexts, RunRules::kByList};
    return rules;
}

const RunRules& fullCheckRules() {
    static const RunRules rules{&kFullCheckTexts, RunRules::kByFetch};
    return rules;
}

// --- Opening ---

std::optional<PatchFailure> checkPatchingOpen(PatchContext& ctx, Trust& trust, bool* open, LinePrefetch* lines,
                                              const std::function<std::vector<std::string>()>& after) {
    ctx.ui.SetStatusText("Getting Patchserver State");
    if (auto failure = trust.open()) return failure;
    // Each of these round trips waits for the one before; fetched together
    // they cost one. A server under maintenance leaves the rest unused.
    if (lines) {
        std::vector<std::string> paths{"allow.txt"};
        if (trust.announces("notice.txt")) paths.push_back("notice.txt");
        if (after) {
            const std::vector<std::string> next = after();
            paths.insert(paths.end(), next.begin(), next.end());
        }
        lines->fetchAhead(paths);
    }
    std::string body;
    const auto fetchChecked = [&](const char* path) -> std::optional<PatchFailure> {
        // A web page is no answer of a patch server: a mirror may have the file.
        const bool page = std::string_view(path) == "allow.txt";
        const Mirrors::Accept accept = [&](std::string_view b) {
            return !trust.checkControlFile(path, b) && !(page && looksLikeWebPage(std::string(b)));
        };
        const HttpStatus status = lines ? lines->fetch(path, &body, accept)
                                        : ctx.mirrors.fetch(ctx.http, path, &body, kMaxControlFile, accept);
        if (status != HttpStatus::Ok) return serverDownFailure();
        return trust.checkControlFile(path, body);
    };
    if (auto failure = fetchChecked("allow.txt")) return failure;
    // Not a server under maintenance, whose notice would be the page.
    if (looksLikeWebPage(body)) return serverDownFailure();
    *open = isPatchingAllowed(body);
    if (*open) return std::nullopt;
    if (auto failure = fetchChecked("notice_close.txt")) return failure;
    ctx.ui.EnableStart(false);
    ctx.ui.EnableFullCheck(false);
    ctx.ui.SetNoticeText(body);
    ctx.ui.SetStatusText("Server is under Maintenance");
    return std::nullopt;
}

std::optional<PatchFailure> fetchNotice(PatchContext& ctx, const Trust& trust, std::string* notice,
                                        LinePrefetch* lines) {
    ctx.ui.SetStatusText("Getting Patch Notice");
    *notice = "Patch Notice missing";
    // With a key, a notice the publisher did not announce is no notice.
    if (!trust.announces("notice.txt")) return std::nullopt;
    std::string body;
    const Mirrors::Accept accept = [&](std::string_view b) { return !trust.checkControlFile("notice.txt", b); };
    const HttpStatus status = lines ? lines->fetch("notice.txt", &body, accept)
                                    : ctx.mirrors.fetch(ctx.http, "notice.txt", &body, kMaxControlFile, accept);
    if (status != HttpStatus::Ok) {
        if (!trust.keyed()) return std::nullopt;
        return trust.checkControlFile("notice.txt", "");
    }
    if (auto failure = trust.checkControlFile("notice.txt", body)) return failure;
    *notice = std::move(body);
    return std::nullopt;
}

// --- The plan carried out ---

namespace {

// A data file that is not what its revision signed while the server offers
// a later revision by now: the publisher published during this run (the
// file is already the next revision's), no attack. Nothing changed either
// way; the player is told to start again.
PatchFailure publishedMeanwhile(PatchContext& ctx, std::optional<std::uint32_t> revision, PatchFailure failure) {
    if (failure.unsignedBytesOf.empty() || !revision) return failure;
    std::string body;
    if (ctx.mirrors.fetch(ctx.http, "lastrev.txt", &body) != HttpStatus::Ok) return failure;
    const std::uint32_t latest = parseLatestRevision(body);
    if (latest <= *revision) return failure;
    char text[2048];
    std::snprintf(text, sizeof text,
                  "'%s' does not match its signature: the Update Server published revision %u while this "
                  "update to revision %u ran.\nNothing was changed - please start the Launcher again to update.",
                  failure.unsignedBytesOf.c_str(), static_cast<unsigned>(latest), static_cast<unsigned>(*revision));
    return PatchFailure{text, kServerChangedCaption};
}

}  // namespace

const char kServerChangedCaption[] = "Update Server Changed";
const char kDescriptorLimitText[] =
    "\n\nToo many open files: the limit on open files (ulimit -n) is too low for the Launcher. "
    "Please raise it and start the Launcher again.";

std::optional<PatchFailure> againAfterPublish(PatchContext& ctx, RevisionRecord& record,
                                              std::optional<PatchFailure> (*once)(PatchContext&, RevisionRecord&)) {
    forgetDescriptorLimit();
    std::optional<PatchFailure> failure = once(ctx, record);
    if (failure && failure->caption == kServerChangedCaption) failure = once(ctx, record);
    // The step's own box blames the permissions or the disk; the player
    // must learn that it was the limit on open files instead.
    if (failure && descriptorLimitReached()) failure->text += kDescriptorLimitText;
    return failure;
}

std::optional<PatchFailure> applyPlan(PatchContext& ctx, std::vector<PlanEntry>& plan, const RunRules& rules,
                                      const DeltaPlan& deltas, std::optional<std::uint32_t> revision,
                                      RevisionRecord& record) {
    LauncherState& ui = ctx.ui;
    const PhaseTexts& texts = *rules.texts;
    GameTree tree(ctx.gameDir);
    removeLeftovers(tree, plan);
    const unsigned toDownload = scanStaged(ui, tree, plan);
    // A file with patches has an installed version, so its directory is there.
    const unsigned patched = stageFromDeltas(ctx, tree, deltas, plan, toDownload, texts);
    Arrivals arrivals(ctx.gameDir);
    if (auto failure = downloadMissing(ctx, tree, plan, rules, toDownload, patched, &arrivals))
        return publishedMeanwhile(ctx, revision, std::move(*failure));
    if (auto failure = syncStagingFiles(tree, plan, arrivals.syncing)) return failure;
    if (auto failure = verifyDownloads(ui, tree, plan, texts, arrivals.digests))
        return publishedMeanwhile(ctx, revision, std::move(*failure));
    if (auto failure = checkLauncherUpdate(ctx, tree, plan, &arrivals.launcher)) return failure;
    ui.SetFileProgress(0);
    ui.setUpdating(true);
    ui.SetStatusText("Updating - Please Wait");
    if (auto failure = replaceFiles(ctx, tree, plan, texts)) return failure;

    ui.SetFileProgress(0);
    if (revision) record.revision = *revision;
    record.dirty = true;
    bool synced = true;
    SaveRevisionRecord(ctx.gameDir, &record, &synced);  // not written: tried again at exit
    if (!synced) return recordNotDurableFailure();
    ui.setUpdating(false);
    finishRun(ctx);
    return std::nullopt;
}

void showReady(PatchContext& ctx) {
    ctx.ui.SetStatusText("Your Game is Ready 2 Play!");
    ctx.ui.EnableFullCheck(true);
    ctx.ui.EnableStart(true);
}

void finishRun(PatchContext& ctx) {
    showReady(ctx);
    ctx.ui.Flash();
}

}  // namespace quillon
