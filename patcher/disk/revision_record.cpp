#include "patcher/disk/revision_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "patcher/disk/game_tree.h"
#include "patcher/disk/phase_pause.h"
#include "shared/replacing_file.h"

namespace quillon {

namespace {

constexpr char kRecordLeaf[] = "quillon.dat";
// The temporary is "quillon.dat.tmp", made fresh, so a link planted at its
// name is removed, not written through.
constexpr quask::ReplacingFile::Temporary kTemporary{".tmp", 0644};

std::string recordPath(const std::string& gameDir) { return gameDir + "/data/" + kRecordLeaf; }
std::string markerPath(const std::string& gameDir) { return gameDir + "/DoFullCheck"; }

const PatchFailure kNoDeletePermission{
    "No Delete Permission in GameBaseDir - Please check Directory / File Permissions.", "Error"};

enum class Read { kRevision, kMissing, kFailed };

// Only a record that is not there (or too short to be one) is revision 0:
// one that cannot be read must not make the launcher fetch the whole game
// again and then write 0 over it.
Read readRevision(const std::string& path, std::uint32_t* revision) {
    const Fd file(noteDescriptorLimit(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
    if (!file.valid()) return errno == ENOENT || errno == ENOTDIR ? Read::kMissing : Read::kFailed;
    unsigned char bytes[4];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::read(file.get(), bytes + got, sizeof bytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Read::kFailed;
        if (n == 0) return Read::kMissing;
        got += static_cast<std::size_t>(n);
    }
    *revision = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return Read::kRevision;
}

}  // namespace

bool SaveRevisionRecord(const std::string& gameDir, RevisionRecord* record, bool* synced) {
    const std::uint32_t r = record->revision;
    const unsigned char bytes[4] = {static_cast<unsigned char>(r), static_cast<unsigned char>(r >> 8),
                                    static_cast<unsigned char>(r >> 16), static_cast<unsigned char>(r >> 24)};
    // The data directory must lie inside the game.
    GameTree tree(gameDir);
    Fd dir = tree.openDir("/data", false);
    quask::ReplacingFile file;
    if (!dir.valid() || !file.openAt(dir.get(), kRecordLeaf, kTemporary)) return false;
    file.write(bytes, sizeof bytes);
    pauseHereForTest("record");
    if (!file.commit()) return false;
    // The new name itself must survive a power cut, too.
    const bool durable = file.syncDirectory();
    if (synced) *synced = durable;
    record->dirty = false;
    return true;
}

PatchFailure recordNotDurableFailure() {
    return {"Failed to save the revision record data/quillon.dat to disk. (directory sync failed)",
            "Store Error"};
}

std::optional<PatchFailure> LoadRevisionRecord(const std::string& gameDir, RevisionRecord* record) {
    *record = RevisionRecord{};
    switch (readRevision(recordPath(gameDir), &record->revision)) {
        case Read::kRevision: break;
        case Read::kFailed:
            return PatchFailure{"Cannot read the revision record data/quillon.dat - Please check the Disk and the Directory / File Permissions",
                                "Error"};
        case Read::kMissing: {
            record->revision = 0;
            record->dirty = true;
            const std::string dataDir = gameDir + "/data";
            if (::mkdir(dataDir.c_str(), 0755) != 0 && errno != EEXIST) {
                return PatchFailure{"Cannot Create 'data/' Directory - Please ensure that you have the proper Permissions in GameBaseDir.",
                                    "Error"};
            }
            if (!SaveRevisionRecord(gameDir, record)) {
                return PatchFailure{"No File Creation / Write Permission in GameBaseDir - Please check Directory / File Permissions",
                                    "Error"};
            }
        }
    }
    if (::access(markerPath(gameDir).c_str(), R_OK) == 0) {
        record->fullCheckRequested = true;
        // Taken away only after the check; whether it can go is known now.
        if (::access(gameDir.c_str(), W_OK | X_OK) != 0) return kNoDeletePermission;
    }
    return std::nullopt;
}

void NoteFullCheckStarted(const std::string& gameDir, RevisionRecord* record) {
    if (record->fullCheckRequested) return;
    const int fd = ::open(markerPath(gameDir).c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ::close(fd);
    // On disk before the check changes anything: after a power cut too.
    const int dir = ::open(gameDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        quask::syncDirectory(dir);
        ::close(dir);
    }
    record->fullCheckRequested = true;
}

std::optional<PatchFailure> FinishFullCheckRequest(const std::string& gameDir, RevisionRecord* record) {
    if (!record->fullCheckRequested) return std::nullopt;
    if (::unlink(markerPath(gameDir).c_str()) != 0 && errno != ENOENT) return kNoDeletePermission;
    record->fullCheckRequested = false;
    return std::nullopt;
}

}  // namespace quillon
