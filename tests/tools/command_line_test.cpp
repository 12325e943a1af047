// The command-line conventions of every program, end to end: --help,
// --version and an unknown option end the program before it does anything
// (no file written, no connection made, no log port taken), and long work
// draws its progress line on a terminal only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "shared/version.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir_test.h"

namespace {

namespace fs = std::filesystem;
using quask_test::ChildProcess;

struct Program {
    const char* name;
    const char* built;  // below the build directory
    const char* place;  // below the test's game directory, as a player has it
};

const Program kPrograms[] = {
    {"velmar", "client/velmar", "system/velmar"},
    {"quask-msgbox", "client/platform/msgbox/quask-msgbox", "system/quask-msgbox"},
    {"quillon", "patcher/quillon", "quillon"},
    {"starter", "tools/starter/starter", "starter"},
#ifdef QUASK_TEST_BOOTSTRAP
    {"quask", "packaging/quask", "quask"},
#endif
    {"tessfold", "tools/compress/tessfold", "tools/tessfold"},
    {"brindle", "tools/logserver/brindle", "tools/brindle"},
    {"patchpub", "tools/patchpub/patchpub", "tools/patchpub"},
    {"contentkit", "tools/contentkit/contentkit", "tools/contentkit"},
    {"gdfpack", "tools/gdfpack/gdfpack", "tools/gdfpack"},
};

// A loopback socket of the given type; TCP ones listen. Non-blocking, so a
// test can ask whether anything arrived without waiting.
int loopbackSocket(int type, std::uint16_t port, std::uint16_t* bound) {
    const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 4) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    *bound = ntohs(addr.sin_port);
    return fd;
}

std::set<std::string> treeOf(const std::string& root) {
    std::set<std::string> paths;
    for (const auto& e : fs::recursive_directory_iterator(root))
        paths.insert(e.path().lexically_relative(root).string());
    return paths;
}

class CommandLine : public quask_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        for (const char* dir : {"game", "work", "home", "run"}) fs::create_directory(at(dir));
        std::uint16_t port = 0;
        m_http = loopbackSocket(SOCK_STREAM, 0, &port);
        m_baseUrl = "http://127.0.0.1:" + std::to_string(port) + "/";
        // The client's log and brindle use this port; brindle's suite holds it.
        std::uint16_t logPort = 0;
        m_log = loopbackSocket(SOCK_DGRAM, 6600, &logPort);
    }
    void TearDown() override {
        if (m_http >= 0) ::close(m_http);
        if (m_log >= 0) ::close(m_log);
        TempDirTest::TearDown();
    }
    // The program where a player has it; the launcher and the starter take
    // the folder they run from as the game directory.
    std::string place(const Program& p) {
        const fs::path to = at("game/" + std::string(p.place));
        fs::create_directories(to.parent_path());
        fs::copy_file(std::string(QUASK_BIN_DIR "/") + p.built, to);
        return to.string();
    }
    quask_test::RunResult run(const std::string& program, const char* arg, const char* stdoutTo = nullptr) {
        ChildProcess::Options o;
        o.workDir = at("work");
        o.stdoutPath = stdoutTo ? stdoutTo : at("out.txt");
        o.stderrPath = at("err.txt");
        o.extraEnv = {"HOME=" + at("home"), "XDG_RUNTIME_DIR=" + at("run"), "XDG_DATA_HOME=" + at("data"),
                      "QUILLON_BASE_URL=" + m_baseUrl, "DISPLAY", "WAYLAND_DISPLAY"};
        ChildProcess child({program, arg}, o);
        quask_test::RunResult r;
        r.code = child.waitExit(10000);
        r.out = quask_test::readFile(at("out.txt"));
        r.err = quask_test::readFile(at("err.txt"));
        fs::remove(at("out.txt"));
        fs::remove(at("err.txt"));
        return r;
    }
    // Datagrams are not counted: clients of other suites log to the same
    // port meanwhile. A client that started its log has written its log
    // file, and a brindle that started finds the port taken and fails.
    bool somebodyCalled() {
        const int conn = ::accept(m_http, nullptr, nullptr);
        if (conn >= 0) ::close(conn);
        return conn >= 0;
    }

    int m_http = -1, m_log = -1;
    std::string m_baseUrl;
};

