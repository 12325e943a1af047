// The pieces of the start handshake: game directory, process start and the
// splash event with its wait, each against the real system.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "shared/game_dir.h"
#include "shared/process_start.h"
#include "shared/start_handshake.h"
#include "tests/shared/handshake_util.h"

namespace {

using namespace starter_test;
using quask::GameDirStatus;
using quask::SplashEvent;
using quask::SplashWait;

// --- Game directory ---

TEST(GameDir, SplitKeepsDirectoryWithoutSeparatorAndModuleName) {
    quask::ProgramLocation loc;
    ASSERT_EQ(quask::splitProgramPath("/opt/quask game/starter", loc), GameDirStatus::Ok);
    EXPECT_EQ(loc.directory, "/opt/quask game");
    EXPECT_EQ(loc.moduleName, "starter");
}

TEST(GameDir, PathWithoutDirectoryPartIsRejected) {
    quask::ProgramLocation loc;
    EXPECT_EQ(quask::splitProgramPath("starter", loc), GameDirStatus::NoDirectory);
    // A separator at the very start leaves an empty directory, not "/".
    EXPECT_EQ(quask::splitProgramPath("/starter", loc), GameDirStatus::NoDirectory);
    EXPECT_EQ(quask::gameDirFailureText(GameDirStatus::NoDirectory),
              std::string("Failed to get the BaseDirectory - errornous Directory structure?!"));
}

TEST(GameDir, TestProgramLocatesItsOwnDirectory) {
    char expected[4096];
    ASSERT_NE(realpath(QUASK_BIN_DIR "/tests", expected), nullptr);
    quask::ProgramLocation loc;
    ASSERT_EQ(quask::locateProgram(loc), GameDirStatus::Ok);
    EXPECT_EQ(loc.directory, expected);
    EXPECT_EQ(loc.moduleName, "test_starter");
}

TEST(GameDir, PathThatDoesNotFitTheBufferFailsInsteadOfBeingCut) {
    const std::string dir = makeTempDir();
    const std::string link = dir + "/self";
    // 1022 characters fit the buffer with room to spare; 1023 might be cut.
    const std::string fits = "/" + std::string(1013, 'a') + "/starter";
    ASSERT_EQ(fits.size(), quask::kProgramPathBuffer - 2);
    ASSERT_EQ(symlink(fits.c_str(), link.c_str()), 0);
    quask::ProgramLocation loc;
    ASSERT_EQ(quask::locateProgram(loc, link.c_str()), GameDirStatus::Ok);
    EXPECT_EQ(loc.directory, "/" + std::string(1013, 'a'));

    const std::string tooLong = "/" + std::string(1014, 'a') + "/starter";
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(tooLong.c_str(), link.c_str()), 0);
    EXPECT_EQ(quask::locateProgram(loc, link.c_str()), GameDirStatus::PathUnreadable);
    EXPECT_EQ(quask::locateProgram(loc, (dir + "/missing").c_str()),
              GameDirStatus::PathUnreadable);
}

// --- Process start ---

TEST(ProcessStart, ChildRunsInTheGivenWorkingDirectory) {
    const std::string dir = makeTempDir();
    pid_t pid = 0;
    ASSERT_EQ(quask::startProcess({"/bin/sh", "-c", "pwd -P > cwd.txt; exit 4"}, dir, pid), 0);
    int code = -1;
    ASSERT_EQ(quask::waitProcess(pid, code), quask::ProcessEnd::Exited);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(readFile(dir + "/cwd.txt"), dir + "\n");
}

TEST(ProcessStart, MissingProgramOrDirectoryFailsAtStartNotInTheChild) {
    const std::string dir = makeTempDir();
    pid_t pid = 0;
    EXPECT_EQ(quask::startProcess({dir + "/system/velmar"}, dir, pid), ENOENT);
    EXPECT_EQ(quask::startProcess({"/bin/true"}, dir + "/absent", pid), ENOENT);
    EXPECT_EQ(quask::startProcess({}, dir, pid), EINVAL);
    int status = 0;
    // Nothing was started, so there is nothing to reap.
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// --- Splash event ---

class SplashEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        m_name = "/quask_test_splash." + std::to_string(getpid()) + "." + std::to_string(++counter);
    }
    void TearDown() override { quask::unlinkSplashEvent(m_name); }
    std::string m_name;
};

TEST_F(SplashEventTest, ResetDrainsEveryPendingSignal) {
    SplashEvent event = SplashEvent::create(m_name);
    ASSERT_TRUE(event.isOpen());
    EXPECT_FALSE(event.trySignalled());  // created non-signalled
    ASSERT_TRUE(event.set());
    ASSERT_TRUE(event.set());
    ASSERT_TRUE(event.set());
    event.reset();
    EXPECT_FALSE(event.trySignalled());
    ASSERT_TRUE(event.set());
    EXPECT_TRUE(event.trySignalled());
    EXPECT_FALSE(event.trySignalled());  // one signal releases one waiter
}

TEST_F(SplashEventTest, CreateOpensAnExistingEventAndOpenExistingSharesIt) {
    SplashEvent first = SplashEvent::create(m_name);
    ASSERT_TRUE(first.isOpen());
    ASSERT_TRUE(first.set());
    SplashEvent second = SplashEvent::create(m_name);
    ASSERT_TRUE(second.isOpen());
    EXPECT_TRUE(second.trySignalled());

    SplashEvent client = SplashEvent::openExisting(m_name);
    ASSERT_TRUE(client.isOpen());
    EXPECT_TRUE(client.signalAndClose());
    EXPECT_FALSE(client.isOpen());
    EXPECT_FALSE(client.signalAndClose());  // a second signal does nothing
    EXPECT_TRUE(first.trySignalled());
    EXPECT_FALSE(first.trySignalled());
}

