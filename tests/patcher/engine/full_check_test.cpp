// Full checks against a real server on 127.0.0.1: repairs exactly the
// missing and altered listed files, leaves the rest alone, keeps an intact
// installation's revision, and fetches packed files again every time.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "patcher/engine/file_steps_internal.h"
#include "patcher/engine/full_check.h"
#include "patcher/protocol/digests.h"
#include "tests/patcher/game_patch_fixture.h"

using namespace quillon;
namespace fs = std::filesystem;

namespace {

using quillon_test::countOf;
using quillon_test::sumLine;

class FullCheckTest : public quillon_test::GamePatchTest {
protected:
    void SetUp() override {
        GamePatchTest::SetUp();
        fs::create_directories(at("game/data"));
        serve("notice.txt", "Hello");
        // The installation claims revision 3.
        RevisionRecord r;
        r.revision = 3;
        ASSERT_TRUE(SaveRevisionRecord(at("game"), &r));
    }
    std::optional<PatchFailure> run() { return runStep(runFullCheck); }
    // Three listed files, served and installed intact.
    void serveThree() {
        serve("meta/sum_full.txt", "REV:7\n" + sumLine(m_a, "/a.txt") +
                                       sumLine(m_b, "/data/maps/b.map") + sumLine(m_c, "/c.txt"));
        serve("data/a.txt", m_a);
        serve("data/data/maps/b.map", m_b);
        serve("data/c.txt", m_c);
        putGame("a.txt", m_a);
        putGame("data/maps/b.map", m_b);
        putGame("c.txt", m_c);
    }

    const std::string m_a = "alpha", m_b = "the map, as published", m_c = "charlie";
};

}  // namespace

TEST_F(FullCheckTest, RepairsTheDeletedAndTheAlteredFileOnly) {
    serveThree();
    fs::remove(at("game/c.txt"));
    putGame("data/maps/b.map", "the map, damaged");
    putGame("unlisted.txt", "mine");
    putGame("data/local.cfg", "settings");

    // One connection shows each file in turn, as a download one at a time
    // does; by default both start at once and the line is cleared at the end.
    ::setenv("QUILLON_CONNECTIONS", "1", 1);
    ASSERT_FALSE(run());
    ::unsetenv("QUILLON_CONNECTIONS");
    EXPECT_EQ(m_ui.texts(CmdShowStatusTotal), (std::vector<std::string>{"File 1 of 2", "", "File 2 of 2", ""}));
    fs::remove(at("game/c.txt"));
    putGame("data/maps/b.map", "the map, damaged");
    m_ui.clear();

    ASSERT_FALSE(run());
    EXPECT_EQ(game("a.txt"), m_a);
    EXPECT_EQ(game("data/maps/b.map"), m_b);
    EXPECT_EQ(game("c.txt"), m_c);
    EXPECT_EQ(game("unlisted.txt"), "mine");
    EXPECT_EQ(game("data/local.cfg"), "settings");
    EXPECT_FALSE(fs::exists(at("game/c.txt.new")));
    const std::string log = requests();
    EXPECT_EQ(countOf(log, "GET /data/"), 4u);
    EXPECT_EQ(log.find("GET /data/a.txt"), std::string::npos);
    EXPECT_EQ(storedRevision(), 7u);
    EXPECT_FALSE(fs::exists(at("game/DoFullCheck")));  // finished: nothing to take up
    EXPECT_EQ(m_ui.texts(CmdShowStatus).back(), "Your Game is Ready 2 Play!");
    // Side by side, the count stays on show while a file still arrives and
    // is cleared once nothing does: at the end, and between the two when the
    // first has arrived before the second begins.
    std::vector<std::string> second = m_ui.texts(CmdShowStatusTotal);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second.back(), "");
    EXPECT_LE(std::count(second.begin(), second.end(), ""), 2);
    second.erase(std::remove(second.begin(), second.end(), ""), second.end());
    EXPECT_EQ(second, (std::vector<std::string>{"File 1 of 2", "File 2 of 2"}));
    EXPECT_TRUE(m_state.startEnabled());
    EXPECT_TRUE(m_state.fullCheckEnabled());
    EXPECT_FALSE(m_state.updating());
    EXPECT_EQ(m_ui.entries().back().command, CmdFlash);
}

