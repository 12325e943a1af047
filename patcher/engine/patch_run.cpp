#include "patcher/engine/patch_run.h"

#include "patcher/disk/phase_pause.h"
#include "patcher/engine/line_prefetch_internal.h"
#include "patcher/engine/phases_internal.h"
#include "patcher/engine/trust_internal.h"

namespace quillon {

namespace {

// One revision's metadata and, when it names files, its sums. With a key
// the revision's signed list comes first and vouches for both bodies.
std::optional<PatchFailure> collectRevision(PatchContext& ctx, Trust& trust, LinePrefetch& lines, std::uint32_t rev,
                                            UpdateList& list, MetadataScan& scan, DeltaPlan* deltas) {
    Vouch vouch;
    if (auto failure = trust.fetchList(FileList::kRevision, rev, &vouch, &lines)) return failure;
    const auto vouched = [&](const std::string& path) {
        return [&vouch, path](std::string_view body) { return !vouch.checkBody(path, body); };
    };
    const std::string metaPath = formatCounts("meta/%u.txt", rev, 0);
    std::string meta;
    if (lines.fetch(metaPath, &meta, vouched(metaPath)) != HttpStatus::Ok)
        return metadataFetchFailure(rev);
    if (auto failure = vouch.checkBody(metaPath, meta)) return failure;
    bool hasFiles = false;
    if (auto failure = parseRevisionMetadata(meta, rev, list, scan, &hasFiles)) return failure;
    collectDeltaList(ctx, rev, meta, deltas);
    pauseHereForTest("metadata");
    if (hasFiles) {
        const std::string sumsPath = formatCounts("meta/sum_%u.txt", rev, 0);
        std::string sums;
        if (lines.fetch(sumsPath, &sums, vouched(sumsPath)) != HttpStatus::Ok)
            return sumsFetchFailure(rev);
        if (auto failure = vouch.checkBody(sumsPath, sums)) return failure;
        if (auto failure = parseRevisionSums(sums, rev, list)) return failure;
    }
    return vouch.giveDigests(list);
}

// What revision `rev` is collected from: with a key its signed list first.
void addRevisionPaths(const Trust& trust, std::uint32_t rev, std::vector<std::string>* paths) {
    if (trust.keyed()) paths->insert(paths->end(), {revisionListPath(rev), revisionSignaturePath(rev)});
    paths->push_back(formatCounts("meta/%u.txt", rev, 0));
    paths->push_back(formatCounts("meta/sum_%u.txt", rev, 0));
}

// The collected actions as the shared phases take them, newest first.
std::vector<PlanEntry> planOf(const UpdateList& list) {
    std::vector<PlanEntry> plan;
    plan.reserve(list.size());
    for (const UpdateFileEntry& e : list.newestFirst()) {
        PlanEntry p;
        const bool fetch = e.action == UpdateFileEntry::kFetch;
        if (e.type == UpdateFileEntry::kDirectory) p.kind = fetch ? PlanEntry::kDirectory : PlanEntry::kKeep;
        else p.kind = fetch ? PlanEntry::kFetchFile : PlanEntry::kDeleteFile;
        p.name = e.name;
        p.md5 = e.digest;
        p.signedDigest = e.signedDigest;
        plan.push_back(std::move(p));
    }
    return plan;
}

std::optional<PatchFailure> patchOnce(PatchContext& ctx, RevisionRecord& record) {
    Trust trust(ctx, record.revision);
    bool open = false;
    // The latest revision comes with the server's state and the notice; a
    // game without a record needs revision 1 of any server that has one.
    LinePrefetch lines(ctx);
    const auto after = [&] {
        std::vector<std::string> paths{"lastrev.txt"};
        if (record.revision == 0) addRevisionPaths(trust, 1, &paths);
        return paths;
    };
    if (auto failure = checkPatchingOpen(ctx, trust, &open, &lines, after)) return failure;
    if (!open) return std::nullopt;
    std::string notice;
    if (auto failure = fetchNotice(ctx, trust, &notice, &lines)) return failure;
    ctx.ui.SetNoticeText(notice);

    ctx.ui.SetStatusText("Getting current Content Revision");
    std::string body;
    const auto agrees = [&](std::string_view b) {
        const std::uint32_t offered = parseLatestRevision(b);
        return offered != 0 && !trust.checkLatest(offered, record.revision);
    };
    const std::uint32_t latest = lines.fetch("lastrev.txt", &body, agrees) == HttpStatus::Ok
                                     ? parseLatestRevision(body)
                                     : 0;
    if (latest == 0) return latestRevisionFailure();
    // Before anything is called up to date.
    if (auto failure = trust.checkLatest(latest, record.revision)) return failure;
    if (latest == record.revision) {
        showReady(ctx);
        return std::nullopt;
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
        if ((r - local - 1) % kRevisionsAhead == 0) {
            // The metadata and sums of the next revisions at once: round
            // trips before the first data byte cost more than their bytes.
            // A long way behind, packs of them bring most in one request.
            lines.fetchPacks(static_cast<std::uint32_t>(r), latest);
            std::vector<std::string> paths;
            for (std::uint64_t a = r; a <= latest && a < r + kRevisionsAhead; ++a)
                addRevisionPaths(trust, static_cast<std::uint32_t>(a), &paths);
            lines.fetchAhead(paths);
        }
        if (auto failure = collectRevision(ctx, trust, lines, static_cast<std::uint32_t>(r), list, scan, &deltas))
            return failure;
        ctx.ui.SetFileProgress(100.0 * static_cast<double>(r - local) / static_cast<double>(missing));
    }
    if (auto failure = trust.requireDigests(list)) return failure;
    ctx.ui.SetFileProgress(0);
    ctx.ui.SetStatusText("Refreshing Update Notice");
    if (!scan.history.empty()) ctx.ui.SetNoticeText(noticeWithHistory(notice, scan.history));
    std::vector<PlanEntry> plan = planOf(list);
    return applyPlan(ctx, plan, patchRunRules(), deltas, latest, record);
}

}  // namespace

std::optional<PatchFailure> runPatch(PatchContext& ctx, RevisionRecord& record) {
    return againAfterPublish(ctx, record, patchOnce);
}

}  // namespace quillon
