// The built-in map's files and its import.
#include "tools/contentkit/demo/demo_map.h"

#include <cstring>

#include "tools/contentkit/demo/kept_files.h"

namespace contentkit {

namespace {

constexpr bool rmapNamedAfterMap() {
    std::size_t i = 0;
    for (; kFirstMapName[i] != '\0'; ++i) {
        if (kFirstMapRmap[i] != kFirstMapName[i]) return false;
    }
    const char ext[] = ".rmap";
    for (std::size_t k = 0; k < sizeof ext; ++k) {
        if (kFirstMapRmap[i + k] != ext[k]) return false;
    }
    return true;
}
static_assert(rmapNamedAfterMap(), "kFirstMapRmap must be kFirstMapName plus .rmap");

}  // namespace

bool EmbeddedDemoSource::read(const std::string& path, Bytes* out, std::string* why) {
    for (const EmbeddedFile& f : demoMapFiles()) {
        if (path == f.name) {
            out->assign(f.bytes, f.bytes + f.size);
            return true;
        }
    }
    *why = "not among the demo map's files";
    return false;
}

bool importDemoMap(GameDirReader& game, TiledImportResult* result, DemoMapContent* content, std::string* error) {
    EmbeddedDemoSource source;
    TiledImportOptions options;
    options.name = kFirstMapName;
    options.startCamera = true;
    if (!importTiledFile(kDemoMapFile, source, game, options, result, error)) return false;
    // Marked, so that a later build tells it from an author's first map.
    const std::string mark = std::string(kDemoMapMark) + "\r\n";
    for (ImportedFile& f : result->files) {
        if (f.path == std::string("data/map/") + kFirstMapName + ".ini") f.bytes.insert(f.bytes.begin(), mark.begin(), mark.end());
    }
    *content = DemoMapContent();
    content->textureIds = result->textureIds;
    content->modelIds = result->modelIds;
    if (result->map.hasWater) content->waterTypes.push_back(result->map.waterType);
    content->rmapPath = std::string("data/map/") + kFirstMapRmap;
    content->iniPath = std::string("data/map/") + kFirstMapName + ".ini";
    return true;
}

}  // namespace contentkit
