// Tiled maps: one small map written in every layer encoding and tileset
// form the editor writes, all read to the same tiles and imported to the
// same bytes; every kind of bad input refused with a message naming file,
// layer and place, with nothing written; tile objects where the editor
// draws them; the start camera's checks.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <zlib.h>
#include <zstd.h>

#include <filesystem>
#include <map>

#include "client/scene/rmap.h"
#include "tests/contentkit/reference.h"
#include "tests/contentkit/test_util.h"
#include "tests/contentkit/tiled_fixture.h"
#include "tools/contentkit/import/tiled_import.h"

namespace {

namespace fs = std::filesystem;
using cktest::Bytes;
using cktest::greyPng;
using cktest::importSmall;

// --- Writing the small map ---

std::string base64(const Bytes& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data.data(), static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

Bytes deflated(const Bytes& raw, bool gzip) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, raw.size()) + 32);
    z.next_in = const_cast<Bytef*>(raw.data());
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes zstdPacked(const Bytes& raw) {
    Bytes out(ZSTD_compressBound(raw.size()));
    out.resize(ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), 3));
    return out;
}

int slope(int x, int y) { return x * 40 + y * 10; }

// 4 x 4 cells, two cubes a side; one tile flipped each way.
const std::vector<std::uint32_t> kGids = {1, 1, 2, 2, 1, 1, 2, 2, 0x80000001u, 1, 2, 0x40000002u, 1, 1, 2, 2};

Bytes littleEndian(const std::vector<std::uint32_t>& gids) {
    Bytes raw;
    for (std::uint32_t g : gids)
        for (int k = 0; k < 4; ++k) raw.push_back(static_cast<std::uint8_t>(g >> (8 * k)));
    return raw;
}

enum class Enc { Csv, Xml, Base64, Zlib, Gzip, Zstd };

std::string encoded(Enc e) {
    const Bytes raw = littleEndian(kGids);
    switch (e) {
        case Enc::Base64: return base64(raw);
        case Enc::Zlib: return base64(deflated(raw, false));
        case Enc::Gzip: return base64(deflated(raw, true));
        case Enc::Zstd: return base64(zstdPacked(raw));
        default: break;
    }
    std::string out;
    for (std::size_t i = 0; i < kGids.size(); ++i) {
        if (e == Enc::Xml) out += "<tile gid=\"" + std::to_string(kGids[i]) + "\"/>";
        else out += (i ? "," : "") + std::to_string(kGids[i]) + (i % 4 == 3 ? "\n" : "");
    }
    return out;
}

const char* compressionName(Enc e) {
    return e == Enc::Zlib ? "zlib" : e == Enc::Gzip ? "gzip" : e == Enc::Zstd ? "zstd" : "";
}

const char kTsx[] =
    "<?xml version=\"1.0\"?>\n<tileset name=\"ground\" tilewidth=\"16\" tileheight=\"16\" tilecount=\"2\" "
    "columns=\"2\">\n <image source=\"ground.png\" width=\"32\" height=\"16\"/>\n"
    " <tile id=\"0\"><properties><property name=\"texture\" type=\"int\" value=\"300\"/></properties></tile>\n"
    " <tile id=\"1\"><properties><property name=\"texture\" type=\"int\" value=\"301\"/></properties></tile>\n"
    "</tileset>\n";
const char kTsj[] =
    "{\"name\":\"ground\",\"tilewidth\":16,\"tileheight\":16,\"tilecount\":2,\"columns\":2,\"image\":\"ground.png\","
    "\"imagewidth\":32,\"imageheight\":16,\"tiles\":[{\"id\":0,\"properties\":[{\"name\":\"texture\",\"type\":\"int\","
    "\"value\":300}]},{\"id\":1,\"properties\":[{\"name\":\"texture\",\"type\":\"int\",\"value\":301}]}]}";

std::string tmxMap(Enc e, bool embedded) {
    const std::string tileset = embedded ? std::string(kTsx).substr(std::string(kTsx).find("<tileset ") + 8)
                                         : std::string();
    std::string t =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<map version=\"1.8\" orientation=\"orthogonal\" width=\"4\" height=\"4\" tilewidth=\"16\" tileheight=\"16\" "
        "infinite=\"0\">\n <properties>\n  <property name=\"sunAzimuth\" type=\"float\" value=\"90\"/>\n"
        " </properties>\n";
    t += embedded ? " <tileset firstgid=\"1\"" + tileset.substr(0, tileset.rfind("\n")) + "\n"
                  : " <tileset firstgid=\"1\" source=\"ground.tsx\"/>\n";
    t += " <layer id=\"1\" name=\"ground\" width=\"4\" height=\"4\">\n  <data";
    if (e == Enc::Csv) t += " encoding=\"csv\"";
    if (e != Enc::Csv && e != Enc::Xml) t += " encoding=\"base64\"";
    if (*compressionName(e)) t += std::string(" compression=\"") + compressionName(e) + "\"";
    t += ">\n" + encoded(e) + "\n  </data>\n </layer>\n"
         " <imagelayer id=\"2\" name=\"height\">\n  <image source=\"h.png\" width=\"5\" height=\"5\"/>\n </imagelayer>\n"
         " <objectgroup id=\"3\" name=\"models\">\n  <object id=\"1\" name=\"tree\" x=\"24\" y=\"8\">\n"
         "   <properties><property name=\"model\" type=\"int\" value=\"1\"/></properties>\n   <point/>\n"
         "  </object>\n </objectgroup>\n</map>\n";
    return t;
}

