// Patch runs against a real server on 127.0.0.1: several revisions with
// directories, deletes, a compressed file and a self-patch; maintenance;
// reuse of staging files; and failures that must leave the game alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "patcher/engine/file_steps_internal.h"
#include "patcher/engine/patch_run.h"
#include "patcher/front/console_ui.h"
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
    std::vector<std::string> serverArgs() override { return {"--faults", at("faults.json")}; }
};

}  // namespace

TEST_F(PatchRunTest, SeveralRevisionsBringTheGameUpToDate) {
    const std::string mapV1 = "map one", mapV2 = "map two, longer";
    const std::string launcher = quillon_test::runnableProgram("new");
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
                        "DATA:file:D:/old.txt\nDATA:file:D:/stuck.txt\nMSG:10:second one");
    serve("meta/sum_2.txt", "REV:2\n" + sumLine(mapV2, "/data/maps/one.map"));
    serve("data/data/maps/one.map", mapV2);
    serve("data/quillon", launcher);
    serve("data/data/pack.gd_", packedText);
    putGame("quillon", "old launcher");
    ::chmod(at("game/quillon").c_str(), 0755);
    putGame("old.txt", "to be removed");
    putGame("unlisted.txt", "stays");
    // What a run killed while unpacking left, and a temporary of a process
    // that still runs (this one).
    const std::string abandoned = "game/data/.quask-999999999-3.tmp";
    const std::string live = "game/data/.quask-" + std::to_string(::getpid()) + "-0.tmp";
    putGame(abandoned.substr(5), "half an unpacked file");
    putGame(live.substr(5), "being written");
    // A delete that fails is no failure of the run, but it is logged.
    putGame("stuck.txt/inside", "keeps its directory");

    ASSERT_FALSE(run());
    EXPECT_EQ(m_ui.notes(), (std::vector<std::string>{"could not delete '/stuck.txt' (Is a directory): the file stays"}));
    EXPECT_FALSE(fs::exists(at(abandoned)));
    EXPECT_TRUE(fs::exists(at(live)));
    fs::remove(at(live));
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

TEST_F(PatchRunTest, UnpackedFileThatCannotBeWrittenSaysSoNotThatUnpackingFailed) {
    const std::string packedText = quillon_test::packedFile(std::string(3000, 'p'), 'f');
    serve("lastrev.txt", "REV:1\n");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/data/pack.gd_\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine(packedText, "/data/pack.gd_"));
    serve("data/data/pack.gd_", packedText);
    putGame("data/pack.gdf/inside", "a directory where the unpacked file goes");
    quillon_test::expectBox(run(), "Failed to save the unpacked '/data/pack.gdf' to disk. (Out of Diskspace?)",
                            "Store Error");
    EXPECT_EQ(storedRevision(), 0u);
}

TEST_F(PatchRunTest, MaintenanceShowsTheNoticeAndKeepsBothButtonsOff) {
    serve("allow.txt", "allow\n");  // a line feed closes patching
    // One connection asks strictly one file after the other: nothing past
    // the closed state.
    ::setenv("QUILLON_CONNECTIONS", "1", 1);
    const auto failure = run();
    ::unsetenv("QUILLON_CONNECTIONS");
    ASSERT_FALSE(failure);
    EXPECT_EQ(m_ui.texts(CmdShowStatus).back(), "Server is under Maintenance");
    EXPECT_EQ(m_ui.texts(CmdShowNotice).back(), "Back soon.");
    EXPECT_FALSE(m_state.startEnabled());
    EXPECT_EQ(requests().find("lastrev"), std::string::npos);
}

