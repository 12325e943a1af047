// Tiled maps through the program: the repository's example map, an import
// that a full disk stops half-way, the demo map through the real editor's
// exporter, and flipped tiles against the editor's own picture.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>

#include "client/scene/rmap.h"
#include "tests/contentkit/test_util.h"
#include "tests/contentkit/tiled_fixture.h"
#include "tests/support/xvfb_display.h"
#include "tools/contentkit/demo/demo_map.h"
#include "tools/contentkit/import/tiled_import.h"

namespace {

namespace fs = std::filesystem;
using cktest::Bytes;
using cktest::greyPng;
using cktest::importSmall;

const std::string kProgram = QUASK_BIN_DIR "/tools/contentkit/contentkit";
const std::string kSourceDir = QUASK_TESTS_DIR "/../tools/contentkit/demo";

// --- The program ---

class TiledProgram : public cktest::TempDirTest {
protected:
    // The example map with its files in `folder`, texts of the map replaced.
    std::string exampleCopy(const std::string& folder, const std::vector<std::pair<std::string, std::string>>& edits) {
        fs::create_directories(at(folder));
        for (const char* file : {"terrain.tsx", "terrain.png", "cells.png", "example_height.png", "crate.gltf", "crate.png"})
            fs::copy_file(kSourceDir + "/example_map/" + file, at(folder + "/" + file));
        std::string text = cktest::slurp(kSourceDir + "/example_map/example.tmx");
        for (const auto& [from, to] : edits) {
            EXPECT_NE(text.find(from), std::string::npos) << from;
            if (text.find(from) != std::string::npos) text.replace(text.find(from), from.size(), to);
        }
        cktest::writeBytes(at(folder + "/example.tmx"), cktest::bytesOf(text));
        return at(folder + "/example.tmx");
    }
};

// The example map of the README: tile pictures become textures, the glTF
// crate a model, both in def files of their own that the game's def files
// load (once, however often the map is imported); the author's own entries
// stay as they were. A bad map changes nothing in the game directory.
TEST_F(TiledProgram, ExampleMapImportsIntoTheDemoAndABadMapWritesNothing) {
    cktest::RunResult r = cktest::runProgram(kProgram, {"build-demo", at("game")}, m_dir);
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string textures = cktest::slurp(at("game/data/def/Textures.def"));
    const std::string example = kSourceDir + "/example_map/example.tmx";
    for (int run = 0; run < 2; ++run) {
        r = cktest::runProgram(kProgram, {"import-tiled", example, at("game"), "Example"}, m_dir);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_NE(r.out.find("import-tiled: data/texture/Example/terrain_0.dds (texture 6000)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("import-tiled: data/model/Example/crate.rmdl (model 600)\n"), std::string::npos) << r.out;
    EXPECT_EQ(cktest::slurp(at("game/data/def/Textures.def")),
              textures + "load: data/def/map_Example_textures.def\r\n");
    EXPECT_NE(cktest::slurp(at("game/data/def/map_Example_models.def")).find("600: data/model/Example/crate.rmdl\r\n"),
              std::string::npos);
    const Bytes rmap = cktest::readBytes(at("game/data/map/Example.rmap"));
    velmar::scene::CRMap client;
    client.loadBytes("Example.rmap", rmap.data(), rmap.size());
    ASSERT_TRUE(client.loaded());
    EXPECT_EQ(client.models().size(), 2u);
    r = cktest::runProgram(kProgram, {"info", at("game/data/model/Example/crate.rmdl"),
                                      at("game/data/texture/Example/crate_planks.dds")}, m_dir);
    EXPECT_EQ(r.code, 0) << r.err << r.out;

    exampleCopy("bad", {{"name=\"model\" type=\"int\" value=\"2\"", "name=\"model\" type=\"int\" value=\"77\""}});
    fs::create_directories(at("empty"));
    r = cktest::runProgram(kProgram, {"import-tiled", at("bad/example.tmx"), at("empty"), "Example"}, m_dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "contentkit: " + at("bad/example.tmx") +
                         ": layer 'models', object 1 'house': model 77 is not defined in data/def/model.def\n");
    EXPECT_TRUE(fs::is_empty(at("empty")));
}

// Every file of the tree below `root` with its bytes.
std::map<std::string, std::string> treeBytes(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(root))
        tree[e.path().lexically_relative(root).string()] = e.is_regular_file() ? cktest::slurp(e.path()) : "/";
    return tree;
}

// A file the map names that is a pipe (or a link to a device) is refused at
// once: reading it would wait for a writer for ever, or never end.
TEST_F(TiledProgram, TilesetThatIsAPipeOrADeviceIsRefused) {
    ASSERT_EQ(cktest::runProgram(kProgram, {"build-demo", at("game")}, m_dir).code, 0);
    const std::string map = exampleCopy("art", {});
    fs::remove(at("art/terrain.tsx"));
    ASSERT_EQ(::mkfifo(at("art/terrain.tsx").c_str(), 0600), 0);
    for (int run = 0; run < 2; ++run) {
        const auto before = treeBytes(at("game"));
        const cktest::RunResult r =
            quask_test::runToEnd({kProgram, "import-tiled", map, at("game"), "Example"}, m_dir, 30000);
        EXPECT_EQ(r.code, 1) << (r.code == -2 ? "still waiting after 30 s" : r.err);
        EXPECT_NE(r.err.find("terrain.tsx': not a regular file"), std::string::npos) << r.err;
        EXPECT_TRUE(treeBytes(at("game")) == before);
        fs::remove(at("art/terrain.tsx"));
        fs::create_symlink("/dev/zero", at("art/terrain.tsx"));
    }
}

// A map saved on Windows (backslashes, CR LF, names in another letter case,
// a blank and a dot that Windows drops at the end of a name) naming a picture that macOS stored decomposed (NFD) while the tileset
// spells it composed: the import finds each file as the author's editor did
// and writes what the plain example writes. A Windows drive is named.
TEST_F(TiledProgram, MapSavedOnWindowsOrMacosImportsAsTheEditorFoundItsFiles) {
    ASSERT_EQ(cktest::runProgram(kProgram, {"build-demo", at("plain")}, m_dir).code, 0);
    fs::copy(at("plain"), at("authored"), fs::copy_options::recursive);
    ASSERT_EQ(cktest::runProgram(kProgram, {"import-tiled", exampleCopy("art", {}), at("plain"), "Example"}, m_dir).code, 0);

    std::string map = cktest::slurp(exampleCopy("win", {{"source=\"terrain.tsx\"", "source=\"Sets\\TERRAIN.tsx .\""}}));
    for (std::size_t pos = map.find('\n'); pos != std::string::npos; pos = map.find('\n', pos + 2)) map.insert(pos, "\r");
    cktest::writeBytes(at("win/example.tmx"), cktest::bytesOf(map));
    std::string tileset = cktest::slurp(at("win/terrain.tsx"));
    const std::string picture = "source=\"terrain.png\"";
    ASSERT_NE(tileset.find(picture), std::string::npos);
    tileset.replace(tileset.find(picture), picture.size(), "source=\"..\\TERR\xC3\x84IN.PNG\"");
    fs::create_directories(at("win/sets"));
    cktest::writeBytes(at("win/sets/terrain.tsx"), cktest::bytesOf(tileset));
    fs::remove(at("win/terrain.tsx"));
    fs::rename(at("win/terrain.png"), at("win/terra\xCC\x88in.png"));
    // The game directory came from Windows as well: its def files are
    // found, and added to, in the letter case they have there.
    const auto windowsNames = [&](bool windows) {
        for (const auto& [is, was] : {std::pair<const char*, const char*>{"textures.def", "Textures.def"},
                                      {"MODEL.DEF", "model.def"}, {"water.ini", "Water.ini"}})
            fs::rename(at(std::string("authored/data/def/") + (windows ? was : is)),
                       at(std::string("authored/data/def/") + (windows ? is : was)));
    };
    windowsNames(true);
    cktest::RunResult r = cktest::runProgram(kProgram, {"import-tiled", at("win/example.tmx"), at("authored"), "Example"}, m_dir);
    ASSERT_EQ(r.code, 0) << r.err;
    windowsNames(false);
    EXPECT_TRUE(treeBytes(at("authored")) == treeBytes(at("plain")));
    // So does build-demo, which keeps what the import added.
    windowsNames(true);
    ASSERT_EQ(cktest::runProgram(kProgram, {"build-demo", at("authored")}, m_dir).code, 0);
    for (const char* name : {"Textures.def", "model.def", "Water.ini"})
        EXPECT_FALSE(fs::exists(at(std::string("authored/data/def/") + name))) << name;
    EXPECT_NE(cktest::slurp(at("authored/data/def/MODEL.DEF")).find("\r\nload: data/def/map_Example_models.def\r\n"),
              std::string::npos);
    windowsNames(false);

    // The client opens a map whatever the letter case of its name: a name
    // in another case replaces no map, the first map least of all.
    fs::create_directories(at("fresh"));
    const auto other = [&](const char* game, const char* name) {
        return cktest::runProgram(kProgram, {"import-tiled", at("win/example.tmx"), at(game), name}, m_dir);
    };
    for (const auto& [name, is] : {std::pair<const char*, const char*>{"example", "Example"}, {"lakeside", "Lakeside"}}) {
        const auto before = treeBytes(at("authored"));
        r = other("authored", name);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "contentkit: " + at("authored") + ": data/map/" + is + ".rmap is the map '" + is +
                             "': import it as '" + is + "' to replace it, or give the new map a name of its own\n");
        EXPECT_TRUE(treeBytes(at("authored")) == before);
    }
    r = other("fresh", "lakeside");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("the client's start camera looks at cell"), std::string::npos) << r.err;

    tileset.replace(tileset.find("..\\TERR"), 2, "D:\\art");
    cktest::writeBytes(at("win/sets/terrain.tsx"), cktest::bytesOf(tileset));
    r = cktest::runProgram(kProgram, {"import-tiled", at("win/example.tmx"), at("authored"), "Example"}, m_dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("names a file on Windows drive D:; save it with a path relative to the file that names it"),
              std::string::npos) << r.err;

    // Textures.def saved as Notepad's "Unicode" is left as it is, and named.
    static const char kWide[] = "\xFF\xFE" "1\0:\0 \0a\0\r\0\n\0";
    const std::string wide(kWide, sizeof kWide - 1);
    cktest::writeBytes(at("plain/data/def/Textures.def"), cktest::bytesOf(wide));
    r = cktest::runProgram(kProgram, {"import-tiled", at("art/example.tmx"), at("plain"), "Other"}, m_dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "contentkit: data/def/Textures.def: it is UTF-16 text; save it as UTF-8 or ANSI\n");
    EXPECT_EQ(cktest::slurp(at("plain/data/def/Textures.def")), wide);
    // So is build-demo, whose rewrite would lose the author's lines.
    r = cktest::runProgram(kProgram, {"build-demo", at("plain")}, m_dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "contentkit: " + at("plain") + ": data/def/Textures.def: it is UTF-16 text; save it as UTF-8 or ANSI\n");
    EXPECT_EQ(cktest::slurp(at("plain/data/def/Textures.def")), wide);
}

// A disk that fills up at any write (strace makes the Nth write fail with
// ENOSPC) of a new import, of a demo rebuild over the game, or of one
// texture made again, leaves the game directory as it was, the last import
// included: the files are staged and only then moved into place.
TEST_F(TiledProgram, FullDiskHalfWayLeavesTheGameAsItWas) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer runtimes make write calls of their own that must not
    // fail, and the leak checker stops under ptrace.
    GTEST_SKIP() << "failed writes are injected only into programs built without a sanitizer";
#endif
    const std::string strace = quask_test::findProgram("strace");
    if (strace.empty()) GTEST_SKIP() << "strace is not installed";
    ASSERT_EQ(cktest::runProgram(kProgram, {"build-demo", at("game")}, m_dir).code, 0);
    const std::string example = kSourceDir + "/example_map/example.tmx";
    ASSERT_EQ(cktest::runProgram(kProgram, {"import-tiled", example, at("game"), "Example"}, m_dir).code, 0);
    const auto imported = treeBytes(at("game"));
    // The same map lit from elsewhere, its textures under other IDs.
    const std::string changed = exampleCopy("art", {{"name=\"sunAzimuth\" type=\"float\" value=\"300\"",
                                                     "name=\"sunAzimuth\" type=\"float\" value=\"120\""},
                                                    {"value=\"6000\"", "value=\"7000\""}});
    const struct {
        std::vector<std::string> command;
        const char* error;
        int files;  // writes that must fail at least: one per file
    } rows[] = {
        {{kProgram, "build-demo", at("game")}, ": cannot write: No space left on device; nothing was written\n", 12},
        {{kProgram, "import-tiled", changed, at("game"), "Example"},
         ": cannot write: No space left on device; nothing was imported\n", 5},
        {{kProgram, "dds", "--pattern", "rock", at("game/data/texture/ground_300_grass.dds"), "--format", "dxt1"},
         ": cannot write file: No space left on device\n", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command[1]);
        const auto before = treeBytes(at("game"));
        int failed = 0;
        for (int n = 1; n <= 12; ++n) {
            std::vector<std::string> args = {"-f", "-o", "/dev/null", "-e",
                                             "inject=write:error=ENOSPC:when=" + std::to_string(n)};
            args.insert(args.end(), row.command.begin(), row.command.end());
            const cktest::RunResult r = cktest::runProgram(strace, args, m_dir);
            // The Nth write was the report's, after the files: they are in
            // place, and the run says what it could not tell.
            if (r.err.find("contentkit: cannot write to standard output: No space left on device\n") !=
                std::string::npos) {
                EXPECT_EQ(r.code, 1);
                break;
            }
            if (r.code == 0) break;
            ++failed;
            EXPECT_EQ(r.code, 1) << n;
            EXPECT_NE(r.err.find(row.error), std::string::npos) << n << ": " << r.err;
            EXPECT_TRUE(treeBytes(at("game")) == before) << "write " << n << " left a part of the files";
        }
        EXPECT_GE(failed, row.files);
    }
    // Killed among its moves, or refused one by the file system, the import
    // is finished by the next run before that reads the game: what it
    // imports goes with the whole of the last.
    fs::copy(at("game"), at("reference"), fs::copy_options::recursive);
    const std::string other = kSourceDir + "/demo_content/Lakeside.tmx";
    ASSERT_EQ(cktest::runProgram(kProgram, {"import-tiled", changed, at("reference"), "Example"}, m_dir).code, 0);
    ASSERT_EQ(cktest::runProgram(kProgram, {"import-tiled", other, at("reference"), "Other"}, m_dir).code, 0);
    for (int n = 2; n <= 4; ++n) {
        SCOPED_TRACE(n);
        fs::remove_all(at("killed"));
        fs::copy(at("game"), at("killed"), fs::copy_options::recursive);
        // The killed run names the game directory relatively, the next one
        // from elsewhere.
        const cktest::RunResult killed = cktest::runProgram(
            "/bin/sh", {"-c", "cd '" + m_dir + "' && exec '" + strace + "' -f -o /dev/null -e inject=rename:" +
                                  (n == 3 ? "error=EIO" : "signal=KILL") + ":when=" + std::to_string(n) + " '" + kProgram + "' import-tiled '" + changed + "' killed Example"},
            m_dir);
        EXPECT_NE(killed.code, 0);
        // A move the file system refuses leaves the rest for the next run too.
        if (n == 3) {
            EXPECT_NE(killed.err.find(": cannot move into place: Input/output error (the files before it are in "
                                      "place; run contentkit again to move the rest)\n"),
                      std::string::npos) << killed.err;
        }
        ASSERT_TRUE(fs::exists(at("killed/.contentkit.moves")));
        if (n == 2) {
            // A file still to be replaced that the author saved after the
            // kill is kept, and named, until the author chooses.
            fs::path staged;
            for (const auto& e : fs::recursive_directory_iterator(at("killed")))
                if (e.path().filename().string().find(".contentkit.tmp") != std::string::npos) staged = e.path();
            ASSERT_FALSE(staged.empty());
            const std::string name = staged.filename().string();
            const fs::path edited = staged.parent_path() / name.substr(1, name.size() - 1 - strlen(".contentkit.tmp"));
            cktest::writeBytes(edited.string(), cktest::bytesOf("saved by hand"));
            fs::last_write_time(edited, fs::last_write_time(at("killed/.contentkit.moves")) + std::chrono::seconds(2));
            const cktest::RunResult kept = cktest::runProgram(kProgram, {"import-tiled", other, at("killed"), "Other"}, m_dir);
            EXPECT_EQ(kept.code, 1);
            EXPECT_NE(kept.err.find(edited.string() + " was changed after it stopped; that run's version of it is " +
                                    staged.string()), std::string::npos) << kept.err;
            EXPECT_EQ(cktest::slurp(edited.string()), "saved by hand");
            ASSERT_TRUE(fs::exists(staged));
            fs::remove(edited);  // the run's version is the one wanted
        }
        const cktest::RunResult next = cktest::runProgram(kProgram, {"import-tiled", other, at("killed"), "Other"}, m_dir);
        ASSERT_EQ(next.code, 0) << next.err;
        EXPECT_NE(next.err.find("files into place that an earlier run was stopped before moving\n"), std::string::npos)
            << next.err;
        EXPECT_TRUE(treeBytes(at("killed")) == treeBytes(at("reference")));
    }
    const cktest::RunResult r = cktest::runProgram(kProgram, {"import-tiled", changed, at("game"), "Example"}, m_dir);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(cktest::slurp(at("game/data/map/Example.rmap")), imported.at("data/map/Example.rmap"));
}

