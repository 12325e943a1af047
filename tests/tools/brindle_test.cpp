// brindle end to end: a real server process receiving real datagrams.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "tests/support/child_process.h"

namespace {

using quask_test::ChildProcess;

const char* kBrindle = QUASK_BIN_DIR "/tools/logserver/brindle";
const char* kBanner = "Quask Client - Debug Server\n\nListening on 0.0.0.0:6600\nEntering recv loop.\n\n";

// One brindle process with its standard output in a file.
class Server {
public:
    explicit Server(const std::string& out) : m_out(out), m_process({kBrindle}, options(out)) {}
    bool started() const { return m_process.started(); }
    // The server flushes after each datagram, so the file shows it at once.
    bool waitFor(const std::string& text) { return quask_test::waitForText(m_out, text, 3000); }
    int waitExit() { return m_process.waitExit(3000); }
    std::string output() const { return quask_test::readFile(m_out); }

private:
    static ChildProcess::Options options(const std::string& out) {
        ChildProcess::Options o;
        o.stdoutPath = out;
        return o;
    }
    std::string m_out;
    ChildProcess m_process;
};

void send(const std::string& bytes) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(6600);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
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
    send("\nafter\n");
    ASSERT_TRUE(server.waitFor("after\n"));
    EXPECT_EQ(server.output(),
              std::string(kBanner) + "[1.000000] (INFO) Entering Main Loop\n" + longLine + "\nafter\n");
}

TEST(Brindle, SecondInstanceCannotBindAndExitsOne) {
    Server first(tempPath("first.out"));
    ASSERT_TRUE(first.waitFor("Entering recv loop."));
    Server second(tempPath("second.out"));
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_EQ(second.output(), "Quask Client - Debug Server\n\nCant bind to 0.0.0.0:6600\n");
}
