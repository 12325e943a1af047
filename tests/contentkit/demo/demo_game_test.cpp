// `contentkit build-demo`: the same tree on every run, GDF packing that
// unpacks to the plain files, every file accepted by `info`, and the
// definition files naming exactly what the map, the models and the engine
// ask for.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "client/storage/gdf.h"
#include "tests/contentkit/reference.h"
#include "tests/contentkit/reference_rmdl.h"
#include "tests/contentkit/test_util.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/demo/demo_game.h"
#include "tools/contentkit/demo/demo_models.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/import/tiled_import.h"

namespace {

namespace fs = std::filesystem;
using cktest::Bytes;

const std::string kProgram = QUASK_BIN_DIR "/tools/contentkit/contentkit";

std::uint64_t fnv1a(const Bytes& data) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint8_t b : data) h = (h ^ b) * 1099511628211ull;
    return h;
}

// Every file under `root`: relative path -> size and digest, sorted by path.
std::map<std::string, std::string> digests(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        const Bytes data = cktest::readBytes(entry.path().string());
        out[fs::relative(entry.path(), root).generic_string()] =
            std::to_string(data.size()) + " " + std::to_string(fnv1a(data));
    }
    return out;
}

class DemoGame : public cktest::TempDirTest {
protected:
    // One plain build shared by the checks of a test.
    void build(const std::string& name, bool gdf, contentkit::DemoBuildResult* result) {
        contentkit::DemoBuildOptions options;
        options.gdf = gdf;
        std::string error;
        ASSERT_TRUE(contentkit::buildDemoGame(at(name), options, result, &error)) << error;
    }
    reference::DefContents def(const std::string& dir, const std::string& name) {
        return reference::parseDef(cktest::slurp(at(dir + "/data/def/" + name)));
    }
};

TEST_F(DemoGame, TwoBuildsGiveIdenticalTreesAndListEveryFile) {
    contentkit::DemoBuildResult first, second;
    build("a", false, &first);
    // The second build goes through the program, over an existing tree.
    build("b", false, &second);
    const cktest::RunResult r = cktest::runProgram(kProgram, {"build-demo", at("b")}, m_dir);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto a = digests(at("a")), b = digests(at("b"));
    EXPECT_EQ(a, b);
    EXPECT_EQ(first.files, second.files);
    EXPECT_EQ(std::set<std::string>(first.files.begin(), first.files.end()).size(), first.files.size());
    std::set<std::string> onDisk;
    for (const auto& kv : a) onDisk.insert(kv.first);
    EXPECT_EQ(onDisk, std::set<std::string>(first.files.begin(), first.files.end()));
    std::uint64_t total = 0;
    for (const std::string& f : first.files) total += fs::file_size(at("a/" + f));
    EXPECT_EQ(total, first.bytes);
    EXPECT_NE(r.out.find("build-demo: " + std::to_string(first.files.size()) + " files, " +
                        std::to_string(first.bytes) + " bytes in " + at("b") + "\n"),
              std::string::npos)
        << r.out;
}

