// Downloads that break and go on, and several at once, against the test
// server with ranges (as nginx answers them) and injected faults: a broken
// download continues where it stopped, a server that ignores ranges or a
// continued file that is wrong costs a fresh download, and one failing file
// among parallel downloads leaves the game as a failed download phase must.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "patcher/engine/patch_run.h"
#include "patcher/protocol/revision_pack.h"
#include "tests/patcher/game_patch_fixture.h"

using namespace quillon;
namespace fs = std::filesystem;

namespace {

using quillon_test::countOf;
using quillon_test::noise;
using quillon_test::sumLine;

class ResumeTest : public quillon_test::GamePatchTest {
protected:
    std::vector<std::string> serverArgs() override { return {"--ranges", "--faults", at("faults.json")}; }
    void SetUp() override {
        GamePatchTest::SetUp();
        serve("notice.txt", "Hi");
        serve("lastrev.txt", "REV:1\n");
    }
    // Revision 1 fetches `files` ("/name" -> bytes).
    void publish(const std::vector<std::pair<std::string, std::string>>& files) {
        std::string meta = "REV:1\n", sums = "REV:1\n";
        for (const auto& [name, bytes] : files) {
            meta += "DATA:file:A:" + name + "\n";
            sums += sumLine(bytes, name);
            serve("data" + name, bytes);
        }
        serve("meta/1.txt", meta);
        serve("meta/sum_1.txt", sums);
    }
    void faults(const std::string& json) { std::ofstream(at("faults.json")) << json; }
    std::optional<PatchFailure> run() { return runStep(runPatch); }
};

class PlainServerResumeTest : public ResumeTest {
protected:
    std::vector<std::string> serverArgs() override { return {"--faults", at("faults.json")}; }
};

}  // namespace

TEST_F(ResumeTest, BrokenDownloadGoesOnWhereItStopped) {
    const std::string big = noise(200000, 7);
    publish({{"/big.bin", big}});
    // The first byte, a block boundary of the receive buffer, one past it,
    // the last byte.
    for (const std::size_t cut : {std::size_t{1}, std::size_t{65536}, std::size_t{65537}, big.size() - 1}) {
        fs::remove(at("game/big.bin"));
        faults("{\"/data/big.bin\": {\"send\": " + std::to_string(cut) + "}}");
        const auto broken = run();
        ASSERT_TRUE(broken) << cut;
        EXPECT_EQ(broken->caption, "Fetch Error (EOF)");
        ASSERT_EQ(fs::file_size(at("game/big.bin.new")), cut);
        EXPECT_EQ(storedRevision(), 0u);

        faults("{}");
        const auto failure = run();
        ASSERT_FALSE(failure) << cut << ": " << failure->text;
        EXPECT_EQ(game("big.bin"), big) << cut;
        EXPECT_NE(requests().find("GET /data/big.bin bytes=" + std::to_string(cut) + "-\n"), std::string::npos)
            << cut << "\n" << requests();
        EXPECT_EQ(storedRevision(), 1u);
        RevisionRecord back;
        ASSERT_TRUE(SaveRevisionRecord(at("game"), &back));  // revision 0 again
    }
}

TEST_F(ResumeTest, ContinuedFileThatIsWrongIsFetchedWholeAgain) {
    // The staging file's bytes are not the file's beginning (another
    // revision's download, or a disk that lost them): the range arrives,
    // the digest says no, and one fresh download follows.
    const std::string big = noise(100000, 8);
    publish({{"/big.bin", big}});
    putGame("big.bin.new", noise(30000, 9));
    ASSERT_FALSE(run());
    EXPECT_EQ(game("big.bin"), big);
    const std::string log = requests();
    EXPECT_NE(log.find("GET /data/big.bin bytes=30000-\n"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /data/big.bin\n"), std::string::npos) << log;
}

TEST_F(PlainServerResumeTest, ServerThatIgnoresTheRangeSendsTheWholeFile) {
    const std::string big = noise(100000, 10);
    publish({{"/big.bin", big}});
    putGame("big.bin.new", big.substr(0, 40000));
    ASSERT_FALSE(run());
    EXPECT_EQ(game("big.bin"), big);
    const std::string log = requests();
    EXPECT_EQ(countOf(log, "GET /data/big.bin"), 1u) << log;  // the 200 was taken as the whole file
    EXPECT_NE(log.find("GET /data/big.bin bytes=40000-\n"), std::string::npos) << log;
}

TEST_F(ResumeTest, OneFailingFileAmongParallelDownloadsChangesNoGameFile) {
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 8; ++i) files.emplace_back("/f" + std::to_string(i) + ".bin", noise(30000 + 1000 * i, 20 + i));
    publish(files);
    for (const auto& [name, bytes] : files) putGame(name.substr(1), "old " + name);
    // f5.bin stops after 10 bytes and breaks off 3 s later: the others are
    // done by then.
    faults("{\"/data/f5.bin\": {\"send\": 10, \"stall\": 3}}");
    quillon_test::expectBox(run(),
                            "Failed to Download '/f5.bin' from PatchServer\n= Read Error=\nIf this problem persists, please contact the Support!",
                            "Fetch Error (EOF)");
    for (const auto& [name, bytes] : files) EXPECT_EQ(game(name.substr(1)), "old " + name);
    EXPECT_EQ(storedRevision(), 0u);
    EXPECT_FALSE(m_state.updating());

    // The next run keeps what the first one finished and continues the
    // broken file.
    faults("{}");
    const std::string before = requests();
    ASSERT_FALSE(run());
    for (const auto& [name, bytes] : files) EXPECT_EQ(game(name.substr(1)), bytes) << name;
    EXPECT_EQ(storedRevision(), 1u);
    const std::string again = requests().substr(before.size());
    EXPECT_EQ(countOf(again, "GET /data/f"), 1u) << again;
    EXPECT_EQ(countOf(again, "GET /data/f5.bin bytes=10-\n"), 1u) << again;
}

// One server that takes fewer requests at once than the run makes (503, as
// nginx's limit_conn answers) gets fewer and serves every file; one that
// turns every request away ends the run with the download box, as before
// there were mirrors to hand files to.
TEST_F(ResumeTest, BusyServerGetsFewerRequestsAndOneAlwaysBusyEndsTheRun) {
    std::vector<std::pair<std::string, std::string>> files;
    std::string held, busy;
    for (int i = 0; i < 8; ++i) {
        const std::string name = "/f" + std::to_string(i) + ".bin";
        files.emplace_back(name, noise(20000, 40 + i));
        held += std::string(i ? ", " : "{") + "\"/data" + name + "\": {\"busy\": 1, \"hold\": 0.2}";
        busy += std::string(i ? ", " : "{") + "\"/data" + name + "\": {\"busy\": 0}";
    }
    publish(files);
    faults(held + "}");
    const auto taken = run();
    ASSERT_FALSE(taken) << taken->text << "\n" << requests();
    for (const auto& [name, bytes] : files) EXPECT_EQ(game(name.substr(1)), bytes) << name;
    EXPECT_EQ(storedRevision(), 1u);

    RevisionRecord back;
    ASSERT_TRUE(SaveRevisionRecord(at("game"), &back));  // revision 0 again
    for (const auto& [name, bytes] : files) fs::remove(at("game" + name));
    faults(busy + "}");
    const auto failure = run();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->caption, "Data File download Error");
    EXPECT_EQ(storedRevision(), 0u);
}

