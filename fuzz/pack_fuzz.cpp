// Revision packs as a launcher reads them from any server. A pack that
// parses holds only files of its own revisions, each once, and comes back
// the same through the writer. The first byte picks the pack's first
// revision.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/protocol/revision_pack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint32_t first = 1 + quillon::kRevisionsPerPack * (data[0] % 4);
    const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<quillon::PackedFile> files, again;
    if (!quillon::parseRevisionPack(body, first, &files).empty()) return 0;
    std::set<std::string> paths;
    for (const quillon::PackedFile& f : files) {
        const auto rev = quillon::packedRevisionOf(f.path);
        if (!rev || *rev < first || *rev >= first + quillon::kRevisionsPerPack || !paths.insert(f.path).second)
            __builtin_trap();
    }
    if (!quillon::parseRevisionPack(quillon::revisionPackText(files), first, &again).empty() ||
        again.size() != files.size())
        __builtin_trap();
    for (std::size_t i = 0; i < files.size(); ++i)
        if (again[i].path != files[i].path || again[i].body != files[i].body) __builtin_trap();
    return 0;
}
