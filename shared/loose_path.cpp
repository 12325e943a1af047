#include "shared/loose_path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <vector>

#include "shared/name_case.h"

namespace quask {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string looseEntry(const std::string& folder, const std::string& name) {
    DIR* d = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!d) return {};
    std::vector<std::string> entries;
    while (const dirent* e = ::readdir(d)) entries.emplace_back(e->d_name);
    ::closedir(d);
    return pickLooseMatch(entries, name);
}

}  // namespace

std::string resolveLoosePath(const std::string& slashed) {
    if (slashed.empty()) return {};
    std::string resolved;
    std::size_t pos = 0;
    if (slashed[0] == '/') {
        resolved = "/";
        pos = 1;
    }
    while (pos < slashed.size()) {
        std::size_t end = slashed.find('/', pos);
        if (end == std::string::npos) end = slashed.size();
        const std::string part = slashed.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty()) continue;  // doubled slashes
        std::string candidate = resolved;
        if (!candidate.empty() && candidate.back() != '/') candidate += '/';
        if (part == "." || part == ".." || exists(candidate + part)) {
            resolved = candidate + part;
            continue;
        }
        std::string match = looseEntry(resolved, part);
        const std::size_t kept = part.find_last_not_of(" .");
        if (match.empty() && kept != std::string::npos && kept + 1 < part.size()) {
            const std::string trimmed = part.substr(0, kept + 1);
            match = exists(candidate + trimmed) ? trimmed : looseEntry(resolved, trimmed);
        }
        if (match.empty()) return {};
        resolved = candidate + match;
    }
    if (slashed.back() == '/' && !resolved.empty() && resolved.back() != '/') resolved += '/';
    return resolved;
}

}  // namespace quask