std::string jsonMap(Enc e, const char* tileset) {
    std::string data = e == Enc::Csv ? "[" : "\"" + encoded(e) + "\"";
    if (e == Enc::Csv) {
        for (std::size_t i = 0; i < kGids.size(); ++i) data += (i ? "," : "") + std::to_string(kGids[i]);
        data += "]";
    }
    std::string layer = "{\"type\":\"tilelayer\",\"name\":\"ground\",\"width\":4,\"height\":4,\"data\":" + data;
    if (e != Enc::Csv) layer += std::string(",\"encoding\":\"base64\",\"compression\":\"") + compressionName(e) + "\"";
    layer += "}";
    std::string sets = tileset ? std::string("{\"firstgid\":1,\"source\":\"") + tileset + "\"}"
                               : "{\"firstgid\":1," + std::string(kTsj).substr(1);
    return "{\"type\":\"map\",\"orientation\":\"orthogonal\",\"width\":4,\"height\":4,\"tilewidth\":16,"
           "\"tileheight\":16,\"infinite\":false,\"properties\":[{\"name\":\"sunAzimuth\",\"type\":\"float\","
           "\"value\":90}],\"tilesets\":[" + sets + "],\"layers\":[" + layer +
           ",{\"type\":\"group\",\"name\":\"terrain\",\"layers\":[{\"type\":\"imagelayer\",\"name\":\"height\","
           "\"image\":\"h.png\"}]},{\"type\":\"objectgroup\",\"name\":\"models\",\"objects\":[{\"id\":1,"
           "\"name\":\"tree\",\"x\":24,\"y\":8,\"point\":true,\"properties\":[{\"name\":\"model\",\"type\":\"int\","
           "\"value\":1}]}]}]}";
}

cktest::MemoryFiles smallMapFiles(const std::string& name, const std::string& map) {
    cktest::MemoryFiles files;
    files.put(name, map);
    files.put("ground.tsx", kTsx);
    files.put("ground.tsj", kTsj);
    files.files["h.png"] = greyPng(5, 5, slope);
    return files;
}

// --- Encodings ---

struct EncodingCase {
    const char* label;
    bool json;
    Enc encoding;
    bool embedded;
    const char* jsonTileset;  // JSON maps: external tileset file, or null for embedded
};

TEST(TiledMap, EveryEncodingAndTilesetFormReadsTheSameTilesAndImportsTheSameBytes) {
    const EncodingCase cases[] = {
        {"TMX csv, embedded tileset", false, Enc::Csv, true, nullptr},
        {"TMX tile elements, TSX", false, Enc::Xml, false, nullptr},
        {"TMX base64", false, Enc::Base64, false, nullptr},
        {"TMX base64 zlib", false, Enc::Zlib, false, nullptr},
        {"TMX base64 gzip", false, Enc::Gzip, true, nullptr},
        {"TMX base64 zstd", false, Enc::Zstd, false, nullptr},
        {"JSON array, embedded tileset", true, Enc::Csv, true, nullptr},
        {"JSON base64, TSJ", true, Enc::Base64, false, "ground.tsj"},
        {"JSON base64 zlib, TSX", true, Enc::Zlib, false, "ground.tsx"},
        {"JSON base64 gzip", true, Enc::Gzip, false, "ground.tsj"},
        {"JSON base64 zstd", true, Enc::Zstd, false, "ground.tsj"},
    };
    Bytes first;
    for (const EncodingCase& c : cases) {
        const std::string name = c.json ? "small.tmj" : "small.tmx";
        cktest::MemoryFiles files =
            smallMapFiles(name, c.json ? jsonMap(c.encoding, c.jsonTileset) : tmxMap(c.encoding, c.embedded));
        contentkit::TiledMap map;
        std::string error;
        const Bytes& bytes = files.files[name];
        ASSERT_TRUE(contentkit::parseTiledMap(name, bytes.data(), bytes.size(), files, &map, &error))
            << c.label << ": " << error;
        ASSERT_EQ(map.layers.size(), 3u) << c.label;
        EXPECT_EQ(map.layers[0].gids, kGids) << c.label;
        EXPECT_EQ(map.layers[1].image.source, "h.png") << c.label;
        ASSERT_EQ(map.tilesets.size(), 1u) << c.label;
        ASSERT_NE(map.tilesets[0].tile(1), nullptr) << c.label;
        EXPECT_EQ(map.tilesets[0].tile(1)->properties[0].value, "301") << c.label;

        contentkit::TiledImportResult result;
        ASSERT_TRUE(importSmall(files, name, &result, &error)) << c.label << ": " << error;
        const contentkit::ImportedFile* rmap = cktest::importedFile(result, "data/map/Small.rmap");
        ASSERT_NE(rmap, nullptr) << c.label;
        if (first.empty()) first = rmap->bytes;
        EXPECT_TRUE(rmap->bytes == first) << c.label << " imports to other bytes";
    }
    // What the small map holds, once: the client reads it, the flipped tile's
    // top is mirrored, the model stands at its cell's height.
    velmar::scene::CRMap client;
    client.loadBytes("Small.rmap", first.data(), first.size());
    ASSERT_TRUE(client.loaded());
    EXPECT_EQ(client.header().cellsPerCubeX, 2.0f);
    ASSERT_EQ(client.models().size(), 1u);
}

