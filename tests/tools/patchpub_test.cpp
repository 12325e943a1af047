// patchpub's revisions applied by real patch runs: the game directory ends
// byte-identical to the content directory, whichever revision a client
// starts from, also when a file changes between packed and plain.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "patcher/engine/full_check.h"
#include "patcher/engine/patch_run.h"
#include "tests/patcher/game_patch_fixture.h"
#include "tests/patcher/quillon_game.h"
#include "tools/patchpub/publisher.h"
#include "tools/patchpub/signing.h"

using namespace quillon;
namespace fs = std::filesystem;

namespace {

class PatchPubTest : public quillon_test::PatchServerTest {
protected:
    void put(const std::string& name, const std::string& content, bool program = false) {
        quillon_test::putContent(at("content"), name, content, program);
    }
    // One revision of the content; false and `error` when it is refused.
    bool tryPublish(patchpub::PublishResult* result, std::string* error, const std::string& message = "",
                    std::vector<std::string> compress = {}) {
        patchpub::PublishOptions o;
        o.serverDir = at("www");
        o.contentDir = at("content");
        o.message = message;
        o.compress = std::move(compress);
        o.now = 1796100000;  // 2026-12-01 04:40:00 UTC
        return patchpub::publishRevision(o, result, error);
    }
    patchpub::PublishResult publish(const std::string& message = "",
                                    std::vector<std::string> compress = {"*.map"}) {
        patchpub::PublishResult result;
        std::string error;
        EXPECT_TRUE(tryPublish(&result, &error, message, std::move(compress))) << error;
        return result;
    }
    // A patch run (or another step) of the game directory `game`.
    std::optional<PatchFailure> patch(const std::string& game, quillon_test::Step step = runPatch) {
        quillon_test::RecordingUi ui;
        LauncherState state(ui);
        auto failure = quillon_test::runOn(at(game), m_base, step, state);
        m_lastNotice = state.notice();
        return failure;
    }
    // Every difference between the content and the game directory, ignoring
    // what the launcher keeps for itself.
    std::string differences(const std::string& game) {
        std::string out;
        const fs::path content = at("content"), installed = at(game);
        for (const auto& e : fs::recursive_directory_iterator(content)) {
            const fs::path rel = e.path().lexically_relative(content);
            if (e.is_directory() != fs::is_directory(installed / rel)) out += "type " + rel.string() + "\n";
            else if (e.is_regular_file() && quask_test::readFile(e.path()) != quask_test::readFile(installed / rel))
                out += "bytes " + rel.string() + "\n";
        }
        for (const auto& e : fs::recursive_directory_iterator(installed)) {
            const std::string rel = e.path().lexically_relative(installed).generic_string();
            if (rel == "data/quillon.dat" || rel == "quillon_old") continue;
            if (!fs::exists(content / rel)) out += "extra " + rel + "\n";
        }
        return out;
    }
    bool executable(const std::string& path) {
        struct stat st;
        return ::stat(at(path).c_str(), &st) == 0 && (st.st_mode & S_IXUSR);
    }
    std::string www(const std::string& name) { return quask_test::readFile(at("www/" + name)); }

    std::string m_lastNotice;
};

std::string mapText(const char* seed) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += std::string(seed) + " tile " + std::to_string(i % 7) + "\n";
    return text;
}

}  // namespace

