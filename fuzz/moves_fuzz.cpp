// The list of files a contentkit run leaves while it moves its staged files
// into place: whatever a damaged or planted list holds, only names below
// the game directory come out.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/contentkit/formats/staged_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> names;
    if (!contentkit::parsePendingMoves(std::string(reinterpret_cast<const char*>(data), size), &names)) return 0;
    for (const std::string& name : names) {
        if (name.empty() || name[0] == '/') __builtin_trap();
        for (const std::filesystem::path& part : std::filesystem::path(name))
            if (part == "..") __builtin_trap();
    }
    return 0;
}