// The repository's demo map opens in the editor itself: its command-line
// exporter writes it as JSON with the tilesets embedded, and as TMX again;
// both import to the bytes of the built-in import.
TEST_F(TiledProgram, DemoMapOpensInTheEditorAndItsExportsImportToTheSameBytes) {
    const std::string tiled = quask_test::findProgram("tiled");
    if (tiled.empty()) GTEST_SKIP() << "tiled is not installed";
    cktest::MemoryFiles game = cktest::demoGameDir();
    contentkit::TiledImportResult builtIn;
    contentkit::DemoMapContent content;
    std::string error;
    ASSERT_TRUE(contentkit::importDemoMap(game, &builtIn, &content, &error)) << error;
    const std::string source = kSourceDir + "/demo_content/Lakeside.tmx";
    const struct {
        const char* format;
        const char* file;
    } exports[] = {{"json", "Lakeside.tmj"}, {"tmx", "Lakeside.tmx"}};
    for (const auto& e : exports) {
        quask_test::ChildProcess::Options o;
        o.extraEnv = {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + m_dir, "HOME=" + m_dir};
        o.stderrPath = at("tiled.err");
        quask_test::ChildProcess p({tiled, "--export-map", e.format, "--embed-tilesets", source, at(e.file)}, o);
        ASSERT_EQ(p.waitExit(60000), 0) << cktest::slurp(at("tiled.err"));
        class Disk : public contentkit::TiledFileSource {
        public:
            bool read(const std::string& path, Bytes* out, std::string* why) override {
                *out = cktest::readBytes(path);
                *why = "cannot be read";
                return fs::is_regular_file(path);
            }
        } disk;
        contentkit::TiledImportResult exported;
        contentkit::TiledImportOptions options;
        options.name = contentkit::kFirstMapName;
        ASSERT_TRUE(contentkit::importTiledFile(at(e.file), disk, game, options, &exported, &error))
            << e.format << ": " << error;
        EXPECT_TRUE(exported.files[0].bytes == builtIn.files[0].bytes) << e.format << " imports to other bytes";
    }
}

