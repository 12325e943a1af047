#include "tools/patchpub/tree_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "shared/patch_file.h"

namespace patchpub {

std::string errnoReason() { return std::string(": ") + std::strerror(errno); }

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

bool findLinks(const std::string& root, std::vector<std::string>* links, std::string* error) {
    links->clear();
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_symlink(ec)) links->push_back(it->path().lexically_relative(root).generic_string());
        if (ec) break;
    }
    if (ec) {
        *error = "cannot read " + root + ": " + ec.message();
        return false;
    }
    std::sort(links->begin(), links->end());
    return true;
}

}  // namespace patchpub
