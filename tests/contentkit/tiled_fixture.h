// Shared by the Tiled import tests: files in memory standing for the map's
// folder and for a game directory, and a game directory holding what the
// demo game defines (models 1 to 4, ground textures 300 to 303, water 1).
#pragma once

#include <map>
#include <string>

#include "tools/contentkit/demo/demo_models.h"
#include "tools/contentkit/formats/def_writer.h"
#include "tools/contentkit/formats/rmdl_writer.h"
#include "tools/contentkit/import/tiled_import.h"

namespace cktest {

class MemoryFiles : public contentkit::TiledFileSource, public contentkit::GameDirReader {
public:
    std::map<std::string, contentkit::Bytes> files;

    void put(const std::string& path, const std::string& text) { files[path] = contentkit::Bytes(text.begin(), text.end()); }
    bool read(const std::string& path, contentkit::Bytes* out, std::string* why) override {
        const auto found = files.find(path);
        if (found == files.end()) {
            *why = "no such file";
            return false;
        }
        *out = found->second;
        return true;
    }
    bool read(const std::string& relativePath, contentkit::Bytes* out) override {
        std::string why;
        return read(relativePath, out, &why);
    }
};

// model.def with the demo's four models, Textures.def with its ground
// textures, Water.ini with Water_1.
inline MemoryFiles demoGameDir() {
    MemoryFiles game;
    contentkit::DefFile models, textures;
    for (const contentkit::DemoModelInfo& info : contentkit::demoModelKinds()) {
        const std::string path = std::string("data/model/") + info.name + ".rmdl";
        std::string error;
        contentkit::writeRmdl(contentkit::makeDemoModel(info.kind), &game.files[path], &error);
        models.entry(static_cast<std::int32_t>(models.lines.size()) + 1, path);
    }
    for (std::int32_t id = 300; id <= 303; ++id) textures.entry(id, "data/texture/ground_" + std::to_string(id) + ".dds");
    std::string error;
    contentkit::writeDef(models, &game.files["data/def/model.def"], &error);
    contentkit::writeDef(textures, &game.files["data/def/Textures.def"], &error);
    game.put("data/def/Water.ini", "[Water_1]\r\nFrameCount=8\r\n");
    return game;
}

// The file of that name in the import's result, or null.
inline const contentkit::ImportedFile* importedFile(const contentkit::TiledImportResult& r, const std::string& path) {
    for (const contentkit::ImportedFile& f : r.files) {
        if (f.path == path) return &f;
    }
    return nullptr;
}

}  // namespace cktest
