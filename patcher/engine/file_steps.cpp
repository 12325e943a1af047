#include "patcher/engine/file_steps_internal.h"
#include "shared/posix_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

#include "patcher/disk/phase_pause.h"
#include "patcher/engine/self_update_internal.h"
#include "patcher/engine/trust_internal.h"
#include "patcher/protocol/digests.h"
#include "shared/patch_file.h"

namespace quillon {

namespace {

constexpr char kPermissions[] =
    "Please check your permissions to the Game Directory (You must have full access to the gamedir!)";
constexpr char kPermissionsCaption[] = "Error: Insufficient Permissions";
constexpr char kIntegrity[] =
    "File Integry Check Failed - Please try again\nIf this problem persists, please contact the Support! ";

// --- Modes ---

// The permission bits of the regular file `leaf`, or -1 when there is none
// (a link standing there says nothing about the file it replaces).
int existingMode(int dir, const std::string& leaf) {
    struct stat st;
    if (::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

// A new program file must stay runnable: the old file's mode is kept, and a
// file new to the game directory that is a program gets the execute bits;
// anything else keeps the mode it was created with (0: nothing to set).
unsigned modeFor(int existing, const std::uint8_t* head, std::size_t n) {
    if (existing >= 0) return static_cast<unsigned>(existing);
    const bool program = (n >= 4 && head[0] == 0x7f && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') ||
                         (n >= 2 && head[0] == '#' && head[1] == '!');
    return program ? 0755 : 0;
}

// The digests `by` asks for of the staging file of `name`, or of the
// installed file itself.
bool digestsOf(GameTree& tree, const std::string& name, FileRole role, const Judged& by, FileDigests* d,
               const EarlyDigests* early = nullptr) {
    const int dir = tree.lendParent(name, false);
    if (dir < 0) return false;
    const std::string leaf = leafOf(role == FileRole::kStaging ? stagingName(name) : name);
    // Unchanged since its digests were read: no need to open it again. A
    // link or anything else in its place is another inode and is opened,
    // which refuses it.
    struct stat st;
    if (early && ::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && early->lookUp(name, st, by, d))
        return true;
    Fd file = GameTree::openForReading(dir, leaf);
    if (!file.valid()) return false;
    return digestsOfFd(file.get(), by.md5, by.sha256, d);
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool unchangedSince(const struct stat& then, const struct stat& now) {
    return now.st_dev == then.st_dev && now.st_ino == then.st_ino && now.st_size == then.st_size &&
           sameTime(now.st_mtim, then.st_mtim) && sameTime(now.st_ctim, then.st_ctim);
}

PatchFailure permissionFailure(const char* tag) {
    return {std::string(kPermissions) + tag, kPermissionsCaption};
}

PatchFailure parentFailure(GameTree& tree, const std::string& name, const char* tag) {
    PatchFailure failure = permissionFailure(tag);
    const std::string blocker = tree.blockerOf(parentOf(name));
    if (!blocker.empty()) failure.text += "\n\n" + blocker + ".";
    return failure;
}

PatchFailure storeFailure() {
    return {"Failed to save Downloaded content to disk. (Out of Diskspace?)", "Store Error"};
}

PatchFailure unpackedStoreFailure(const std::string& name) {
    return {"Failed to save the unpacked '" + name + "' to disk. (Out of Diskspace?)", "Store Error"};
}

// --- Status ---

std::string formatCounts(const char* fmt, unsigned a, unsigned b) {
    char text[512];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

namespace {
std::atomic<std::uint64_t> g_heldClockMs{0};

std::uint64_t clockMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

std::uint64_t monotonicMs() {
    const std::uint64_t held = g_heldClockMs.load(std::memory_order_relaxed);
    return held != 0 ? held : clockMs();
}

void holdMonotonicClock(bool held) { g_heldClockMs.store(held ? clockMs() : 0, std::memory_order_relaxed); }

// --- Paths ---

std::string stagingName(const std::string& name) { return name + ".new"; }

std::optional<PatchFailure> makeParents(GameTree& tree, const std::string& name, const PhaseTexts& texts) {
    if (tree.lendParent(name, true) < 0) return parentFailure(tree, name, texts.parentDir);
    return std::nullopt;
}

bool fileMatches(GameTree& tree, const std::string& name, FileRole role, const Expected& want) {
    const Judged by = digestsToJudge(want, role);
    FileDigests d;
    return digestsOf(tree, name, role, by, &d) && judge(want, by, d) == Verdict::kMatches;
}

// --- Integrity and replacement ---

void EarlyDigests::note(const std::string& name, int fd, const Judged& by) {
    Noted n;
    n.by = by;
    const bool read = ::fstat(fd, &n.st) == 0 && digestsOfFd(fd, by.md5, by.sha256, &n.digests);
    std::lock_guard<std::mutex> lock(m_lock);
    m_noted.erase(name);
    if (read) m_noted.emplace(name, n);
}

void EarlyDigests::put(const std::string& name, const struct stat& st, const Judged& by,
                       const FileDigests& digests) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_noted.insert_or_assign(name, Noted{st, by, digests});
}

bool EarlyDigests::lookUp(const std::string& name, const struct stat& now, const Judged& by, FileDigests* d) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_noted.find(name);
    if (it == m_noted.end()) return false;
    const Noted& n = it->second;
    if (!unchangedSince(n.st, now) || (by.md5 && !n.by.md5) || (by.sha256 && !n.by.sha256))
        return false;
    *d = n.digests;
    return true;
}

std::optional<PatchFailure> verifyStaged(GameTree& tree, const std::string& name, const Expected& want,
                                         const PhaseTexts& texts, const EarlyDigests* early) {
    const Judged by = digestsToJudge(want, FileRole::kStaging);
    FileDigests d;
    if (!digestsOf(tree, name, FileRole::kStaging, by, &d, early))
        return PatchFailure{std::string(kIntegrity) + texts.genericCheck, "File Integry Check Failed"};
    switch (judge(want, by, d)) {
        case Verdict::kMatches: return std::nullopt;
        case Verdict::kSignedDiffers: return dataFileMismatch(name);
        case Verdict::kMd5Differs: break;
    }
    return PatchFailure{std::string(kIntegrity) + texts.sumCheck, "File Integry Check Failed"};
}

std::optional<PatchFailure> replaceFile(PatchContext& ctx, GameTree& tree, const std::string& name,
                                        const PhaseTexts& texts) {
    const int dir = tree.lendParent(name, false);
    const std::string leaf = leafOf(name), staging = leafOf(stagingName(name));
    Fd file = dir >= 0 ? GameTree::openForReading(dir, staging) : Fd();
    if (!file.valid()) return permissionFailure(texts.rename);
    std::uint8_t head[4] = {};
    const ssize_t got = ::pread(file.get(), head, sizeof head, 0);
    const std::size_t headSize = got > 0 ? static_cast<std::size_t>(got) : 0;
    // A packed file puts its unpacked name in place: that is the file whose
    // mode is kept, and the launcher itself may arrive packed.
    const bool packed = name.back() == '_';
    std::string finalLeaf = leaf;
    if (packed && headSize >= 3 && quask::patchSavedCharValid(static_cast<char>(head[2])))
        finalLeaf = quask::patchUnpackedPath(leaf, static_cast<char>(head[2]));
    int mode = existingMode(dir, finalLeaf);
    const bool launcher = isLauncherLeaf(ctx, name, finalLeaf);
    if (launcher) {
        if (auto failure = backUpLauncher(dir, finalLeaf, texts)) return failure;
        tree.changedEntryOf(name);
    }
    bool changed = launcher;  // its trial run set its mode after the sync
    if (!packed) {
        const unsigned bits = modeFor(mode, head, headSize);
        struct stat st;
        if (bits != 0 && (::fstat(file.get(), &st) != 0 || (st.st_mode & 07777) != bits)) {
            // FAT and other drives that keep no permission bits refuse
            // the change to the file's owner; the file is used as it is.
            if (::fchmod(file.get(), bits) != 0 && !quask::modeNotKept(errno)) return permissionFailure(texts.rename);
            changed = true;
        }
    }
    // On disk before it takes the game file's name: after a power cut the
    // name holds the old bytes or the new ones, never an empty file. The
    // bytes were synced with every staging file after the download; only
    // what changed since needs a sync of its own.
    if (changed && ::fsync(file.get()) != 0) return storeFailure();
    file.reset();
    if (launcher) pauseHereForTest("selfpatch");
    // One atomic step: a crash leaves either the old file or the new one.
    if (::renameat(dir, staging.c_str(), dir, leaf.c_str()) != 0)
        return permissionFailure(texts.rename);
    tree.changedEntryOf(name);
    if (packed) {
        const auto unpackedMode = [mode](const std::string&, const std::uint8_t* content, std::size_t len) {
            return modeFor(mode, content, len);
        };
        switch (quask::UnpackFileAt(dir, leaf, unpackedMode)) {
            case quask::UnpackResult::Unpacked: break;
            case quask::UnpackResult::Unreadable: return PatchFailure{texts.decompress, "Decompression Error"};
            case quask::UnpackResult::NotWritten: return unpackedStoreFailure(parentOf(name) + "/" + finalLeaf);
        }
        // A name saved with '_' as its last character unpacks onto itself.
        // A packed file left behind would pass a later full check in place
        // of its unpacked file: its removal must not fail unseen.
        if (finalLeaf != leaf && ::unlinkat(dir, leaf.c_str(), 0) != 0 && errno != ENOENT)
            return permissionFailure(texts.replace);
    }
    return std::nullopt;
}

bool deleteFile(GameTree& tree, const std::string& name) {
    // A directory that leads outside the game is never reached.
    const int dir = tree.lendParent(name, false);
    if (dir < 0) return errno == ENOENT || errno == ENOTDIR;
    if (::unlinkat(dir, leafOf(name).c_str(), 0) != 0) return errno == ENOENT;
    tree.changedEntryOf(name);
    return true;
}

std::optional<PatchFailure> syncStagingFiles(GameTree& tree, const std::vector<PlanEntry>& entries,
                                             BackgroundSync& syncing) {
    if (!syncing.finish()) return storeFailure();
    for (const PlanEntry& e : entries) {
        if (e.kind != PlanEntry::kFetchFile || syncing.synced(stagingName(e.name))) continue;
        const int dir = tree.lendParent(e.name, false);
        Fd file = dir >= 0 ? GameTree::openForReading(dir, leafOf(stagingName(e.name))) : Fd();
        // One that is not there fails the integrity check next, as it did.
        if (file.valid() && ::fsync(file.get()) != 0) return storeFailure();
    }
    return std::nullopt;
}

std::optional<PatchFailure> makeReplacementsDurable(GameTree& tree) {
    if (!tree.syncChanged()) return storeFailure();
    return std::nullopt;
}

}  // namespace quillon