// Tiled's renderer as the judge of flips: eight cubes, each of four cells
// holding one tile flipped another way, its picture dark in the top-left
// corner only. The corner of each cube that the editor draws dark is the
// one whose texture coordinates the import puts at the picture's top-left
// corner (the client's rows run up the screen from the map's bottom edge).
TEST_F(TiledProgram, FlippedTilesShowOnTheirTopsAsTheEditorDrawsThem) {
    const std::string rasterizer = quask_test::findProgram("tmxrasterizer");
    if (rasterizer.empty()) GTEST_SKIP() << "tmxrasterizer is not installed";
    const std::uint32_t H = contentkit::kTiledFlipHorizontal, V = contentkit::kTiledFlipVertical,
                        D = contentkit::kTiledFlipDiagonal;
    const std::uint32_t flips[8] = {0, H, V, D, D | H, D | V, H | V, D | H | V};
    std::string rows[2];
    for (int y = 0; y < 2; ++y)
        for (int i = 0; i < 16; ++i) rows[y] += (i ? "," : "") + std::to_string(1u | flips[i / 2]);
    const std::string tmx =
        "<?xml version=\"1.0\"?>\n<map version=\"1.8\" orientation=\"orthogonal\" width=\"16\" height=\"2\" "
        "tilewidth=\"16\" tileheight=\"16\" infinite=\"0\">\n <tileset firstgid=\"1\" name=\"c\" tilewidth=\"16\" "
        "tileheight=\"16\" tilecount=\"1\" columns=\"1\">\n  <image source=\"corner.png\" width=\"16\" height=\"16\"/>\n"
        "  <tile id=\"0\"><properties><property name=\"texture\" type=\"int\" value=\"300\"/></properties></tile>\n"
        " </tileset>\n <layer id=\"1\" name=\"ground\" width=\"16\" height=\"2\">\n  <data encoding=\"csv\">" +
        rows[0] + ",\n" + rows[1] + "</data>\n </layer>\n</map>\n";
    const Bytes png = greyPng(16, 16, [](int x, int y) { return x < 8 && y < 4 ? 0 : 255; });
    cktest::writeBytes(at("flips.tmx"), cktest::bytesOf(tmx));
    cktest::writeBytes(at("corner.png"), png);
    const cktest::RunResult raster = cktest::runProgram(
        "/usr/bin/env", {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + m_dir, "HOME=" + m_dir, rasterizer,
                         at("flips.tmx"), at("flips.ppm")}, m_dir);
    ASSERT_EQ(raster.code, 0) << raster.err;
    const std::string ppm = cktest::slurp(at("flips.ppm"));
    ASSERT_EQ(ppm.rfind("P6\n256 32\n255\n", 0), 0u) << ppm.substr(0, 20);
    const std::size_t pixels = ppm.size() - 256 * 32 * 3;
    auto dark = [&](int x, int y) { return static_cast<unsigned char>(ppm[pixels + (y * 256 + x) * 3]) < 128; };

    cktest::MemoryFiles files;
    files.put("flips.tmx", tmx);
    files.files["corner.png"] = png;
    contentkit::TiledImportResult result;
    std::string error;
    ASSERT_TRUE(importSmall(files, "flips.tmx", &result, &error)) << error;
    for (int cube = 0; cube < 8; ++cube) {
        const contentkit::RmapTile& top = result.map.tiles[result.map.cubes[cube].top];
        // Corner k of the top lies at map (k % 2, k / 2), drawn by the
        // editor at (k % 2, 1 - k / 2) of the cube.
        for (int k = 0; k < 4; ++k) {
            const int px = cube * 32 + (k % 2 ? 30 : 1), py = k / 2 ? 1 : 30;
            const bool atPictureCorner = top.u[k] == 0.0f && top.v[k] == 0.0f;
            EXPECT_EQ(atPictureCorner, dark(px, py)) << "flips " << std::hex << flips[cube] << ", corner " << k;
        }
    }
}

}  // namespace