// A game far behind takes the revisions' small files from their packs, a
// request for 64 revisions where the walk makes two or four for each; a
// pack cut short costs only its own request, its revisions fetched alone;
// a game a few revisions behind asks for none.
TEST_F(ResumeTest, LongHistoryComesInPacksAndADamagedPackCostsOnlyItself) {
    std::vector<PackedFile> packs[2];
    for (std::uint32_t r = 1; r <= 130; ++r) {
        const std::string n = std::to_string(r);
        const PackedFile meta{"meta/" + n + ".txt", "REV:" + n + "\nDATA:file:A:/f.txt\nDATA:file:A:/f" + n + ".txt\n"};
        const PackedFile sums{"meta/sum_" + n + ".txt",
                              "REV:" + n + "\n" + sumLine("f " + n, "/f.txt") + sumLine(n, "/f" + n + ".txt")};
        serve("data/f" + n + ".txt", n);
        for (const PackedFile& f : {meta, sums}) {
            serve(f.path, f.body);
            if (r <= 128) packs[(r - 1) / kRevisionsPerPack].push_back(f);
        }
    }
    serve("lastrev.txt", "REV:130\n");
    serve("data/f.txt", "f 130");
    serve(revisionPackPath(1), revisionPackText(packs[0]));
    const std::string second = revisionPackText(packs[1]);
    for (const std::string& pack : {second, second.substr(0, second.size() - 5)}) {
        SCOPED_TRACE(pack.size());
        serve(revisionPackPath(65), pack);
        fs::remove_all(at("game"));
        fs::remove(at("requests.log"));
        ASSERT_FALSE(run());
        EXPECT_EQ(game("f.txt"), "f 130");
        EXPECT_EQ(game("f77.txt"), "77");
        const std::string asked = requests();
        // Revision 1's lists come with the opening requests; 129 and 130
        // are no pack's.
        const std::size_t alone = pack == second ? 6 : 6 + 2 * kRevisionsPerPack;
        EXPECT_EQ(countOf(asked, "GET /meta/"), alone + 2) << asked;
        EXPECT_EQ(countOf(asked, "GET /meta/pack_"), 2u);
    }
    // One connection asks strictly one file after the other, as it always
    // did: each revision's metadata and sums in turn, and no pack.
    serve(revisionPackPath(65), second);
    fs::remove_all(at("game"));
    fs::remove(at("requests.log"));
    ::setenv("QUILLON_CONNECTIONS", "1", 1);
    const auto alone = run();
    ::unsetenv("QUILLON_CONNECTIONS");
    ASSERT_FALSE(alone);
    std::string walked, walk;
    std::istringstream lines(requests());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("GET /meta/", 0) == 0) walked += line + "\n";
    for (std::uint32_t r = 1; r <= 130; ++r)
        walk += "GET /meta/" + std::to_string(r) + ".txt\nGET /meta/sum_" + std::to_string(r) + ".txt\n";
    EXPECT_EQ(walked, walk);

    // A game at 56 needs too little of the first pack to ask for it, and all
    // of the second, which starts inside the revisions fetched ahead at 57:
    // 65 and on come out of it.
    putGame("data/quillon.dat", std::string("\x38\0\0\0", 4));
    fs::remove(at("requests.log"));
    ASSERT_FALSE(run());
    const std::string behind = requests();
    EXPECT_EQ(countOf(behind, "GET /meta/pack_1.txt"), 0u) << behind;
    EXPECT_EQ(countOf(behind, "GET /meta/pack_65.txt"), 1u) << behind;
    EXPECT_EQ(countOf(behind, "GET /meta/65.txt"), 0u) << behind;
    EXPECT_EQ(countOf(behind, "GET /meta/"), 2 * 8 + 4 + 1u) << behind;

    // A game a few revisions behind needs too little of a pack to ask for it.
    putGame("data/quillon.dat", std::string("\x7f\0\0\0", 4));  // revision 127
    fs::remove(at("requests.log"));
    ASSERT_FALSE(run());
    EXPECT_EQ(countOf(requests(), "GET /meta/pack_"), 0u) << requests();
}