// What the README tells authors to add survives a new build-demo into the
// same game directory: load lines of their def files (import-tiled's
// among them), IDs of their own, their water types, the maps and textures
// they imported, and a first map of their own. The demo's IDs get the
// demo's files; build-demo says what it kept.
TEST_F(DemoGame, RebuildKeepsWhatAnAuthorAdded) {
    const std::string game = at("game");
    ASSERT_EQ(cktest::runProgram(kProgram, {"build-demo", game}, m_dir).code, 0);
    const std::string source = QUASK_TESTS_DIR "/../tools/contentkit/demo/";
    for (const auto& [map, name] : {std::pair<std::string, std::string>{"example_map/example.tmx", "Example"},
                                    {"demo_content/Lakeside.tmx", "Lakeside"}}) {
        const cktest::RunResult r = cktest::runProgram(kProgram, {"import-tiled", source + map, game, name}, m_dir);
        ASSERT_EQ(r.code, 0) << r.err;
    }
    auto append = [&](const std::string& file, const std::string& text) {
        cktest::writeBytes(at("game/" + file), cktest::bytesOf(cktest::slurp(at("game/" + file)) + text));
    };
    // With a comment, a last line without its line break and lines after
    // one the game stops at: each stays as it was, though not read.
    append("data/def/Textures.def",
           "// mine\r\n450: data/texture/barrel.dds\r\n300: data/texture/my_grass.dds\r\n451: data/texture/later.dds");
    append("data/def/model.def", "load: data/def/my_models.def\nmy models\n500: data/model/after.rmdl\n");
    append("data/def/Water.ini", "\r\n[Water_2]\r\nFrameCount=4\r\n");
    const auto authored = digests(game);

    const cktest::RunResult r = cktest::runProgram(kProgram, {"build-demo", game}, m_dir);
    ASSERT_EQ(r.code, 0) << r.err;
    std::size_t warnings = 0;
    for (std::size_t at = r.err.find("contentkit: warning: "); at != std::string::npos; at = r.err.find("contentkit: warning: ", at + 1))
        ++warnings;
    EXPECT_EQ(warnings, 3u) << r.err;
    for (const char* warning :
         {"contentkit: warning: data/def/Textures.def: '300: data/texture/my_grass.dds' gave the demo's ID 300 a file of "
          "its own; the demo's 'data/texture/ground_300_grass.dds' replaces it\n",
          " '451: data/texture/later.dds' has no line break, so the game does not read it; kept as it was\n",
          " 'my models' is no 'ID: path', so the game reads no line from it on; kept as it was\n"})
        EXPECT_NE(r.err.find(warning), std::string::npos) << warning << r.err;
    const std::string texturesDef = cktest::slurp(at("game/data/def/Textures.def"));
    const std::string modelDef = cktest::slurp(at("game/data/def/model.def"));
    const std::string kept = "\r\n// Kept from before build-demo wrote this file\r\n";
    EXPECT_EQ(texturesDef.substr(texturesDef.find(kept)),
              kept + "load: data/def/map_Example_textures.def\r\n// mine\r\n450: data/texture/barrel.dds\r\n"
                     "451: data/texture/later.dds");
    EXPECT_EQ(modelDef.substr(modelDef.find(kept)), kept + "load: data/def/map_Example_models.def\r\n"
                                                           "load: data/def/my_models.def\nmy models\n"
                                                           "500: data/model/after.rmdl\n");
    for (const char* line :
         {"build-demo: data/def/Textures.def: kept 'load: data/def/map_Example_textures.def'\n",
          "build-demo: data/def/Textures.def: kept '450: data/texture/barrel.dds'\n",
          "build-demo: data/def/model.def: kept 'load: data/def/map_Example_models.def'\n",
          "build-demo: data/def/model.def: kept 'load: data/def/my_models.def'\n",
          "build-demo: data/def/Water.ini: kept section [Water_2]\n",
          "build-demo: data/map/Lakeside.ini, data/map/Lakeside.rmap: left as they are: a first map that build-demo "
          "did not write (an author's import-tiled; delete both for the demo's map)\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    const reference::DefContents textures = def("game", "Textures.def"), models = def("game", "model.def");
    EXPECT_EQ(textures.entries.at(450), "data/texture/barrel.dds");
    EXPECT_EQ(textures.entries.at(300), "data/texture/ground_300_grass.dds");
    EXPECT_EQ(textures.loads, std::vector<std::string>{"data/def/map_Example_textures.def"});
    EXPECT_EQ(models.loads, (std::vector<std::string>{"data/def/map_Example_models.def", "data/def/my_models.def"}));
    const auto rebuilt = digests(game);
    for (const auto& [file, digest] : authored) {
        const bool authors = file.find("Example") != std::string::npos || file.rfind("data/map/Lakeside.", 0) == 0;
        if (authors) {
            EXPECT_EQ(rebuilt.at(file), digest) << file;
        }
    }
    EXPECT_NE(cktest::slurp(at("game/data/def/Water.ini")).find("[Water_2]\r\nFrameCount=4\r\n"), std::string::npos);
    // What it kept it keeps again, once.
    ASSERT_EQ(cktest::runProgram(kProgram, {"build-demo", game}, m_dir).code, 0);
    EXPECT_EQ(cktest::slurp(at("game/data/def/Textures.def")), texturesDef);
    EXPECT_EQ(cktest::slurp(at("game/data/def/model.def")), modelDef);

    // Without the author's first map the demo's comes back, and a build
    // after that knows it for its own.
    fs::remove(at("game/data/map/Lakeside.ini"));
    fs::remove(at("game/data/map/Lakeside.rmap"));
    ASSERT_EQ(cktest::runProgram(kProgram, {"build-demo", game}, m_dir).code, 0);
    const cktest::RunResult again = cktest::runProgram(kProgram, {"build-demo", game}, m_dir);
    EXPECT_EQ(again.out.find("left as they are"), std::string::npos) << again.out;
    EXPECT_TRUE(fs::exists(at("game/data/map/Lakeside.rmap")));

    // A map imported now gets its load line where the game still reads it:
    // before the author's line it stops at.
    ASSERT_EQ(cktest::runProgram(kProgram, {"import-tiled", source + "example_map/example.tmx", game, "Again"}, m_dir)
                  .code,
              0);
    const std::string withLoad = cktest::slurp(at("game/data/def/model.def"));
    EXPECT_NE(withLoad.find("load: data/def/map_Again_models.def\r\nmy models\n"), std::string::npos) << withLoad;
    EXPECT_EQ(def("game", "model.def").loads.back(), "data/def/map_Again_models.def");
}

// Where an import's load line must go in a def file for the game to read
// it: before the first line the game stops at, however the file ends.
TEST(DefReadStop, IsTheFirstLineTheGameStopsAt) {
    const struct {
        std::string text;
        std::size_t stop;
    } cases[] = {
        {"1: a.dds\r\n// note\r\n\r\n", 21},
        {"1: a.dds\r\noops\r\n2: b.dds\r\n", 10},
        {"\xEF\xBB\xBF; mark\r\n1: a.dds\r\nload: x.def\r", 33},
        {"1: a.dds\r2: b.dds\rjunk\r", 18},
        {std::string("1: a.dds\r\n\0\0", 12), 10},
        {"1: a.dds\r\n2: b.dds", 18},   // ended by the import, then read
        {"1: a.dds\r\nmy models", 10},  // not read even once ended
        {"\xEF\xBB\xBF" "1: a\n\xEF\xBB\xBF; x: y\nz\n", 18},
    };
    for (const auto& c : cases)
        EXPECT_EQ(contentkit::defReadStop(cktest::bytesOf(c.text)), c.stop) << c.text;
}

TEST_F(DemoGame, MalformedCommandLineExitsTwoAndWritesNothing) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"build-demo"}, {"build-demo", at("x"), "--zip"}, {"build-demo", at("x"), at("y")}}) {
        const cktest::RunResult r = cktest::runProgram(kProgram, args, m_dir);
        EXPECT_EQ(r.code, 2) << args.size();
        EXPECT_NE(r.err.find("contentkit build-demo DIR [--gdf]"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(at("x")));
    EXPECT_FALSE(fs::exists(at("y")));
}

TEST_F(DemoGame, GdfBuildUnpacksToThePlainFiles) {
    contentkit::DemoBuildResult plain, packed;
    build("plain", false, &plain);
    const cktest::RunResult r = cktest::runProgram(kProgram, {"build-demo", at("gdf"), "--gdf"}, m_dir);
    ASSERT_EQ(r.code, 0) << r.err;
    build("gdf2", true, &packed);
    EXPECT_EQ(digests(at("gdf")), digests(at("gdf2")));
    ASSERT_EQ(plain.files, packed.files);
    int packedCount = 0;
    for (const std::string& f : plain.files) {
        const Bytes original = cktest::readBytes(at("plain/" + f));
        const Bytes stored = cktest::readBytes(at("gdf/" + f));
        if (!contentkit::isLoaderAsset(f)) {
            EXPECT_TRUE(stored == original) << f << " must stay plain";
            continue;
        }
        ++packedCount;
        ASSERT_TRUE(velmar::gdfHasMagic(stored.data(), stored.size())) << f;
        Bytes content;
        ASSERT_EQ(velmar::gdfDecode(stored.data(), stored.size(), &content), velmar::GdfStatus::Ok) << f;
        EXPECT_TRUE(content == original) << f;
    }
    // Textures, models, both fonts and the map at least.
    EXPECT_GE(packedCount, 8 + 8 + 4 + 2 + 1);
    EXPECT_FALSE(contentkit::isLoaderAsset("data/def/Textures.def"));
    EXPECT_FALSE(contentkit::isLoaderAsset("data/cursor/cam.tga"));
    EXPECT_FALSE(contentkit::isLoaderAsset("data/quillon.dat"));
    EXPECT_TRUE(contentkit::isLoaderAsset("data/fonts/default_10.dat"));
}

TEST_F(DemoGame, EveryFilePassesInfo) {
    contentkit::DemoBuildResult result;
    build("g", true, &result);
    std::set<std::string> formats;
    for (const std::string& f : result.files) {
        if (fs::path(f).filename() == ".keep") {
            EXPECT_EQ(fs::file_size(at("g/" + f)), 0u) << f;
            continue;
        }
        const Bytes data = cktest::readBytes(at("g/" + f));
        contentkit::InfoReport report;
        EXPECT_TRUE(contentkit::inspectFile(f, data.data(), data.size(), &report)) << f << ": " << report.error;
        EXPECT_TRUE(report.warnings.empty()) << f << ": " << report.warnings.front();
        formats.insert(report.format);
    }
    EXPECT_EQ(formats, (std::set<std::string>{"BMP", "DDS", "DEF", "INI", "RFNT", "RMAP", "RMDL", "TGA"}));
}

TEST_F(DemoGame, DefinitionsNameEveryTextureAndModelInUse) {
    contentkit::DemoBuildResult result;
    build("g", false, &result);
    const reference::DefContents textures = def("g", "Textures.def");
    const reference::DefContents models = def("g", "model.def");
    EXPECT_TRUE(textures.loads.empty());
    std::set<std::int32_t> needed = {contentkit::kTexDefault, contentkit::kTexCellCursor};
    for (int i = 0; i < contentkit::kWaterFrames; ++i) needed.insert(contentkit::kTexWaterFirst + i);
    needed.insert(result.map.textureIds.begin(), result.map.textureIds.end());
    ASSERT_FALSE(result.map.modelIds.empty());
    int animated = 0;
    for (const auto& [id, path] : models.entries) {
        reference::RmdlFields model;
        std::string why;
        ASSERT_TRUE(reference::readRmdl(cktest::readBytes(at("g/" + path)), &model, &why)) << path << ": " << why;
        for (const auto& mesh : model.meshes) {
            for (const auto& s : mesh.surfaces) needed.insert(s.texture);
            animated += !mesh.keys.empty();
        }
    }
    EXPECT_GE(animated, 1);
    for (std::int32_t id : needed) {
        ASSERT_EQ(textures.entries.count(id), 1u) << "texture " << id;
        EXPECT_TRUE(fs::is_regular_file(at("g/" + textures.entries.at(id)))) << textures.entries.at(id);
    }
    for (std::int32_t id : result.map.modelIds) EXPECT_EQ(models.entries.count(id), 1u) << "model " << id;
    for (std::int32_t id = 1; id <= 4; ++id) EXPECT_EQ(models.entries.count(id), 1u) << "model " << id;

    const std::string water = cktest::slurp(at("g/data/def/Water.ini"));
    for (int type : result.map.waterTypes) {
        const std::string section = "[Water_" + std::to_string(type) +
                                    "]\r\nFrameCount=8\r\nFrameTime=120\r\nFirstVKTexID=100\r\n";
        EXPECT_NE(water.find(section), std::string::npos) << water;
    }
}

TEST_F(DemoGame, CursorsGuiFoldersAndSplashAreInPlace) {
    contentkit::DemoBuildResult result;
    build("g", false, &result);
    const std::pair<const char*, contentkit::CursorKind> cursors[] = {
        {"standard", contentkit::CursorKind::Standard},
        {"button", contentkit::CursorKind::Button},
        {"cam", contentkit::CursorKind::Camera}};
    for (const auto& [name, kind] : cursors) {
        contentkit::Image image;
        ASSERT_TRUE(reference::decodeTga(cktest::readBytes(at(std::string("g/data/cursor/") + name + ".tga")), &image))
            << name;
        EXPECT_TRUE(image.rgba == contentkit::makeCursor(kind, 32).rgba) << name;
    }
    for (const char* group : {"schemes", "imagesets", "fonts", "layouts", "looknfeels"}) {
        EXPECT_TRUE(fs::is_directory(at(std::string("g/gui/default/") + group))) << group;
    }
    contentkit::Image splash;
    ASSERT_TRUE(reference::decodeBmp24(cktest::readBytes(at("g/gui/QuaskLoadingSplash.bmp")), &splash));
    EXPECT_EQ(splash.width, 400);
    EXPECT_EQ(splash.height, 240);
}

TEST(DemoModels, WindmillRotorTurnsUnderABaseNode) {
    Bytes bytes;
    std::string error;
    ASSERT_TRUE(contentkit::writeRmdl(contentkit::makeDemoModel(contentkit::DemoModelKind::Windmill), &bytes, &error))
        << error;
    reference::RmdlFields model;
    ASSERT_TRUE(reference::readRmdl(bytes, &model, &error)) << error;
    ASSERT_EQ(model.meshes.size(), 3u);
    EXPECT_EQ(model.meshes[model.root].tag, contentkit::kRmdlBaseNodeTag);
    EXPECT_FALSE(model.meshes[model.root].children.empty());
    const auto& keys = model.meshes[2].keys;
    ASSERT_EQ(keys.size(), 5u);
    EXPECT_EQ(keys.back().time, contentkit::kWindmillTurnMs);
    // The last pose is the first one negated: a full turn, not a standstill.
    for (int c = 0; c < 4; ++c) EXPECT_EQ(keys.back().rotation[c], -keys.front().rotation[c]);
    EXPECT_EQ(contentkit::demoModelKindFor(3), contentkit::DemoModelKind::Windmill);
    EXPECT_EQ(contentkit::demoModelKindFor(5), contentkit::DemoModelKind::Tree);
}

}  // namespace