TEST_F(PatchPubTest, TwoRevisionsBringEveryClientToTheContent) {
    // The launchers are programs of this machine: a launcher that cannot
    // run is never installed.
    const std::string launcher1 = quask_test::readFile("/bin/true") + "launcher 1\n";
    put("quillon", launcher1, true);
    put("bin/tool", "#!/bin/sh\necho tool\n", true);
    put("data/maps/one.map", mapText("one"));
    put("readme.txt", "read me");
    put("old.txt", "goes away");
    fs::create_directories(at("content/saves"));
    patchpub::PublishResult r = publish();
    ASSERT_TRUE(r.published);
    EXPECT_EQ(r.revision, 1u);
    EXPECT_EQ(r.added, 5u);
    EXPECT_EQ(www("lastrev.txt"), "REV:1\n");
    EXPECT_EQ(www("allow.txt"), "allow");
    EXPECT_TRUE(fs::exists(at("www/data/data/maps/one.ma_")));
    EXPECT_FALSE(fs::exists(at("www/data/data/maps/one.map")));
    EXPECT_NE(www("meta/1.txt").find("DATA:dir:A:/saves\n"), std::string::npos);
    EXPECT_NE(www("meta/1.txt").find("DATE:2026-12-01 04:40:00\n"), std::string::npos);
    ASSERT_FALSE(patch("early"));
    EXPECT_EQ(differences("early"), "");
    EXPECT_TRUE(executable("early/bin/tool"));

    put("quillon", quask_test::readFile("/bin/true") + "launcher 2\n", true);
    put("data/maps/one.map", mapText("two"));
    put("data/new.bin", std::string("\0\1\2binary", 9));
    fs::remove(at("content/old.txt"));
    r = publish("Second\nrevision");
    ASSERT_TRUE(r.published);
    EXPECT_EQ(r.revision, 2u);
    EXPECT_EQ(r.added, 1u);
    EXPECT_EQ(r.modified, 2u);
    EXPECT_EQ(r.deleted, 1u);
    EXPECT_NE(www("meta/2.txt").find("DATA:file:D:/old.txt\n"), std::string::npos);
    EXPECT_NE(www("meta/2.txt").find("\nMSG:15:Second\nrevision"), std::string::npos);
    EXPECT_EQ(www("meta/sum_full.txt").rfind("REV:2\n", 0), 0u);
    EXPECT_FALSE(fs::exists(at("www/data/old.txt")));

    ASSERT_FALSE(patch("early"));  // from revision 1
    EXPECT_EQ(differences("early"), "");
    EXPECT_EQ(quask_test::readFile(at("early/quillon_old")), launcher1);
    ASSERT_FALSE(patch("fresh"));  // from revision 0, both at once
    EXPECT_EQ(differences("fresh"), "");
    EXPECT_TRUE(executable("fresh/quillon"));
    EXPECT_NE(m_lastNotice.find("Update from 2026-12-01 04:40:00:\r\nSecond\r\nrevision"), std::string::npos);

    // Nothing new: no third revision.
    r = publish();
    EXPECT_FALSE(r.published);
    EXPECT_EQ(r.revision, 2u);
    EXPECT_EQ(www("lastrev.txt"), "REV:2\n");
}

TEST_F(PatchPubTest, SwitchingBetweenPackedAndPlainNeverLetsAnOlderDownloadWin) {
    put("data/a.map", mapText("packed one"));
    publish({}, {"*.map"});
    put("data/a.map", mapText("plain two"));
    publish({}, {});
    EXPECT_NE(www("meta/2.txt").find("DATA:file:M:/data/a.map\nDATA:file:D:/data/a.ma_\n"), std::string::npos);
    ASSERT_FALSE(patch("fresh2"));
    EXPECT_EQ(differences("fresh2"), "");

    put("data/a.map", mapText("packed three"));
    publish({}, {"*.map"});
    put("data/a.map", mapText("packed four"));
    publish({}, {"*.map"});
    ASSERT_FALSE(patch("fresh4"));
    EXPECT_EQ(differences("fresh4"), "");
    ASSERT_FALSE(patch("fresh2"));  // from revision 2
    EXPECT_EQ(differences("fresh2"), "");

    fs::remove(at("content/data/a.map"));
    publish();
    ASSERT_FALSE(patch("fresh5"));
    EXPECT_EQ(differences("fresh5"), "");
    ASSERT_FALSE(patch("fresh4"));
    EXPECT_FALSE(fs::exists(at("fresh4/data/a.map")));
}

TEST_F(PatchPubTest, LostManifestIsRebuiltFromTheFullList) {
    put("data/a.map", mapText("a"));
    put("b.txt", "bee");
    publish();
    fs::remove(at("www/meta/manifest.txt"));
    EXPECT_FALSE(publish().published);  // the packed file unpacks to the same content
    put("b.txt", "bee two");
    const patchpub::PublishResult r = publish();
    EXPECT_EQ(r.revision, 2u);
    EXPECT_EQ(r.modified, 1u);
    EXPECT_EQ(r.added, 0u);
}

