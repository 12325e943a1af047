#include "patcher/patch_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "patcher/phase_pause.h"

namespace quillon {

namespace {

const PatchFailure kServerDown{
    "The Update Server seems to be down or\nthere is a Problem with your Internet Connection.",
    "Update Server down"};

// The directory entry of phase 2: parents first, then the directory itself.
std::optional<PatchFailure> makeDirectory(PatchContext& ctx, const std::string& name) {
    const std::string path = targetPath(ctx, name);
    const PhaseTexts& t = patchRunTexts();
    if (!createParents(ctx.gameDir, path))
        return PatchFailure{std::string("Please check your permissions to the Game Directory (You must have full access to the gamedir!)") + t.parentDir,
                            "Error: Insufficient Permissions"};
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        return PatchFailure{"Please check your permissions to the Game Directory (You must have full access to the gamedir!)[0]",
                            "Error: Insufficient Permissions"};
    return std::nullopt;
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

    // Counted in 64 bits: the loop ends even for the largest revision, and
    // a local revision above the server's collects nothing.
    const std::uint64_t local = record.revision;
    const std::uint64_t missing = latest > local ? latest - local : 0;
    ctx.ui.SetStatusText(formatCounts("Collecting Update Information for %u Rev(s)", static_cast<unsigned>(missing), 0));
    ctx.ui.SetFileProgress(0);
    UpdateList list;
    MetadataScan scan;
    for (std::uint64_t r = local + 1; r <= latest; ++r) {
        const auto rev = static_cast<std::uint32_t>(r);
        std::string meta;
        if (ctx.http.fetch(ctx.baseUrl + formatCounts("meta/%u.txt", rev, 0), &meta) != HttpStatus::Ok)
            return metadataFetchFailure(rev);
        bool hasFiles = false;
        if (auto failure = parseRevisionMetadata(meta, rev, list, scan, &hasFiles)) return failure;
        pauseHereForTest("metadata");
        if (hasFiles) {
            std::string sums;
            if (ctx.http.fetch(ctx.baseUrl + formatCounts("meta/sum_%u.txt", rev, 0), &sums) != HttpStatus::Ok)
                return sumsFetchFailure(rev);
            if (auto failure = parseRevisionSums(sums, rev, list)) return failure;
        }
        ctx.ui.SetFileProgress(100.0 * static_cast<double>(r - local) / static_cast<double>(missing));
    }
    ctx.ui.SetFileProgress(0);
    ctx.ui.SetStatusText("Refreshing Update Notice");
    if (!scan.history.empty()) ctx.ui.SetNoticeText(noticeWithHistory(notice, scan.history));
    return applyUpdates(ctx, list, latest, record);
}

std::optional<PatchFailure> applyUpdates(PatchContext& ctx, UpdateList& list, std::uint32_t latest,
                                         RevisionRecord& record) {
    LauncherState& ui = ctx.ui;
    const PhaseTexts& texts = patchRunTexts();
    std::vector<UpdateFileEntry> entries = list.newestFirst();
    const auto n = static_cast<unsigned>(entries.size());
    auto fetchesFile = [](const UpdateFileEntry& e) {
        return e.type == UpdateFileEntry::kFile && e.action == UpdateFileEntry::kFetch;
    };

    ui.SetStatusText("Searching for local Update Packages");
    unsigned toDownload = 0;
    for (unsigned i = 0; i < n; ++i) {
        UpdateFileEntry& e = entries[i];
        if (fetchesFile(e)) {
            e.staged = stagingMatches(ctx, e.name, e.digest);
            if (!e.staged) ++toDownload;
        }
        ui.SetFileProgress(100.0 * (i + 1) / n);
    }

    unsigned done = 0;
    for (unsigned i = 0; i < n; ++i) {
        const UpdateFileEntry& e = entries[i];
        ui.SetStatusText(formatCounts("Updating Object %u of %u", i + 1, n));
        if (e.action == UpdateFileEntry::kDelete) continue;
        if (e.type == UpdateFileEntry::kDirectory) {
            if (auto failure = makeDirectory(ctx, e.name)) return failure;
            continue;
        }
        if (!createParents(ctx.gameDir, stagingPath(ctx, e.name)))
            return PatchFailure{std::string("Please check your permissions to the Game Directory (You must have full access to the gamedir!)") + texts.parentDir,
                                "Error: Insufficient Permissions"};
        if (e.staged) continue;
        ++done;
        if (auto failure = downloadOne(ctx, e.name, i + 1, done, toDownload, texts)) return failure;
    }

    for (unsigned i = 0; i < n; ++i) {
        const UpdateFileEntry& e = entries[i];
        ui.SetStatusText(formatCounts("Checking File intigry (%u of %u)", i + 1, n));
        ui.SetFileProgress(100.0 * (i + 1) / n);
        if (fetchesFile(e)) {
            if (auto failure = verifyStaged(ctx, e.name, e.digest, texts)) return failure;
            pauseHereForTest("check");
        }
    }

    ui.SetFileProgress(0);
    ui.setUpdating(true);
    ui.SetStatusText("Updating - Please Wait");
    for (unsigned i = 0; i < n; ++i) {
        const UpdateFileEntry& e = entries[i];
        ui.SetFileProgress(100.0 * (i + 1) / n);
        if (e.type != UpdateFileEntry::kFile) continue;  // directories are never removed
        if (e.action == UpdateFileEntry::kDelete) {
            ::unlink(targetPath(ctx, e.name).c_str());
            continue;
        }
        if (auto failure = replaceFile(ctx, e.name, texts)) return failure;
        pauseHereForTest("replace");
    }

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
