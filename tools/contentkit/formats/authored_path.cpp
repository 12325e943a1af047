#include "tools/contentkit/formats/authored_path.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

namespace contentkit {

namespace {

bool exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

// The key two names share when a case-insensitive, normalisation-insensitive
// file system takes them for one file; bytes that are no UTF-8 are compared
// as ASCII letters without case.
std::string foldedName(const std::string& name) {
    if (g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr)) {
        gchar* folded = g_utf8_casefold(name.data(), static_cast<gssize>(name.size()));
        gchar* composed = folded ? g_utf8_normalize(folded, -1, G_NORMALIZE_NFC) : nullptr;
        std::string out = composed ? composed : name;
        g_free(composed);
        g_free(folded);
        return out;
    }
    std::string out = name;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string findInFolder(const std::string& folder, const std::string& part) {
    const std::string key = foldedName(part);
    std::vector<std::string> matches;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder.empty() ? "." : folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (foldedName(name) == key) matches.push_back(name);
    }
    if (matches.empty()) return {};
    std::sort(matches.begin(), matches.end());
    return matches.front();
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
