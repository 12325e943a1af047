#include "patcher/full_check.h"

#include <vector>

#include "patcher/md5_file.h"
#include "patcher/patch_run.h"

namespace quillon {

namespace {

constexpr char kSumFetch[] =
    "Can't fetch the Full File Checksum file\nIf this problem persists, please contact the support!";
constexpr char kSumFetchCaption[] = "Fetch Error (FullSumFile)";

struct CheckEntry {
    FullSumEntry sum;
    bool needsFetch = false;
    bool staged = false;
};

// A full check also flashes the window when it is done.
void finish(PatchContext& ctx) {
    showReady(ctx);
    ctx.ui.Flash();
}

// The list as the server wrote it: each SUM line goes to the front.
std::optional<PatchFailure> fetchList(PatchContext& ctx, std::uint32_t* rev,
                                      std::vector<CheckEntry>* entries) {
    ctx.ui.SetStatusText("Getting Checksum Information");
    std::string body;
    switch (ctx.http.fetch(ctx.baseUrl + "meta/sum_full.txt", &body)) {
        case HttpStatus::Ok: break;
        case HttpStatus::NoLength:
        case HttpStatus::TooLarge: return PatchFailure{std::string(kSumFetch) + " (2)", kSumFetchCaption};
        case HttpStatus::ReadError:
            return PatchFailure{"Failed to Download '<FullCheckSumFile>' from PatchServer\n= Read Error=\nIf this problem persists, please contact the Support!",
                                "Fetch Error (EOF)"};
        default: return PatchFailure{kSumFetch, kSumFetchCaption};
    }
    if (body.size() < 5) return PatchFailure{std::string(kSumFetch) + " (3sz)", kSumFetchCaption};
    std::vector<FullSumEntry> sums;
    if (auto failure = parseFullSums(body, rev, &sums)) return failure;
    entries->clear();
    entries->reserve(sums.size());
    for (auto it = sums.rbegin(); it != sums.rend(); ++it) entries->push_back(CheckEntry{*it});
    return std::nullopt;
}

unsigned checkInstalled(PatchContext& ctx, std::vector<CheckEntry>& entries) {
    const auto n = static_cast<unsigned>(entries.size());
    unsigned bad = 0;
    for (unsigned i = 0; i < n; ++i) {
        CheckEntry& e = entries[i];
        ctx.ui.SetStatusText(formatCounts("Checking File intigry (%u of %u)", i + 1, n));
        ctx.ui.SetFileProgress(100.0 * (i + 1) / n);
        Digest d{};
        e.needsFetch = !(Md5OfFile(targetPath(ctx, e.sum.name), &d) && d == e.sum.digest);
        if (e.needsFetch) ++bad;
    }
    return bad;
}

std::optional<PatchFailure> downloadMissing(PatchContext& ctx, std::vector<CheckEntry>& entries,
                                            unsigned bad) {
    const PhaseTexts& texts = fullCheckTexts();
    const auto n = static_cast<unsigned>(entries.size());
    ctx.ui.SetStatusText("Searching for local Update Packages");
    for (unsigned i = 0; i < n; ++i) {
        CheckEntry& e = entries[i];
        if (e.needsFetch) e.staged = stagingMatches(ctx, e.sum.name, e.sum.digest);
        ctx.ui.SetFileProgress(100.0 * (i + 1) / n);
    }
    unsigned done = 0;
    for (const CheckEntry& e : entries) {
        if (!e.needsFetch) continue;
        if (!createParents(ctx.gameDir, stagingPath(ctx, e.sum.name)))
            return PatchFailure{std::string("Please check your permissions to the Game Directory (You must have full access to the gamedir!)") + texts.parentDir,
                                "Error: Insufficient Permissions"};
        ++done;
        ctx.ui.SetTotalProgress(100.0 * done / bad);
        ctx.ui.SetStatusTotalText(formatCounts("File %u of %u", done, bad));
        if (e.staged) continue;
        if (auto failure = downloadOne(ctx, e.sum.name, done, done, bad, texts)) return failure;
    }
    return std::nullopt;
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
    if (auto failure = fetchList(ctx, &listRev, &entries)) return failure;
    const unsigned bad = checkInstalled(ctx, entries);
    if (bad == 0) {
        finish(ctx);
        return std::nullopt;
    }
    if (auto failure = downloadMissing(ctx, entries, bad)) return failure;

    const PhaseTexts& texts = fullCheckTexts();
    const auto n = static_cast<unsigned>(entries.size());
    for (unsigned i = 0; i < n; ++i) {
        ui.SetStatusText(formatCounts("Checking File intigry (%u of %u)", i + 1, n));
        ui.SetFileProgress(100.0 * (i + 1) / n);
        if (entries[i].needsFetch) {
            if (auto failure = verifyStaged(ctx, entries[i].sum.name, entries[i].sum.digest, texts))
                return failure;
        }
    }

    ui.SetFileProgress(0);
    ui.setUpdating(true);
    ui.SetStatusText("Updating - Please Wait");
    for (unsigned i = 0; i < n; ++i) {
        ui.SetFileProgress(100.0 * (i + 1) / n);
        if (!entries[i].needsFetch) continue;
        if (auto failure = replaceFile(ctx, entries[i].sum.name, texts)) return failure;
    }
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
