#include "tools/patchpub/tree_files.h"

#include <filesystem>

#include "shared/patch_file.h"

namespace patchpub {

bool writeReplacing(const std::string& path, const std::string& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    return quask::patchWriteFileReplacing(path, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                          bytes.size());
}

}  // namespace patchpub
