// brindle end to end: a real server process receiving real datagrams.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"

namespace {

using quask_test::ChildProcess;

const char* kBrindle = QUASK_BIN_DIR "/tools/logserver/brindle";
// A port of its own, from the kernel: game clients of other tests log to
// the fixed one.
unsigned short freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (fd >= 0) close(fd);
    return ok ? ntohs(addr.sin_port) : 0;
}
const unsigned short kPort = freeUdpPort();
const std::string kPortEnv = "BRINDLE_PORT=" + std::to_string(kPort);
const std::string kBanner =
    "Quask Client - Debug Server\n\nListening on 0.0.0.0:" + std::to_string(kPort) + "\nEntering recv loop.\n\n";

// One brindle process with its standard output in a file.
class Server {
public:
    explicit Server(const std::string& out) : m_out(out), m_process({kBrindle}, options(out)) {}
    bool started() const { return m_process.started(); }
    // The server flushes whenever no datagram waits, so the file shows it at once.
    bool waitFor(const std::string& text, int ms = 3000) { return quask_test::waitForText(m_out, text, ms); }
    pid_t pid() const { return m_process.pid(); }
    int waitExit() { return m_process.waitExit(3000); }
    std::string output() const { return quask_test::readFile(m_out); }

private:
    static ChildProcess::Options options(const std::string& out) {
        ChildProcess::Options o;
        o.stdoutPath = out;
        o.extraEnv = {kPortEnv};
        return o;
    }
    std::string m_out;
    ChildProcess m_process;
};

void sendFrom(int fd, const std::string& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void send(const std::string& bytes) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sendFrom(fd, bytes);
    close(fd);
}

std::string tempPath(const char* name) {
    return ::testing::TempDir() + "brindle-" + std::to_string(getpid()) + "-" + name;
}

}  // namespace

TEST(Brindle, PrintsDatagramsInArrivalOrderUpToTheFirstZeroByte) {
    Server server(tempPath("main.out"));
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.waitFor("Entering recv loop.\n\n"));

    send("[1.000000] (INFO) ");
    send(std::string("Entering Main Loop\0hidden", 25));
    send("");  // an empty datagram prints nothing and the loop goes on
    send("\n");
    // A trace as long as the client sends (4,095 characters) must not end the server.
    const std::string longLine(4095, 'L');
    send(longLine);
    // A file gets control bytes as sent; only a terminal is spared them.
    send("\n\x1b[2J\r\x7f\x9b");
    send("\nafter\n");
    ASSERT_TRUE(server.waitFor("after\n"));
    EXPECT_EQ(server.output(), std::string(kBanner) + "[1.000000] (INFO) Entering Main Loop\n" +
                                   longLine + "\n\x1b[2J\r\x7f\x9b\nafter\n");
}

// A developer's terminal: escape sequences from any sender must not reach it.
TEST(Brindle, TerminalOutputShowsControlBytesAsEscapes) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slavePath = ptsname(master);
    // Raw, so the terminal adds no carriage returns of its own.
    const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);

    ChildProcess::Options o;
    o.stdoutPath = slavePath;
    o.extraEnv = {kPortEnv};
    ChildProcess server({kBrindle}, o);
    ASSERT_TRUE(server.started());
    std::string shown;
    const auto readUntil = [&](const std::string& text) {
        for (int waited = 0; shown.find(text) == std::string::npos && waited < 3000; waited += 10) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10) == 1) {
                char block[4096];
                const ssize_t n = read(master, block, sizeof block);
                if (n > 0) shown.append(block, static_cast<std::size_t>(n));
            }
        }
        return shown.find(text) != std::string::npos;
    };
    ASSERT_TRUE(readUntil("Entering recv loop.\n\n"));
    send("\x1b]0;owned\x07\x1b[2Jline\r\n");
    send("after\n");
    EXPECT_TRUE(readUntil("after\n"));
    EXPECT_EQ(shown, std::string(kBanner) + "^[]0;owned^G^[[2Jline^M\nafter\n");
    close(slave);
    close(master);
}

