// The quillon program end to end: a copy at the root of a game directory,
// the server named by QUILLON_BASE_URL, the console front end on stdout and
// boxes on stderr; the single-instance lock; maintenance; the full check
// asked for by the DoFullCheck marker.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "patcher/launcher_app.h"
#include "tests/patcher/quillon_game.h"

namespace fs = std::filesystem;

namespace {

using quillon_test::sumLine;

class QuillonProgramTest : public quillon_test::InstalledLauncherTest {
protected:
    void SetUp() override {
        InstalledLauncherTest::SetUp();
        serve("allow.txt", "allow");
        serve("notice.txt", "Patch day!");
        serve("notice_close.txt", "Back soon.");
    }
    // These runs are about patching: no game start after them.
    int runQuillon() { return quillon_test::startQuillon(at("game"), at("quillon"), "")->waitExit(30000); }
    std::string out() { return quask_test::readFile(at("quillon.out")); }
    std::string err() { return quask_test::readFile(at("quillon.err")); }
    std::string game(const std::string& name) { return quask_test::readFile(at("game/" + name)); }
    std::uint32_t storedRevision() { return quillon_test::storedRevision(at("game")); }
};

}  // namespace

TEST_F(QuillonProgramTest, PatchesTheGameItsCopyLivesInAndPatchesItself) {
    const std::string map = "the new map", launcher = quillon_test::launcherRevision("patched");
    const std::string original = game("quillon");
    serve("lastrev.txt", "REV:1\n");
    serve("meta/1.txt", "REV:1\nDATE:2026-12-01 10:00:00\nDATA:file:A:/data/maps/a.map\n"
                        "DATA:file:M:/quillon\nMSG:4:news");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine(map, "/data/maps/a.map") + sumLine(launcher, "/quillon"));
    serve("data/data/maps/a.map", map);
    serve("data/quillon", launcher);

    ASSERT_EQ(runQuillon(), 0) << err();
    EXPECT_EQ(game("data/maps/a.map"), map);
    EXPECT_EQ(game("quillon"), launcher);
    EXPECT_EQ(game("quillon_old"), original);
    EXPECT_EQ(storedRevision(), 1u);
    const std::string text = out();
    EXPECT_NE(text.find("Getting Patchserver State\n"), std::string::npos);
    EXPECT_NE(text.find("Patch day!\n\nUpdate History:"), std::string::npos);
    EXPECT_NE(text.find("Updating - Please Wait\n"), std::string::npos);
    ASSERT_GE(text.size(), 27u);
    EXPECT_EQ(text.substr(text.size() - 27), "Your Game is Ready 2 Play!\n");
    EXPECT_EQ(err(), "");
}

// Without --console the launcher first tries its window, and GTK takes up
// the player's whole locale on the way; the texts keep their decimal point
// in the console it falls back to.
TEST_F(QuillonProgramTest, NumbersKeepTheirPointUnderAGermanLocale) {
    const std::string bytes = quillon_test::noise(10000, 7);
    serve("lastrev.txt", "REV:1\n");
    serve("meta/1.txt", "REV:1\nDATE:2026-12-01 10:00:00\nDATA:file:A:/data/a.bin\nMSG:4:news");
    serve("meta/sum_1.txt", "REV:1\n" + sumLine(bytes, "/data/a.bin"));
    serve("data/data/a.bin", bytes);

    quask_test::ChildProcess::Options o;
    o.stdoutPath = at("quillon.out");
    o.stderrPath = at("quillon.err");
    o.extraEnv = {"QUASK_NONINTERACTIVE=1", "DISPLAY", "WAYLAND_DISPLAY", "LC_ALL=de_DE.UTF-8"};
    quask_test::ChildProcess run({at("game/quillon"), "--no-start"}, o);
    ASSERT_EQ(run.waitExit(30000), 0) << err();
    EXPECT_EQ(game("data/a.bin"), bytes);
    EXPECT_NE(out().find("\nDownlading 0.00 of 9.77 KByte - (0.00%)\n"), std::string::npos) << out();
}

TEST_F(QuillonProgramTest, ServerFailureIsABoxOnStderrAndExitOne) {
    ASSERT_EQ(runQuillon(), 1);  // no lastrev.txt
    EXPECT_EQ(err(),
              "Update Server Error: Error while fetching the latest Content Revision\nIf this problem persists - please contact the Support!\n");
    EXPECT_EQ(storedRevision(), 0u);
}

