// The list of moves a contentkit run leaves while it moves its staged files
// into place: whatever a damaged or planted list holds, only moves of a
// staged file onto its own place come out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/contentkit/formats/staged_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::pair<std::string, std::string>> moves;
    if (!contentkit::parsePendingMoves(std::string(reinterpret_cast<const char*>(data), size), &moves)) return 0;
    for (const auto& [temp, target] : moves) {
        const std::size_t slash = target.rfind('/');
        const std::string leaf = slash == std::string::npos ? target : target.substr(slash + 1);
        if (temp.size() <= leaf.size() || temp.find(".contentkit.tmp") == std::string::npos) __builtin_trap();
    }
    return 0;
}