// With a file in a folder that is not there yet, which nothing can have
// staged: the count of downloads leaves out only the reused file.
TEST_F(PatchRunTest, VerifiedStagingFileIsReusedAndABadOneDownloadedAgain) {
    const std::string a = "file a", b = "file b", c = "file c";
    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/a.txt\nDATA:dir:A:/new\nDATA:file:A:/new/c.txt\nDATA:file:A:/b.txt\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine(a, "/a.txt") + sumLine(b, "/b.txt") + sumLine(c, "/new/c.txt"));
    serve("data/a.txt", a);
    serve("data/b.txt", b);
    serve("data/new/c.txt", c);
    putGame("a.txt.new", a);         // left by an interrupted run, intact
    putGame("b.txt.new", "partial");  // cut short
    ASSERT_FALSE(run());
    EXPECT_EQ(game("a.txt"), a);
    EXPECT_EQ(game("b.txt"), b);
    EXPECT_EQ(game("new/c.txt"), c);
    EXPECT_EQ(requests().find("GET /data/a.txt"), std::string::npos);
    EXPECT_NE(requests().find("GET /data/b.txt"), std::string::npos);
    EXPECT_NE(requests().find("GET /data/new/c.txt"), std::string::npos);
    EXPECT_EQ(m_ui.texts(CmdShowStatusTotal), (std::vector<std::string>{"File 1 of 2", "File 2 of 2", ""}));
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

