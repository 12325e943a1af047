// The log file, its datagrams and the critical box.
#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/runtime.h"
#include "client/core/version.h"
#include "shared/message_box.h"
#include "tests/shared/handshake_util.h"
#include "tests/support/child_process.h"
#include "tests/support/log_socket.h"

using namespace velmar;

namespace {

// The log server's stand-in: the datagrams sent to a port of the test's own.
class Receiver {
public:
    Receiver() {
        // Room for a burst that arrives while nobody reads (the kernel caps
        // it at net.core.rmem_max).
        const int size = 8 << 20;
        setsockopt(m_socket.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    std::uint16_t port() const { return m_socket.port(); }
    // The next datagram; false after waiting `timeoutMs` for one.
    bool next(std::string* out, int timeoutMs = 1000) {
        pollfd p{m_socket.fd(), POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return false;
        char buf[70000];
        ssize_t n = recv(m_socket.fd(), buf, sizeof buf, 0);
        if (n < 0) return false;
        out->assign(buf, static_cast<std::size_t>(n));
        return true;
    }
    // The text of the next message's three datagrams; false unless all
    // three came, the last a line feed.
    bool nextMessage(std::string* text) {
        std::string prefix, lf;
        return next(&prefix) && next(text) && next(&lf) && lf == "\n";
    }

private:
    quask_test::LogSocket m_socket;
};

using quask_test::readFile;

class Log : public ::testing::Test {
protected:
    void SetUp() override {
        PerfClock::Create();
        char tmpl[] = "/tmp/velmar-log-XXXXXX";
        m_dir = mkdtemp(tmpl);
        CLOG::Create(m_dir + "/log", m_rx.port());
        std::string banner;
        ASSERT_TRUE(m_rx.next(&banner));
        m_banner = banner;
    }
    void TearDown() override {
        quask::setMessageBoxBackend(nullptr);
        CLOG::Destroy();
        std::filesystem::remove_all(m_dir);
    }
    std::string file() { return readFile(m_dir + "/log/LastRun.log"); }

    Receiver m_rx;
    std::string m_dir;
    std::string m_banner;
};

}  // namespace

TEST_F(Log, BannersNameTheVersionAndUtcDate) {
    const std::string v = versionText(), d = buildDateText();
    std::regex fileBanner("Engine Begin: \\d{1,2}/\\d{1,2}/\\d{4} \\d{2}:\\d{2}:\\d{2}\r\n"
                          "Build String: " + v + " \\(Build Date: " + d + "\\)\r\n"
                          "={40}\r\n");
    EXPECT_TRUE(std::regex_match(file(), fileBanner)) << file();
    std::regex netBanner("\n={62}\n= Velmar Begin @ \\d{1,2}/\\d{1,2}/\\d{4} \\d{2}:\\d{2}:\\d{2}\n"
                         "= Version: " + v + " \\(Build Date: " + d + "\\)\n={62}\n");
    EXPECT_TRUE(std::regex_match(m_banner, netBanner)) << m_banner;
}

TEST(LogPrefix, TimeStampHasSixDecimalsAndTheLevelTag) {
    EXPECT_EQ(CLOG::formatPrefix(12.5, 2), "[12.500000] (INFO) ");
    EXPECT_EQ(CLOG::formatPrefix(0.0000014, 0), "[0.000001] ");
    EXPECT_EQ(CLOG::formatPrefix(1.0, 3), "[1.000000] (WARN) ");
    EXPECT_EQ(CLOG::formatPrefix(1.0, 4), "[1.000000] (CRIT) ");
    EXPECT_EQ(CLOG::formatPrefix(1.0, 5), "[1.000000] (Unknown) ");
    EXPECT_EQ(CLOG::formatPrefix(1.0, -1), "[1.000000] (Unknown) ");
}

TEST_F(Log, MessageWritesOneFileLineAndThreeDatagrams) {
    Message(kLogInfo, "Entering %s Loop", "Main");
    const std::string f = file();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(f, m, std::regex("\r\n(\\[\\d+\\.\\d{6}\\] \\(INFO\\) )Entering Main Loop\r\n$")))
        << f;
    std::string prefix, text, lf;
    ASSERT_TRUE(m_rx.next(&prefix));
    ASSERT_TRUE(m_rx.next(&text));
    ASSERT_TRUE(m_rx.next(&lf));
    EXPECT_EQ(prefix, m[1].str());
    EXPECT_EQ(text, "Entering Main Loop");
    EXPECT_EQ(lf, "\n");
    std::string extra;
    EXPECT_FALSE(m_rx.next(&extra, 100));
}

TEST_F(Log, PlainLevelHasOnlyTheTimeStampAndOneBlank) {
    Message(kLogPlain, "Vendor: %s", "X");
    EXPECT_TRUE(std::regex_search(file(), std::regex("\r\n\\[\\d+\\.\\d{6}\\] Vendor: X\r\n$"))) << file();
}

namespace {

// What had arrived when the box was asked for. On loopback a datagram is in
// the receiver's queue once its send returns, so nothing needs a wait.
Receiver* g_boxReceiver = nullptr;
std::vector<std::string> g_arrivedAtBox;

quask::BoxResult boxThatLooksAtTheNetworkLog(const std::string&, const std::string&, quask::BoxIcon,
                                             quask::BoxButtons) {
    std::string d;
    while (g_boxReceiver->next(&d, 0)) g_arrivedAtBox.push_back(d);
    return quask::BoxResult::Ok;
}

}  // namespace

TEST_F(Log, CriticalMessageShowsTheBoxWithTheUnprefixedTextOnceEveryDatagramIsSent) {
    starter_test::ScopedEnv interactive("QUASK_NONINTERACTIVE", nullptr);
    starter_test::ScopedEnv display("DISPLAY", ":quask-test");
    g_boxReceiver = &m_rx;
    g_arrivedAtBox.clear();
    quask::setMessageBoxBackend(boxThatLooksAtTheNetworkLog);
    constexpr int kBefore = 50;  // queued ahead of it, so the sender is still busy
    for (int i = 0; i < kBefore; ++i) Message(kLogInfo, "before %d", i);
    ::testing::internal::CaptureStderr();
    Message(kLogCrit, "Video: Only 32 Bit's color is supported.");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "Critical Log Message: Critical Log Message Received (Error).\nMessage:\n\n"
              "Video: Only 32 Bit's color is supported.\n\nPlease contact Support!\n");
    EXPECT_TRUE(std::regex_search(file(), std::regex("\\(CRIT\\) Video: Only 32 Bit's color is supported.\r\n$")));
    ASSERT_EQ(g_arrivedAtBox.size(), 3u * kBefore + 3);
    EXPECT_EQ(g_arrivedAtBox[3 * kBefore - 2], "before " + std::to_string(kBefore - 1));
    EXPECT_NE(g_arrivedAtBox[3 * kBefore].find("(CRIT) "), std::string::npos);
    EXPECT_EQ(g_arrivedAtBox[3 * kBefore + 1], "Video: Only 32 Bit's color is supported.");
    EXPECT_EQ(g_arrivedAtBox[3 * kBefore + 2], "\n");
}

TEST_F(Log, OverlongMessageIsCutAtTheLimit) {
    const std::string huge(10000, 'x');
    Message(kLogWarn, "%s", huge.c_str());
    std::string prefix, text, lf;
    ASSERT_TRUE(m_rx.next(&prefix));
    ASSERT_TRUE(m_rx.next(&text));
    EXPECT_EQ(text.size(), static_cast<std::size_t>(kLogMessageMax));
    EXPECT_NE(file().find(std::string(kLogMessageMax, 'x') + "\r\n"), std::string::npos);
}

TEST_F(Log, TraceGoesToTheNetworkOnly) {
    const std::string before = file();
    CLOG::instance()->Trace(false, "RConf", 42, "velmar::CRConf::LoadConfigFromFile", "'%s' is '%s'\n",
                            "VSync", "TRUE");
    std::string d;
    ASSERT_TRUE(m_rx.next(&d));
    EXPECT_EQ(d, "'VSync' is 'TRUE'\n");
    EXPECT_FALSE(m_rx.next(&d, 100));

    CLOG::instance()->Trace(true, "RConf", 42, "velmar::CRConf::LoadConfigFromFile", "x");
    ASSERT_TRUE(m_rx.next(&d));
    EXPECT_EQ(d, "velmar::CRConf::LoadConfigFromFile@RConf:42: ");
    ASSERT_TRUE(m_rx.next(&d));
    EXPECT_EQ(d, "x");
    EXPECT_EQ(file(), before);
}

TEST(TraceSite, QualifiedFunctionAndFileBaseName) {
    const struct {
        const char* pretty;
        const char* path;
        const char* function;
        const char* file;
    } cases[] = {
        {"void velmar::CRConf::LoadConfigFromFile(const char*)", "client/core/rconf.cpp",
         "velmar::CRConf::LoadConfigFromFile", "rconf"},
        {"void velmar::{anonymous}::onGlfwError(int, const char*)", "/src/client/platform/glfw_window.cpp",
         "velmar::{anonymous}::onGlfwError", "glfw_window"},
        {"std::map<int, const char*> velmar::table(int)", "table.h", "velmar::table", "table"},
        {"int main()", "main", "main", "main"},
    };
    for (const auto& c : cases) {
        const velmar::TraceSite site = velmar::traceSite(c.pretty, c.path);
        EXPECT_STREQ(site.function, c.function) << c.pretty;
        EXPECT_STREQ(site.file, c.file) << c.path;
    }
}

TEST_F(Log, ConcurrentMessagesNeverSpliceLinesOrDatagrams) {
    constexpr int kThreads = 4, kLines = 150;
    constexpr std::size_t kDatagrams = 3 * kThreads * kLines;
    std::vector<std::string> datagrams;
    std::thread reader([&] {  // reads meanwhile, so a small socket buffer drops nothing
        std::string d;
        while (datagrams.size() < kDatagrams && m_rx.next(&d, 2000)) datagrams.push_back(d);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) Message(kLogInfo, "thread %d line %d %s", t, i, "payload");
        });
    for (auto& th : threads) th.join();
    reader.join();