TEST_F(PatchPubTest, UnsafeOrUnpublishableNamesAreRefused) {
    put("good.txt", "fine");
    put("bad\\name.txt", "no");
    patchpub::PublishResult result;
    std::string error;
    EXPECT_FALSE(tryPublish(&result, &error));
    EXPECT_EQ(error, "refusing content name '/bad\\name.txt'");
    EXPECT_FALSE(fs::exists(at("www/lastrev.txt")));

    fs::remove(at("content/bad\\name.txt"));
    put("tiny_", "x");  // ends in an underscore but cannot be packed
    EXPECT_FALSE(tryPublish(&result, &error));
    EXPECT_EQ(error.rfind("'/tiny_' ends in an underscore and does not compress", 0), 0u);
    EXPECT_FALSE(fs::exists(at("www/lastrev.txt")));

    // The longest file name a launcher can download beside itself as NAME.new;
    // a directory's name has no such suffix and may use all 255 bytes.
    fs::remove(at("content/tiny_"));
    const std::string longest(247, 'L'), dir(255, 'D');
    put(dir + "/" + longest + ".txt", "fits");
    EXPECT_TRUE(tryPublish(&result, &error)) << error;
    put(longest + "M.txt", "does not");
    EXPECT_FALSE(tryPublish(&result, &error));
    EXPECT_EQ(error, "refusing content name '/" + longest + "M.txt': a file name of 252 bytes leaves no room "
                     "for the launcher's download beside it (at most 251)");
    EXPECT_EQ(www("lastrev.txt"), "REV:1\n");
}

// A SERVER_DIR that is a file is not taken for a tree (it would be
// replaced), and the server tree and the content stay apart (a tree inside
// the content would ship its own files, its lock among them).
TEST_F(PatchPubTest, ServerDirThatIsAFileOrOverlapsTheContentIsRefused) {
    put("data/a.txt", "a");
    quask_test::writeFile(at("notes.txt"), "the publisher's notes");
    fs::create_symlink("notes.txt", at("notes-link"));
    const struct {
        const char* server;
        const char* content;
        std::string error;
    } cases[] = {
        {"notes.txt", "content", at("notes.txt") + " is a file, not a patch server tree: give a directory, a link to "
                                                   "one or a path that does not exist yet"},
        {"notes-link", "content", at("notes-link") + " is a link to no directory, not a patch server tree: give a "
                                                     "directory, a link to one or a path that does not exist yet"},
        {"content/www", "content", "the server tree " + at("content/www") + " lies inside the content directory " +
                                       at("content") + ": its files would be published as game content; keep it "
                                       "outside"},
        {"content/data/../www", "content/data/..", "the server tree " + at("content/data/../www") +
                                                       " lies inside the content directory " + at("content/data/..") +
                                                       ": its files would be published as game content; keep it "
                                                       "outside"},
        {"content", "content/data", "the content directory " + at("content/data") + " lies inside the server tree " +
                                        at("content") + "; keep it outside"},
    };
    for (const auto& c : cases) {
        patchpub::PublishOptions o;
        o.serverDir = at(c.server);
        o.contentDir = at(c.content);
        patchpub::PublishResult result;
        std::string error;
        EXPECT_FALSE(patchpub::publishRevision(o, &result, &error)) << c.server;
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(fs::exists(at(std::string(c.server) + ".trees"))) << c.server;
    }
    EXPECT_EQ(quask_test::readFile(at("notes.txt")), "the publisher's notes");
    EXPECT_TRUE(fs::is_symlink(at("notes-link")));
    EXPECT_FALSE(fs::exists(at("content/www")));
}

TEST_F(PatchPubTest, CopiedGameDirectoryShipsNoLeftoversAndNamesThatNeedEncodingArrive) {
    put("data/a.txt", "a");
    put("docs/with space #1 100%?.txt", "encoded on the way");
    put("docs/odd.", "a name Windows cannot hold");
    // What a launcher leaves in the game directory it patched.
    const char* const leftovers[] = {"data/a.txt.new", "data/.quask-12-3.tmp", "quillon_old",
                                     "data/quillon.dat", "data/quillon.lock", "DoFullCheck"};
    for (const char* name : leftovers) put(name, "left behind");
    patchpub::PublishResult r;
    std::string error;
    ASSERT_TRUE(tryPublish(&r, &error)) << error;
    EXPECT_EQ(r.added, 3u);
    EXPECT_EQ(r.warnings, (std::vector<std::string>{
                              "'/docs/odd.' ends a name in a dot or a space: players on Windows cannot install it",
                              "not publishing '/data/.quask-12-3.tmp': a file the launcher left behind",
                              "not publishing '/data/a.txt.new': a file the launcher left behind"}));
    for (const char* name : leftovers) {
        EXPECT_EQ(www("meta/1.txt").find("/" + std::string(name)), std::string::npos) << name;
        fs::remove(at(std::string("content/") + name));
    }
    ASSERT_FALSE(patch("fresh"));
    EXPECT_EQ(differences("fresh"), "");
    EXPECT_NE(requests().find("GET /data/docs/with%20space%20%231%20100%25%3F.txt\n"), std::string::npos);
}