// Textures made from tile pictures are files of their own, also for two
// tilesets of one name: each keeps its picture, none is written twice.
TEST(TiledMap, TilesetsOfOneNameMakeTexturesOfTheirOwn) {
    std::string map = tmxMap(Enc::Csv, false);
    const std::string sets =
        " <tileset firstgid=\"1\" name=\"ground\" tilewidth=\"16\" tileheight=\"16\" tilecount=\"1\" columns=\"1\">\n"
        "  <image source=\"dark.png\" width=\"16\" height=\"16\"/>\n </tileset>\n"
        " <tileset firstgid=\"2\" name=\"ground\" tilewidth=\"16\" tileheight=\"16\" tilecount=\"1\" columns=\"1\">\n"
        "  <image source=\"light.png\" width=\"16\" height=\"16\"/>\n </tileset>\n";
    const std::string external = " <tileset firstgid=\"1\" source=\"ground.tsx\"/>\n";
    map.replace(map.find(external), external.size(), sets);
    cktest::MemoryFiles files = smallMapFiles("m.tmx", map);
    files.files["dark.png"] = greyPng(16, 16, [](int, int) { return 20; });
    files.files["light.png"] = greyPng(16, 16, [](int, int) { return 230; });
    contentkit::TiledImportResult result;
    std::string error;
    ASSERT_TRUE(importSmall(files, "m.tmx", &result, &error)) << error;
    std::map<std::string, int> paths;
    std::vector<const contentkit::ImportedFile*> textures;
    for (const contentkit::ImportedFile& f : result.files) {
        EXPECT_EQ(++paths[f.path], 1) << f.path << " is written twice";
        if (f.path.rfind("data/texture/", 0) == 0) textures.push_back(&f);
    }
    ASSERT_EQ(textures.size(), 2u);
    EXPECT_FALSE(textures[0]->bytes == textures[1]->bytes);
}

