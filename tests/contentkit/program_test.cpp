// The contentkit program end to end on real files, and the procedural
// generators the demo content is built from.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <unistd.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include "tests/contentkit/reference.h"
#include "tests/contentkit/test_util.h"
#include "tests/support/child_process.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/dds_writer.h"

namespace {

using contentkit::Image;
using cktest::Bytes;

const std::string kProgram = QUASK_BIN_DIR "/tools/contentkit/contentkit";
const std::string busyText = ": another contentkit is writing to this game directory, or patchpub is publishing it; "
                             "try again once it has finished\n";

class ContentkitProgram : public cktest::TempDirTest {
protected:
    cktest::RunResult run(const std::vector<std::string>& args) { return cktest::runProgram(kProgram, args, m_dir); }
};

TEST_F(ContentkitProgram, PngBecomesTheSameDdsAsTheLibraryWrites) {
    const Image source = contentkit::makeRock(24, 40, 2);
    ASSERT_TRUE(stbi_write_png(at("rock.png").c_str(), 24, 40, 4, source.rgba.data(), 24 * 4));
    cktest::RunResult r = run({"dds", at("rock.png"), at("rock.dds"), "--format", "DXT5"});
    ASSERT_EQ(r.code, 0) << r.err;
    Bytes expected;
    std::string error;
    contentkit::DdsOptions options;
    options.format = contentkit::DxtFormat::Dxt5;
    ASSERT_TRUE(contentkit::writeDds(source, options, &expected, &error));
    EXPECT_TRUE(cktest::readBytes(at("rock.dds")) == expected);

    r = run({"info", at("rock.dds")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(at("rock.dds") + ": DDS\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  fourCC: DXT5\n  data bytes: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  levels read: 6\n"), std::string::npos) << r.out;
}

TEST_F(ContentkitProgram, SameCommandGivesSameBytes) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
        {".dds", {"dds", "--pattern", "water", "--size", "64x32", "--frame", "3", "--seed", "11", "--format", "dxt3"}},
        {".tga", {"tga", "--pattern", "cursor-cam", "--size", "32x32", "--rle", "--top-left"}},
        {".bmp", {"bmp", "--pattern", "splash", "--size", "90x40"}}};
    for (const auto& [ext, command] : commands) {
        for (const char* name : {"a", "b"}) {
            std::vector<std::string> args = command;
            args.push_back(at(name + ext));
            const cktest::RunResult r = run(args);
            ASSERT_EQ(r.code, 0) << ext << ": " << r.err;
        }
        const Bytes a = cktest::readBytes(at("a" + ext));
        EXPECT_FALSE(a.empty());
        EXPECT_TRUE(a == cktest::readBytes(at("b" + ext))) << ext;
        const cktest::RunResult info = run({"info", at("a" + ext)});
        EXPECT_EQ(info.code, 0) << info.err;
    }
}

TEST_F(ContentkitProgram, TgaInputConvertsWithoutLoss) {
    ASSERT_EQ(run({"tga", "--pattern", "cursor-button", "--size", "32x32", "--rle", at("in.tga")}).code, 0);
    ASSERT_EQ(run({"tga", at("in.tga"), at("out.tga"), "--depth", "32", "--top-left"}).code, 0);
    Image in, out;
    ASSERT_TRUE(reference::decodeTga(cktest::readBytes(at("in.tga")), &in));
    ASSERT_TRUE(reference::decodeTga(cktest::readBytes(at("out.tga")), &out));
    EXPECT_TRUE(in.rgba == out.rgba);
    EXPECT_TRUE(in.rgba == contentkit::makeCursor(contentkit::CursorKind::Button, 32).rgba);
}