    std::istringstream lines(file());
    std::string line;
    std::multiset<std::string> fileLines;
    std::regex shape("\\[\\d+\\.\\d{6}\\] \\(INFO\\) thread \\d line \\d+ payload\r");
    for (int skip = 0; skip < 3; ++skip) std::getline(lines, line);  // banner
    while (std::getline(lines, line)) {
        ASSERT_TRUE(std::regex_match(line, shape)) << line;
        fileLines.insert(line);
    }
    EXPECT_EQ(fileLines.size(), static_cast<std::size_t>(kThreads * kLines));

    // Each message's three datagrams back to back, each thread's in its order,
    // and together they are the file's lines.
    ASSERT_EQ(datagrams.size(), kDatagrams);
    const std::regex prefixShape("\\[\\d+\\.\\d{6}\\] \\(INFO\\) ");
    const std::regex text("thread (\\d) line (\\d+) payload");
    int nextLine[kThreads] = {};
    std::multiset<std::string> sentLines;
    for (std::size_t i = 0; i < datagrams.size(); i += 3) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(datagrams[i], prefixShape)) << i << ": " << datagrams[i];
        ASSERT_TRUE(std::regex_match(datagrams[i + 1], m, text)) << i << ": " << datagrams[i + 1];
        ASSERT_EQ(datagrams[i + 2], "\n") << i;
        const int t = std::stoi(m[1].str());
        EXPECT_EQ(std::stoi(m[2].str()), nextLine[t]++) << "thread " << t;
        sentLines.insert(datagrams[i] + datagrams[i + 1] + "\r");
    }
    EXPECT_EQ(sentLines, fileLines);
}

