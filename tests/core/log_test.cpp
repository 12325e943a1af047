// The log file, its datagrams and the critical box.
#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/version.h"
#include "tests/support/child_process.h"
#include "tests/support/log_socket.h"

using namespace velmar;

namespace {

// The log server's stand-in: the datagrams sent to a port of the test's own.
class Receiver {
public:
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
        CLOG::Destroy();
        std::system(("rm -rf " + m_dir).c_str());
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

TEST_F(Log, CriticalMessageShowsTheBoxWithTheUnprefixedText) {
    ::testing::internal::CaptureStderr();
    Message(kLogCrit, "Video: Only 32 Bit's color is supported.");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "Critical Log Message: Critical Log Message Received (Error).\nMessage:\n\n"
              "Video: Only 32 Bit's color is supported.\n\nPlease contact Support!\n");
    EXPECT_TRUE(std::regex_search(file(), std::regex("\\(CRIT\\) Video: Only 32 Bit's color is supported.\r\n$")));
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

TEST_F(Log, ConcurrentMessagesNeverSpliceLines) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 300; ++i) Message(kLogInfo, "thread %d line %d %s", t, i, "payload");
        });
    for (auto& th : threads) th.join();
    std::istringstream lines(file());
    std::string line;
    int count = 0;
    std::regex shape("\\[\\d+\\.\\d{6}\\] \\(INFO\\) thread \\d line \\d+ payload\r");
    for (int skip = 0; skip < 3; ++skip) std::getline(lines, line);  // banner
    while (std::getline(lines, line)) {
        ASSERT_TRUE(std::regex_match(line, shape)) << line;
        ++count;
    }
    EXPECT_EQ(count, 1200);
}

TEST_F(Log, DestroyWritesClosingLinesAndThe76ByteDatagram) {
    CLOG::Destroy();
    std::string d;
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

TEST(LogCreate, UncreatableFileShowsTheFatalBoxAndExitsZero) {
    // The log directory is a plain file, so neither the directory nor the log can be made.
    char tmpl[] = "/tmp/velmar-log-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::ofstream(dir + "/log") << "not a directory";
    EXPECT_EXIT(CLOG::Create(dir + "/log", quask_test::quietLogPort()), ::testing::ExitedWithCode(0),
                "Fatal Error: Cannot create LastRun.log. Contact support!");
    std::system(("rm -rf " + dir).c_str());
}