TEST_F(PatchPubTest, CompressedProgramsStayProgramsAndTheLauncherIsBackedUp) {
    std::string script = "#!/bin/sh\n";
    for (int i = 0; i < 200; ++i) script += "echo line " + std::to_string(i % 10) + "\n";
    // A launcher must be a program of this machine that starts, packed or not.
    put("quillon", quask_test::readFile("/bin/true") + "# launcher\n", true);
    put("system/velmar", script + "# client\n", true);
    put("data/readme.txt", mapText("not a program"));
    publish({}, {"*"});
    ASSERT_TRUE(fs::exists(at("www/data/quillo_")));
    ASSERT_TRUE(fs::exists(at("www/data/system/velma_")));
    fs::create_directories(at("game"));
    std::ofstream(at("game/quillon")) << "old launcher";
    fs::permissions(at("game/quillon"), fs::perms(0755));
    ASSERT_FALSE(patch("game"));
    EXPECT_EQ(differences("game"), "");
    EXPECT_EQ(quask_test::readFile(at("game/quillon_old")), "old launcher");  // the running one
    EXPECT_TRUE(executable("game/quillon"));
    EXPECT_TRUE(executable("game/system/velmar"));  // new: a program by its first bytes
    EXPECT_FALSE(executable("game/data/readme.txt"));
}

TEST_F(PatchPubTest, FailedPublishLeavesTheLiveRevisionWhole) {
    put("a.txt", mapText("first a"));
    put("b.txt", "b");
    publish();
    const std::string fullBefore = www("meta/sum_full.txt");
    // A changed file that sorts first, then one that can only travel packed
    // and does not compress: the run fails after preparing the first.
    put("a.txt", mapText("second a"));
    put("z_", quillon_test::noise(3000, 9));
    patchpub::PublishResult r;
    std::string error;
    EXPECT_FALSE(tryPublish(&r, &error));
    EXPECT_EQ(error.rfind("'/z_' ends in an underscore and does not compress", 0), 0u) << error;
    EXPECT_EQ(www("lastrev.txt"), "REV:1\n");
    EXPECT_EQ(www("data/a.txt"), mapText("first a"));
    EXPECT_EQ(www("meta/sum_full.txt"), fullBefore);
    EXPECT_FALSE(fs::exists(at("www/meta/2.txt")));
    EXPECT_FALSE(fs::exists(at("www.trees/2.building")));
    // Every client still gets revision 1 whole, and its full check agrees.
    ASSERT_FALSE(patch("fresh"));
    EXPECT_EQ(quask_test::readFile(at("fresh/a.txt")), mapText("first a"));
    const std::size_t fetched = requests().size();
    ASSERT_FALSE(patch("fresh", runFullCheck));
    EXPECT_EQ(requests().find("GET /data/", fetched), std::string::npos);
}

TEST(PatchPubManifest, TextRoundTripsAndDamageIsRefused) {
    patchpub::Manifest m;
    m.revision = 12;
    m.directories = {"/data", "/data/maps"};
    m.files["/data/maps/x.map"] = patchpub::ManifestFile{hexToDigest("00112233445566778899aabbccddeeff"),
                                                         hexToDigest("ffeeddccbbaa99887766554433221100"), true};
    m.files["/quillon"] = patchpub::ManifestFile{};
    patchpub::Manifest back;
    ASSERT_TRUE(patchpub::parseManifest(patchpub::manifestText(m), &back));
    EXPECT_EQ(back.revision, 12u);
    EXPECT_EQ(back.directories, m.directories);
    ASSERT_EQ(back.files.size(), 2u);
    EXPECT_EQ(back.files["/data/maps/x.map"].published, m.files["/data/maps/x.map"].published);
    EXPECT_TRUE(back.files["/data/maps/x.map"].compressed);
    EXPECT_FALSE(back.files["/quillon"].compressed);

    EXPECT_FALSE(patchpub::parseManifest("F:0011:..\n", &back));
    EXPECT_FALSE(patchpub::parseManifest("REV:1\nD:/../up\n", &back));
    EXPECT_FALSE(patchpub::parseManifest("D:/data\n", &back));  // no revision
}

