// The real quillon program against nginx serving a patchpub tree: several
// revisions with a file renamed twice, deletes, new and nested directories,
// packed files and the launcher patching itself, applied both at once from
// an empty game directory and one revision at a time. Every file of the
// game directory is compared with the content afterwards.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "tests/patcher/quillon_game.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir_test.h"

namespace fs = std::filesystem;
using namespace quillon_test;

namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";

// A port that was free a moment ago; nginx may still lose it to another
// program, which the caller handles by trying again.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class NginxPatchTest : public quask_test::TempDirTest {
protected:
    void SetUp() override {
        if (!fs::exists(kNginx)) GTEST_SKIP() << kNginx << " is not installed";
        TempDirTest::SetUp();
        fs::create_directories(at("www"));
        fs::create_directories(at("nginx"));
        fs::create_directories(at("cwd"));
        for (int attempt = 0; attempt < 3 && m_base.empty(); ++attempt) startNginx();
        ASSERT_FALSE(m_base.empty()) << quask_test::readFile(at("nginx.err"));
        m_env.set("XDG_RUNTIME_DIR", m_dir);
        m_env.set("QUILLON_BASE_URL", m_base);
    }
    void TearDown() override {
        m_nginx.reset();  // killed by its id
        if (!m_dir.empty()) TempDirTest::TearDown();
    }

    // Everything nginx writes stays below the test's directory; as root it
    // would hand its worker to an unprivileged user who cannot read there.
    void startNginx() {
        const int port = freePort();
        if (port <= 0) return;
        const std::string n = at("nginx");
        std::ofstream conf(n + "/nginx.conf");
        if (::geteuid() == 0) conf << "user root;\n";
        conf << "master_process off;\nworker_processes 1;\npid " << n << "/nginx.pid;\n"
             << "events { worker_connections 64; }\n"
             << "http {\n  log_format served '$connection \"$request\" $status $body_bytes_sent';\n"
             << "  access_log " << n << "/access.log served;\n"
             << "  client_body_temp_path " << n << "/body;\n  proxy_temp_path " << n << "/proxy;\n"
             << "  fastcgi_temp_path " << n << "/fastcgi;\n  uwsgi_temp_path " << n << "/uwsgi;\n"
             << "  scgi_temp_path " << n << "/scgi;\n"
             << "  default_type application/octet-stream;\n  sendfile on;\n"
             << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << at("www") << ";\n"
             << "  }\n}\n";
        conf.close();
        quask_test::ChildProcess::Options o;
        o.stderrPath = at("nginx.err");
        m_nginx = std::make_unique<quask_test::ChildProcess>(
            std::vector<std::string>{kNginx, "-p", n + "/", "-c", n + "/nginx.conf", "-g",
                                     "daemon off; error_log stderr;"},
            o);
        for (int waited = 0; waited < 10000; waited += 20) {
            if (accepts(port)) {
                m_base = "http://127.0.0.1:" + std::to_string(port) + "/";
                return;
            }
            if (m_nginx->waitExit(0) != -2) break;  // it could not start
            ::usleep(20000);
        }
        m_nginx.reset();
    }

    void put(const std::string& name, const std::string& bytes, bool program = false) {
        putContent(at("content"), name, bytes, program);
    }
    void publish(unsigned revision, const std::string& message) {
        const patchpub::PublishResult r = publishContent(at("www"), at("content"), message);
        ASSERT_EQ(r.revision, revision);
    }
    // The real launcher copied into a new game directory.
    void install(const std::string& game) {
        fs::create_directories(at(game));
        fs::copy_file(QUASK_BIN_DIR "/patcher/quillon", at(game + "/quillon"));
    }
    int patch(const std::string& game) {
        auto child = startQuillon(at(game), at(game + "-run"), at("cwd"));
        return child->waitExit(30000);
    }
    std::string runErr(const std::string& game) { return quask_test::readFile(at(game + "-run.err")); }

    std::unique_ptr<quask_test::ChildProcess> m_nginx;
    std::string m_base;
    ScopedEnv m_env;
};

}  // namespace

