#include "tools/patchpub/revision_packs.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "patcher/protocol/file_lists.h"
#include "patcher/protocol/revision_pack.h"
#include "tools/patchpub/tree_files.h"

namespace patchpub {

bool packOfTree(const std::string& treeDir, std::uint32_t first, std::string* text, std::string* error) {
    text->clear();
    std::vector<quillon::PackedFile> files;
    std::uint64_t bodies = 0;
    for (std::uint64_t rev = first; rev < std::uint64_t{first} + quillon::kRevisionsPerPack; ++rev) {
        const std::string r = std::to_string(rev);
        const auto list = static_cast<std::uint32_t>(rev);
        for (const std::string& path : {"meta/" + r + ".txt", "meta/sum_" + r + ".txt",
                                        quillon::revisionListPath(list), quillon::revisionSignaturePath(list)}) {
            quillon::PackedFile file{path, {}};
            const ReadResult read = readIfPresent(treeDir + "/" + path, &file.body);
            if (read == ReadResult::kFailed) {
                *error = "cannot read " + path + errnoReason();
                return false;
            }
            if (read == ReadResult::kMissing) continue;
            bodies += file.body.size();
            if (bodies > quillon::kMaxPackBytes) return true;  // too large already: the rest need not be held
            files.push_back(std::move(file));
        }
    }
    std::string packed = quillon::revisionPackText(files);
    if (packed.size() <= quillon::kMaxPackBytes) *text = std::move(packed);
    return true;
}

bool writeRevisionPacks(const std::string& treeDir, std::uint32_t latest, std::string* error) {
    const std::uint64_t span = quillon::kRevisionsPerPack;
    for (std::uint64_t first = 1; first + span - 1 <= latest; first += span) {
        const std::string path = treeDir + "/" + quillon::revisionPackPath(static_cast<std::uint32_t>(first));
        std::string want, have;
        if (!packOfTree(treeDir, static_cast<std::uint32_t>(first), &want, error)) return false;
        const ReadResult read = readIfPresent(path, &have);
        if (read == ReadResult::kFailed) {
            *error = "cannot read " + path + errnoReason();
            return false;
        }
        if (want.empty()) {
            // Launchers fetch these revisions one by one; a pack written
            // before their files grew too large no longer holds them.
            if (read == ReadResult::kRead && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
                *error = "cannot remove " + path + errnoReason();
                return false;
            }
            continue;
        }
        if (read == ReadResult::kRead && have == want) continue;
        if (!writeReplacing(path, want)) {
            *error = "cannot write " + path + errnoReason();
            return false;
        }
    }
    return true;
}

}  // namespace patchpub
