#include "patcher/engine/full_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "patcher/disk/parallel_checks.h"
#include "patcher/engine/phases_internal.h"
#include "patcher/engine/trust_internal.h"
#include "shared/name_case.h"

namespace quillon {

namespace {

constexpr char kSumFetch[] =
    "Can't fetch the Full File Checksum file\nIf this problem persists, please contact the support!";
constexpr char kSumFetchCaption[] = "Fetch Error (FullSumFile)";

// The list with the upper bar following it every 400 ms, and back at 0
// once it is in; the next place while one fails or serves a list its
// signature does not name.
std::optional<PatchFailure> fetchBody(PatchContext& ctx, const Vouch& vouch, std::string* body) {
    HttpStatus status = HttpStatus::Ok;
    for (;;) {
        const std::size_t place = ctx.mirrors.current();
        body->clear();
        std::uint64_t length = 0, lastUi = monotonicMs();
        status = ctx.http.download(
            ctx.mirrors.base(place) + "meta/sum_full.txt", kMaxControlFile,
            [&](std::uint64_t, std::uint64_t total) {
                length = total;
                body->reserve(static_cast<std::size_t>(std::min<std::uint64_t>(total, 1u << 20)));
                return true;
            },
            [&](const std::uint8_t* data, std::size_t size) {
                body->append(reinterpret_cast<const char*>(data), size);
                const std::uint64_t now = monotonicMs();
                if (now - lastUi > 400) {
                    lastUi = now;
                    ctx.ui.SetFileProgress(100.0 * static_cast<double>(body->size()) / static_cast<double>(length));
                }
                return true;
            });
        const bool good = status == HttpStatus::Ok && !vouch.checkBody("meta/sum_full.txt", *body);
        const std::string why = status == HttpStatus::Ok ? "wrong bytes" : httpStatusText(status);
        if (good || !ctx.mirrors.skip(place, why + " for meta/sum_full.txt")) break;
    }
    switch (status) {
        case HttpStatus::Ok: break;
        case HttpStatus::NoLength:
        case HttpStatus::TooLarge: return PatchFailure{std::string(kSumFetch) + " (2)", kSumFetchCaption};
        case HttpStatus::ReadError:
            return PatchFailure{"Failed to Download '<FullCheckSumFile>' from PatchServer\n= Read Error=\nIf this problem persists, please contact the Support!",
                                "Fetch Error (EOF)"};
        default: return PatchFailure{kSumFetch, kSumFetchCaption};
    }
    if (body->size() < 5) return PatchFailure{std::string(kSumFetch) + " (3sz)", kSumFetchCaption};
    ctx.ui.SetFileProgress(0);
    return std::nullopt;
}

// Whether the directory open as `dirFd` lists both leaves as entries of
// their own. Read through a descriptor of its own: a dup would share the
// position with `dirFd` (the tree's root is handed out as dups), and the
// next listing would start at the end.
bool holdsBoth(int dirFd, const std::string& a, const std::string& b) {
    const int own = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = own >= 0 ? ::fdopendir(own) : nullptr;
    if (!d) {
        if (own >= 0) ::close(own);
        return false;
    }
    bool seenA = false, seenB = false;
    while (const dirent* e = ::readdir(d)) {
        seenA = seenA || a == e->d_name;
        seenB = seenB || b == e->d_name;
    }
    ::closedir(d);
    return seenA && seenB;
}

// Whether two names that fold alike are files of their own: the folder
// above the first part in which they differ lists both parts. A folder
// renamed by case ("/Maps/a" to "/maps/a") leaves the leaves alike, so
// the leaves' folder cannot tell.
bool namedApart(GameTree& tree, const std::string& a, const std::string& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    if (i == 0 || i == a.size() || i == b.size()) return true;
    const std::size_t start = a.rfind('/', i - 1);
    const std::size_t endA = std::min(a.find('/', i), a.size()), endB = std::min(b.find('/', i), b.size());
    Fd folder = tree.openParent(a.substr(0, endA), false);
    return folder.valid() &&
           holdsBoth(folder.get(), a.substr(start + 1, endA - start - 1), b.substr(start + 1, endB - start - 1));
}

// The files that revision `rev` deletes and the list does not name, where
// they are still there: a delete that failed when the revision was
// installed is done now. Only a metadata file the server (and with a key,
// the key) vouches for is used; without one nothing is deleted.
std::vector<PlanEntry> deletesOf(PatchContext& ctx, Trust& trust, std::uint32_t rev,
                                 const std::vector<PlanEntry>& listed) {
    std::vector<PlanEntry> deletes;
    Vouch vouch;
    std::string meta;
    const std::string path = formatCounts("meta/%u.txt", rev, 0);
    UpdateList actions;
    MetadataScan scan;
    bool hasFiles = false;
    if (rev == 0 || trust.fetchList(FileList::kRevision, rev, &vouch) ||
        ctx.mirrors.fetch(ctx.http, path, &meta) != HttpStatus::Ok || vouch.checkBody(path, meta) ||
        parseRevisionMetadata(meta, rev, actions, scan, &hasFiles))
        return deletes;
    std::set<std::string> names;
    for (const PlanEntry& e : listed) names.insert(e.name);
    GameTree tree(ctx.gameDir);
    std::map<std::string, std::string> byFolded;  // listed names as a drive that ignores case sees them
    for (const PlanEntry& e : listed) byFolded.emplace(quask::foldedCase(e.name), e.name);
    for (const UpdateFileEntry& a : actions.newestFirst()) {
        if (a.type != UpdateFileEntry::kFile || a.action != UpdateFileEntry::kDelete || names.count(a.name)) continue;
        Fd dir = tree.openParent(a.name, false);
        struct stat st;
        if (!dir.valid() || ::fstatat(dir.get(), leafOf(a.name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        // On a drive that ignores case the name a revision gave up ("/Foo")
        // is the listed file it was renamed to ("/foo"): that one is kept.
        // Inode numbers do not tell (FUSE drives number each name apart);
        // the directory does: it holds one entry for both.
        const auto twin = byFolded.find(quask::foldedCase(a.name));
        if (twin != byFolded.end()) {
            Fd twinDir = tree.openParent(twin->second, false);
            struct stat kept;
            if (twinDir.valid() &&
                ::fstatat(twinDir.get(), leafOf(twin->second).c_str(), &kept, AT_SYMLINK_NOFOLLOW) == 0 &&
                !namedApart(tree, a.name, twin->second))
                continue;
        }
        PlanEntry e;
        e.kind = PlanEntry::kDeleteFile;
        e.name = a.name;
        deletes.push_back(std::move(e));
    }
    return deletes;
}

// The list as the server wrote it: each SUM line goes to the front. With a
// key the signed list comes first; it vouches for the body, names the
// SHA-256 digest of every listed file and may not go back in revisions.
std::optional<PatchFailure> fetchList(PatchContext& ctx, Trust& trust, const RevisionRecord& record,
                                      std::uint32_t* rev, std::vector<PlanEntry>* entries) {
    ctx.ui.SetStatusText("Getting Checksum Information");
    Vouch vouch;
    if (auto failure = trust.fetchList(FileList::kFull, 0, &vouch)) return failure;
    std::string body;
    if (auto failure = fetchBody(ctx, vouch, &body)) return failure;
    if (auto failure = vouch.checkBody("meta/sum_full.txt", body)) return failure;
    std::vector<FullSumEntry> sums;
    if (auto failure = parseFullSums(body, rev, &sums)) return failure;
    if (auto failure = trust.refuseRollback(*rev, record.revision)) return failure;
    std::vector<std::optional<SignedDigest>> digests;
    if (auto failure = vouch.digestsForFullList(sums, &digests)) return failure;
    entries->clear();
    entries->reserve(sums.size());
    for (std::size_t i = sums.size(); i-- > 0;) {
        PlanEntry entry;
        entry.name = sums[i].name;
        entry.md5 = sums[i].digest;
        entry.signedDigest = digests[i];
        entries->push_back(std::move(entry));
    }
    return std::nullopt;
}

// Marks every listed file that is missing or differs to be fetched; returns
// how many.
unsigned checkInstalled(PatchContext& ctx, std::vector<PlanEntry>& entries) {
    const auto n = static_cast<unsigned>(entries.size());
    unsigned bad = 0;
    checkInParallel(
        ctx.gameDir, n,
        [&entries](std::size_t i, GameTree& own) {
            PlanEntry& e = entries[i];
            // A packed file goes once it is unpacked: one still there is an
            // unpacking that did not finish, whatever its digest says.
            const bool intact =
                e.name.back() != '_' && fileMatches(own, e.name, FileRole::kInstalled, e.expected());
            e.kind = intact ? PlanEntry::kKeep : PlanEntry::kFetchFile;
        },
        [&](std::size_t i) {
            ctx.ui.SetStatusText(formatCounts("Checking File intigry (%u of %u)", static_cast<unsigned>(i) + 1, n));
            ctx.ui.SetFileProgress(100.0 * static_cast<double>(i + 1) / n);
            if (entries[i].kind == PlanEntry::kFetchFile) ++bad;
            return true;
        });
    return bad;
}

std::optional<PatchFailure> fullCheckOnce(PatchContext& ctx, RevisionRecord& record) {
    ctx.ui.EnableFullCheck(false);
    ctx.ui.EnableStart(false);
    NoteFullCheckStarted(ctx.gameDir, &record);
    Trust trust(ctx, record.revision);
    bool open = false;
    if (auto failure = checkPatchingOpen(ctx, trust, &open)) return failure;
    if (!open) return std::nullopt;
    std::string notice;
    if (auto failure = fetchNotice(ctx, trust, &notice)) return failure;
    ctx.ui.SetNoticeText(notice);

    std::uint32_t listRev = 0;
    std::vector<PlanEntry> plan;
    if (auto failure = fetchList(ctx, trust, record, &listRev, &plan)) return failure;
    const std::vector<PlanEntry> deletes = deletesOf(ctx, trust, listRev, plan);
    // An intact installation keeps its revision: nothing is replaced.
    if (checkInstalled(ctx, plan) == 0 && deletes.empty()) {
        if (auto failure = FinishFullCheckRequest(ctx.gameDir, &record)) return failure;
        finishRun(ctx);
        return std::nullopt;
    }
    plan.insert(plan.end(), deletes.begin(), deletes.end());
    // A list without a REV line names no revision: the local one is kept,
    // since the files it lists are now in place whatever it was.
    const std::optional<std::uint32_t> revision = listRev != 0 ? std::optional<std::uint32_t>(listRev) : std::nullopt;
    if (auto failure = applyPlan(ctx, plan, fullCheckRules(), DeltaPlan(), revision, record)) return failure;
    return FinishFullCheckRequest(ctx.gameDir, &record);
}

}  // namespace

std::optional<PatchFailure> runFullCheck(PatchContext& ctx, RevisionRecord& record) {
    return againAfterPublish(ctx, record, fullCheckOnce);
}

}  // namespace quillon