// A tile's texture is its picture as the editor draws it. The sheet: two
// 8 x 8 tiles, red and blue, the blue one's top-left 4 x 4 magenta, the
// colour some tilesets name as transparent. Each map covers its ground with
// tile 1 of its tileset (the blue one).
TEST(TiledMap, TileTexturesShowTheirPicturesAsTheEditorDrawsThem) {
    const std::string map =
        "<?xml version=\"1.0\"?>\n<map version=\"1.10\" orientation=\"orthogonal\" width=\"2\" height=\"2\" "
        "tilewidth=\"GW\" tileheight=\"GH\" infinite=\"0\">\n <tileset firstgid=\"1\" name=\"s\" tilewidth=\"8\" "
        "tileheight=\"8\" TILESET\n </tileset>\n <layer id=\"1\" name=\"ground\" width=\"2\" height=\"2\">\n"
        "  <data encoding=\"csv\">2,2,2,2</data>\n </layer>\n</map>\n";
    const std::string json =
        "{\"type\":\"map\",\"orientation\":\"orthogonal\",\"width\":2,\"height\":2,\"tilewidth\":GW,"
        "\"tileheight\":GH,\"tilesets\":[{\"firstgid\":1,\"name\":\"s\",\"tilewidth\":8,\"tileheight\":8,TILESET}],"
        "\"layers\":[{\"type\":\"tilelayer\",\"name\":\"ground\",\"width\":2,\"height\":2,\"data\":[2,2,2,2]}]}";
    const struct {
        const char* label;
        bool json;
        std::string tileset;
        int width, height;
        bool clearCorner;  // the magenta corner drawn as a hole
        const char* grid = "8";  // the map's cells: "W H"
        std::string warning = "";
    } cases[] = {
        {"atlas with a transparent colour", false,
         "tilecount=\"2\" columns=\"2\">\n  <image source=\"sheet.png\" trans=\"ff00ff\" width=\"16\" height=\"8\"/>",
         8, 8, true},
        {"atlas without its column count", false,
         "tilecount=\"2\">\n  <image source=\"sheet.png\" width=\"16\" height=\"8\"/>", 8, 8, false},
        {"atlas without its tile count", false,
         "columns=\"2\">\n  <image source=\"sheet.png\" width=\"16\" height=\"8\"/>", 8, 8, false},
        {"collection tile showing part of its picture", false,
         "tilecount=\"1\" columns=\"0\">\n  <tile id=\"1\" x=\"8\" y=\"0\" width=\"8\" height=\"8\">"
         "<image source=\"sheet.png\" width=\"16\" height=\"8\"/></tile>", 8, 8, false},
        {"JSON atlas with a transparent colour", true,
         "\"tilecount\":2,\"columns\":2,\"image\":\"sheet.png\",\"imagewidth\":16,\"imageheight\":8,"
         "\"transparentcolor\":\"#ff00ff\"", 8, 8, true},
        {"JSON collection tile showing part of its picture", true,
         "\"tilecount\":1,\"columns\":0,\"tiles\":[{\"id\":1,\"image\":\"sheet.png\",\"imagewidth\":16,"
         "\"imageheight\":8,\"x\":8,\"y\":0,\"width\":8,\"height\":8}]", 8, 8, false},
        // Tiles of another size than the map's cells look in the editor as
        // the game lays them only when fitted to the grid, stretched.
        {"atlas drawn at its own size on smaller cells", false,
         "tilecount=\"2\" columns=\"2\">\n  <image source=\"sheet.png\" width=\"16\" height=\"8\"/>", 8, 8, false, "4",
         "p.tmx: tileset 's', tile 1: the editor draws its 8 x 8 pixels from the bottom-left corner of its cell, not on "
         "the map's cells of 4 x 4 as the game lays it; set the tileset's Tile Render Size to Map Grid Size (Tiled "
         "1.9 and later) to see the ground so"},
        {"atlas fitted to smaller cells", false,
         "tilerendersize=\"grid\" fillmode=\"stretch\" tilecount=\"2\" columns=\"2\">\n  <image source=\"sheet.png\" "
         "width=\"16\" height=\"8\"/>", 8, 8, false, "4"},
        {"JSON atlas fitted to wider cells keeping its shape", true,
         "\"tilerendersize\":\"grid\",\"fillmode\":\"preserve-aspect-fit\",\"tilecount\":2,\"columns\":2,"
         "\"image\":\"sheet.png\",\"imagewidth\":16,\"imageheight\":8", 8, 8, false, "8 4",
         "p.tmj: tileset 's', tile 1: the editor fits its 8 x 8 pixels into the map's cells of 8 x 4 keeping their "
         "shape, the game stretches them over the cell; set the tileset's Fill Mode to Stretch (Tiled 1.9 and later) to "
         "see the ground so"},
    };
    for (const auto& c : cases) {
        std::string text = c.json ? json : map;
        text.replace(text.find("TILESET"), 7, c.tileset);
        const std::string grid = c.grid, gw = grid.substr(0, grid.find(' ')), gh = grid.substr(grid.rfind(' ') + 1);
        text.replace(text.find("GW"), 2, gw);
        text.replace(text.find("GH"), 2, gh);
        const std::string name = c.json ? "p.tmj" : "p.tmx";
        cktest::MemoryFiles files;
        files.put(name, text);
        files.files["sheet.png"] = cktest::rgbaPng(16, 8, [](int x, int y) -> std::uint32_t {
            return x < 8 ? 0xff0000ffu : x < 12 && y < 4 ? 0xff00ffffu : 0x0000ffffu;
        });
        contentkit::TiledImportResult result;
        std::string error;
        ASSERT_TRUE(importSmall(files, name, &result, &error)) << c.label << ": " << error;
        EXPECT_EQ(result.warnings.empty() ? "" : result.warnings.front(), c.warning) << c.label;
        const contentkit::ImportedFile* dds = cktest::importedFile(result, "data/texture/Small/s_1.dds");
        ASSERT_NE(dds, nullptr) << c.label;
        reference::DdsFields fields;
        ASSERT_TRUE(reference::readDdsFields(dds->bytes, &fields)) << c.label;
        ASSERT_EQ(fields.width, c.width) << c.label;
        ASSERT_EQ(fields.height, c.height) << c.label;
        const contentkit::Image texture = reference::decodeDxt(dds->bytes.data() + 128, fields.fourCC, c.width, c.height);
        const std::uint8_t* far = texture.at(7, 7);
        EXPECT_TRUE(far[0] < 16 && far[2] > 240 && far[3] == 255) << c.label << ": not the blue tile";
        EXPECT_EQ(texture.at(0, 0)[3], c.clearCorner ? 0 : 255) << c.label;
    }
}

// --- Bad input ---

struct BadCase {
    const char* label;
    std::vector<std::pair<std::string, std::string>> edits;  // text replaced in the TMX
    std::string file, content;                               // a file replaced, when named
    std::string message;
};