namespace {

// patchpub itself, run in the test's directory.
quask_test::RunResult patchpubRun(const std::vector<std::string>& args, const std::string& dir,
                                  const std::vector<std::string>& tracedBefore = {}) {
    std::vector<std::string> argv = tracedBefore;
    argv.push_back(QUASK_BIN_DIR "/tools/patchpub/patchpub");
    argv.insert(argv.end(), args.begin(), args.end());
    return quask_test::runToEnd(argv, dir, 120000);
}

}  // namespace

// One failed read of a revision's sum file while it is signed once left it
// out of the signed list, and the revision could never be installed by a
// launcher with the key: the publish must fail instead, with nothing served.
TEST_F(PatchPubTest, ReadFailureWhileSigningFailsThePublishWithNothingSwappedIn) {
    std::string keyText, error;
    ASSERT_TRUE(patchpub::generateKey(at("key.pem"), &keyText, &error)) << error;
    put("a.txt", "a one");
    ASSERT_EQ(patchpubRun({at("www"), at("content"), "--sign", at("key.pem")}, m_dir).code, 0);
    put("a.txt", "a two");
    for (const char* failure : {"EIO", "ENOSPC"}) {
        SCOPED_TRACE(failure);
        const std::string sums = at("www.trees/2.building/meta/sum_2.txt");
        const quask_test::RunResult r = patchpubRun(
            {at("www"), at("content"), "--sign", at("key.pem")}, m_dir,
            {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", sums, "-e",
             std::string("inject=read:error=") + failure});
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_EQ(r.err, "patchpub: cannot read meta/sum_2.txt\n");
        EXPECT_EQ(www("lastrev.txt"), "REV:1\n");
        EXPECT_FALSE(fs::exists(at("www.trees/2")));
        EXPECT_FALSE(fs::exists(at("www.trees/2.building")));
    }
    // Without the fault the same publish goes through, signed whole.
    ASSERT_EQ(patchpubRun({at("www"), at("content"), "--sign", at("key.pem")}, m_dir).code, 0);
    EXPECT_NE(www("meta/files_2.txt").find(":meta/sum_2.txt\n"), std::string::npos);
}

// patchpub verify finds what launchers would refuse and names the mending
// command; running it mends the tree: an announcement that expired (no
// refresh from cron), a revision list without its sum file (what a failed
// read once left, which publishing again did not mend).
TEST_F(PatchPubTest, VerifySaysHowToMendAndTheMendWorks) {
    std::string keyText, error;
    ASSERT_TRUE(patchpub::generateKey(at("key.pem"), &keyText, &error)) << error;
    put("a.txt", "a one");
    patchpub::PublishOptions o;
    o.serverDir = at("www");
    o.contentDir = at("content");
    o.signKey = at("key.pem");
    o.clock = std::time(nullptr) - 10 * 86400;  // published ten days ago, for seven
    patchpub::PublishResult r;
    ASSERT_TRUE(patchpub::publishRevision(o, &r, &error)) << error;
    quask_test::RunResult v = patchpubRun({"verify", at("www")}, m_dir);
    EXPECT_EQ(v.code, 1);
    EXPECT_NE(v.out.find("problem: the announcement expired on "), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("to mend: run: patchpub refresh SERVER_DIR --sign KEYFILE\n"), std::string::npos);
    ASSERT_EQ(patchpubRun({"refresh", at("www"), "--sign", at("key.pem")}, m_dir).code, 0);
    EXPECT_EQ(patchpubRun({"verify", at("www")}, m_dir).code, 0);

    // The list of revision 1 signed without its sum file.
    patchpub::SigningKey key;
    ASSERT_TRUE(key.load(at("key.pem"), &error)) << error;
    std::string list = www("meta/files_1.txt");
    const std::size_t sums = list.find(":meta/sum_1.txt\n");
    ASSERT_NE(sums, std::string::npos);
    const std::size_t lineStart = list.rfind('\n', sums) + 1;
    list.erase(lineStart, list.find('\n', sums) + 1 - lineStart);
    for (const auto& [path, bytes] : {std::pair<std::string, std::string>{"meta/files_1.txt", list},
                                      {"meta/files_1.sig", key.sign(list)}}) {
        fs::remove(at("www/" + path));
        quask_test::writeFile(at("www/" + path), bytes);
    }
    ASSERT_EQ(patchpubRun({"refresh", at("www"), "--sign", at("key.pem")}, m_dir).code, 1);  // refused, not served
    v = patchpubRun({"verify", at("www")}, m_dir);
    EXPECT_EQ(v.code, 1);
    EXPECT_NE(v.out.find("problem: meta/sum_1.txt is not what its signed list names\n"), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("to mend: run: patchpub refresh SERVER_DIR --sign KEYFILE --resign\n"), std::string::npos);
    ASSERT_EQ(patchpubRun({"refresh", at("www"), "--sign", at("key.pem"), "--resign"}, m_dir).code, 0);
    EXPECT_EQ(patchpubRun({"verify", at("www")}, m_dir).code, 0);
    const PublicKey trusted = *parsePublicKey(keyText);
    quillon_test::RecordingUi ui;
    LauncherState state(ui);
    EXPECT_FALSE(quillon_test::runOn(at("game"), m_base, runPatch, state, &trusted));
    EXPECT_EQ(quask_test::readFile(at("game/a.txt")), "a one");
}