TEST_F(Log, DestroySendsWhatIsQueuedThenThe76ByteDatagramAndClosingLines) {
    constexpr int kBurst = 64;
    for (int i = 0; i < kBurst; ++i) Message(kLogInfo, "burst %d", i);
    CLOG::Destroy();
    std::string d;
    for (int i = 0; i < kBurst; ++i) {
        ASSERT_TRUE(m_rx.nextMessage(&d)) << i;
        ASSERT_EQ(d, "burst " + std::to_string(i));
    }
    ASSERT_TRUE(m_rx.next(&d));
    ASSERT_EQ(d.size(), 76u);
    EXPECT_EQ(d.back(), '\0');
    EXPECT_EQ(d.substr(0, 75),
              "\n> CLOG::Destroy,   Game shutdown nearly complete. || End of debug session\n");
    const std::string f = file();
    EXPECT_EQ(f.substr(f.size() - 58), std::string(40, '=') + "\r\nEngine Destroy\r\n");
    // After Destroy, messages are dropped quietly.
    Message(kLogInfo, "late");
    EXPECT_EQ(file(), f);
}

TEST(LogExit, ExitWhoseHandlersNeverReachDestroyStillSendsEveryDatagram) {
    // Fast style: the child sends to this process's socket.
    GTEST_FLAG_SET(death_test_style, "fast");
    ASSERT_TRUE(PerfClock::isCreated() || PerfClock::Create());
    Receiver rx;
    char tmpl[] = "/tmp/velmar-log-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    constexpr int kBurst = 64;
    EXPECT_EXIT(
        {
            CLOG::Create(dir + "/log", rx.port());
            for (int i = 0; i < kBurst; ++i) Message(kLogInfo, "burst %d", i);
            exitProcess(1);
        },
        ::testing::ExitedWithCode(1), "");
    std::string d;
    ASSERT_TRUE(rx.next(&d));  // the banner
    for (int i = 0; i < kBurst; ++i) {
        ASSERT_TRUE(rx.nextMessage(&d)) << i;
        ASSERT_EQ(d, "burst " + std::to_string(i));
    }
    std::filesystem::remove_all(dir);
}