TEST_F(FullCheckTest, IntactInstallationDownloadsNothingAndKeepsItsRevision) {
    serveThree();
    ASSERT_FALSE(run());
    EXPECT_EQ(requests().find("GET /data/"), std::string::npos);
    EXPECT_EQ(storedRevision(), 3u);
    const auto statuses = m_ui.texts(CmdShowStatus);
    EXPECT_EQ(statuses.back(), "Your Game is Ready 2 Play!");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Updating - Please Wait"), 0);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Checking File intigry (3 of 3)"), 1);
    // Both buttons go off first and on again at the end.
    EXPECT_EQ(m_ui.commands(2), (quillon_test::RecordingUi::Commands{{CmdEnableFullCheck, 0}, {CmdEnableStart, 0}}));
    EXPECT_TRUE(m_state.startEnabled());
}

TEST_F(FullCheckTest, PackedFileIsUnpackedAndFetchedAgainByTheNextCheck) {
    std::string big(4000, 'q');
    for (std::size_t i = 0; i < big.size(); i += 5) big[i] = 'z';
    const std::string image = quillon_test::packedFile(big, 'f');
    serve("meta/sum_full.txt", "REV:9\n" + sumLine(image, "/data/pack.gd_"));
    serve("data/data/pack.gd_", image);

    ASSERT_FALSE(run());
    EXPECT_EQ(game("data/pack.gdf"), big);
    EXPECT_FALSE(fs::exists(at("game/data/pack.gd_")));
    EXPECT_EQ(storedRevision(), 9u);
    ASSERT_FALSE(run());
    EXPECT_EQ(countOf(requests(), "GET /data/data/pack.gd_"), 2u);
    EXPECT_EQ(game("data/pack.gdf"), big);
}

TEST_F(FullCheckTest, ListWithoutRevisionKeepsTheLocalOne) {
    serve("meta/sum_full.txt", sumLine(m_a, "/a.txt"));
    serve("data/a.txt", m_a);
    ASSERT_FALSE(run());
    EXPECT_EQ(game("a.txt"), m_a);
    EXPECT_EQ(storedRevision(), 3u);
}

TEST_F(FullCheckTest, MaintenanceStopsBeforeTheList) {
    serve("allow.txt", "closed");
    ASSERT_FALSE(run());
    EXPECT_EQ(m_ui.texts(CmdShowStatus).back(), "Server is under Maintenance");
    EXPECT_EQ(requests().find("sum_full"), std::string::npos);
    EXPECT_FALSE(m_state.startEnabled());
    EXPECT_FALSE(m_state.fullCheckEnabled());
}

TEST_F(FullCheckTest, FailuresCarryTheFullCheckTexts) {
    // No list on the server.
    quillon_test::expectBox(run(),
                            "Can't fetch the Full File Checksum file\nIf this problem persists, please contact the support!",
                            "Fetch Error (FullSumFile)");
    // A check no marker asked for (the window's button) that did not finish
    // is taken up again at the next start.
    EXPECT_TRUE(fs::exists(at("game/DoFullCheck")));

    serve("meta/sum_full.txt", "REV");
    quillon_test::expectBox(run(),
                            "Can't fetch the Full File Checksum file\nIf this problem persists, please contact the support! (3sz)");

    serve("meta/sum_full.txt", "REV:2\n" + sumLine("what the list says", "/a.txt"));
    serve("data/a.txt", "what the server has");
    putGame("a.txt", "installed");
    quillon_test::expectBox(run(),
                            "File Integry Check Failed - Please try again\nIf this problem persists, please contact the Support! (fc: sum)");
    EXPECT_EQ(game("a.txt"), "installed");
    EXPECT_EQ(storedRevision(), 3u);

    serve("meta/sum_full.txt", "REV:2\n" + sumLine("x", "/a.txt.new"));
    quillon_test::expectBox(run(),
                            "Sumfile for rev. 2 invalid - '/a.txt.new' ends in .new, the name the launcher gives its downloads - please contact the Support!");

    serve("meta/sum_full.txt", "REV:2\n" + sumLine("x", "/gone.txt"));
    quillon_test::expectBox(run(),
                            "Failed to Download '/gone.txt' from PatchServer\nIf this problem presits, please contact the Support!",
                            "Data File download Error");
}

TEST_F(FullCheckTest, OneConnectionShowsTheCheckLineForLine) {
    // c.txt is missing but an earlier run staged it, b.map is damaged, a.txt
    // is intact. The list names c, b, a from the front.
    serveThree();
    fs::remove(at("game/c.txt"));
    putGame("c.txt.new", m_c);
    putGame("data/maps/b.map", "the map, damaged");
    // Each rhythm's first line only, however slow the machine.
    struct HeldClock {
        HeldClock() { quillon::holdMonotonicClock(true); }
        ~HeldClock() { quillon::holdMonotonicClock(false); }
    } held;
    ::setenv("QUILLON_CONNECTIONS", "1", 1);
    ASSERT_FALSE(run());
    ::unsetenv("QUILLON_CONNECTIONS");
    std::vector<std::string> want = {
        "fullcheck 0", "start 0", "status Getting Patchserver State", "status Getting Patch Notice",
        "notice Hello", "status Getting Checksum Information", "upper 0"};
    for (const char* line : {"status Checking File intigry (1 of 3)", "upper 33333", "status Checking File intigry (2 of 3)",
                             "upper 66666", "status Checking File intigry (3 of 3)", "upper 100000",
                             "status Searching for local Update Packages", "upper 33333", "upper 66666", "upper 100000",
                             // c.txt: counted, reused; b.map: counted and downloaded
                             "lower 50000", "second File 1 of 2", "lower 100000", "second File 2 of 2",
                             "status Preparing to Donwload Object 2 of 2 (/data/maps/b.map)",
                             "status Downlading 0 of 21 Byte - (0.00%)", "upper 0", "speed 0", "speed 0", "upper 0",
                             "lower 0", "second ", "status Checking File intigry (1 of 3)", "upper 33333",
                             "status Checking File intigry (2 of 3)", "upper 66666",
                             "status Checking File intigry (3 of 3)", "upper 100000", "upper 0",
                             "status Updating - Please Wait", "upper 33333", "upper 66666", "upper 100000", "upper 0",
                             "status Your Game is Ready 2 Play!", "fullcheck 1", "start 1", "flash"})
        want.push_back(line);
    EXPECT_EQ(m_ui.lines(), want);
    EXPECT_EQ(game("c.txt"), m_c);
    EXPECT_EQ(game("data/maps/b.map"), m_b);
}

TEST_F(FullCheckTest, FilesTheListsRevisionDeletesAreRemoved) {
    // Revision 7 deleted old.txt, but the delete failed when it was
    // installed; a name it deletes that the list names again stays.
    serveThree();
    // On a drive that keeps case, names a listed file differs from by case
    // alone, in its leaf or in a folder, are files of their own and go too.
    serve("meta/7.txt", "REV:7\nDATA:file:D:/old.txt\nDATA:file:D:/a.txt\nDATA:file:D:/never.txt\n"
                        "DATA:file:D:/A.txt\nDATA:file:D:/C.txt\nDATA:file:D:/Data/maps/b.map\n");
    putGame("old.txt", "should have gone");
    putGame("unlisted.txt", "mine");
    putGame("A.txt", "renamed by case");
    putGame("C.txt", "renamed by case as well");
    putGame("Data/maps/b.map", "its folder renamed by case");
    ASSERT_FALSE(run());
    EXPECT_FALSE(fs::exists(at("game/old.txt")));
    EXPECT_FALSE(fs::exists(at("game/A.txt")));
    EXPECT_FALSE(fs::exists(at("game/C.txt")));
    EXPECT_FALSE(fs::exists(at("game/Data/maps/b.map")));
    EXPECT_EQ(game("data/maps/b.map"), m_b);
    EXPECT_EQ(game("a.txt"), m_a);
    EXPECT_EQ(game("unlisted.txt"), "mine");
    EXPECT_EQ(storedRevision(), 7u);
    EXPECT_EQ(countOf(requests(), "GET /data/"), 0u);
}