TEST(Brindle, SecondInstanceCannotBindAndExitsOne) {
    Server first(tempPath("first.out"));
    ASSERT_TRUE(first.waitFor("Entering recv loop."));
    Server second(tempPath("second.out"));
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_EQ(second.output(), "Quask Client - Debug Server\n\nCant bind to 0.0.0.0:" + std::to_string(kPort) + "\n");
}

// A port it cannot take is refused before anything listens: falling back
// to the client's fixed port would take in the logs of every game beside it.
TEST(Brindle, PortItCannotTakeIsRefusedNotSwappedForTheClientsPort) {
    for (const char* value : {"70000", "0", "-1", "6601x", "abc", " 6601", "99999999999999999999"}) {
        SCOPED_TRACE(value);
        const std::string out = tempPath("port.out"), err = tempPath("port.err");
        ChildProcess::Options o;
        o.stdoutPath = out;
        o.stderrPath = err;
        o.extraEnv = {std::string("BRINDLE_PORT=") + value};
        ChildProcess server({kBrindle}, o);
        ASSERT_TRUE(server.started());
        EXPECT_EQ(server.waitExit(3000), 2);
        EXPECT_EQ(quask_test::readFile(out), "");
        EXPECT_EQ(quask_test::readFile(err),
                  std::string("brindle: BRINDLE_PORT takes a port from 1 to 65535, not '") + value + "'\n");
    }
}

// A burst that comes while the server is not reading (stopped here; busy
// printing, on a loaded machine) waits in the socket instead of being
// dropped: 4,000 datagrams are more than ten times what a default socket
// holds.
TEST(Brindle, BurstWhileNotReadingArrivesWhole) {
    const long rmemMax = std::atol(quask_test::readFile("/proc/sys/net/core/rmem_max").c_str());
    if (geteuid() != 0 && rmemMax < 4 * 1024 * 1024)
        GTEST_SKIP() << "an unprivileged socket buffer is capped at net.core.rmem_max = " << rmemMax;
    Server server(tempPath("burst.out"));
    ASSERT_TRUE(server.waitFor("Entering recv loop.\n\n"));
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    const int kBurst = 4000;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    for (int i = 0; i < kBurst; ++i) sendFrom(fd, "burst " + std::to_string(i) + "\n");
    close(fd);
    ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
    server.waitFor("burst " + std::to_string(kBurst - 1) + "\n", 20000);
    // In order.
    const std::string out = server.output();
    int arrived = 0;
    for (std::size_t at = 0; arrived < kBurst; ++arrived) {
        at = out.find("burst " + std::to_string(arrived) + "\n", at);
        if (at == std::string::npos) break;
    }
    EXPECT_EQ(arrived, kBurst);
}

// The disk fills while the server runs (a file size limit stands in for it):
// the server says so and ends instead of receiving on into nowhere.
TEST(Brindle, OutputThatCannotBeWrittenEndsTheServerWithAMessage) {
    const std::string out = tempPath("full.out"), err = tempPath("full.err");
    ChildProcess::Options o;
    o.stdoutPath = out;
    o.stderrPath = err;
    o.extraEnv = {kPortEnv};
    // 2 KiB: the banner fits, the log does not; the ignored SIGXFSZ makes
    // a write past it fail with EFBIG instead of killing the server.
    ChildProcess server({"/bin/sh", "-c", std::string("trap '' XFSZ; ulimit -f 4; exec ") + kBrindle}, o);
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(quask_test::waitForText(out, "Entering recv loop.\n\n", 3000));
    const std::string longLine(4095, 'L');
    for (int i = 0; i < 4; ++i) send(longLine);
    EXPECT_EQ(server.waitExit(3000), 1);
    EXPECT_EQ(quask_test::readFile(err), "brindle: cannot write the output: File too large\n");
}