TEST(TiledMap, BadInputIsRefusedWithItsFileLayerAndPlaceAndMakesNoFiles) {
    const std::string map = tmxMap(Enc::Csv, false);
    const std::string csv = encoded(Enc::Csv);
    // A ground of w x h cells of tile 1, zlib-packed: a few bytes for many cells.
    auto wide = [&](int w, int h) -> std::vector<std::pair<std::string, std::string>> {
        const std::string size = "width=\"" + std::to_string(w) + "\" height=\"" + std::to_string(h) + "\"";
        return {{"orthogonal\" width=\"4\" height=\"4\"", "orthogonal\" " + size},
                {"name=\"ground\" width=\"4\" height=\"4\"", "name=\"ground\" " + size},
                {"<data encoding=\"csv\">", "<data encoding=\"base64\" compression=\"zlib\">"},
                {csv, base64(deflated(littleEndian(std::vector<std::uint32_t>(static_cast<std::size_t>(w) * h, 1)),
                                      false))}};
    };
    auto offsetTsx = [](const std::string& offset) {
        std::string tsx = kTsx;
        return tsx.insert(tsx.find(" <image"), offset);
    };
    auto with = [](std::vector<std::pair<std::string, std::string>> edits, std::pair<std::string, std::string> more) {
        edits.push_back(std::move(more));
        return edits;
    };
    const BadCase cases[] = {
        {"missing tileset", {{"source=\"ground.tsx\"", "source=\"gone.tsx\""}}, "", "",
         "m.tmx: tileset 'gone.tsx': no such file"},
        {"layer of the wrong size", {{"name=\"ground\" width=\"4\"", "name=\"ground\" width=\"3\""}}, "", "",
         "m.tmx: layer 'ground': the layer is 3 x 4 tiles, the map 4 x 4"},
        {"data of the wrong size", {{csv, csv.substr(0, csv.rfind(','))}}, "", "",
         "m.tmx: layer 'ground': data holds 15 tiles, the layer needs 16"},
        {"tile of no tileset", {{"1,1,2,2\n,1,1,2,2\n", "1,1,2,2\n,1,1,7,2\n"}}, "", "", "m.tmx: layer 'ground', cell (2, 1): tile ID 7 belongs to no tileset of the map"},
        {"bad base64",
         {{"<data encoding=\"csv\">", "<data encoding=\"base64\">"}, {csv, "AQAA!AAA"}}, "", "",
         "m.tmx: layer 'ground': data is not valid base64"},
        {"corrupt zlib",
         {{"<data encoding=\"csv\">", "<data encoding=\"base64\" compression=\"zlib\">"}, {csv, "AQAAAAIAAAAD"}}, "", "",
         "m.tmx: layer 'ground': data does not unpack as zlib (corrupt or cut short)"},
        // Packed data of 17 tiles where the layer holds 16: the same words for
        // both packers.
        {"zlib data longer than the layer",
         {{"<data encoding=\"csv\">", "<data encoding=\"base64\" compression=\"zlib\">"},
          {csv, base64(deflated(littleEndian(std::vector<std::uint32_t>(17, 1)), false))}},
         "", "", "m.tmx: layer 'ground': data unpacks to more than the layer needs"},
        {"zstd data longer than the layer",
         {{"<data encoding=\"csv\">", "<data encoding=\"base64\" compression=\"zstd\">"},
          {csv, base64(zstdPacked(littleEndian(std::vector<std::uint32_t>(17, 1))))}},
         "", "", "m.tmx: layer 'ground': data unpacks to more than the layer needs"},
        {"infinite map", {{"infinite=\"0\"", "infinite=\"1\""}}, "", "",
         "m.tmx: the map is infinite; give it a fixed size (Map > Map Properties > Infinite off)"},
        {"height image of the wrong size", {}, "h.png", "", "m.tmx: layer 'height': h.png is 4 x 4 pixels; the map "
                                                          "needs one per cell corner, 5 x 5"},
        {"unknown model", {{"value=\"1\"/></properties>\n   <point/>", "value=\"9\"/></properties>\n   <point/>"}}, "",
         "", "m.tmx: layer 'models', object 1 'tree': model 9 is not defined in data/def/model.def"},
        {"object outside the map", {{"x=\"24\" y=\"8\"", "x=\"80\" y=\"8\""}}, "", "",
         "m.tmx: layer 'models', object 1 'tree': stands at cell (5.00, 0.50), outside the map of 4 x 4 cells"},
        {"objects shifted by their layer and group",
         {{"<objectgroup id=\"3\" name=\"models\">",
           "<group name=\"props\" offsetx=\"40\"><objectgroup id=\"3\" name=\"models\" offsetx=\"16\">"},
          {"</objectgroup>", "</objectgroup></group>"}}, "", "",
         "m.tmx: layer 'models', object 1 'tree': stands at cell (5.00, 0.50), outside the map of 4 x 4 cells"},
        {"ground drawn offset", {{"name=\"ground\" width=\"4\"", "name=\"ground\" offsety=\"-8\" width=\"4\""}},
         "", "", "m.tmx: layer 'ground': the editor draws the layer offset by (0, -8) pixels, which its cells cannot "
                 "follow; set the offset of the layer and of its groups to 0"},
        {"ground of a tileset drawn offset", {}, "ground.tsx", offsetTsx("<tileoffset x=\"0\" y=\"4\"/>"),
         "m.tmx: layer 'ground', cell (0, 0): the editor draws the tiles of tileset 'ground' (ground.tsx) offset by "
         "(0, 4) pixels, which its cells cannot follow; set the drawing offset of the tileset to 0"},
        {"tile offset that is not a whole number", {}, "ground.tsx", offsetTsx("<tileoffset x=\"1.5\" y=\"0\"/>"),
         "ground.tsx: tileset 'ground': <tileoffset> x=\"1.5\" is not a whole number from -2147483648 to 2147483647"},
        {"object alignment the editor does not write", {}, "ground.tsx",
         std::string(kTsx).replace(std::string(kTsx).find(" tilewidth"), 0, " objectalignment=\"middle\""),
         "ground.tsx: tileset 'ground': <tileset> objectalignment=\"middle\" is not one of unspecified, topleft, top, "
         "topright, left, center, right, bottomleft, bottom or bottomright"},
        {"tile render size the editor does not write", {}, "ground.tsx",
         std::string(kTsx).replace(std::string(kTsx).find(" tilewidth"), 0, " tilerendersize=\"map\""),
         "ground.tsx: tileset 'ground': <tileset> tilerendersize \"map\" is not tile or grid"},
        {"JSON fill mode that is no name", {}, "ground.tsx", std::string(kTsj).replace(1, 0, "\"fillmode\":1,"),
         "ground.tsx: tileset 'ground': \"fillmode\" must be a name"},
        {"JSON object alignment that is no name", {}, "ground.tsx",
         std::string(kTsj).replace(1, 0, "\"objectalignment\":2,"),
         "ground.tsx: tileset 'ground': \"objectalignment\" must be one of unspecified, topleft, top, topright, left, "
         "center, right, bottomleft, bottom or bottomright"},
        {"ground starting off the map's corner", {{"name=\"ground\" width=\"4\"", "name=\"ground\" x=\"1\" width=\"4\""}},
         "", "", "m.tmx: layer 'ground': the layer starts at tile (1, 0) of the map, where the editor draws it shifted; "
                 "only layers that start at (0, 0) are read"},
        {"a side longer than a map file's 16-bit width", wide(65536, 2), "", "",
         "m.tmx: a map of 65536 x 2 tiles is not one the importer takes (sides of 1 to 65535 cells, at most "
         "16777216 cells)"},
        {"more cells in all vk-cell layers than an import holds",
         with(wide(1024, 1024), {"name=\"height\">", "name=\"height\"><properties><property name=\"vklayer\" "
                                                     "type=\"int\" value=\"4\"/></properties>"}),
         "", "", "m.tmx: a map of 1024 x 1024 cells in 5 vk-cell layers is more than the importer takes (at most "
                 "4194304 cells in all layers together)"},
        {"more lightmap texels than a bake holds",
         with(with(wide(258, 256), {" <imagelayer id=\"2\" name=\"height\">\n  <image source=\"h.png\" width=\"5\" "
                                    "height=\"5\"/>\n </imagelayer>\n", ""}),
              {"<properties>\n", "<properties>\n  <property name=\"cellsPerCube\" type=\"int\" value=\"1\"/>\n"
                                 "  <property name=\"lightmapSize\" type=\"int\" value=\"32\"/>\n"}),
         "", "", "m.tmx: 66048 faces with lightmaps of 32 x 32 texels are more than the importer bakes (at most 256 "
                 "MiB of texels); give a smaller lightmapSize"},
        {"cube without ground", {{"1,1,2,2\n,1,1,2,2\n", "1,1,0,0\n,1,1,0,0\n"}}, "", "",
         "m.tmx: layer 'ground': cube (1, 0) (cells (2, 0) to (3, 1)): no cell holds a tile; every cube needs a "
         "ground texture"},
        {"map not whole cubes",
         {{"<properties>\n", "<properties>\n  <property name=\"cellsPerCube\" type=\"int\" value=\"3\"/>\n"}}, "", "",
         "m.tmx: map: the map is 4 x 4 cells; with cellsPerCube 3 both sides must be multiples of it"},
        {"property that is no number",
         {{"value=\"90\"", "value=\"east\""}}, "", "", "m.tmx: map: property 'sunAzimuth' = 'east' is not a number"},
        {"malformed XML", {{"</map>", "</mapp>"}}, "", "", "m.tmx: line 25: not well-formed XML (Start-end tags mismatch)"},
        {"tileset that is not a tileset", {}, "ground.tsx", "<map/>", "ground.tsx: not a TSX tileset (no <tileset> element)"},
    };
    for (const BadCase& c : cases) {
        std::string text = map;
        for (const auto& [from, to] : c.edits) {
            const std::size_t at = text.find(from);
            ASSERT_NE(at, std::string::npos) << c.label << ": " << from;
            text.replace(at, from.size(), to);
        }
        cktest::MemoryFiles files = smallMapFiles("m.tmx", text);
        if (c.file == "h.png") files.files["h.png"] = greyPng(4, 4, slope);
        else if (!c.file.empty()) files.put(c.file, c.content);
        contentkit::TiledImportResult result;
        std::string error;
        EXPECT_FALSE(importSmall(files, "m.tmx", &result, &error)) << c.label;
        EXPECT_EQ(error, c.message) << c.label;
        EXPECT_TRUE(result.files.empty()) << c.label;
    }
    // JSON: a member of the wrong type.
    cktest::MemoryFiles files = smallMapFiles("m.tmj", jsonMap(Enc::Csv, nullptr));
    std::string text(files.files["m.tmj"].begin(), files.files["m.tmj"].end());
    text.replace(text.find("\"width\":4"), 9, "\"width\":\"4\"");
    files.put("m.tmj", text);
    contentkit::TiledImportResult result;
    std::string error;
    EXPECT_FALSE(importSmall(files, "m.tmj", &result, &error));
    EXPECT_EQ(error, "m.tmj: \"width\" must be a whole number from 0 to 2147483647");
}

