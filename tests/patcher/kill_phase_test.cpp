// The real quillon program killed (SIGKILL) in each phase of a patch run:
// while it collects metadata, in the middle of a download, during the
// integrity check, between two replaced files, just before the new launcher
// takes the running one's name, and while it writes the revision record. A second run without the stop must bring every game file
// to exactly what the last revision says, and neither run may write
// anything outside the game directory.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/patcher/patch_server_fixture.h"
#include "tests/patcher/quillon_game.h"

namespace fs = std::filesystem;
using namespace quillon_test;

namespace {

class KillPhaseTest : public InstalledLauncherTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        InstalledLauncherTest::SetUp();
        fs::create_directories(at("tmp"));
    }
    std::unique_ptr<quask_test::ChildProcess> start(const std::string& log, const std::string& pauseAt) {
        std::vector<std::string> env = {"TMPDIR=" + at("tmp")};
        if (!pauseAt.empty()) env.push_back("QUILLON_PAUSE_AT=" + pauseAt);
        return startQuillon(at("game"), at(log), at("cwd"), env);
    }
    // Names and sizes of everything below the test's directory except the
    // game directory and the logs of the programs.
    std::map<std::string, std::uintmax_t> outsideGame() {
        std::map<std::string, std::uintmax_t> seen;
        for (const auto& e : fs::recursive_directory_iterator(m_dir)) {
            const std::string rel = e.path().lexically_relative(m_dir).generic_string();
            const std::string ext = e.path().extension().string();
            if (rel == "game" || rel.rfind("game/", 0) == 0 || ext == ".out" || ext == ".err" ||
                rel == "requests.log" || rel == "answering.log")
                continue;
            seen[rel] = e.is_regular_file() ? e.file_size() : 0;
        }
        return seen;
    }
    // The game files, staging files and the record's temporary left out.
    std::map<std::string, std::string> gameFiles() {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(at("game"))) {
            const std::string rel = e.path().lexically_relative(at("game")).generic_string();
            if (!e.is_regular_file() || e.path().extension() == ".new" || e.path().extension() == ".tmp")
                continue;
            files[rel] = quask_test::readFile(e.path());
        }
        return files;
    }
    // Staging files as "complete" or "partial" against what the server has.
    std::map<std::string, std::string> stagingFiles() {
        std::map<std::string, std::string> staged;
        for (const auto& e : fs::recursive_directory_iterator(at("game"))) {
            if (e.path().extension() != ".new") continue;
            const std::string rel = e.path().lexically_relative(at("game")).generic_string();
            const std::string name = rel.substr(0, rel.size() - 4);
            const std::string bytes = quask_test::readFile(e.path());
            const std::string served = quask_test::readFile(at("www/data/" + name));
            if (bytes == served) staged[name] = "complete";
            else if (bytes.size() < served.size() && served.compare(0, bytes.size(), bytes) == 0)
                staged[name] = "partial";
            else staged[name] = "wrong";
        }
        return staged;
    }

    // Revision 1 is installed by a run without stops; revisions 2 and 3
    // then move, delete, change and add files (packed ones among them) and
    // the launcher itself.
    void publishLaterRevisions() {
        put("quillon", launcherRevision("rev2"), true);
        fs::create_directories(at("content/docs"));
        fs::rename(at("content/readme.txt"), at("content/docs/readme.txt"));
        fs::remove(at("content/old.txt"));
        put("data/maps/a.map", mapText("a, second", 3000));
        put("data/big.bin", noise(80000, 2));
        publishContent(at("www"), at("content"), "Second");

        put("quillon", launcherRevision("rev3"), true);
        put("data/maps/a.map", mapText("a, third", 3500));
        put("data/maps/new.map", mapText("new", 2000));
        put("data/big.bin", noise(100000, 3));
        fs::create_directories(at("content/saves/slot1"));
        publishContent(at("www"), at("content"), "Third");
    }
};

}  // namespace

TEST_P(KillPhaseTest, KilledRunIsRepairedByTheNextWithNothingWrittenElsewhere) {
    const std::string phase = GetParam();
    put("quillon", launcherRevision("rev1"), true);
    put("data/maps/a.map", mapText("a", 2500));
    put("readme.txt", "read me");
    put("old.txt", "goes away");
    put("data/big.bin", noise(60000, 1));
    fs::create_directories(at("content/saves"));
    publishContent(at("www"), at("content"), "First");
    ASSERT_EQ(start("setup", "")->waitExit(30000), 0) << quask_test::readFile(at("setup.err"));
    ASSERT_EQ(treeDifferences(at("content"), at("game")), "");

    publishLaterRevisions();
    const auto outside = outsideGame();
    const auto revision1 = gameFiles();

    {
        auto killed = start("killed", phase);
        ASSERT_TRUE(quask_test::waitForText(at("killed.err"), "paused at " + phase + "\n", 20000))
            << quask_test::readFile(at("killed.err"));
        ASSERT_EQ(::kill(killed->pid(), SIGKILL), 0);
        EXPECT_EQ(killed->waitExit(5000), -1);
    }
    EXPECT_EQ(storedRevision(at("game")), 1u);
    // Killed anywhere, the game directory has a launcher that starts.
    EXPECT_TRUE(launcherStarts(at("game")));
    const auto staged = stagingFiles();
    for (const auto& [name, state] : staged) EXPECT_NE(state, "wrong") << name;
    if (phase == "metadata" || phase == "download" || phase == "check") {
        // The game files change only while files are replaced.
        EXPECT_TRUE(gameFiles() == revision1);
    }
    if (phase == "metadata") {
        EXPECT_TRUE(staged.empty());
    }
    if (phase == "download") {
        // Files download side by side: the one stopped in its middle, and
        // maybe others, are partial.
        int partial = 0;
        for (const auto& entry : staged) partial += entry.second == "partial";
        EXPECT_GE(partial, 1);
    }
    if (phase == "check") {
        EXPECT_EQ(staged.size(), 5u);  // every changed or new file of revisions 2 and 3
        for (const auto& [name, state] : staged) EXPECT_EQ(state, "complete") << name;
    }
    if (phase == "replace") {
        EXPECT_FALSE(gameFiles() == revision1);
        EXPECT_NE(treeDifferences(at("content"), at("game")), "");
    }
    if (phase == "record") {
        EXPECT_EQ(treeDifferences(at("content"), at("game")), "extra data/quillon.dat.tmp\n");
    }

    ASSERT_EQ(start("rerun", "")->waitExit(30000), 0) << quask_test::readFile(at("rerun.err"));
    EXPECT_EQ(quask_test::readFile(at("rerun.err")), "");
    EXPECT_EQ(treeDifferences(at("content"), at("game")), "");
    EXPECT_EQ(storedRevision(at("game")), 3u);
    EXPECT_TRUE(outsideGame() == outside);
    EXPECT_TRUE(fs::is_empty(at("cwd")));
    EXPECT_TRUE(fs::is_empty(at("tmp")));
}

INSTANTIATE_TEST_SUITE_P(EachPhase, KillPhaseTest,
                         ::testing::Values("metadata", "download", "check", "replace", "selfpatch", "record"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });
