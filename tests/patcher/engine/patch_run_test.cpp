// Patch runs against a real server on 127.0.0.1: several revisions with
// directories, deletes, a compressed file and a self-patch; maintenance;
// reuse of staging files; and failures that must leave the game alone.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "patcher/engine/patch_run.h"
#include "patcher/protocol/digests.h"
#include "tests/patcher/game_patch_fixture.h"

using namespace quillon;
namespace fs = std::filesystem;

namespace {

using quillon_test::sumLine;

class PatchRunTest : public quillon_test::GamePatchTest {
protected:
    void SetUp() override {
        GamePatchTest::SetUp();
        serve("notice.txt", "Welcome!\nHave fun.");
    }
    std::optional<PatchFailure> run() { return runStep(runPatch); }
};

}  // namespace

TEST_F(PatchRunTest, SeveralRevisionsBringTheGameUpToDate) {
    const std::string mapV1 = "map one", mapV2 = "map two, longer", launcher = "#!/bin/sh\necho new\n";
    std::string big(5000, 'x');
    for (std::size_t i = 0; i < big.size(); i += 7) big[i] = 'y';
    const std::string packedText = quillon_test::packedFile(big, 'f');

    serve("lastrev.txt", "REV:2\n");
    serve("meta/1.txt",
          "REV:1\nDATE:2026-12-01 10:00:00\nDATA:dir:A:/data/maps\nDATA:file:A:/data/maps/one.map\n"
          "DATA:file:M:/quillon\nDATA:file:A:/data/pack.gd_\nMSG:9:first one");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine(mapV1, "/data/maps/one.map") +
                                sumLine(launcher, "/quillon") + sumLine(packedText, "/data/pack.gd_"));
    serve("meta/2.txt", "REV:2\nDATE:2026-12-02 11:00:00\nDATA:file:M:/data/maps/one.map\n"
                        "DATA:file:D:/old.txt\nMSG:10:second one");
    serve("meta/sum_2.txt", "REV:2\n" + sumLine(mapV2, "/data/maps/one.map"));
    serve("data/data/maps/one.map", mapV2);
    serve("data/quillon", launcher);
    serve("data/data/pack.gd_", packedText);
    putGame("quillon", "old launcher");
    ::chmod(at("game/quillon").c_str(), 0755);
    putGame("old.txt", "to be removed");
    putGame("unlisted.txt", "stays");

    ASSERT_FALSE(run());
    EXPECT_EQ(game("data/maps/one.map"), mapV2);
    EXPECT_EQ(game("quillon"), launcher);
    EXPECT_EQ(game("quillon_old"), "old launcher");  // the running program's backup
    struct stat st;
    ASSERT_EQ(::stat(at("game/quillon").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(game("data/pack.gdf"), big);
    EXPECT_FALSE(fs::exists(at("game/data/pack.gd_")));
    EXPECT_FALSE(fs::exists(at("game/old.txt")));
    EXPECT_EQ(game("unlisted.txt"), "stays");
    EXPECT_FALSE(fs::exists(at("game/data/maps/one.map.new")));
    EXPECT_EQ(storedRevision(), 2u);

    // One-map file downloaded once: the revision 1 version was never fetched.
    const std::string log = requests();
    EXPECT_EQ(log.find("GET /data/data/maps/one.map\n"), log.rfind("GET /data/data/maps/one.map\n"));
    EXPECT_EQ(m_ui.texts(CmdShowStatus).back(), "Your Game is Ready 2 Play!");
    EXPECT_EQ(m_ui.texts(CmdShowNotice).back(),
              "Welcome!\r\nHave fun.\r\n\r\nUpdate History:\r\n===========\r\n\r\n"
              "Update from 2026-12-02 11:00:00:\r\nsecond one\r\n\r\n"
              "Update from 2026-12-01 10:00:00:\r\nfirst one\r\n\r\n");
    EXPECT_TRUE(m_state.startEnabled());
    EXPECT_TRUE(m_state.fullCheckEnabled());
    EXPECT_FALSE(m_state.updating());

    // A second run finds the game current and changes nothing.
    ASSERT_FALSE(run());
    EXPECT_EQ(m_ui.texts(CmdShowStatus).back(), "Your Game is Ready 2 Play!");
}

TEST_F(PatchRunTest, CompressedFileWithAUtf8NameUnpacksUnderItsName) {
    // "café" packs to "caf\xC3_" and keeps 0xA9, the last byte of the é.
    const std::string text(3000, 'e');
    const std::string packedText = quillon_test::packedFile(text, '\xA9');
    serve("lastrev.txt", "REV:1\n");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/data/caf\xC3_\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine(packedText, "/data/caf\xC3_"));
    serve("data/data/caf\xC3_", packedText);
    const auto failure = run();
    ASSERT_FALSE(failure) << failure->caption << ": " << failure->text << "\n" << requests();
    EXPECT_EQ(game("data/caf\xC3\xA9"), text);
    EXPECT_FALSE(fs::exists(at("game/data/caf\xC3_")));
    EXPECT_EQ(storedRevision(), 1u);
}