// --- Objects ---

// A tile object stands at the centre of the tile the editor draws: turned
// about the point its tileset's object alignment names (its bottom-left
// corner unless the tileset says), its tileset's tile offset scaled with the
// object and turned with it, whatever its flips. The centres are those of
// tmxrasterizer's pictures of these objects (in pixels of the 4 x 4 map).
TEST(TiledMap, TileObjectsStandWhereTheEditorDrawsTheirCentres) {
    using Edits = std::vector<std::pair<std::string, std::string>>;
    const std::string external = " <tileset firstgid=\"1\" source=\"ground.tsx\"/>\n";
    auto atlas = [&](const std::string& offset, const std::string& alignment = "") -> Edits {
        return {{external, external + " <tileset firstgid=\"3\" name=\"props\" tilewidth=\"8\" tileheight=\"16\" "
                                      "tilecount=\"1\" columns=\"1\"" + alignment + ">" + offset +
                                      "<image source=\"prop.png\" width=\"8\" height=\"16\"/></tileset>\n"},
                {"\n   <point/>", ""}};
    };
    auto object = [](const std::string& attributes) -> std::pair<std::string, std::string> {
        return {"name=\"tree\" x=\"24\" y=\"8\"", "name=\"tree\" " + attributes};
    };
    auto with = [](Edits edits, std::pair<std::string, std::string> more) {
        edits.push_back(std::move(more));
        return edits;
    };
    const struct {
        const char* label;
        bool json;
        Edits edits;
        double x, y;  // the centre the editor draws
    } cases[] = {
        {"turned", false, with(atlas(""), object("gid=\"3\" x=\"20\" y=\"40\" width=\"16\" height=\"16\" "
                                                 "rotation=\"90\"")), 28, 48},
        {"tile offset, scaled, turned and flipped", false,
         with(atlas("<tileoffset x=\"2\" y=\"-4\"/>"),
              object("gid=\"2147483651\" x=\"20\" y=\"40\" width=\"16\" height=\"32\" rotation=\"90\"")),
         44, 52},
        {"JSON, tile offset of a collection tile scaled across", true,
         {{"],\"layers\":[", ",{\"firstgid\":3,\"name\":\"props\",\"tilewidth\":8,\"tileheight\":16,"
                            "\"tilecount\":1,\"columns\":0,\"tileoffset\":{\"x\":3,\"y\":2},\"tiles\":[{\"id\":0,"
                            "\"image\":\"prop.png\",\"imagewidth\":8,\"imageheight\":16}]}],\"layers\":["},
          {"\"x\":24,\"y\":8,\"point\":true", "\"gid\":3,\"x\":20,\"y\":40,\"width\":16,\"height\":16"}},
         34, 34},
        {"aligned top-right, tile offset, scaled, turned 30 degrees", false,
         with(atlas("<tileoffset x=\"2\" y=\"-4\"/>", " objectalignment=\"topright\""),
              object("gid=\"3\" x=\"40\" y=\"24\" width=\"16\" height=\"32\" rotation=\"30\"")),
         32.535, 28.927},
        {"JSON, centred, tile offset of a collection tile scaled across, turned", true,
         {{"],\"layers\":[", ",{\"firstgid\":3,\"name\":\"props\",\"tilewidth\":8,\"tileheight\":16,"
                            "\"tilecount\":1,\"columns\":0,\"objectalignment\":\"center\",\"tileoffset\":{\"x\":3,"
                            "\"y\":2},\"tiles\":[{\"id\":0,\"image\":\"prop.png\",\"imagewidth\":8,"
                            "\"imageheight\":16}]}],\"layers\":["},
          {"\"x\":24,\"y\":8,\"point\":true",
           "\"gid\":3,\"x\":32,\"y\":32,\"width\":16,\"height\":16,\"rotation\":90"}},
         30, 38},
    };
    for (const auto& c : cases) {
        const std::string name = c.json ? "o.tmj" : "o.tmx";
        std::string text = c.json ? jsonMap(Enc::Csv, nullptr) : tmxMap(Enc::Csv, false);
        for (const auto& [from, to] : c.edits) {
            const std::size_t at = text.find(from);
            ASSERT_NE(at, std::string::npos) << c.label << ": " << from;
            text.replace(at, from.size(), to);
        }
        cktest::MemoryFiles files = smallMapFiles(name, text);
        contentkit::TiledImportResult result;
        std::string error;
        ASSERT_TRUE(importSmall(files, name, &result, &error)) << c.label << ": " << error;
        ASSERT_EQ(result.map.models.size(), 1u) << c.label;
        // Cells of 5 units, rows counted up from the bottom edge, the client's
        // frame 10 units off the map's corner; a hundredth of a pixel, as
        // closely as the pictures of turned tiles tell.
        const std::array<float, 3>& at = result.map.models[0].position;
        const double near = 0.01 / 16 * 5;
        EXPECT_NEAR(at[0], c.x / 16 * 5 - 10, near) << c.label;
        EXPECT_NEAR(at[2], (4 - c.y / 16) * 5 - 10, near) << c.label;
    }
}

