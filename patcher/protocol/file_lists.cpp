#include "patcher/protocol/file_lists.h"

#include "patcher/protocol/digests.h"
#include "patcher/protocol/lines_internal.h"

namespace quillon {

namespace {

constexpr std::string_view kRevisionHeader = "QUASK-FILES:1:revision";
constexpr std::string_view kFullHeader = "QUASK-FILES:1:full";

}  // namespace

bool parseListDecimal(std::string_view text, std::uint64_t max, std::uint64_t* value) {
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

bool parseListSha256(std::string_view hex, Sha256* out) {
    if (hex.size() != 64) return false;
    for (std::size_t i = 0; i < 32; ++i) {
        int byte = 0;
        for (char c : {hex[2 * i], hex[2 * i + 1]}) {
            int v;
            if (c >= '0' && c <= '9') v = c - '0';
            else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
            else return false;
            byte = byte * 16 + v;
        }
        (*out)[i] = static_cast<std::uint8_t>(byte);
    }
    return true;
}

namespace {

// "<sha256>:<size>:<rest>" after the kind's prefix.
bool readDigestLine(std::string_view line, SignedDigest* digest, std::string_view* rest) {
    if (line.size() < 64 + 1 + 1 + 1 || line[64] != ':') return false;
    const std::size_t colon = line.find(':', 65);
    if (colon == std::string_view::npos) return false;
    *rest = line.substr(colon + 1);
    return parseListSha256(line.substr(0, 64), &digest->sha256) &&
           parseListDecimal(line.substr(65, colon - 65), UINT64_MAX, &digest->size) && !rest->empty();
}

std::string digestLine(const char* kind, const SignedDigest& d, const std::string& what) {
    return std::string(kind) + sha256Hex(d.sha256) + ":" + std::to_string(d.size) + ":" + what + "\n";
}

// A line of the list; empty on success, else the reason.
std::string readLine(std::string_view line, FileList* list, bool* sawRev) {
    SignedDigest digest;
    std::string_view rest;
    if (startsWith(line, "REV:")) {
        std::uint64_t rev = 0;
        if (*sawRev || !parseListDecimal(line.substr(4), UINT32_MAX, &rev)) return "bad REV line";
        list->revision = static_cast<std::uint32_t>(rev);
        *sawRev = true;
    } else if (startsWith(line, "LIST:")) {
        if (!readDigestLine(line.substr(5), &digest, &rest) || !startsWith(rest, "meta/") ||
            rest.find('/', 5) != std::string_view::npos || !isSafeContentName(rest.substr(4)))
            return "bad LIST line";
        if (!list->lists.emplace(std::string(rest), digest).second) return "LIST named twice";
    } else if (startsWith(line, "FILE:")) {
        if (!readDigestLine(line.substr(5), &digest, &rest) || !isSafeContentName(rest))
            return "bad FILE line";
        if (!list->files.emplace(std::string(rest), digest).second) return "FILE named twice";
    }
    return {};
}

}  // namespace

std::string revisionListPath(std::uint32_t rev) { return "meta/files_" + std::to_string(rev) + ".txt"; }
std::string revisionSignaturePath(std::uint32_t rev) {
    return "meta/files_" + std::to_string(rev) + ".sig";
}

std::string parseFileList(std::string_view body, FileList* list) {
    *list = FileList{};
    if (body.empty() || body.back() != '\n') return "not ended by a line feed";
    bool first = true, sawRev = false;
    LineWalk lines(body);
    std::string_view line;
    while (lines.next(&line)) {
        if (line.empty()) return "blank line";
        if (first) {
            if (line == kRevisionHeader) list->kind = FileList::kRevision;
            else if (line == kFullHeader) list->kind = FileList::kFull;
            else return "not a file list";
            first = false;
            continue;
        }
        const std::string problem = readLine(line, list, &sawRev);
        if (!problem.empty()) return problem;
    }
    if (!sawRev) return "no REV line";
    return {};
}

std::string fileListText(const FileList& list) {
    std::string text(list.kind == FileList::kFull ? kFullHeader : kRevisionHeader);
    text += "\nREV:" + std::to_string(list.revision) + "\n";
    for (const auto& [path, digest] : list.lists) text += digestLine("LIST:", digest, path);
    for (const auto& [name, digest] : list.files) text += digestLine("FILE:", digest, name);
    return text;
}

}  // namespace quillon