TEST_F(SplashEventTest, OpenExistingFailsWhenMissingOrUnlinked) {
    EXPECT_FALSE(SplashEvent::openExisting(m_name).isOpen());
    SplashEvent event = SplashEvent::create(m_name);
    ASSERT_TRUE(event.isOpen());
    ASSERT_TRUE(quask::unlinkSplashEvent(m_name));
    EXPECT_FALSE(quask::unlinkSplashEvent(m_name));
    EXPECT_FALSE(SplashEvent::openExisting(m_name).isOpen());
    // The starter's own handle still works after the name is gone.
    EXPECT_TRUE(event.set());
    EXPECT_TRUE(event.trySignalled());
}

TEST_F(SplashEventTest, EventIsCreatedForItsOwnerOnly) {
    struct stat st {};
    const std::string file = "/dev/shm/sem." + m_name.substr(1);
    const mode_t oldMask = umask(0);
    SplashEvent event = SplashEvent::create(m_name);
    umask(oldMask);
    ASSERT_TRUE(event.isOpen());
    if (stat(file.c_str(), &st) != 0) GTEST_SKIP() << "named semaphores are not under /dev/shm";
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SplashEventTest, InvalidNameFailsWithItsError) {
    int error = 0;
    SplashEvent event = SplashEvent::create("/quask/not/a/name", &error);
    EXPECT_FALSE(event.isOpen());
    EXPECT_EQ(error, EINVAL);
    EXPECT_FALSE(event.set());
    event.reset();  // harmless on a closed event
}

TEST_F(SplashEventTest, WaitReportsProcessEndWhenChildNeverSignals) {
    SplashEvent event = SplashEvent::create(m_name);
    ASSERT_TRUE(event.isOpen());
    pid_t pid = 0;
    ASSERT_EQ(quask::startProcess({"/bin/sh", "-c", "sleep 0.2; exit 7"}, "", pid), 0);
    int status = 0;
    EXPECT_EQ(event.waitSetOrProcessEnded(pid, &status), SplashWait::ProcessEnded);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), -1);  // already reaped
}

TEST_F(SplashEventTest, WaitReturnsOnSignalWhileChildStillRuns) {
    SplashEvent event = SplashEvent::create(m_name);
    ASSERT_TRUE(event.isOpen());
    ScopedEnv mode("FAKE_CLIENT_MODE", "signal-stay");
    ScopedEnv name("FAKE_CLIENT_EVENT", m_name.c_str());
    pid_t pid = 0;
    ASSERT_EQ(quask::startProcess({kFakeClient}, "", pid), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.waitSetOrProcessEnded(pid), SplashWait::Set);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);  // the client lives on
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
}

TEST_F(SplashEventTest, SignalJustBeforeTheEndCountsAsSignalled) {
    SplashEvent event = SplashEvent::create(m_name);
    ASSERT_TRUE(event.isOpen());
    ScopedEnv mode("FAKE_CLIENT_MODE", "signal-exit");
    ScopedEnv name("FAKE_CLIENT_EVENT", m_name.c_str());
    pid_t pid = 0;
    ASSERT_EQ(quask::startProcess({kFakeClient}, "", pid), 0);
    // The client has signalled and ended (not yet reaped) before anyone waits:
    // its end must not hide its signal.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    int status = -1;
    EXPECT_EQ(event.waitSetOrProcessEnded(pid, &status), SplashWait::Set);
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SplashEventTest, WaitOnAProcessThatIsNotOursFails) {
    SplashEvent event = SplashEvent::create(m_name);
    ASSERT_TRUE(event.isOpen());
    EXPECT_EQ(event.waitSetOrProcessEnded(getppid()), SplashWait::Failed);
}

TEST_F(SplashEventTest, ClientEventSignalsOnceAndOnlyWhenOpened) {
    // Without an open event the client's signal is a no-op.
    quask::signalClientSplashEvent();
    // The client looks for the event of its working directory's game.
    SplashEvent starter = SplashEvent::create(quask::splashEventName("."));
    ASSERT_TRUE(starter.isOpen());
    starter.reset();
    ASSERT_TRUE(quask::openClientSplashEvent());
    quask::signalClientSplashEvent();
    quask::signalClientSplashEvent();
    EXPECT_TRUE(starter.trySignalled());
    EXPECT_FALSE(starter.trySignalled());
    quask::unlinkSplashEvent(quask::splashEventName("."));
    EXPECT_FALSE(quask::openClientSplashEvent());
}

TEST(SplashEventName, OneEventPerGameDirectoryWhateverPathLeadsThere) {
    const std::string game = makeTempDir();
    const std::string other = makeTempDir();
    ASSERT_FALSE(game.empty());
    ASSERT_FALSE(other.empty());
    const std::string link = other + "/link";
    ASSERT_EQ(symlink(game.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkdir((game + "/system").c_str(), 0700), 0);
    const std::string name = quask::splashEventName(game);
    EXPECT_EQ(name.rfind("/QuaskSplashScreenWait." + std::to_string(getuid()) + ".", 0), 0u);
    EXPECT_EQ(quask::splashEventName(link), name);
    EXPECT_EQ(quask::splashEventName(game + "/system/.."), name);
    // Another installation's starter cannot be released by this one's client.
    EXPECT_NE(quask::splashEventName(other), name);
}

}  // namespace
