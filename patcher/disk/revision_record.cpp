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

bool readRevision(const std::string& path, std::uint32_t* revision) {
    const Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    unsigned char bytes[4];
    if (!file.valid() || !quask::readFully(file.get(), bytes, sizeof bytes)) return false;
    *revision = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
}

}  // namespace

bool SaveRevisionRecord(const std::string& gameDir, RevisionRecord* record) {
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
    file.syncDirectory();
    record->dirty = false;
    return true;
}

std::optional<PatchFailure> LoadRevisionRecord(const std::string& gameDir, RevisionRecord* record) {
    *record = RevisionRecord{};
    if (!readRevision(recordPath(gameDir), &record->revision)) {
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
    const std::string marker = gameDir + "/DoFullCheck";
    if (::access(marker.c_str(), R_OK) == 0) {
        record->fullCheckRequested = true;
        if (::unlink(marker.c_str()) != 0) {
            return PatchFailure{"No Delete Permission in GameBaseDir - Please check Directory / File Permissions.",
                                "Error"};
        }
    }
    return std::nullopt;
}

}  // namespace quillon
