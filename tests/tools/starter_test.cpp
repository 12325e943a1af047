// starter end to end: a copy of the real program in a temporary game
// directory, with a fake client at system/velmar.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "shared/start_handshake.h"
#include "tests/shared/handshake_util.h"

extern char** environ;

namespace {

using namespace starter_test;
namespace fs = std::filesystem;

const char* kStarter = QUASK_BIN_DIR "/tools/starter/starter";
const char* kGameStartFailed = "Process creation failed.: Game Start failed.\n";

struct StarterRun {
    bool finished = false;
    int exitCode = -1;
    std::string errors;  // the starter's standard error
};

class StarterTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_game = makeTempDir();
        ASSERT_FALSE(m_game.empty());
        m_report = m_game + "/client_report.txt";
        quask::unlinkSplashEvent(quask::splashEventName(m_game));
    }
    void TearDown() override {
        killClientOf(m_report);
        quask::unlinkSplashEvent(quask::splashEventName(m_game));
        ::unlink(quask::startTurnPath(quask::splashEventName(m_game)).c_str());
    }

    // A client left running ends with its test; a reused process id
    // belongs to some other program and is left alone.
    void killClientOf(const std::string& report) {
        const long pid = std::atol(readFile(report).c_str());
        char exe[4096] = {};
        const std::string link = "/proc/" + std::to_string(pid) + "/exe";
        if (pid > 0 && readlink(link.c_str(), exe, sizeof exe - 1) > 0 &&
            std::string(exe).rfind(m_game, 0) == 0) {
            kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }

    // Lays out <dir>/starter and, when `withClient`, <dir>/system/velmar.
    void layOut(const std::string& dir, bool withClient) {
        fs::create_directories(dir + "/system");
        // A copy, not a link: the starter finds its game directory through
        // the resolved program path.
        fs::copy_file(kStarter, dir + "/starter", fs::copy_options::overwrite_existing);
        if (withClient) {
            fs::copy_file(kFakeClient, dir + "/system/velmar",
                          fs::copy_options::overwrite_existing);
        }
    }

    StarterRun run(const std::string& dir, const char* mode) {
        pid_t pid = start(dir, mode, m_report, nullptr);
        return finish(pid, m_report + ".stderr");
    }

    // Starts the starter; its client reports to `report` and, with
    // `waitFor`, opens the event only once that file is there. 0 on failure.
    pid_t start(const std::string& dir, const char* mode, const std::string& report, const char* waitFor) {
        ScopedEnv quiet("QUASK_NONINTERACTIVE", "1");
        ScopedEnv clientMode("FAKE_CLIENT_MODE", mode);
        ScopedEnv clientReport("FAKE_CLIENT_REPORT", report.c_str());
        ScopedEnv clientWait("FAKE_CLIENT_WAIT_FOR", waitFor);
        const std::string program = dir + "/starter";
        const std::string errors = report + ".stderr";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        // Run from elsewhere: the starter must not rely on its working directory.
        posix_spawn_file_actions_addchdir_np(&fa, "/");
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        pid_t pid = 0;
        const int error = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        return error == 0 ? pid : 0;
    }

    StarterRun finish(pid_t pid, const std::string& errors) {
        StarterRun result;
        if (pid == 0) return result;
        int status = 0;
        result.finished = waitExit(pid, 8000, status);
        if (result.finished && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        result.errors = readFile(errors);
        return result;
    }

    std::string m_game;
    std::string m_report;
};

TEST_F(StarterTest, SignallingClientGivesZeroAndKeepsRunningInTheGameDirectory) {
    layOut(m_game, true);
    const auto start = std::chrono::steady_clock::now();
    const StarterRun r = run(m_game, "signal-stay");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.errors, "");
    // The client lives 10 s after signalling; the starter does not wait for that.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // pid, working directory, argument count, program path.
    const std::string report = readFile(m_report);
    const long pid = std::atol(report.c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(static_cast<pid_t>(pid), 0), 0);
    EXPECT_EQ(report.substr(report.find('\n') + 1),
              m_game + "\n1\n" + m_game + "/system/velmar\n");
    // The name is gone once the wait is over.
    EXPECT_FALSE(quask::SplashEvent::openExisting(quask::splashEventName(m_game)).isOpen());
}

