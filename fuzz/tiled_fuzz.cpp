// Tiled maps: the TMX and JSON readers with every layer encoding, then the
// whole import (terrain, cells, objects, the bake) of what they accept, into
// a game directory that defines one model. The map may name "t.tsx", "t.tsj"
// and "h.png" (a 3 x 3 height image): anything else is missing.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "tools/contentkit/demo/demo_models.h"
#include "tools/contentkit/formats/rmdl_writer.h"
#include "tools/contentkit/import/tiled_import.h"

namespace {

using contentkit::Bytes;

class Files : public contentkit::TiledFileSource, public contentkit::GameDirReader {
public:
    Files() {
        put("t.tsx",
            "<tileset name=\"t\" tilewidth=\"16\" tileheight=\"16\" tilecount=\"4\" columns=\"4\">"
            "<tile id=\"0\"><properties><property name=\"texture\" type=\"int\" value=\"300\"/></properties></tile>"
            "<tile id=\"1\"><properties><property name=\"lift\" type=\"float\" value=\"-3\"/>"
            "<property name=\"walkable\" type=\"bool\" value=\"false\"/></properties></tile></tileset>");
        put("t.tsj", "{\"name\":\"t\",\"tilewidth\":16,\"tileheight\":16,\"tilecount\":2,\"columns\":2,\"tiles\":"
                     "[{\"id\":0,\"properties\":[{\"name\":\"texture\",\"type\":\"int\",\"value\":301}]}]}");
        // A 3 x 3 grey PNG.
        static const std::uint8_t png[] = {
            0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
            0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x03, 0x08, 0x00, 0x00, 0x00, 0x00, 0x73, 0x43, 0xea, 0x63, 0x00,
            0x00, 0x00, 0x14, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0x60, 0x10, 0xd1, 0x60, 0xd0, 0xb0, 0x09,
            0x60, 0x08, 0x48, 0xa9, 0x00, 0x00, 0x08, 0x7c, 0x02, 0x1d, 0x08, 0x81, 0x43, 0x62, 0x00, 0x00, 0x00,
            0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
        m_files["h.png"] = Bytes(png, png + sizeof png);
        std::string error;
        contentkit::writeRmdl(contentkit::makeDemoModel(contentkit::DemoModelKind::Crate), &m_files["crate.rmdl"], &error);
        put("data/def/model.def", "1: crate.rmdl\r\n");
    }
    bool read(const std::string& path, Bytes* out, std::string* why) override {
        const auto found = m_files.find(path);
        if (found == m_files.end()) {
            *why = "no such file";
            return false;
        }
        *out = found->second;
        return true;
    }
    bool read(const std::string& path, Bytes* out) override {
        std::string why;
        return read(path, out, &why);
    }

private:
    void put(const std::string& name, const std::string& text) { m_files[name] = Bytes(text.begin(), text.end()); }
    std::map<std::string, Bytes> m_files;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Files files;
    contentkit::TiledMap map;
    std::string error;
    if (!contentkit::parseTiledMap("f.tmx", data, size, files, &map, &error)) return 0;
    // Large maps only cost time; the reader has already seen them whole.
    if (static_cast<long long>(map.width) * map.height > 4096) return 0;
    contentkit::TiledImportOptions options;
    options.name = "Fuzz";
    contentkit::TiledImportResult result;
    contentkit::importTiledMap(map, files, files, options, &result, &error);
    return 0;
}
