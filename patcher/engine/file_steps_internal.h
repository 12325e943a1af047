// The steps that bring one file up to date, shared by the patch run and the
// full check: reuse a verified staging file, download into "<name>.new"
// (downloads_internal.h), check its digests, then replace the game file (one
// atomic rename of a synced file) and unpack a compressed one. All of it goes
// through a GameTree, so nothing is written outside the game directory or
// through a planted link. Runs on the worker thread.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "patcher/disk/background_sync.h"
#include "patcher/disk/game_tree.h"
#include "patcher/engine/launcher_trial_internal.h"
#include "patcher/engine/patch_context.h"
#include "patcher/engine/trust_internal.h"

namespace quillon {

// The texts that differ between the patch run and the full check ("[1]"
// against "[fc:1]" and so on).
struct PhaseTexts {
    const char* parentDir;      // "[1]"
    const char* lengthFailure;  // "Failed to Download ... (2)"
    const char* stagingFile;    // "(file)"
    const char* genericCheck;   // "(generic check)"
    const char* sumCheck;       // "(sum)"
    const char* selfPatch;      // "[selfpatch_move]"
    const char* replace;        // "[3]"
    const char* rename;         // "(renname)"
    const char* decompress;     // "Decompression failed."
};

// The "Insufficient Permissions" box, its text ending in `tag` ("[0]").
PatchFailure permissionFailure(const char* tag);
// The same box for a file whose directory `tree` cannot open or make, with
// what stands in the way (a file, a link out of the game) when something does.
PatchFailure parentFailure(GameTree& tree, const std::string& name, const char* tag);
// The box for a staging file that cannot be written whole.
PatchFailure storeFailure();
// The box for a packed file whose unpacked file cannot be written whole.
PatchFailure unpackedStoreFailure(const std::string& name);

// A status text with up to two counts in it ("File %u of %u").
std::string formatCounts(const char* fmt, unsigned a, unsigned b);

// Milliseconds of a clock that never goes back, for the 400 ms and 1 s
// rhythms of the progress display.
std::uint64_t monotonicMs();
// Stops that clock where it stands (false lets it run again): a recorded
// sequence then shows each rhythm's first line only, however slow the
// machine. For tests.
void holdMonotonicClock(bool held);

// One entry of a run's plan, whichever run collected it: a name and what
// the run does with it.
struct PlanEntry {
    enum Kind {
        kKeep,        // nothing: a listed file that is as it should be, a directory to delete
        kFetchFile,   // download (or reuse), check and replace
        kDeleteFile,  // remove when the game files are replaced
        kDirectory,   // create while downloading
    };
    Kind kind = kKeep;
    std::string name;  // as the server lists it: leading slash, forward slashes
    Digest md5{};
    std::optional<SignedDigest> signedDigest;  // with a key
    bool staged = false;                       // a staging file is already as expected

    Expected expected() const { return Expected{md5, signedDigest ? &*signedDigest : nullptr}; }
};

// The staging file of an entry name: "<name>.new" beside it. No content
// name ends in ".new", so no staging file is ever another entry's file.
std::string stagingName(const std::string& name);

// Creates the directories above the entry `name`; the "[1]" box otherwise.
std::optional<PatchFailure> makeParents(GameTree& tree, const std::string& name, const PhaseTexts& texts);

// True when the staging file of `name`, or the installed file itself, exists
// and is as expected.
bool fileMatches(GameTree& tree, const std::string& name, FileRole role, const Expected& want);

// Digests of staging files taken as their downloads ended (the bytes read
// back from the file, as the integrity check reads them), each with what
// the file was then: device, inode, size and change time. The integrity
// check takes one instead of reading the file again only while the file is
// still exactly that; a file written or changed since is read again.
// Written by the worker while it downloads, read by the check's threads.
// The same file, not written or changed in mode since `then` was taken.
bool unchangedSince(const struct stat& then, const struct stat& now);

class EarlyDigests {
public:
    // The digests `by` asks for of the staging file of `name`, open as `fd`,
    // now. Any thread.
    void note(const std::string& name, int fd, const Judged& by);
    // Digests read elsewhere of the staging file of `name`, as it is now (`st`).
    void put(const std::string& name, const struct stat& st, const Judged& by, const FileDigests& digests);
    // Those noted for the staging file of `name`, when it is unchanged: when
    // `now` (its lstat now) is what it was then.
    bool lookUp(const std::string& name, const struct stat& now, const Judged& by, FileDigests* d) const;

private:
    struct Noted {
        struct stat st;
        Judged by;
        FileDigests digests;
    };
    mutable std::mutex m_lock;
    std::map<std::string, Noted> m_noted;
};

// What is done with each staging file as its download ends, beside the
// walk: it is read back for the integrity check and synced on the sync
// thread, and a new launcher is tried.
struct Arrivals {
    explicit Arrivals(const std::string& gameDir) : syncing(gameDir) {}
    EarlyDigests digests;
    BackgroundSync syncing;
    LauncherTrial launcher;
};

// The staging file must exist and be as expected.
std::optional<PatchFailure> verifyStaged(GameTree& tree, const std::string& name, const Expected& want,
                                         const PhaseTexts& texts, const EarlyDigests* early = nullptr);
// Syncs the staging file of every file to fetch once the downloads have
// ended, rather than one by one as each is replaced: waits for those that
// `syncing` took as they arrived and syncs the rest (reused ones, patched
// ones); the "Store Error" box when one cannot be synced.
std::optional<PatchFailure> syncStagingFiles(GameTree& tree, const std::vector<PlanEntry>& entries,
                                             BackgroundSync& syncing);
// Moves the verified staging file, synced, over the game file (the running
// launcher keeps a backup name first, self_update_internal.h) and unpacks
// a compressed file; a program keeps its execute bits either way.
std::optional<PatchFailure> replaceFile(PatchContext& ctx, GameTree& tree, const std::string& name,
                                        const PhaseTexts& texts);
// Deletes the game file `name`; one that is not there is deleted already.
// False, with errno, when it stays.
bool deleteFile(GameTree& tree, const std::string& name);
// After the last replacement: every changed directory synced, so that the
// record written next never names files a power cut could lose.
std::optional<PatchFailure> makeReplacementsDurable(GameTree& tree);

}  // namespace quillon
