#include "tools/contentkit/formats/authored_path.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

#include "shared/name_case.h"

namespace contentkit {

namespace {

bool exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

std::string findInFolder(const std::string& folder, const std::string& part) {
    std::vector<std::string> entries;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder.empty() ? "." : folder, ec), end; !ec && it != end;
         it.increment(ec))
        entries.push_back(it->path().filename().string());
    return quask::pickLooseMatch(entries, part);
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
    std::string resolved;
    std::size_t pos = 0;
    if (!slashed.empty() && slashed[0] == '/') {
        resolved = "/";
        pos = 1;
    }
    while (pos <= slashed.size()) {
        std::size_t end = slashed.find('/', pos);
        if (end == std::string::npos) end = slashed.size();
        const std::string part = slashed.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty()) continue;
        std::string candidate = resolved;
        if (!candidate.empty() && candidate.back() != '/') candidate += '/';
        if (part == "." || part == ".." || exists(candidate + part)) {
            resolved = candidate + part;
            continue;
        }
        const std::string match = findInFolder(resolved, part);
        if (match.empty()) return path;
        resolved = candidate + match;
    }
    return resolved.empty() ? path : resolved;
}

}  // namespace contentkit