TEST_F(CommandLine, EveryProgramAnswersHelpAndVersionAndRefusesUnknownOptionsBeforeStarting) {
    struct Case {
        const char* arg;
        int code;
        const char* stdoutTo;
    };
    // An answer that cannot be written (a full disk) is no success.
    const Case kCases[] = {{"--help", 0, nullptr},
                           {"--version", 0, nullptr},
                           {"--no-such-option", 2, nullptr},
                           {"--version", 1, "/dev/full"}};
    ASSERT_GE(m_http, 0);
    ASSERT_GE(m_log, 0) << "UDP 127.0.0.1:6600 is taken";
    for (const Program& p : kPrograms) {
        const std::string program = place(p);
        const std::set<std::string> before = treeOf(m_dir);
        const std::string name = p.name;
        for (const Case& c : kCases) {
            SCOPED_TRACE(name + " " + c.arg);
            const quask_test::RunResult r = run(program, c.arg, c.stdoutTo);
            EXPECT_EQ(r.code, c.code) << r.err;
            if (c.stdoutTo) {
                EXPECT_EQ(r.err, name + ": cannot write to standard output: No space left on device\n");
            } else if (c.code == 0) {
                EXPECT_EQ(r.err, "");
            } else {
                EXPECT_EQ(r.out, "");
                EXPECT_EQ(r.err.rfind(name + ": unknown option '" + c.arg + "'\nUsage: " + name, 0), 0u) << r.err;
            }
            const std::string arg = c.stdoutTo ? "" : c.arg;
            if (arg == "--help") {
                EXPECT_EQ(r.out.rfind("Usage: " + name, 0), 0u) << r.out;
            } else if (arg == "--version") {
                EXPECT_EQ(r.out, name + " " + quask::versionText() + "\n");
            }
            EXPECT_EQ(treeOf(m_dir), before);
            EXPECT_FALSE(somebodyCalled());
        }
    }
    // The launcher documents its two options and the settings it reads.
    const std::string help = run(at("game/quillon"), "--help").out;
    for (const char* item : {"\n      --console ", "\n      --no-start ", "\n  QUILLON_BASE_URL ",
                             "\n  QUILLON_PUBLIC_KEY "})
        EXPECT_NE(help.find(item), std::string::npos) << item << " in\n" << help;
}

// Runs argv on a new terminal; returns everything it wrote there.
std::string onTerminal(const std::vector<std::string>& argv) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    std::string seen;
    char buffer[4096];
    ssize_t n;
    // Reading ends with EIO once the program has closed the terminal.
    while ((n = ::read(master, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(master);
    ::waitpid(pid, nullptr, 0);
    return seen;
}

TEST_F(CommandLine, LongWorkDrawsProgressOnATerminalAndNotInAPipe) {
    const std::string contentkit = QUASK_BIN_DIR "/tools/contentkit/contentkit";
    const std::string patchpub = QUASK_BIN_DIR "/tools/patchpub/patchpub";
    struct Row {
        std::vector<std::string> argv;
        std::string progress, report;
    };
    // patchpub publishes the tree build-demo wrote just before.
    const Row rows[] = {
        {{contentkit, "build-demo", at("a")}, "\rbuild-demo: definitions: 1 files, ", "build-demo: "},
        {{patchpub, at("www"), at("a")}, "\rpatchpub: reading 1 files, ", "Published revision 1"},
        {{contentkit, "build-demo", at("b")}, "", "build-demo: "},
        {{patchpub, at("www"), at("b"), "--message", "Fixed the lake"},
         "",
         "Nothing changed: the server stays at revision 1; the message was not published, as no file changed\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.argv[1]);
        if (!row.progress.empty()) {
            const std::string screen = onTerminal(row.argv);
            EXPECT_EQ(screen.find(row.progress), 0u) << screen;
            // Erased before the report, which starts on a clean line.
            EXPECT_NE(screen.find("\r\033[K" + row.report), std::string::npos) << screen;
        } else {
            const quask_test::RunResult r = quask_test::runToEnd(row.argv, at("work"));
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_EQ(r.err, "");  // a pipe sees the report alone
            EXPECT_EQ(r.out.find(row.report), 0u) << r.out;
        }
    }
}

}  // namespace