TEST_F(NginxPatchTest, RevisionsThroughNginxLeaveEveryFileAsTheContentSays) {
    // Revision 1: a packed map, a program, a note that later moves twice,
    // a file that goes away and an empty directory.
    put("quillon", launcherRevision("rev1"), true);
    put("bin/tool", "#!/bin/sh\necho tool\n", true);
    put("data/maps/one.map", mapText("one", 4000));
    put("data/maps/two.map", mapText("two", 3000));
    put("notes.txt", "notes, first place");
    put("old.txt", "goes in revision 2");
    put("data/sounds.bin", noise(70000, 1));
    fs::create_directories(at("content/saves"));
    publish(1, "First");
    install("stepwise");
    ASSERT_EQ(patch("stepwise"), 0) << runErr("stepwise");
    EXPECT_EQ(treeDifferences(at("content"), at("stepwise")), "");

    // Revision 2: the note moves, a file goes, a map changes, the launcher
    // is new, a nested directory appears.
    put("quillon", launcherRevision("rev2"), true);
    fs::create_directories(at("content/docs"));
    fs::rename(at("content/notes.txt"), at("content/docs/notes.txt"));
    fs::remove(at("content/old.txt"));
    put("data/maps/one.map", mapText("one, second edition", 4500));
    fs::create_directories(at("content/screenshots/2026"));
    publish(2, "Second");
    ASSERT_EQ(patch("stepwise"), 0) << runErr("stepwise");
    EXPECT_EQ(treeDifferences(at("content"), at("stepwise")), "");

    // Revision 3: the note moves again, a packed map is deleted and a new
    // packed one arrives in a new directory, binary data changes.
    put("quillon", launcherRevision("rev3"), true);
    fs::rename(at("content/docs/notes.txt"), at("content/notes-final.txt"));
    fs::remove(at("content/data/maps/two.map"));
    put("data/levels/three.map", mapText("three", 5000));
    put("data/sounds.bin", noise(90000, 2));
    publish(3, "Third");
    ASSERT_EQ(patch("stepwise"), 0) << runErr("stepwise");
    EXPECT_EQ(treeDifferences(at("content"), at("stepwise")), "");
    EXPECT_EQ(storedRevision(at("stepwise")), 3u);
    EXPECT_EQ(quask_test::readFile(at("stepwise/quillon_old")), launcherRevision("rev2"));

    // A fresh installation takes all three revisions in one run, over no
    // more connections than it downloads on at once (6): the control files,
    // those fetched ahead and the downloads share the kept-alive ones.
    install("fresh");
    const std::size_t logBefore = quask_test::readFile(at("nginx/access.log")).size();
    ASSERT_EQ(patch("fresh"), 0) << runErr("fresh");
    std::set<std::string> connections;
    std::istringstream freshLog(quask_test::readFile(at("nginx/access.log")).substr(logBefore));
    for (std::string line; std::getline(freshLog, line);) connections.insert(line.substr(0, line.find(' ')));
    EXPECT_GE(connections.size(), 1u);
    EXPECT_LE(connections.size(), 6u) << freshLog.str();
    EXPECT_EQ(treeDifferences(at("content"), at("fresh")), "");
    EXPECT_EQ(storedRevision(at("fresh")), 3u);
    EXPECT_EQ(quask_test::readFile(at("fresh/quillon_old")),
              quask_test::readFile(QUASK_BIN_DIR "/patcher/quillon"));
    EXPECT_EQ(runErr("fresh"), "");
    EXPECT_FALSE(fs::exists(at("fresh/notes.txt")));
    EXPECT_FALSE(fs::exists(at("fresh/docs/notes.txt")));
    EXPECT_TRUE(fs::is_directory(at("fresh/docs")));  // directories are never removed
    EXPECT_FALSE(fs::exists(at("fresh/data/maps/two.map")));

    // nginx, not something else, answered: the packed files went through it.
    const std::string log = quask_test::readFile(at("nginx/access.log"));
    EXPECT_NE(log.find("\"GET /data/data/levels/three.ma_ HTTP/1.1\" 200 "), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /meta/sum_3.txt HTTP/1.1\" 200 "), std::string::npos);
    EXPECT_TRUE(fs::is_empty(at("cwd")));
}