// A launcher in the content must trust the key the tree is signed under: a
// game directory it starts takes that key as its root.
TEST_F(PatchPubTest, LauncherThatWouldNotTrustTheKeyIsNotPublished) {
    std::string rootText, otherText, error;
    ASSERT_TRUE(patchpub::generateKey(at("root.pem"), &rootText, &error)) << error;
    ASSERT_TRUE(patchpub::generateKey(at("other.pem"), &otherText, &error)) << error;
    const std::string program = quask_test::readFile("/bin/true");
    const std::string mend = "; build it with cmake -DQUILLON_PUBLIC_KEY=" + rootText +
                             " (or publish with --unchecked-launcher where players' launchers take the key from "
                             "QUILLON_PUBLIC_KEY, as in tests)";
    const std::string launcher = at("content/quillon");
    const struct {
        const char* what;
        std::string bytes;
        std::string error;  // empty: published
    } cases[] = {
        {"built without a key", quask_test::readFile(QUASK_BIN_DIR "/patcher/quillon"),
         launcher + " was built without a key: in a new game directory it would install unsigned updates" + mend},
        {"no launcher of this version", program,
         launcher + " does not say which key it trusts: it is no launcher of this version" + mend},
        {"another key", program + "QUASK-LAUNCHER-KEY:[" + otherText + "]",
         launcher + " trusts the key " + otherText + ", which no root of trust of the server names" + mend},
        {"the root key", program + "QUASK-LAUNCHER-KEY:[" + rootText + "]QUASK-LAUNCHER-URL:[https://patch.example/]",
         ""},
    };
    int revision = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        put("quillon", c.bytes + c.what, true);
        patchpub::PublishOptions o;
        o.serverDir = at("www");
        o.contentDir = at("content");
        o.signKey = at("root.pem");
        patchpub::PublishResult r;
        EXPECT_EQ(patchpub::publishRevision(o, &r, &error), c.error.empty()) << error;
        if (!c.error.empty()) EXPECT_EQ(error, c.error);
        else ++revision;
        EXPECT_EQ(www("lastrev.txt"), revision ? "REV:" + std::to_string(revision) + "\n" : "");
        EXPECT_TRUE(r.warnings.empty());
    }
}

// The disk fails the sync that makes a switch durable: before anything is
// served (the new tree's directory) the publish fails with the old revision
// live; after the switch (the server directory's own) it fails too, saying
// that the new revision is live already, since a power cut may bring the
// old one back and a later publish would give its number to other files.
TEST_F(PatchPubTest, FailedSyncOfTheSwitchFailsThePublish) {
    put("a.txt", "a one");
    ASSERT_EQ(patchpubRun({at("www"), at("content")}, m_dir).code, 0);
    put("a.txt", "a two");
    const std::string dir = fs::canonical(m_dir).string();
    const struct {
        std::string synced, error, lastrev;
    } rows[] = {
        {dir + "/www.trees", "patchpub: cannot sync " + dir + "/www.trees: Input/output error\n", "REV:1\n"},
        {dir,
         "patchpub: cannot sync " + dir + ": Input/output error (" + dir +
             "/www serves the new tree already, but a power cut may take it back)\n",
         "REV:2\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.synced);
        const quask_test::RunResult r = patchpubRun(
            {dir + "/www", at("content")}, m_dir,
            {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", row.synced, "-e", "inject=fsync:error=EIO"});
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_EQ(r.err, row.error);
        EXPECT_EQ(www("lastrev.txt"), row.lastrev);
    }
    EXPECT_EQ(www("data/a.txt"), "a two");
    EXPECT_EQ(patchpubRun({"verify", at("www")}, m_dir).code, 0);
}
