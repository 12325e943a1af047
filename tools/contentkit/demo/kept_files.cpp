#include "tools/contentkit/demo/kept_files.h"

#include <map>

#include "shared/terminal_text.h"
#include "tools/contentkit/formats/text.h"
#include "tools/contentkit/import/tiled_import.h"

namespace contentkit {

namespace {

constexpr char kKeptComment[] = "Kept from before build-demo wrote this file";

std::string lineText(const DefLine& line) {
    return line.kind == DefLine::Kind::Include ? "load: " + line.text : std::to_string(line.id) + ": " + line.text;
}

// The file's lines as they are on disk, each with its line break (CR LF,
// LF or a lone CR, as the client and info count them); a last line may
// have none.
std::vector<Bytes> physicalLines(const Bytes& text) {
    std::vector<Bytes> lines;
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool brk = text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
        if (!brk) continue;
        lines.emplace_back(text.begin() + static_cast<std::ptrdiff_t>(from), text.begin() + static_cast<std::ptrdiff_t>(i + 1));
        from = i + 1;
    }
    if (from < text.size()) lines.emplace_back(text.begin() + static_cast<std::ptrdiff_t>(from), text.end());
    return lines;
}

// The line without its line break, and without the blanks before it.
std::string bodyOf(const Bytes& line) {
    std::size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
    std::size_t begin = 0;
    while (begin < end && (line[begin] == ' ' || line[begin] == '\t')) ++begin;
    return std::string(line.begin() + static_cast<std::ptrdiff_t>(begin), line.begin() + static_cast<std::ptrdiff_t>(end));
}

bool isCommentOrBlank(const std::string& body) {
    return body.empty() || body[0] == ';' || body.rfind("//", 0) == 0;
}

}  // namespace

Bytes keepAuthorDefLines(const std::string& file, const Bytes& written, const DefFile& demo, const Bytes* before,
                         KeptReport* report) {
    Bytes out = written;
    if (!before) return out;
    std::map<std::int32_t, std::string> ids;
    std::set<std::string> loads, comments{std::string("// ") + kKeptComment};
    for (const DefLine& line : demo.lines) {
        if (line.kind == DefLine::Kind::Entry) ids[line.id] = line.text;
        if (line.kind == DefLine::Kind::Include) loads.insert(line.text);
        if (line.kind == DefLine::Kind::Comment) comments.insert("// " + line.text);
    }
    // Lines past the one where the client stops reading are kept as they
    // are, whatever they look like.
    const std::size_t readable = readDefLines(*before).size();
    std::size_t seen = 0, lineNo = 0;
    bool warned = false;
    Bytes tail;
    for (Bytes line : physicalLines(*before)) {
        ++lineNo;
        // A byte order mark belongs at the start of a file, not inside it.
        if (lineNo == 1 && line.size() >= 3 && line[0] == 0xEF && line[1] == 0xBB && line[2] == 0xBF)
            line.erase(line.begin(), line.begin() + 3);
        const std::string body = bodyOf(line);
        // Read as the game reads it inside the file: a byte order mark
        // there (a second one on the first line included) is no mark.
        Bytes inside = line;
        inside.insert(inside.begin(), '\n');
        const std::vector<DefLine> items = readDefLines(inside);
        if (!items.empty() && seen < readable) {
            seen += items.size();
            const DefLine& item = items.front();
            if (item.kind == DefLine::Kind::Entry) {
                const auto own = ids.find(item.id);
                if (own != ids.end()) {
                    if (own->second != item.text)
                        report->warnings.push_back(file + ": '" + lineText(item) + "' gave the demo's ID " +
                                                   std::to_string(item.id) + " a file of its own; the demo's '" +
                                                   own->second + "' replaces it");
                    continue;
                }
            } else if (loads.count(item.text)) {
                continue;
            }
            report->kept.push_back(file + ": kept '" + lineText(item) + "'");
        } else if (items.empty() && isCommentOrBlank(body)) {
            // The demo's own comments come back with the demo's lines; blank
            // lines before the first line kept would pile up run by run.
            if (comments.count(body) || (body.empty() && tail.empty())) continue;
        } else if (!warned && seen == readable) {
            warned = true;
            const bool lastWithoutBreak = line.back() != '\n' && line.back() != '\r';
            report->warnings.push_back(file + ": line " + std::to_string(lineNo) + " '" + quask::terminalSafe(body) +
                                       "' " +
                                       (lastWithoutBreak ? "has no line break, so the game does not read it"
                                                         : "is no 'ID: path', so the game reads no line from it on") +
                                       "; kept as it was");
        }
        tail.insert(tail.end(), line.begin(), line.end());
    }
    if (tail.empty()) return out;
    const std::string header = std::string("\r\n// ") + kKeptComment + "\r\n";
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

Bytes keepAuthorWaterTypes(const Bytes& demo, const Bytes* before, const std::set<int>& demoTypes,
                           KeptReport* report) {
    Bytes out = demo;
    if (!before) return out;
    const std::string text(before->begin(), before->end());
    // A section runs from its header line to the next header.
    std::size_t at = 0;
    bool keeping = false;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(at, end - at);
        const std::size_t open = line.find_first_not_of(" \t");
        if (open != std::string::npos && line[open] == '[') {
            const std::size_t close = line.find(']', open);
            const std::string name = lowerText(line.substr(open + 1, close == std::string::npos ? 0 : close - open - 1));
            long long type = -1;
            const bool water = name.rfind("water_", 0) == 0 && tiledInt(name.substr(6), 0, 255, &type);
            keeping = !(water && demoTypes.count(static_cast<int>(type)));
            if (keeping) {
                out.insert(out.end(), {'\r', '\n'});
                report->kept.push_back("data/def/Water.ini: kept section " + line.substr(open, close - open + 1));
            }
        }
        if (keeping) {
            out.insert(out.end(), line.begin(), line.end());
            if (line.back() != '\n') out.insert(out.end(), {'\r', '\n'});
        }
        at = end;
    }
    return out;
}

bool isAuthorsFirstMap(const Bytes* ini) {
    if (!ini) return false;
    const std::string mark = std::string(kDemoMapMark) + "\r\n";
    return ini->size() < mark.size() || !std::equal(mark.begin(), mark.end(), ini->begin());
}

}  // namespace contentkit
