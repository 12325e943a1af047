#include "tools/patchpub/tree_files.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "shared/patch_file.h"

namespace patchpub {

bool readWhole(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return false;
    *out = text.str();
    return true;
}

bool writeReplacing(const std::string& path, const std::string& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    return quask::patchWriteFileReplacing(path, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                          bytes.size());
}

}  // namespace patchpub