TEST_F(ContentkitProgram, MalformedFileExitsOneWithAClearMessage) {
    ASSERT_EQ(run({"dds", "--pattern", "grass", "--size", "16x16", at("g.dds"), "--format", "dxt1"}).code, 0);
    Bytes cut = cktest::readBytes(at("g.dds"));
    cut.resize(100);
    cktest::writeBytes(at("cut.dds"), cut);
    cktest::writeBytes(at("bad.def"), cktest::bytesOf("1: a.dds\n2:b.dds\n"));
    const cktest::RunResult r = run({"info", at("cut.dds"), at("g.dds"), at("bad.def")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "contentkit: " + at("cut.dds") +
                         ": malformed DDS: file is 100 bytes, shorter than the 128-byte DDS header\n"
                         "contentkit: " + at("bad.def") +
                         ": malformed DEF: line 2: write 'ID: path'; the character after ':' is dropped\n");
    EXPECT_NE(r.out.find(at("g.dds") + ": DDS\n"), std::string::npos);
}

// Each row: a command, its exit status and how its message starts (2: the
// usage follows); nothing is written.
TEST_F(ContentkitProgram, BadCommandLinesAndMissingFiles) {
    cktest::writeBytes(at("junk.png"), cktest::bytesOf("not a picture"));
    std::filesystem::create_directories(at("folder"));
    // A game directory another contentkit is writing to.
    std::filesystem::create_directories(at("busy"));
    const int busy = ::open(at("busy").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(busy, 0);
    ASSERT_EQ(::flock(busy, LOCK_EX | LOCK_NB), 0);
    const std::string usage = "Usage: contentkit info FILE...";
    const std::string map = QUASK_TESTS_DIR "/../tools/contentkit/demo/example_map/example.tmx";
    // Sources that an output would replace: a picture behind a link, a
    // model's buffer, an OBJ's material library.
    const Image rock = contentkit::makeRock(8, 8, 1);
    ASSERT_TRUE(stbi_write_png(at("art.png").c_str(), 8, 8, 4, rock.rgba.data(), 8 * 4));
    std::filesystem::create_symlink("art.png", at("art-link.png"));
    const float triangle[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    cktest::writeBytes(at("tri.bin"), Bytes(reinterpret_cast<const std::uint8_t*>(triangle),
                                            reinterpret_cast<const std::uint8_t*>(triangle) + sizeof triangle));
    cktest::writeBytes(at("tri.gltf"), cktest::bytesOf(
        R"({"asset": {"version": "2.0"}, "scenes": [{"nodes": [0]}], "nodes": [{"mesh": 0}],
            "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
            "buffers": [{"byteLength": 36, "uri": "tri.bin"}], "bufferViews": [{"buffer": 0, "byteLength": 36}],
            "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3"}]})"));
    cktest::writeBytes(at("tri.obj"), cktest::bytesOf("mtllib tri.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"));
    cktest::writeBytes(at("tri.mtl"), cktest::bytesOf("newmtl stone\n"));
    const std::vector<std::pair<std::string, Bytes>> sources = {
        {"art.png", cktest::readBytes(at("art.png"))}, {"tri.bin", cktest::readBytes(at("tri.bin"))},
        {"tri.mtl", cktest::readBytes(at("tri.mtl"))}};
    const std::string readSource = ", one of its sources; give another output file\n";
    const struct {
        std::vector<std::string> args;
        int code;
        std::string err;
    } rows[] = {
        {{}, 2, usage},
        {{"dds", "--pattern", "rock", at("x.dds")}, 2, "contentkit: dds: give the compression with --format dxt1, dxt3 or dxt5\n" + usage},
        {{"dds", "--pattern", "rock", at("x.dds"), "--format", "dxt9"}, 2, "contentkit: dds: --format 'dxt9' is not dxt1, dxt3 or dxt5\n" + usage},
        {{"tga", "--pattern", "rock", at("x.tga"), "--depth", "16"}, 2, "contentkit: tga: --depth '16' is not 24 or 32\n" + usage},
        {{"bmp", "--pattern", "rock", "--size", "0x4", at("x.bmp")}, 2,
         "contentkit: bmp: --size '0x4' is not WIDTHxHEIGHT with sides from 1 to 16384\n" + usage},
        {{"bmp", "--pattern", "rock", "--size", "99", at("x.bmp")}, 2,
         "contentkit: bmp: --size '99' is not WIDTHxHEIGHT with sides from 1 to 16384\n" + usage},
        {{"font", "--size", "99", at("x.dat")}, 2, "contentkit: font: --size '99' is not a size from 4 to 64\n" + usage},
        {{"font", "--size", "10"}, 2, "contentkit: font: OUT.dat is missing\n" + usage},
        {{"font", at("x.dat")}, 2, "contentkit: font: --size is missing\n" + usage},
        {{"font", "--size", "10", at("x.dat"), at("y.dat")}, 2,
         "contentkit: font: takes one OUT.dat, not also '" + at("y.dat") + "'\n" + usage},
        {{"font", "--size", "10", at("x.dat"), "--face"}, 2, "contentkit: font: --face takes a name or a font file\n" + usage},
        {{"import-tiled", map, at("folder")}, 2, "contentkit: import-tiled: takes MAP, GAME_DIR and NAME\n" + usage},
        {{"build-demo"}, 2, "contentkit: build-demo: DIR is missing\n" + usage},
        {{"build-demo", at("folder"), at("busy")}, 2,
         "contentkit: build-demo: takes one DIR, not also '" + at("busy") + "'\n" + usage},
        {{"info"}, 2, "contentkit: info: FILE is missing\n" + usage},
        {{"squash", at("x.dat")}, 2, "contentkit: squash: unknown command\n" + usage},
        {{"bmp", "--pattern", "rock", at("x.bmp"), "--bogus"}, 2, usage},
        {{"model", at("x.obj")}, 2, "contentkit: model: give one model file (Wavefront OBJ, or glTF 2.0 .gltf or .glb) "
                                    "and one RMDL file\n" + usage},
        {{"import-tiled", map, at("folder"), "M", "--lightmap-size", "99"}, 2,
         "contentkit: import-tiled: --lightmap-size '99' is not a size from 4 to 32\n" + usage},
        {{"bmp", "--pattern", "lava", at("x.bmp")}, 2, "contentkit: lava: unknown pattern 'lava'\n" + usage},
        {{"dds", at("missing.png"), at("x.dds"), "--format", "dxt1"}, 1, "contentkit: " + at("missing.png") + ": cannot open file"},
        {{"dds", at("junk.png"), at("x.dds"), "--format", "dxt1"}, 1, "contentkit: " + at("junk.png") + ": cannot decode picture"},
        {{"dds", at("folder"), at("x.dds"), "--format", "dxt1"}, 1, "contentkit: " + at("folder") + ": a directory, not a file\n"},
        {{"info", at("folder")}, 1, "contentkit: " + at("folder") + ": a directory, not a file\n"},
        {{"dds", "--pattern", "rock", at("folder"), "--format", "dxt1"}, 1,
         "contentkit: " + at("folder") + ": cannot write file: Is a directory\n"},
        {{"import-tiled", map, at("no-game"), "M"}, 1, "contentkit: " + at("no-game") +
         ": no such game directory; make it first (build-demo DIR makes one with the demo's files)\n"},
        {{"import-tiled", map, at("junk.png"), "M"}, 1, "contentkit: " + at("junk.png") +
         ": not a directory; give the game directory to import into\n"},
        {{"import-tiled", map, at("busy"), "M"}, 1, "contentkit: " + at("busy") + busyText},
        {{"tga", at("art.png"), at("art-link.png")}, 1,
         "contentkit: " + at("art-link.png") + ": the output names the same file as " + at("art.png") + readSource},
        {{"model", at("tri.gltf"), at("tri.bin"), "--texture", "1"}, 1,
         "contentkit: " + at("tri.bin") + ": the output names the same file as " + at("tri.bin") + readSource},
        {{"model", at("tri.obj"), at("tri.mtl"), "--texture", "1"}, 1,
         "contentkit: " + at("tri.mtl") + ": the output names the same file as " + at("tri.mtl") + readSource},
        // Written, with a warning.
        {{"dds", "--pattern", "rock", "--size", "48x32", at("wide.dds"), "--format", "dxt1"}, 0,
         "contentkit: warning: rock: 48 x 32 pixels: a side that is not a power of two (4, 8, ..., 256, ...) may "
         "show blank on OpenGL 1.2 cards\n"},
        {{"dds", "--pattern", "cursor-standard", "--size", "32x32", at("clear.dds"), "--format", "dxt1"}, 0,
         "contentkit: warning: cursor-standard: 754 of 1024 pixels are not opaque; DXT1 keeps no transparency "
         "(--format dxt5 does)\n"},
    };
    for (const auto& row : rows) {
        const cktest::RunResult r = run(row.args);
        const std::string line = row.args.empty() ? "" : row.args[0] + " " + row.args.back();
        EXPECT_EQ(r.code, row.code) << line;
        EXPECT_EQ(r.err.rfind(row.err, 0), 0u) << line << ": " << r.err;
    }
    ::close(busy);
    EXPECT_TRUE(std::filesystem::is_empty(at("busy")));
    EXPECT_FALSE(std::filesystem::exists(at("x.dds")));
    EXPECT_FALSE(std::filesystem::exists(at("no-game")));
    EXPECT_TRUE(std::filesystem::exists(at("wide.dds")));
    for (const auto& [name, bytes] : sources) EXPECT_TRUE(cktest::readBytes(at(name)) == bytes) << name;
}

// A file made again replaces only the file its name stands for: a link at
// the name is followed and stays, the file keeps its mode, and a link
// planted at the temporary name beside it is removed, not written through.
// build-demo makes its game directory and then holds it, so an import
// begun while it writes is refused rather than mixed with it.
TEST_F(ContentkitProgram, BuildDemoHoldsTheDirectoryItMakes) {
    const std::string game = at("new/game");
    quask_test::ChildProcess first({kProgram, "build-demo", game}, quask_test::ChildProcess::Options{});
    ASSERT_TRUE(first.started());
    // Stopped once it writes into the directory.
    bool writing = false;
    for (int i = 0; i < 40000 && !writing; ++i) {
        std::error_code ec;
        writing = std::filesystem::is_directory(game, ec) && !std::filesystem::is_empty(game, ec);
        if (!writing) ::usleep(250);
    }
    ASSERT_TRUE(writing);
    ASSERT_EQ(::kill(first.pid(), SIGSTOP), 0);
    const cktest::RunResult second = run({"build-demo", game});
    ASSERT_EQ(::kill(first.pid(), SIGCONT), 0);
    EXPECT_EQ(second.code, 1);
    EXPECT_EQ(second.err, "contentkit: " + game + busyText);
    EXPECT_EQ(first.waitExit(120000), 0);
}

TEST_F(ContentkitProgram, OutputReplacesTheFileItsNameStandsForAndNothingElse) {
    namespace fs = std::filesystem;
    cktest::writeBytes(at("precious.txt"), cktest::bytesOf("kept"));
    fs::create_directories(at("art"));
    cktest::writeBytes(at("art/rock.dds"), cktest::bytesOf("old"));
    fs::permissions(at("art/rock.dds"), fs::perms(0640));
    fs::create_symlink(at("art/rock.dds"), at("rock-link.dds"));
    fs::create_symlink(at("precious.txt"), at("art/.rock.dds.contentkit.tmp"));
    const cktest::RunResult r = run({"dds", "--pattern", "rock", at("rock-link.dds"), "--format", "dxt1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(at("rock-link.dds")));
    const Bytes made = cktest::readBytes(at("art/rock.dds"));
    EXPECT_EQ(std::string(made.begin(), made.begin() + 4), "DDS ");
    EXPECT_EQ(fs::status(at("art/rock.dds")).permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_TRUE(cktest::readBytes(at("precious.txt")) == cktest::bytesOf("kept"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(at("art/.rock.dds.contentkit.tmp"))));
}

// --- Procedural pictures ---

double meanColumnStep(const Image& image, int a, int b) {
    double sum = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int c = 0; c < 3; ++c) sum += std::abs(int(image.at(a, y)[c]) - int(image.at(b, y)[c]));
    }
    return sum / (image.height * 3);
}

TEST(Procedural, SameSeedSamePixelsOtherSeedDiffers) {
    EXPECT_TRUE(contentkit::makeGrass(32, 32, 5).rgba == contentkit::makeGrass(32, 32, 5).rgba);
    EXPECT_FALSE(contentkit::makeGrass(32, 32, 5).rgba == contentkit::makeGrass(32, 32, 6).rgba);
    EXPECT_FALSE(contentkit::makeRock(32, 32, 5).rgba == contentkit::makeRock(32, 32, 6).rgba);
}

TEST(Procedural, TexturesTileAcrossTheirEdges) {
    for (const Image& image : {contentkit::makeGrass(64, 64, 1), contentkit::makeRock(64, 64, 1),
                               contentkit::makeWaterFrame(64, 64, 1, 2, 8)}) {
        // The wrap from the last column to the first is no larger a step
        // than between neighbours inside the picture.
        double inner = 0;
        for (int x = 0; x + 1 < 64; ++x) inner = std::max(inner, meanColumnStep(image, x, x + 1));
        EXPECT_LE(meanColumnStep(image, 63, 0), inner);
    }
}

TEST(Procedural, WaterFramesLoopBackToTheFirst) {
    const Image first = contentkit::makeWaterFrame(32, 32, 7, 0, 8);
    EXPECT_TRUE(contentkit::makeWaterFrame(32, 32, 7, 8, 8).rgba == first.rgba);
    EXPECT_FALSE(contentkit::makeWaterFrame(32, 32, 7, 1, 8).rgba == first.rgba);
}

TEST(Procedural, CursorsHaveTransparentBackgroundAndOpaqueHotSpot) {
    for (auto kind : {contentkit::CursorKind::Standard, contentkit::CursorKind::Button}) {
        const Image arrow = contentkit::makeCursor(kind, 32);
        EXPECT_EQ(arrow.at(0, 0)[3], 255);   // the tip is the hot spot
        EXPECT_EQ(arrow.at(31, 0)[3], 0);
        EXPECT_EQ(arrow.at(0, 31)[3], 0);
    }
    const Image cam = contentkit::makeCursor(contentkit::CursorKind::Camera, 32);
    EXPECT_EQ(cam.at(16, 16)[3], 255);
    EXPECT_EQ(cam.at(0, 0)[3], 0);
    Image out;
    std::string error;
    contentkit::PatternRequest request;
    request.name = "cursor-cam";
    request.width = 32;
    request.height = 16;
    EXPECT_FALSE(contentkit::makePattern(request, &out, &error));
    EXPECT_EQ(error, "cursor patterns are square");
}

}  // namespace
