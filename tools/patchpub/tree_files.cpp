#include "tools/patchpub/tree_files.h"

#include <cerrno>
#include <filesystem>

#include "shared/patch_file.h"

namespace patchpub {

ReadResult readIfPresent(const std::string& path, std::string* bytes) {
    if (readWholeFile(path, bytes)) return ReadResult::kRead;
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
}

bool writeReplacing(const std::string& path, const std::string& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) {
        errno = ec.value();  // the folder's reason, not the open's that would follow
        return false;
    }
    return quask::patchWriteFileReplacing(path, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                          bytes.size());
}

}  // namespace patchpub
