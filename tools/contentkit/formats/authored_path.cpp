#include "tools/contentkit/formats/authored_path.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "shared/loose_path.h"

namespace contentkit {

namespace {

bool exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

}  // namespace

std::string windowsDriveProblem(const std::string& path) {
    for (std::size_t at = 0; at < path.size();) {
        if (at + 2 < path.size() && std::isalpha(static_cast<unsigned char>(path[at])) && path[at + 1] == ':' &&
            (path[at + 2] == '\\' || path[at + 2] == '/')) {
            return "names a file on Windows drive " + path.substr(at, 2) +
                   "; save it with a path relative to the file that names it";
        }
        const std::size_t next = path.find('/', at);
        if (next == std::string::npos) break;
        at = next + 1;
    }
    return {};
}

std::string findAuthoredFile(const std::string& path) {
    if (exists(path) || !windowsDriveProblem(path).empty()) return path;
    std::string slashed = path;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    if (exists(slashed)) return slashed;
    const std::string resolved = quask::resolveLoosePath(slashed);
    return resolved.empty() ? path : resolved;
}

}  // namespace contentkit
