// Shared by the Tiled import tests: files in memory standing for the map's
// folder and for a game directory, and a game directory holding what the
// demo game defines (models 1 to 4, ground textures 300 to 303, water 1).
#pragma once

#include <zlib.h>

#include <cstdint>
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

// A PNG of 8-bit channels: colour type 0 (grey, one byte a pixel), 3 (an
// index into `palette`, RGB entries, one byte) or 6 (RGBA, four); `pixel`
// writes a pixel's bytes.
template <typename Pixel>
contentkit::Bytes pngOf(int w, int h, int colourType, Pixel pixel, const contentkit::Bytes& palette = {}) {
    contentkit::Bytes raw;
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        for (int x = 0; x < w; ++x) pixel(x, y, &raw);
    }
    auto be32 = [](contentkit::Bytes* b, std::uint32_t v) {
        for (int k = 3; k >= 0; --k) b->push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    };
    contentkit::Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    auto chunk = [&](const char* type, const contentkit::Bytes& data) {
        be32(&png, static_cast<std::uint32_t>(data.size()));
        contentkit::Bytes typed(type, type + 4);
        typed.insert(typed.end(), data.begin(), data.end());
        png.insert(png.end(), typed.begin(), typed.end());
        be32(&png, static_cast<std::uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
    };
    Bytes ihdr;
    be32(&ihdr, static_cast<std::uint32_t>(w));
    be32(&ihdr, static_cast<std::uint32_t>(h));
    ihdr.insert(ihdr.end(), {8, static_cast<std::uint8_t>(colourType), 0, 0, 0});
    chunk("IHDR", ihdr);
    if (!palette.empty()) chunk("PLTE", palette);
    uLongf n = compressBound(raw.size());
    Bytes z(n);
    compress(z.data(), &n, raw.data(), raw.size());
    z.resize(n);
    chunk("IDAT", z);
    chunk("IEND", {});
    return png;
}

// An 8-bit grey PNG.
inline contentkit::Bytes greyPng(int w, int h, int (*value)(int, int)) {
    return pngOf(w, h, 0, [value](int x, int y, contentkit::Bytes* out) {
        out->push_back(static_cast<std::uint8_t>(value(x, y)));
    });
}

// An RGBA PNG; `colour` gives 0xRRGGBBAA.
inline contentkit::Bytes rgbaPng(int w, int h, std::uint32_t (*colour)(int, int)) {
    return pngOf(w, h, 6, [colour](int x, int y, contentkit::Bytes* out) {
        for (int k = 3; k >= 0; --k) out->push_back(static_cast<std::uint8_t>(colour(x, y) >> (8 * k)));
    });
}

// The map `name` of `files` imported as "Small" into the demo game directory.
inline bool importSmall(MemoryFiles& files, const std::string& name, contentkit::TiledImportResult* result,
                 std::string* error) {
    MemoryFiles game = demoGameDir();
    contentkit::TiledImportOptions options;
    options.name = "Small";
    return contentkit::importTiledFile(name, files, game, options, result, error);
}

}  // namespace cktest
