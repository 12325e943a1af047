#include "tools/contentkit/demo/kept_files.h"

#include <map>

#include "tools/contentkit/formats/text.h"
#include "tools/contentkit/import/tiled_import.h"

namespace contentkit {

namespace {

std::string lineText(const DefLine& line) {
    return line.kind == DefLine::Kind::Include ? "load: " + line.text : std::to_string(line.id) + ": " + line.text;
}

}  // namespace

void keepAuthorDefLines(const std::string& file, const Bytes* before, DefFile* demo, KeptReport* report) {
    if (!before) return;
    std::map<std::int32_t, std::string> ids;
    std::set<std::string> loads;
    for (const DefLine& line : demo->lines) {
        if (line.kind == DefLine::Kind::Entry) ids[line.id] = line.text;
        if (line.kind == DefLine::Kind::Include) loads.insert(line.text);
    }
    bool first = true;
    for (const DefLine& line : readDefLines(*before)) {
        if (line.kind == DefLine::Kind::Entry) {
            const auto own = ids.find(line.id);
            if (own != ids.end()) {
                if (own->second != line.text)
                    report->warnings.push_back(file + ": '" + lineText(line) + "' gave the demo's ID " +
                                               std::to_string(line.id) + " a file of its own; the demo's '" +
                                               own->second + "' replaces it");
                continue;
            }
            ids[line.id] = line.text;
        } else if (!loads.insert(line.text).second) {
            continue;
        }
        if (first) demo->blank().comment("Kept from before build-demo wrote this file");
        first = false;
        if (line.kind == DefLine::Kind::Entry) demo->entry(line.id, line.text);
        else demo->include(line.text);
        report->kept.push_back(file + ": kept '" + lineText(line) + "'");
    }
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