TEST_F(PatchRunTest, MaintenanceShowsTheNoticeAndKeepsBothButtonsOff) {
    serve("allow.txt", "allow\n");  // a line feed closes patching
    ASSERT_FALSE(run());
    EXPECT_EQ(m_ui.texts(CmdShowStatus).back(), "Server is under Maintenance");
    EXPECT_EQ(m_ui.texts(CmdShowNotice).back(), "Back soon.");
    EXPECT_FALSE(m_state.startEnabled());
    EXPECT_EQ(requests().find("lastrev"), std::string::npos);
}

TEST_F(PatchRunTest, VerifiedStagingFileIsReusedAndABadOneDownloadedAgain) {
    const std::string a = "file a", b = "file b";
    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/a.txt\nDATA:file:A:/b.txt\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine(a, "/a.txt") + sumLine(b, "/b.txt"));
    serve("data/a.txt", a);
    serve("data/b.txt", b);
    putGame("a.txt.new", a);         // left by an interrupted run, intact
    putGame("b.txt.new", "partial");  // cut short
    ASSERT_FALSE(run());
    EXPECT_EQ(game("a.txt"), a);
    EXPECT_EQ(game("b.txt"), b);
    EXPECT_EQ(requests().find("GET /data/a.txt"), std::string::npos);
    EXPECT_NE(requests().find("GET /data/b.txt"), std::string::npos);
}

TEST_F(PatchRunTest, WrongDigestStopsBeforeAnyGameFileChanges) {
    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/a.txt\nDATA:file:D:/keep.txt\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine("something else", "/a.txt"));
    serve("data/a.txt", "the real content");
    putGame("a.txt", "old a");
    putGame("keep.txt", "kept");
    quillon_test::expectBox(run(),
                            "File Integry Check Failed - Please try again\nIf this problem persists, please contact the Support! (sum)");
    EXPECT_EQ(game("a.txt"), "old a");
    EXPECT_EQ(game("keep.txt"), "kept");
    EXPECT_EQ(storedRevision(), 0u);
}

TEST_F(PatchRunTest, HostileNameIsRefusedAndNothingIsWrittenOutside) {
    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/../escaped.txt\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine("x", "/../escaped.txt"));
    serve("data/../escaped.txt", "x");
    quillon_test::expectBox(run(), "", "Meta File Error");
    EXPECT_FALSE(fs::exists(at("escaped.txt")));
    EXPECT_FALSE(fs::exists(at("escaped.txt.new")));
}

TEST_F(PatchRunTest, ServerFailuresEndTheRunWithTheirBoxes) {
    // 404 for lastrev: an error page is not a revision.
    quillon_test::expectBox(run(), "", "Update Server Error");

    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/gone.txt\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine("x", "/gone.txt"));
    quillon_test::expectBox(run(),
                            "Failed to Download '/gone.txt' from PatchServer\nIf this problem presits, please contact the Support!",
                            "Data File download Error");

    m_server.reset();
    quillon_test::expectBox(run(), "", "Update Server down");
}

TEST_F(PatchRunTest, ContentNamedLikeAStagingFileIsRefusedBeforeAnythingChanges) {
    // "/data/a.new" would be the staging file of "/data/a": one download
    // would be renamed over the other and both runs would say all is well.
    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/data/a\nDATA:file:A:/data/a.new\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine("a", "/data/a") + sumLine("a.new", "/data/a.new"));
    serve("data/data/a", "a");
    serve("data/data/a.new", "a.new");
    putGame("data/a", "old a");
    quillon_test::expectBox(run(),
                            "Metafile for rev. 1 invalid - '/data/a.new' ends in .new, the name the launcher gives its downloads - please contact the Support!",
                            "Meta File Error");
    EXPECT_EQ(game("data/a"), "old a");
    EXPECT_EQ(requests().find("GET /data/"), std::string::npos);
    EXPECT_EQ(storedRevision(), 0u);
}