// The map the client opens first shows what its start camera sees: cell
// (153, 185) counted from the bottom edge, at distance 185, vertical factor
// 6 and angle 85.4, whatever the ini's Init keys say. A map without that
// cell is refused; limits that cannot hold the camera are warned about.
TEST(TiledMap, FirstMapMustHoldTheStartCamera) {
    struct Case {
        const char* label;
        int width, height;
        std::string properties, error, warning;
    };
    auto property = [](const char* name, const char* type, const char* value) {
        return std::string("  <property name=\"") + name + "\" type=\"" + type + "\" value=\"" + value + "\"/>\n";
    };
    const Case cases[] = {
        {"holds it", 154, 186, property("DistMax", "float", "185"), "", ""},
        {"too small", 32, 32, "", "m.tmx: the client's start camera looks at cell (153, 185) counted from the map's "
         "bottom edge, which Tiled shows at (153, -154): the map of 32 x 32 cells does not hold it and shows nothing "
         "at start (it needs 154 x 186 cells or more with vk-cells of 5 units)", ""},
        {"one row short", 154, 184, property("DistMax", "float", "185"), "m.tmx: the client's start camera looks at "
         "cell (153, 185) counted from the map's bottom edge, which Tiled shows at (153, -2): the map of 154 x 184 "
         "cells does not hold it and shows nothing at start (it needs 154 x 186 cells or more with vk-cells of 5 "
         "units)", ""},
        {"limits", 160, 190, property("VertMax", "float", "5") + property("LockAngle", "bool", "true") +
         property("AngleMin", "float", "90"), "", "m.tmx: the map's camera limits cannot hold the client's start "
         "camera (DistMax 130 below its distance 185, VertMax 5 below its vertical factor 6, AngleMin 90 above its "
         "angle 85.4): its first zoom or turn jumps to the limit"},
        {"larger cells", 160, 190, property("DistMax", "float", "200") + property("cubeSize", "float", "12"), "",
         "m.tmx: vk-cells are 6 units wide (cubeSize / cellsPerCube), but the client's camera counts 5 a cell: its "
         "start camera looks at cell (141, 19) of Tiled, not at its start cell"},
    };
    for (const Case& c : cases) {
        std::string csv;
        for (int i = 0; i < c.width * c.height; ++i) csv += i ? ",1" : "1";
        const std::string size = "width=\"" + std::to_string(c.width) + "\" height=\"" + std::to_string(c.height) + "\"";
        const std::string map = "<?xml version=\"1.0\"?>\n<map version=\"1.8\" orientation=\"orthogonal\" " + size +
                                " tilewidth=\"16\" tileheight=\"16\" infinite=\"0\">\n <properties>\n" + c.properties +
                                " </properties>\n <tileset firstgid=\"1\" source=\"ground.tsx\"/>\n <layer id=\"1\" "
                                "name=\"ground\" " + size + ">\n  <data encoding=\"csv\">" + csv + "</data>\n </layer>\n</map>\n";
        cktest::MemoryFiles files = smallMapFiles("m.tmx", map);
        cktest::MemoryFiles game = cktest::demoGameDir();
        contentkit::TiledImportOptions options;
        options.name = "Lakeside";
        options.startCamera = true;
        contentkit::TiledImportResult result;
        std::string error;
        EXPECT_EQ(contentkit::importTiledFile("m.tmx", files, game, options, &result, &error), c.error.empty())
            << c.label;
        EXPECT_EQ(error, c.error) << c.label;
        EXPECT_EQ(result.warnings.empty() ? "" : result.warnings[0], c.warning) << c.label;
        // Any other map name is not the client's first map and goes unchecked.
        options.startCamera = false;
        EXPECT_TRUE(contentkit::importTiledFile("m.tmx", files, game, options, &result, &error)) << c.label << error;
    }
}

