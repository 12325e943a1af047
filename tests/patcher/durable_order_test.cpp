// The order in which the real quillon program makes a patch durable, read
// from its system calls (strace): every file that is renamed into place was
// synced first (staging files, unpacked files, the record's temporary), and
// every game directory whose entries changed was synced after its last
// change and before the record's rename says the revision is installed. A
// power cut at any moment then leaves the old revision or the new one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/patcher/patch_server_fixture.h"
#include "tests/patcher/quillon_game.h"

namespace fs = std::filesystem;
using namespace quillon_test;

namespace {

constexpr char kStrace[] = "/usr/bin/strace";

// One system call that succeeded, with the paths it names resolved.
struct Call {
    enum Kind { Sync, Rename, Change } kind;
    std::string path;  // Sync: what was synced; Rename: the source; Change: the entry
    std::string to;    // Rename: the target
};

// A path from "fd<path>" or a quoted name relative to it (or to the cwd).
std::string resolve(const std::string& dirPath, const std::string& name, const std::string& cwd) {
    if (!name.empty() && name[0] == '/') return name;
    return (dirPath.empty() ? cwd : dirPath) + "/" + name;
}

// strace splits a call that another thread interrupts into "<unfinished
// ...>" and "<... resumed>" lines; they are joined back here.
std::vector<std::string> joinedLines(const std::string& trace) {
    std::vector<std::string> lines;
    std::map<std::string, std::string> pending;  // pid -> start of the call
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        const std::string pid = line.substr(0, line.find(' '));
        const std::size_t unfinished = line.find(" <unfinished ...>");
        const std::size_t resumed = line.find(" resumed>");
        if (unfinished != std::string::npos) {
            pending[pid] = line.substr(0, unfinished);
        } else if (resumed != std::string::npos && pending.count(pid)) {
            lines.push_back(pending[pid] + line.substr(resumed + 9));
            pending.erase(pid);
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<Call> parseTrace(const std::string& trace, const std::string& cwd) {
    static const std::regex sync(R"re(^\d+ +f(?:data)?sync\(\d+<([^>]*)>\) += 0)re");
    static const std::regex renameAt(
        R"re(^\d+ +renameat2?\((?:AT_FDCWD|\d+<([^>]*)>), "([^"]*)", (?:AT_FDCWD|\d+<([^>]*)>), "([^"]*)"(?:, [^)]*)?\) += 0)re");
    static const std::regex rename(R"re(^\d+ +rename\("([^"]*)", "([^"]*)"\) += 0)re");
    static const std::regex changeAt(R"re(^\d+ +(?:unlinkat|mkdirat)\((?:AT_FDCWD|\d+<([^>]*)>), "([^"]*)", [^)]*\) += 0)re");
    static const std::regex change(R"re(^\d+ +(?:unlink|mkdir)\("([^"]*)"[^)]*\) += 0)re");
    std::vector<Call> calls;
    std::smatch m;
    for (const std::string& line : joinedLines(trace)) {
        if (std::regex_search(line, m, sync)) {
            calls.push_back({Call::Sync, m[1], ""});
        } else if (std::regex_search(line, m, renameAt)) {
            calls.push_back({Call::Rename, resolve(m[1], m[2], cwd), resolve(m[3], m[4], cwd)});
        } else if (std::regex_search(line, m, rename)) {
            calls.push_back({Call::Rename, resolve("", m[1], cwd), resolve("", m[2], cwd)});
        } else if (std::regex_search(line, m, changeAt)) {
            calls.push_back({Call::Change, resolve(m[1], m[2], cwd), ""});
        } else if (std::regex_search(line, m, change)) {
            calls.push_back({Call::Change, resolve("", m[1], cwd), ""});
        }
    }
    return calls;
}

std::string parent(const std::string& path) { return fs::path(path).parent_path().string(); }

class DurableOrderTest : public InstalledLauncherTest {
protected:
    void SetUp() override {
        InstalledLauncherTest::SetUp();
        if (quask_test::runToEnd({kStrace, "-f", "-qq", "-o", "/dev/null", "/bin/true"}, m_dir, 30000).code != 0)
            GTEST_SKIP() << "strace cannot trace here";
    }
    // The launcher on the game under strace with `straceArgs` (its trace to
    // trace.txt, its errors to <log>.err); its exit code.
    int traced(std::vector<std::string> straceArgs, const std::string& log) {
        quask_test::ChildProcess::Options o;
        o.workDir = at("cwd");
        o.stderrPath = at(log + ".err");
        o.extraEnv = {"QUASK_NONINTERACTIVE=1"};
        // A sanitizer build's leak check cannot run under ptrace.
        const char* asan = std::getenv("ASAN_OPTIONS");
        m_env.set("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
        std::vector<std::string> args = {kStrace, "-f", "-qq", "-o", at("trace.txt")};
        args.insert(args.end(), straceArgs.begin(), straceArgs.end());
        args.insert(args.end(), {at("game/quillon"), "--console", "--no-start"});
        return quask_test::ChildProcess(args, o).waitExit(60000);
    }
};

}  // namespace

TEST_F(DurableOrderTest, FilesAreSyncedBeforeTheirRenameAndDirectoriesBeforeTheRecord) {
    put("quillon", launcherRevision("rev1"), true);
    put("data/maps/a.map", mapText("a", 2500));
    put("data/big.bin", noise(300000, 1));
    put("old.txt", "goes away");
    publishContent(at("www"), at("content"), "First");
    ASSERT_EQ(startQuillon(at("game"), at("setup"), at("cwd"))->waitExit(30000), 0)
        << quask_test::readFile(at("setup.err"));

    put("quillon", launcherRevision("rev2"), true);
    put("data/maps/a.map", mapText("a, second", 3000));
    put("data/big.bin", noise(300000, 2));
    put("docs/notes.txt", "new in a new directory");
    fs::remove(at("content/old.txt"));
    publishContent(at("www"), at("content"), "Second");

    const int code =
        traced({"-y", "-s", "4096", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat"},
               "traced");
    ASSERT_EQ(code, 0) << quask_test::readFile(at("traced.err"));
    ASSERT_EQ(treeDifferences(at("content"), at("game")), "");

    const std::string game = fs::canonical(at("game")).string();
    const std::vector<Call> calls = parseTrace(quask_test::readFile(at("trace.txt")), at("cwd"));
    const std::string record = game + "/data/quillon.dat";
    std::size_t recordAt = calls.size();
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (calls[i].kind == Call::Rename && calls[i].to == record) recordAt = i;
    ASSERT_LT(recordAt, calls.size()) << "the record was never renamed into place";

    std::set<std::string> synced;            // files synced so far
    std::map<std::string, std::size_t> lastChange;  // game directory -> index of its last change
    std::map<std::string, int> renamed;      // kind of file -> renames seen
    for (std::size_t i = 0; i < recordAt + 1; ++i) {
        const Call& c = calls[i];
        if (c.path.rfind(game + "/", 0) != 0) continue;
        if (c.kind == Call::Sync) {
            synced.insert(c.path);
            continue;
        }
        const std::string leaf = fs::path(c.path).filename().string();
        if (c.kind == Call::Rename && leaf != "quillon") {  // the running launcher moves aside as it is
            EXPECT_TRUE(synced.count(c.path)) << c.path << " renamed to " << c.to << " unsynced";
            ++renamed[leaf.size() > 4 && leaf.compare(leaf.size() - 4, 4, ".new") == 0 ? "staging"
                      : leaf.rfind(".quask-", 0) == 0                                   ? "unpacked"
                                                                                        : leaf];
        }
        if (i < recordAt) {
            lastChange[parent(c.path)] = i;
            if (c.kind == Call::Rename) lastChange[parent(c.to)] = i;
        }
    }
    EXPECT_GE(renamed["staging"], 4);   // the launcher, a packed map, big.bin, notes.txt
    EXPECT_GE(renamed["unpacked"], 1);  // the map
    EXPECT_EQ(renamed["quillon.dat.tmp"], 1);
    for (const auto& [dir, at] : lastChange) {
        bool syncedAfter = false;
        for (std::size_t i = at + 1; i < recordAt && !syncedAfter; ++i)
            syncedAfter = calls[i].kind == Call::Sync && calls[i].path == dir;
        EXPECT_TRUE(syncedAfter) << dir << " is not synced between its last change and the record";
    }
    EXPECT_GE(lastChange.size(), 4u);  // the game, data, data/maps, docs
}

// The disk fails the sync of one staging file (strace injects EIO into its
// fsync calls, on whichever thread makes them): the download phase fails as
// a failed write does, nothing of the game or its revision has changed, and
// the next run finishes the update. A file system that cannot sync
// directories at all (EINVAL) is no failure: the update goes through.
TEST_F(DurableOrderTest, FailedSyncOfAStagingFileFailsTheDownloadPhase) {
    put("quillon", launcherRevision("rev1"), true);
    put("data/big.bin", noise(300000, 1));
    put("data/notes.txt", "first");
    publishContent(at("www"), at("content"), "First");
    ASSERT_EQ(startQuillon(at("game"), at("setup"), at("cwd"))->waitExit(30000), 0)
        << quask_test::readFile(at("setup.err"));
    put("data/big.bin", noise(300000, 2));
    put("data/notes.txt", "second");
    publishContent(at("www"), at("content"), "Second");

    const std::string staging = fs::canonical(at("game")).string() + "/data/big.bin.new";
    ASSERT_EQ(traced({"-P", staging, "-e", "trace=fsync", "-e", "inject=fsync:error=EIO"}, "failed"), 1)
        << quask_test::readFile(at("failed.err"));
    const std::string err = quask_test::readFile(at("failed.err"));
    EXPECT_NE(err.find("Store Error: Failed to save Downloaded content to disk. (Out of Diskspace?)"),
              std::string::npos)
        << err;
    // The fault was met, not stepped round.
    EXPECT_NE(quask_test::readFile(at("trace.txt")).find("EIO (Input/output error) (INJECTED)"), std::string::npos);
    EXPECT_EQ(quask_test::readFile(at("game/data/big.bin")), noise(300000, 1));
    EXPECT_EQ(quask_test::readFile(at("game/data/notes.txt")), "first");
    EXPECT_EQ(storedRevision(at("game")), 1u);

    ASSERT_EQ(startQuillon(at("game"), at("again"), at("cwd"))->waitExit(30000), 0)
        << quask_test::readFile(at("again.err"));
    EXPECT_EQ(treeDifferences(at("content"), at("game")), "");
    EXPECT_EQ(storedRevision(at("game")), 2u);

    put("data/notes.txt", "third");
    publishContent(at("www"), at("content"), "Third");
    const std::string game = fs::canonical(at("game")).string();
    ASSERT_EQ(traced({"-P", game, "-P", game + "/data", "-e", "trace=fsync", "-e", "inject=fsync:error=EINVAL"},
                     "unsyncable"),
              0)
        << quask_test::readFile(at("unsyncable.err"));
    EXPECT_NE(quask_test::readFile(at("trace.txt")).find("EINVAL (Invalid argument) (INJECTED)"), std::string::npos);
    EXPECT_EQ(treeDifferences(at("content"), at("game")), "");
    EXPECT_EQ(storedRevision(at("game")), 3u);
}