// A second client started in the same game directory while the first still
// writes: LastRun.log is then the second one's log, whole, never the first
// one's lines written past a cut (a run of zero bytes) or a mix of both.
// The second client is a fresh run of this test, told the game's folder by
// LOG_TEST_SECOND_CLIENT: a child forked from this process, whose log thread
// runs, could not start threads of its own under the sanitizers.
TEST(LogCreate, SecondClientsLogIsWholeWhileTheFirstGoesOnWriting) {
    ASSERT_TRUE(PerfClock::isCreated() || PerfClock::Create());
    if (const char* game = std::getenv("LOG_TEST_SECOND_CLIENT")) {
        CLOG::Create(std::string(game) + "/log", quask_test::quietLogPort());
        Message(kLogInfo, "second client");
        CLOG::Destroy();
        return;
    }
    char tmpl[] = "/tmp/velmar-log-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    CLOG::Create(dir + "/log", quask_test::quietLogPort());
    for (int i = 0; i < 40; ++i) Message(kLogInfo, "first client, line %d", i);
    {
        quask_test::ChildProcess::Options o;
        o.extraEnv = {"LOG_TEST_SECOND_CLIENT=" + dir};
        quask_test::ChildProcess second({std::filesystem::read_symlink("/proc/self/exe").string(),
                                         "--gtest_filter=LogCreate.SecondClientsLogIsWholeWhileTheFirstGoesOnWriting"},
                                        o);
        ASSERT_EQ(second.waitExit(60000), 0);
    }
    Message(kLogInfo, "first client, after the second started");
    CLOG::Destroy();
    const std::string log = readFile(dir + "/log/LastRun.log");
    EXPECT_EQ(log.find('\0'), std::string::npos);
    EXPECT_EQ(log.find("Engine Begin"), 0u) << log;
    EXPECT_EQ(log.find("Engine Begin", 1), std::string::npos) << log;
    EXPECT_NE(log.find("(INFO) second client\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("first client"), std::string::npos) << log;
    const std::string end = "Engine Destroy\r\n";
    EXPECT_EQ(log.rfind(end), log.size() - end.size()) << log;
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/log")) names.insert(e.path().filename());
    EXPECT_EQ(names, std::set<std::string>{"LastRun.log"});
    std::filesystem::remove_all(dir);
}

TEST(LogCreate, UncreatableFileShowsTheFatalBoxAndExitsZero) {
    // The log directory is a plain file, so neither the directory nor the log can be made.
    char tmpl[] = "/tmp/velmar-log-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::ofstream(dir + "/log") << "not a directory";
    EXPECT_EXIT(CLOG::Create(dir + "/log", quask_test::quietLogPort()), ::testing::ExitedWithCode(0),
                "Fatal Error: Cannot create LastRun.log. Contact support!");
    std::filesystem::remove_all(dir);
}
