#include "patcher/protocol/revision_pack.h"

#include <set>
#include <utility>

#include "patcher/protocol/file_lists.h"
#include "patcher/protocol/lines_internal.h"

namespace quillon {

namespace {

constexpr std::string_view kHeader = "QUASK-PACK:1\n";
constexpr std::string_view kEnd = "END\n";

// The decimal revision of `text` as the server's file names write it: no
// sign, no leading zero, not 0.
std::optional<std::uint32_t> revisionNamed(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text[0] == '0' || !parseListDecimal(text, UINT32_MAX, &value)) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::uint32_t packFirstOf(std::uint32_t rev) {
    return rev == 0 ? 1 : (rev - 1) / kRevisionsPerPack * kRevisionsPerPack + 1;
}

std::string revisionPackPath(std::uint32_t first) { return "meta/pack_" + std::to_string(first) + ".txt"; }

std::optional<std::uint32_t> packedRevisionOf(std::string_view path) {
    if (!startsWith(path, "meta/")) return std::nullopt;
    path.remove_prefix(5);
    for (std::string_view prefix : {"sum_", "files_", ""}) {
        if (!startsWith(path, prefix)) continue;
        std::string_view rest = path.substr(prefix.size());
        const std::size_t dot = rest.find('.');
        if (dot == std::string_view::npos) return std::nullopt;
        const std::string_view ending = rest.substr(dot);
        const bool known = ending == ".txt" || (prefix == "files_" && ending == ".sig");
        if (!known) return std::nullopt;
        return revisionNamed(rest.substr(0, dot));
    }
    return std::nullopt;
}

namespace {

std::string readPack(std::string_view body, std::uint32_t first, std::vector<PackedFile>* files) {
    if (first == 0 || packFirstOf(first) != first) return "no pack starts at that revision";
    if (!startsWith(body, kHeader)) return "not a revision pack";
    body.remove_prefix(kHeader.size());
    std::set<std::string_view> seen;
    while (!startsWith(body, kEnd)) {
        const std::size_t end = body.find('\n');
        if (end == std::string_view::npos || !startsWith(body, "FILE:")) return "a record is not a FILE line";
        const std::string_view line = body.substr(5, end - 5);
        const std::size_t colon = line.rfind(':');
        std::uint64_t size = 0;
        if (colon == std::string_view::npos || !parseListDecimal(line.substr(colon + 1), kMaxPackBytes, &size))
            return "a FILE line has no size";
        const std::string_view path = line.substr(0, colon);
        const std::optional<std::uint32_t> rev = packedRevisionOf(path);
        if (!rev || *rev < first || *rev - first >= kRevisionsPerPack) return "a file is none of the pack's revisions";
        if (!seen.insert(path).second) return "a file is in the pack twice";
        body.remove_prefix(end + 1);
        if (body.size() < size + 1 || body[size] != '\n') return "a file is cut short";
        files->push_back(PackedFile{std::string(path), std::string(body.substr(0, size))});
        body.remove_prefix(size + 1);
    }
    return {};
}

}  // namespace

std::string parseRevisionPack(std::string_view body, std::uint32_t first, std::vector<PackedFile>* files) {
    files->clear();
    std::vector<PackedFile> read;
    std::string why = readPack(body, first, &read);
    if (why.empty()) *files = std::move(read);
    return why;
}

std::string revisionPackText(const std::vector<PackedFile>& files) {
    std::string text(kHeader);
    for (const PackedFile& f : files)
        text += "FILE:" + f.path + ":" + std::to_string(f.body.size()) + "\n" + f.body + "\n";
    text += kEnd;
    return text;
}

}  // namespace quillon