TEST_F(PatchRunTest, PlantedLinksAreReplacedOrRefusedAndNothingOutsideChanges) {
    // Links on a staging name and on the record's temporary, a directory
    // that leads out of the game, and one that leads to another place in it.
    fs::create_directories(at("outside/dir"));
    std::ofstream(at("outside/victim")) << "not the launcher's";
    std::ofstream(at("outside/record-victim")) << "not the record";
    fs::create_directories(at("game/data"));
    fs::create_directories(at("game/real/shared"));
    fs::create_symlink(at("outside/victim"), at("game/a.txt.new"));
    fs::create_symlink(at("outside/record-victim"), at("game/data/quillon.dat.tmp"));
    fs::create_symlink(at("outside/dir"), at("game/maps"));
    fs::create_symlink("real/shared", at("game/shared"));
    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/a.txt\nDATA:file:A:/shared/s.txt\nDATA:file:A:/maps/m.txt\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine("a", "/a.txt") + sumLine("s", "/shared/s.txt") +
                                sumLine("m", "/maps/m.txt"));
    serve("data/a.txt", "a");
    serve("data/shared/s.txt", "s");
    serve("data/maps/m.txt", "m");
    auto outside = [&] {
        std::string seen;
        for (const auto& e : fs::recursive_directory_iterator(at("outside")))
            seen += e.path().string() + "=" + (e.is_regular_file() ? quask_test::readFile(e.path()) : "") + "\n";
        return seen;
    };
    const std::string before = outside();

    // The record's first write went through a link, too.
    quillon_test::expectBox(run(),
                            "Please check your permissions to the Game Directory (You must have full access to the gamedir!)[1]");
    EXPECT_EQ(outside(), before);

    fs::remove(at("game/maps"));
    ASSERT_FALSE(run());
    EXPECT_EQ(outside(), before);
    EXPECT_EQ(game("a.txt"), "a");
    EXPECT_EQ(game("real/shared/s.txt"), "s");  // through the link that stays inside
    EXPECT_EQ(game("maps/m.txt"), "m");
    EXPECT_FALSE(fs::is_symlink(at("game/data/quillon.dat")));
    EXPECT_EQ(storedRevision(), 1u);
}

TEST_F(PatchRunTest, LinksDeepDownAPathAreJudgedWhereWalksShareTheirWay) {
    // Each walk reuses the directories the one before opened, or climbs
    // back to them: a link beside them is still judged, the way up from a
    // link's target is not the way the walk came down, and a name that only
    // begins like one of them is another directory.
    std::string way;
    for (int i = 0; i < 30; ++i) way += "/d";
    std::string deeper = way;
    for (int i = 0; i < 30; ++i) deeper += "/d";
    fs::create_directories(at("outside"));
    fs::create_directories(at("game" + way));
    fs::create_symlink(at("outside"), at("game" + way + "/out"));
    fs::create_directories(at("game/elsewhere"));
    fs::create_symlink(at("game/elsewhere"), at("game" + way + "/in"));  // far up, but inside
    const struct {
        std::string name, content;
    } files[] = {{deeper + "/x.txt", "x"}, {way + "/dd/y.txt", "y"}, {way + "/out/z.txt", "z"},
                 {way + "/in/w.txt", "w"}};
    // The list takes the last line first: the files are walked in the order above.
    std::string meta = "REV:1\n", sums = "REV:1\n";
    for (auto f = std::rbegin(files); f != std::rend(files); ++f) {
        meta += "DATA:file:A:" + f->name + "\n";
        sums += sumLine(f->content, f->name);
        serve("data" + f->name, f->content);
    }
    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", meta);
    serve("meta/sum_1.txt", sums);

    quillon_test::expectBox(run(),
                            "Please check your permissions to the Game Directory (You must have full access to the gamedir!)[1]");
    EXPECT_TRUE(fs::is_empty(at("outside")));
    EXPECT_EQ(storedRevision(), 0u);

    fs::remove(at("game" + way + "/out"));
    ASSERT_FALSE(run());
    EXPECT_TRUE(fs::is_empty(at("outside")));
    EXPECT_EQ(game(deeper + "/x.txt"), "x");
    EXPECT_EQ(game(way + "/dd/y.txt"), "y");
    EXPECT_EQ(game(way + "/out/z.txt"), "z");
    EXPECT_EQ(game("elsewhere/w.txt"), "w");  // through the link that stays inside
    EXPECT_EQ(storedRevision(), 1u);
}