// A double click: the second start comes while the first client is still on
// its way up. Each client finds the event, and each starter returns once its
// own client is up, not once the other one is.
TEST_F(StarterTest, TwoStartsAtOnceEachBringTheirOwnClientUp) {
    layOut(m_game, true);
    const std::string go = m_game + "/go";
    const std::string firstReport = m_game + "/first_report.txt";
    const pid_t first = start(m_game, "signal-stay", firstReport, go.c_str());
    ASSERT_NE(first, 0);
    for (int i = 0; i < 500 && readFile(firstReport).empty(); ++i) usleep(10000);
    ASSERT_NE(readFile(firstReport), "");  // the first client runs, not yet up

    const pid_t second = start(m_game, "signal-stay", m_report, nullptr);
    ASSERT_NE(second, 0);
    // Give the second start time to get its client up; it waits its turn.
    int status = 0;
    for (int i = 0; i < 100 && waitpid(second, &status, WNOHANG) == 0; ++i) usleep(10000);
    writeFile(go, "");

    const StarterRun one = finish(first, firstReport + ".stderr");
    const StarterRun two = finish(second, m_report + ".stderr");
    const long firstClient = std::atol(readFile(firstReport).c_str());
    const long secondClient = std::atol(readFile(m_report).c_str());
    EXPECT_TRUE(one.finished);
    EXPECT_EQ(one.exitCode, 0) << one.errors;
    EXPECT_EQ(one.errors, "");
    EXPECT_TRUE(two.finished);
    EXPECT_EQ(two.exitCode, 0) << two.errors;
    EXPECT_EQ(two.errors, "");
    EXPECT_EQ(kill(static_cast<pid_t>(firstClient), 0), 0);
    EXPECT_EQ(kill(static_cast<pid_t>(secondClient), 0), 0);
    EXPECT_FALSE(quask::SplashEvent::openExisting(quask::splashEventName(m_game)).isOpen());
    killClientOf(firstReport);
}

// Without a runtime directory the turn's file lies in /tmp under a name
// anyone can work out: another user's file there, held locked, is no turn
// to wait for, or that user could keep the game from starting for ever.
TEST_F(StarterTest, TurnFileOfAnotherUserDoesNotHoldTheStart) {
    if (::geteuid() != 0) GTEST_SKIP() << "making a file of another user takes root";
    layOut(m_game, true);
    const std::string turn = quask::startTurnPath(quask::splashEventName(m_game));
    const int held = ::open(turn.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(held, 0) << turn;
    ASSERT_EQ(::fchown(held, 65534, 65534), 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const StarterRun r = run(m_game, "signal-stay");
    ::close(held);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.errors;
}

TEST_F(StarterTest, ClientEndingBeforeItSignalsGivesOne) {
    layOut(m_game, true);
    const StarterRun r = run(m_game, "early");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(readFile(m_report), "");  // the client did run
    EXPECT_FALSE(quask::SplashEvent::openExisting(quask::splashEventName(m_game)).isOpen());
}

TEST_F(StarterTest, MissingClientShowsGameStartFailed) {
    layOut(m_game, false);
    const StarterRun r = run(m_game, "signal-stay");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errors, kGameStartFailed);
    EXPECT_FALSE(quask::SplashEvent::openExisting(quask::splashEventName(m_game)).isOpen());
}

TEST_F(StarterTest, EventThatCannotBeCreatedStopsBeforeTheClientStarts) {
    // A directory where the event's backing file belongs makes creating it
    // fail for every user, root included.
    const std::string blocker = "/dev/shm/sem." + quask::splashEventName(m_game).substr(1);
    if (mkdir(blocker.c_str(), 0700) != 0) GTEST_SKIP() << "cannot block " << blocker;
    layOut(m_game, true);
    const StarterRun r = run(m_game, "signal-stay");
    rmdir(blocker.c_str());
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errors, kGameStartFailed);
    EXPECT_EQ(readFile(m_report), "");  // never started
}

TEST_F(StarterTest, GameDirectoryTooLongForTheBufferIsReported) {
    std::string deep = m_game;
    while (deep.size() < 1100) deep += "/" + std::string(200, 'd');
    layOut(deep, true);
    const StarterRun r = run(deep, "signal-stay");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errors, "Error: Failed to get the BaseDirectory\n");
    EXPECT_EQ(readFile(m_report), "");
}

}  // namespace