// Water over ground that lies almost at its level draws as a sawtooth in the
// client's 16-bit depth buffer: the import says where; a bank (the water
// cubes lowered) silences it.
TEST(TiledMap, WaterAlmostLevelWithTheGroundIsWarnedAboutUntilTheBedIsLowered) {
    std::string text = tmxMap(Enc::Csv, false);
    text.replace(text.find("<properties>\n"), 13,
                 "<properties>\n  <property name=\"waterLevel\" type=\"float\" value=\"0.5\"/>\n"
                 "  <property name=\"waterType\" type=\"int\" value=\"1\"/>\n");
    cktest::MemoryFiles files = smallMapFiles("m.tmx", text);
    files.files["h.png"] = greyPng(5, 5, [](int, int) { return 0; });
    contentkit::TiledImportResult result;
    std::string error;
    ASSERT_TRUE(importSmall(files, "m.tmx", &result, &error)) << error;
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_EQ(result.warnings[0],
              "m.tmx: 4 cubes lie under water almost level with it (more than half the top within 1.5 of the surface), "
              "where the window's 16-bit depth buffer cannot keep ground and water apart: lower the ground there (a "
              "lift below 0 on the shore's water cubes) or steepen the shore at cube (0, 0) (cells (0, 0) to (1, 1)), "
              "cube (1, 0) (cells (2, 0) to (3, 1)), cube (0, 1) (cells (0, 2) to (1, 3)), ...");

    const std::string lifted = "<tile id=\"0\"><properties><property name=\"lift\" type=\"float\" value=\"-2\"/>";
    std::string tsx = kTsx;
    const std::string tile0 = "<tile id=\"0\"><properties>";
    tsx.replace(tsx.find(tile0), tile0.size(), lifted);
    files.put("ground.tsx", tsx);
    text.replace(text.find(" <imagelayer"), 0,
                 " <layer id=\"4\" name=\"lift\" width=\"4\" height=\"4\">\n  <data encoding=\"csv\">" +
                     std::string("1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1") + "</data>\n </layer>\n");
    files.put("m.tmx", text);
    ASSERT_TRUE(importSmall(files, "m.tmx", &result, &error)) << error;
    EXPECT_TRUE(result.warnings.empty()) << result.warnings[0];
}

}  // namespace
