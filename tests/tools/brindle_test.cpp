// brindle end to end: a real server process receiving real datagrams.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

const char* kBrindle = QUASK_BIN_DIR "/tools/logserver/brindle";
const char* kBanner = "Quask Client - Debug Server\n\nListening on 0.0.0.0:6600\nEntering recv loop.\n\n";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One brindle process with its standard output in a file.
class Server {
public:
    explicit Server(const std::string& out) : m_out(out) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char* argv[] = {const_cast<char*>(kBrindle), nullptr};
        m_ok = posix_spawn(&m_pid, kBrindle, &fa, nullptr, argv, environ) == 0;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Server() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool started() const { return m_ok; }
    // Waits until the output holds `text` (the pipe is flushed per datagram).
    bool waitFor(const std::string& text, int ms = 3000) {
        for (int waited = 0; waited < ms; waited += 10) {
            if (readFile(m_out).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    int waitExit(int ms = 3000) {
        for (int waited = 0; waited < ms; waited += 10) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -2;
    }
    std::string output() const { return readFile(m_out); }

private:
    std::string m_out;
    pid_t m_pid = -1;
    bool m_ok = false;
    bool m_exited = false;
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