TEST_F(QuillonProgramTest, SecondInstanceLeavesAtOnceWithoutAWord) {
    const std::string lockPath = quillon::instanceLockPath();
    ASSERT_EQ(lockPath, m_dir + "/QuaskPatchClient.lock");
    // The session's lock, then the game directory's own: a launcher of
    // another session (another runtime directory) on the same game.
    fs::create_directories(at("game/data"));
    for (const std::string& held : {lockPath, at("game") + quillon::kGameLockName}) {
        const int fd = ::open(held.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(runQuillon(), 0) << held;
        EXPECT_EQ(out(), "") << held;
        EXPECT_EQ(err(), "") << held;
        EXPECT_EQ(requests(), "") << held;
        EXPECT_FALSE(fs::exists(at("game/data/quillon.dat"))) << held;
        ::close(fd);
    }

    // Once the first one is gone the lock is free again.
    quillon::InstanceLock lock;
    EXPECT_EQ(lock.acquire(lockPath), quillon::InstanceLock::Acquired);
    quillon::InstanceLock second;
    EXPECT_EQ(second.acquire(lockPath), quillon::InstanceLock::HeldElsewhere);
    quillon::InstanceLock game, otherGame;
    EXPECT_EQ(game.acquireInGame(at("game")), quillon::InstanceLock::Acquired);
    EXPECT_EQ(otherGame.acquireInGame(at("game")), quillon::InstanceLock::HeldElsewhere);

    // Without a runtime directory the lock lies in /tmp, where another user
    // could hold a file of that name locked for ever: a link or a file that
    // is not ours is no lock, and this user's launcher goes on.
    const std::string planted = at("planted.lock"), link = at("link.lock");
    const int held = ::open(planted.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    fs::create_symlink(planted, link);
    quillon::InstanceLock throughLink;
    EXPECT_EQ(throughLink.acquire(link), quillon::InstanceLock::Unavailable);
    if (::geteuid() == 0) {
        ASSERT_EQ(::fchown(held, 65534, 65534), 0);
        quillon::InstanceLock foreign;
        EXPECT_EQ(foreign.acquire(planted), quillon::InstanceLock::Unavailable);
    }
    ::close(held);
}

TEST_F(QuillonProgramTest, MaintenanceShowsTheNoticeAndEndsNormally) {
    serve("allow.txt", "deny!");
    EXPECT_EQ(runQuillon(), 0);
    EXPECT_NE(out().find("Back soon.\n"), std::string::npos);
    EXPECT_NE(out().find("Server is under Maintenance\n"), std::string::npos);
    // Several connections fetch the opening files together (with the
    // notice, the latest revision and, for a game without a record, revision
    // 1's lists); no content is asked of a closed server.
    EXPECT_NE(requests().find("GET /notice_close.txt"), std::string::npos) << requests();
    EXPECT_EQ(requests().find("GET /data/"), std::string::npos) << requests();
    EXPECT_EQ(err(), "");

    // The same end with its report lost (standard output on a full disk) is
    // no normal end.
    quask_test::ChildProcess::Options o;
    o.stdoutPath = "/dev/full";
    o.stderrPath = at("full.err");
    o.extraEnv = {"QUASK_NONINTERACTIVE=1"};
    quask_test::ChildProcess full({at("game/quillon"), "--console", "--no-start"}, o);
    EXPECT_EQ(full.waitExit(30000), 1);
    EXPECT_EQ(quask_test::readFile(at("full.err")), "quillon: cannot write to standard output: No space left on device\n");

    // Nor with standard output closed (`>&-`): the first file the launcher
    // opens, its instance lock, must not take the place and the report.
    o.stdoutPath = "";
    quask_test::ChildProcess closed({at("game/quillon"), "--console", "--no-start"}, o);
    EXPECT_EQ(closed.waitExit(30000), 1);
    EXPECT_EQ(quask_test::readFile(at("full.err")), "quillon: cannot write to standard output: Bad file descriptor\n");
    EXPECT_EQ(quask_test::readFile(quillon::instanceLockPath()), "");
}

TEST_F(QuillonProgramTest, MarkerStartsAFullCheckInsteadOfThePatchRun) {
    const std::string a = "repaired";
    serve("meta/sum_full.txt", "REV:4\n" + sumLine(a, "/a.txt"));
    serve("data/a.txt", a);
    std::ofstream(at("game/DoFullCheck")) << "";
    ASSERT_EQ(runQuillon(), 0) << err();
    EXPECT_EQ(game("a.txt"), a);
    EXPECT_FALSE(fs::exists(at("game/DoFullCheck")));
    EXPECT_EQ(requests().find("lastrev"), std::string::npos);
    EXPECT_EQ(storedRevision(), 4u);
    EXPECT_NE(out().find("Getting Checksum Information\n"), std::string::npos);
}