TEST_F(PatchRunTest, DigestsNotedAsADownloadEndsJudgeTheStagingFileOnlyWhileItIsUnchanged) {
    const PhaseTexts texts{"[1]", " (2)", " (file)", "(generic check)", "(sum)", "[selfpatch_move]", "[3]",
                           " (renname)", "Decompression failed."};
    const Expected bravo{md5OfBytes("bravo", 5)};
    putGame("b.txt.new", "bravo");
    GameTree tree(at("game"));
    EarlyDigests early;
    {
        const int fd = ::open(at("game/b.txt.new").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        early.note("/b.txt", fd, Judged{});
        ::close(fd);
    }
    EXPECT_FALSE(verifyStaged(tree, "/b.txt", bravo, texts, &early));
    // Other bytes of the same length, written after the note, are read.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    putGame("b.txt.new", "BRAVO");
    quillon_test::expectBox(verifyStaged(tree, "/b.txt", bravo, texts, &early),
                            "File Integry Check Failed - Please try again\nIf this problem persists, please contact the Support! (sum)");
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

    // Revisions fetched several at once fail as one after the other would:
    // with revision 2's sums missing, revision 3's broken metadata is no box.
    serve("lastrev.txt", "REV:3");
    serve("meta/1.txt", "REV:1\nDATA:dir:A:/saves\n");
    serve("meta/2.txt", "REV:2\nDATA:file:A:/two.txt\n");
    serve("meta/3.txt", "REV:9\n");
    quillon_test::expectBox(run(),
                            "Error while fetching Revision Checksums for Rev. 2\n - If this problem persists - please contact the Support!",
                            "Update Server Error (fetch rev sums)");

    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", "REV:1\nDATA:file:A:/gone.txt\n");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine("x", "/gone.txt"));
    quillon_test::expectBox(run(),
                            "Failed to Download '/gone.txt' from PatchServer\nIf this problem presits, please contact the Support!",
                            "Data File download Error");

    // A network that answers every address with its log-in page: the
    // server is out of reach, not under maintenance.
    serve("allow.txt", "\r\n<!DOCTYPE html><html><body>Log in to the hotel's network</body></html>");
    quillon_test::expectBox(run(), "The Update Server seems to be down or\nthere is a Problem with your Internet Connection.",
                            "Update Server down");
    for (const std::string& notice : m_ui.texts(CmdShowNotice)) EXPECT_EQ(notice.find("Log in"), std::string::npos);

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

    // The record's first write went through a link, too. The box names the
    // link in the way.
    quillon_test::expectBox(run(),
                            "Please check your permissions to the Game Directory (You must have full access to the "
                            "gamedir!)[1]\n\n'maps' is a link to " + fs::canonical(at("outside/dir")).string() +
                                ", outside the game directory, where the Launcher writes nothing: put that folder "
                                "itself in its place.");
    EXPECT_EQ(outside(), before);
    // So is a player's file where the update needs a folder, which stays.
    fs::remove(at("game/maps"));
    std::ofstream(at("game/maps")) << "the player's";
    quillon_test::expectBox(run(), "Please check your permissions to the Game Directory (You must have full access to "
                                   "the gamedir!)[1]\n\n'maps' is a file where this update needs a folder: move it away.");
    EXPECT_EQ(game("maps"), "the player's");

    fs::remove(at("game/maps"));
    ASSERT_FALSE(run());
    EXPECT_EQ(outside(), before);
    EXPECT_EQ(game("a.txt"), "a");
    EXPECT_EQ(game("real/shared/s.txt"), "s");  // through the link that stays inside
    EXPECT_EQ(game("maps/m.txt"), "m");
    EXPECT_FALSE(fs::is_symlink(at("game/data/quillon.dat")));
    EXPECT_EQ(storedRevision(), 1u);
}

TEST_F(PatchRunTest, UpdateThatLeavesNoRunnableLauncherIsRefusedBeforeAnythingChanges) {
    const std::string program = quillon_test::runnableProgram("next");
    const struct {
        const char* what;
        std::string action, launcher, text;
    } rows[] = {
        {"a text file", "M", "not a launcher\n",
         "The update would replace the launcher with a file that is not a program for this computer."},
        {"a cut-off program", "M", program.substr(0, program.size() / 2),
         "The update would replace the launcher with a file that is not a program for this computer."},
        // A program of this machine that fails --version (it always exits 1).
        {"a program that does not start", "M", quask_test::readFile("/bin/false"),
         "The update would replace the launcher with a program that does not start."},
        {"a packed text file", "M", "", ""},
        {"the launcher deleted", "D", "", "The update would delete the launcher."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(at("game"));
        putGame("quillon", "the running launcher");
        putGame("a.txt", "old a");
        std::string meta = "REV:1\nDATA:file:A:/a.txt\nDATA:file:" + row.action + ":/quillon\n";
        std::string sums = "REV:1\n" + sumLine("new a", "/a.txt");
        std::string text = row.text;
        if (row.action == "M" && row.launcher.empty()) {
            // Packed, it unpacks to the launcher's name.
            const std::string packed = quillon_test::packedFile(std::string(4000, 'x'), 'n');
            meta = "REV:1\nDATA:file:A:/a.txt\nDATA:file:M:/quillo_\n";
            sums += sumLine(packed, "/quillo_");
            serve("data/quillo_", packed);
            text = "The update would replace the launcher with a file that is not a program for this computer.";
        } else if (row.action == "M") {
            sums += sumLine(row.launcher, "/quillon");
            serve("data/quillon", row.launcher);
        }
        serve("lastrev.txt", "REV:1");
        serve("meta/1.txt", meta);
        serve("meta/sum_1.txt", sums);
        serve("data/a.txt", "new a");
        quillon_test::expectBox(run(), text + "\nNothing was changed - If this problem persists - please contact the Support!",
                                "Update Launcher Error");
        EXPECT_EQ(game("quillon"), "the running launcher");
        EXPECT_EQ(game("a.txt"), "old a");
        EXPECT_FALSE(fs::exists(at("game/quillon_old")));
        EXPECT_EQ(storedRevision(), 0u);
    }
}

namespace {

// The console's lines for the commands it is sent, beside the recorded
// commands themselves: the front end a run on a server would show.
class ConsoleAndRecord : public LauncherUi {
public:
    ConsoleAndRecord(quillon_test::RecordingUi& record, std::FILE* out) : m_record(record), m_console(out) {}
    void attach(const LauncherState* state) {
        m_record.attach(state);
        m_console.attach(state);
    }
    void send(int command, long value) override {
        m_record.send(command, value);
        m_console.send(command, value);
    }

private:
    quillon_test::RecordingUi& m_record;
    ConsoleUi m_console;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        out.push_back(text.substr(at, end - at));
    return out;
}

}  // namespace

TEST_F(PatchRunTest, OneConnectionShowsEachEntryInTurnLineForLine) {
    // Revision 1 makes a directory and adds a.txt (already staged by an
    // earlier run); revision 2 adds two files and deletes one.
    serve("lastrev.txt", "REV:2\n");
    serve("meta/1.txt", "REV:1\nDATE:2026-12-01 10:00:00\nDATA:dir:A:/saves\nDATA:file:A:/a.txt\nMSG:5:first");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine("alpha", "/a.txt"));
    serve("meta/2.txt", "REV:2\nDATE:2026-12-02 11:00:00\nDATA:file:A:/data/b.txt\nDATA:file:D:/old.txt\n"
                        "DATA:file:A:/c.txt\n");
    const std::string b(9000, 'b'), c(100, 'c');
    serve("meta/sum_2.txt", "REV:2\n" + sumLine(b, "/data/b.txt") + sumLine(c, "/c.txt"));
    serve("data/data/b.txt", b);
    serve("data/c.txt", c);
    putGame("a.txt.new", "alpha");
    putGame("old.txt", "goes");

    quillon_test::RecordingUi record;
    std::FILE* console = std::tmpfile();
    ASSERT_NE(console, nullptr);
    ConsoleAndRecord ui(record, console);
    LauncherState state(ui);
    ui.attach(&state);
    // Each rhythm's first line only, however slow the machine.
    struct HeldClock {
        HeldClock() { quillon::holdMonotonicClock(true); }
        ~HeldClock() { quillon::holdMonotonicClock(false); }
    } held;
    ::setenv("QUILLON_CONNECTIONS", "1", 1);
    const auto failure = quillon_test::runOn(at("game"), m_base, runPatch, state);
    ::unsetenv("QUILLON_CONNECTIONS");
    ASSERT_FALSE(failure) << failure->text;

    const std::string notice = "Welcome!\r\nHave fun.";
    const std::vector<std::string> fileDone = {"speed 0", "upper 0", "lower 0", "second "};
    std::vector<std::string> want = {
        "status Getting Patchserver State", "status Getting Patch Notice", "notice " + notice,
        "status Getting current Content Revision", "status Collecting Update Information for 2 Rev(s)",
        "upper 0", "upper 50000", "upper 100000", "upper 0", "status Refreshing Update Notice",
        "notice " + notice + "\r\n\r\nUpdate History:\r\n===========\r\n\r\nUpdate from 2026-12-01 10:00:00:\r\nfirst\r\n\r\n",
        "status Searching for local Update Packages",
        "upper 20000", "upper 40000", "upper 60000", "upper 80000", "upper 100000",
        // /c.txt, /old.txt (deleted later), /data/b.txt, /a.txt (staged), /saves
        "status Updating Object 1 of 5", "lower 50000", "second File 1 of 2",
        "status Preparing to Donwload Object 1 of 2 (/c.txt)", "status Downlading 0 of 100 Byte - (0.00%)",
        "upper 0", "speed 0"};
    want.insert(want.end(), fileDone.begin(), fileDone.end());
    for (const char* line : {"status Updating Object 2 of 5", "status Updating Object 3 of 5", "lower 100000",
                             "second File 2 of 2", "status Preparing to Donwload Object 3 of 2 (/data/b.txt)",
                             "status Downlading 0.00 of 8.79 KByte - (0.00%)", "upper 0", "speed 0"})
        want.push_back(line);
    want.insert(want.end(), fileDone.begin(), fileDone.end());
    want.push_back("status Updating Object 4 of 5");
    want.push_back("status Updating Object 5 of 5");
    for (int i = 1; i <= 5; ++i) {
        want.push_back("status Checking File intigry (" + std::to_string(i) + " of 5)");
        want.push_back("upper " + std::to_string(i * 20000));
    }
    want.push_back("upper 0");
    want.push_back("status Updating - Please Wait");
    for (int i = 1; i <= 5; ++i) want.push_back("upper " + std::to_string(i * 20000));
    for (const char* line : {"upper 0", "status Your Game is Ready 2 Play!", "fullcheck 1", "start 1", "flash"})
        want.push_back(line);
    EXPECT_EQ(record.lines(), want);
    // One connection asks one file after the other, in the protocol's order.
    EXPECT_EQ(requests(), "GET /allow.txt\nGET /notice.txt\nGET /lastrev.txt\nGET /meta/1.txt\nGET /meta/sum_1.txt\n"
                          "GET /meta/2.txt\nGET /meta/sum_2.txt\nGET /data/c.txt\nGET /data/data/b.txt\n");

    std::fflush(console);
    std::rewind(console);
    std::string printed;
    for (int ch; (ch = std::fgetc(console)) != EOF;) printed += static_cast<char>(ch);
    std::fclose(console);
    const std::vector<std::string> wantPrinted = {
        "Getting Patchserver State", "Getting Patch Notice", "----- Notice -----", "Welcome!", "Have fun.",
        "------------------", "Getting current Content Revision", "Collecting Update Information for 2 Rev(s)",
        "Progress: 50%", "Progress: 100%", "Refreshing Update Notice", "----- Notice -----", "Welcome!",
        "Have fun.", "", "Update History:", "===========", "", "Update from 2026-12-01 10:00:00:", "first", "",
        "", "------------------", "Searching for local Update Packages", "Progress: 20%", "Progress: 40%",
        "Progress: 60%", "Progress: 80%", "Progress: 100%", "Updating Object 1 of 5", "Total: 50%",
        "File 1 of 2", "Preparing to Donwload Object 1 of 2 (/c.txt)", "Downlading 0 of 100 Byte - (0.00%)",
        "Updating Object 2 of 5", "Updating Object 3 of 5", "Total: 100%", "File 2 of 2",
        "Preparing to Donwload Object 3 of 2 (/data/b.txt)", "Downlading 0.00 of 8.79 KByte - (0.00%)",
        "Updating Object 4 of 5", "Updating Object 5 of 5", "Checking File intigry (1 of 5)", "Progress: 20%",
        "Checking File intigry (2 of 5)", "Progress: 40%", "Checking File intigry (3 of 5)", "Progress: 60%",
        "Checking File intigry (4 of 5)", "Progress: 80%", "Checking File intigry (5 of 5)", "Progress: 100%",
        "Updating - Please Wait", "Progress: 20%", "Progress: 40%", "Progress: 60%", "Progress: 80%",
        "Progress: 100%", "Your Game is Ready 2 Play!"};
    EXPECT_EQ(splitLines(printed), wantPrinted);
    EXPECT_EQ(game("c.txt"), c);
    EXPECT_FALSE(fs::exists(at("game/old.txt")));
    EXPECT_TRUE(fs::is_directory(at("game/saves")));
}

TEST_F(PatchRunTest, SixConnectionsShowEveryFileInOrderWithBarsThatOnlyGoBackToZero) {
    // Eight files of eight sizes (their "Downlading" lines tell them apart)
    // between directories, so that the walk goes on while files arrive.
    // Each arrives in two halves a second apart: six overlap, and the last
    // two can only begin once a connection is free.
    constexpr int kFiles = 8;
    std::string meta = "REV:1\n", sums = "REV:1\n", faults = "{";
    std::vector<std::string> names;
    for (int f = 0; f < kFiles; ++f) {
        const std::string name = "/d" + std::to_string(f) + "/f.bin";
        const std::string bytes = quillon_test::noise(1000 + 700 * f, f + 1);
        meta += "DATA:dir:A:/d" + std::to_string(f) + "\nDATA:file:A:" + name + "\n";
        sums += sumLine(bytes, name);
        serve("data" + name, bytes);
        faults += std::string(f ? "," : "") + "\"/data" + name + "\": {\"trickle\": " +
                  std::to_string((bytes.size() + 1) / 2) + "}";
        names.push_back(name);
    }
    quask_test::writeFile(at("faults.json"), faults + "}");
    serve("lastrev.txt", "REV:1");
    serve("meta/1.txt", meta);
    serve("meta/sum_1.txt", sums);
    ::setenv("QUILLON_CONNECTIONS", "6", 1);
    const auto failure = run();
    ::unsetenv("QUILLON_CONNECTIONS");
    ASSERT_FALSE(failure) << failure->text;

    // Each file's own lines in the one-connection order; the count of files
    // stays on show while any file arrives and is cleared once, at the end.
    const std::vector<quillon_test::RecordingUi::Entry> entries = m_ui.entries();
    std::vector<std::size_t> updating(kFiles), file(kFiles), preparing(kFiles), first(kFiles);
    std::vector<std::chrono::steady_clock::time_point> begun;
    std::string second;
    std::size_t cleared = 0, lastSecond = 0;
    long upper = 0, lower = 0;
    for (std::size_t at = 0; at < entries.size(); ++at) {
        const std::string l = quillon_test::RecordingUi::lineOf(entries[at]);
        for (int f = 0; f < kFiles; ++f) {
            const int list = kFiles - f;  // newest first: the last DATA line is entry 1
            const std::string k = std::to_string(kFiles - f), n = std::to_string(kFiles);
            if (l == "status Updating Object " + std::to_string(2 * list - 1) + " of 16") updating[f] = at;
            if (l == "second File " + k + " of " + n) file[f] = at;
            if (l == "status Preparing to Donwload Object " + std::to_string(2 * list - 1) + " of 8 (" + names[f] + ")") {
                preparing[f] = at;
                begun.push_back(entries[at].at);
            }
            if (l == "status Downlading 0 of " + std::to_string(1000 + 700 * f) + " Byte - (0.00%)") first[f] = at;
        }
        if (l.rfind("status Downlading ", 0) == 0) {
            EXPECT_NE(second, "") << l << " at " << at;
        }
        if (l.rfind("second ", 0) == 0) {
            second = l.substr(7);
            lastSecond = at;
            if (second.empty()) {
                ++cleared;
                EXPECT_EQ(cleared, 1u) << "cleared again at " << at;
            }
        }
        for (auto [prefix, last] : {std::pair<const char*, long*>{"upper ", &upper}, {"lower ", &lower}}) {
            if (l.rfind(prefix, 0) != 0) continue;
            const long value = std::stol(l.substr(6));
            EXPECT_TRUE(value == 0 || value >= *last) << l << " after " << *last << " at " << at;
            *last = value;
        }
    }
    EXPECT_EQ(cleared, 1u);
    EXPECT_EQ(second, "");
    EXPECT_GT(lastSecond, *std::max_element(first.begin(), first.end()));
    // Never more than six at once: the seventh begins after the first has
    // arrived whole, a second after it began.
    ASSERT_EQ(begun.size(), static_cast<std::size_t>(kFiles));
    std::sort(begun.begin(), begun.end());
    EXPECT_GE(begun[6] - begun[0], std::chrono::milliseconds(950));
    EXPECT_LT(begun[5] - begun[0], std::chrono::milliseconds(950));
    for (int f = 0; f < kFiles; ++f) {
        SCOPED_TRACE(names[f]);
        EXPECT_LT(updating[f], file[f]);
        EXPECT_LT(file[f], preparing[f]);
        EXPECT_LT(preparing[f], first[f]);
        if (f > 0) {
            EXPECT_LT(file[f], file[f - 1]);  // numbered in list order
        }
        EXPECT_EQ(game(names[f].substr(1)), quillon_test::noise(1000 + 700 * f, f + 1));
    }
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
                            "Please check your permissions to the Game Directory (You must have full access to the "
                            "gamedir!)[1]\n\n'" + way.substr(1) + "/out' is a link to " +
                                fs::canonical(at("outside")).string() +
                                ", outside the game directory, where the Launcher writes nothing: put that folder "
                                "itself in its place.");
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
