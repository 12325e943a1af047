// patchpub's live tree: signing that fails half-way, verify and its mends,
// launchers that would not trust the tree, and faults while the new tree is
// switched in.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/tools/patchpub_fixture.h"
#include "tools/patchpub/maintain.h"
#include "tools/patchpub/publisher.h"
#include "tools/patchpub/signing.h"

using namespace quillon;
namespace fs = std::filesystem;
using patchpub_test::PatchPubTest;
using patchpub_test::patchpubRun;

// One failed read of a revision's sum file while it is signed once left it
// out of the signed list, and the revision could never be installed by a
// launcher with the key: the publish must fail instead, with nothing served.
// A full disk while a signed list was written said only which file failed.
TEST_F(PatchPubTest, ReadOrWriteFailureWhileSigningFailsThePublishWithNothingSwappedIn) {
    std::string keyText, error;
    ASSERT_TRUE(patchpub::generateKey(at("key.pem"), &keyText, &error)) << error;
    put("a.txt", "a one");
    ASSERT_EQ(patchpubRun({at("www"), at("content"), "--sign", at("key.pem")}, m_dir).code, 0);
    put("a.txt", "a two");
    const std::string sums = at("www.trees/2.building/meta/sum_2.txt");
    const struct {
        std::string path, inject, error;
    } rows[] = {
        {sums, "read:error=EIO", "patchpub: cannot read meta/sum_2.txt: Input/output error\n"},
        {sums, "read:error=ENOSPC", "patchpub: cannot read meta/sum_2.txt: No space left on device\n"},
        // The rename's own argument: strace matches the name as it is passed.
        {"files_2.txt", "renameat:error=ENOSPC",
         "patchpub: cannot write " + at("www.trees/2.building/meta/files_2.txt") + ": No space left on device\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.inject);
        const quask_test::RunResult r =
            patchpubRun({at("www"), at("content"), "--sign", at("key.pem")}, m_dir,
                        {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", row.path, "-e",
                         "inject=" + row.inject});
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_EQ(r.err, row.error);
        EXPECT_EQ(www("lastrev.txt"), "REV:1\n");
        EXPECT_FALSE(fs::exists(at("www.trees/2")));
        EXPECT_FALSE(fs::exists(at("www.trees/2.building")));
    }
    // Without the fault the same publish goes through, signed whole.
    ASSERT_EQ(patchpubRun({at("www"), at("content"), "--sign", at("key.pem")}, m_dir).code, 0);
    EXPECT_NE(www("meta/files_2.txt").find(":meta/sum_2.txt\n"), std::string::npos);
}

// A count of days out of range or no number at all is named as such (it
// was once "unknown option '--valid'" and the whole usage), so is a clock
// no expiry can be counted from (one before 1970 once signed an
// announcement that never expired), and a key file that other users can
// read is warned of. So is what else is wrong with a command line, before
// the usage: a cron job's mail shows no more.
TEST_F(PatchPubTest, MistakenDaysAndAnExposedKeyAreNamed) {
    std::string keyText, error;
    ASSERT_TRUE(patchpub::generateKey(at("key.pem"), &keyText, &error)) << error;
    put("a.txt", "a one");
    ASSERT_EQ(patchpubRun({at("www"), at("content"), "--sign", at("key.pem")}, m_dir).code, 0);
    const std::string key = at("key.pem"), www = at("www");
    const std::string usage = patchpubRun({"--help"}, m_dir).out;
    ASSERT_EQ(usage.rfind("Usage: patchpub ", 0), 0u) << usage;
    const struct {
        std::vector<std::string> args;
        int code;
        std::string error;
        bool usage = false;  // the usage follows the error
        std::vector<std::string> before = {};  // the publisher's clock, frozen by faketime
    } rows[] = {
        {{"refresh", www, "--sign", key, "--valid", "0"}, 1, "patchpub: --valid takes days from 1 to 3660\n"},
        {{"rotate", www, "--root", key, "--sign", key, "--key-valid", "-5"}, 1,
         "patchpub: --key-valid takes days from 1 to 36600\n"},
        {{"mirrors", www, "--sign", key, "--valid", "99999999999999999999"}, 2,
         "patchpub: --valid takes a whole number of days, not '99999999999999999999'\n"},
        {{www, at("content"), "--sign", key, "--valid", "7d"}, 2,
         "patchpub: --valid takes a whole number of days, not '7d'\n"},
        {{www, at("content"), "--message"}, 2, "patchpub: --message takes a value\n", true},
        {{www}, 2, "patchpub: publishing takes SERVER_DIR and CONTENT_DIR\n", true},
        {{"verify", www, at("content")}, 2, "patchpub: verify takes one SERVER_DIR\n", true},
        {{"keygen"}, 2, "patchpub: keygen takes one KEYFILE\n", true},
        {{"refresh", www}, 2, "patchpub: refresh needs --sign KEYFILE\n", true},
        {{"rotate", www, "--sign", key}, 2, "patchpub: rotate needs --root KEYFILE\n", true},
        {{"refresh", www, "--sign", key}, 1,
         "patchpub: the clock of this computer says 1965-06-01 12:00:00 UTC, and an expiry can name only the years "
         "1970 to 9999: set the clock right and sign again\n",
         false, {"/usr/bin/env", "TZ=UTC", "/usr/bin/faketime", "-f", "1965-06-01 12:00:00"}},
    };
    const bool faketime = ::access("/usr/bin/faketime", X_OK) == 0;
    for (const auto& row : rows) {
        if (!row.before.empty() && !faketime) continue;  // no way to set the clock back here
        const quask_test::RunResult r = patchpubRun(row.args, m_dir, row.before);
        EXPECT_EQ(r.code, row.code) << row.args[0];
        EXPECT_EQ(r.err, row.error + (row.usage ? usage : ""));
    }
    EXPECT_EQ(this->www("lastrev.txt"), "REV:1\n");
    ::chmod(key.c_str(), 0644);
    const std::string exposed = "patchpub: warning: the key " + key +
                                " can be read by other users, who could sign updates with it: chmod 600 it\n";
    put("a.txt", "a two");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{www, at("content"), "--sign", key}, {"refresh", www, "--sign", key},
          {"rotate", www, "--root", key, "--sign", key}}) {
        const quask_test::RunResult r = patchpubRun(args, m_dir);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err, exposed) << args[0];
    }
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

    // The signing key's certificate ran out (renewal forgotten) under an
    // announcement that has not: the certificate is the one problem, and
    // the root key may still refresh the tree, as launchers take what it
    // signs without asking for any certificate.
    std::string signerText;
    ASSERT_TRUE(patchpub::generateKey(at("signer.pem"), &signerText, &error)) << error;
    patchpub::MaintainOptions certify;
    certify.serverDir = at("www");
    certify.rootKey = at("key.pem");
    certify.signKey = at("signer.pem");
    certify.now = std::time(nullptr) - 400 * 86400;
    certify.validDays = 3660;
    patchpub::MaintainResult done;
    ASSERT_TRUE(patchpub::maintainServer(patchpub::Maintenance::kRotate, certify, &done, &error)) << error;
    v = patchpubRun({"verify", at("www")}, m_dir);
    EXPECT_EQ(v.code, 1);
    EXPECT_EQ(v.out.find("problem: "), v.out.rfind("problem: ")) << v.out;
    EXPECT_NE(v.out.find("problem: the signing key's certificate expired on "), std::string::npos) << v.out;
    const quask_test::RunResult byRoot = patchpubRun({"refresh", at("www"), "--sign", at("key.pem")}, m_dir);
    EXPECT_EQ(byRoot.code, 0) << byRoot.err;
    EXPECT_EQ(patchpubRun({"verify", at("www")}, m_dir).code, 0);
    put("a.txt", "a two");
    o.clock = -1;
    ASSERT_TRUE(patchpub::publishRevision(o, &r, &error)) << error;
    // A certificate that ends before the announcement is warned of: the
    // players' date is the earlier one.
    certify.now = std::time(nullptr);
    certify.keyValidDays = 60;
    certify.validDays = 90;
    ASSERT_TRUE(patchpub::maintainServer(patchpub::Maintenance::kRotate, certify, &done, &error)) << error;
    ASSERT_EQ(done.warnings.size(), 1u);
    EXPECT_EQ(done.warnings[0].find("the certificate of the signing key expires on "), 0u) << done.warnings[0];
    EXPECT_NE(done.warnings[0].find(", before the announcement: from then on players see the server out of date"),
              std::string::npos)
        << done.warnings[0];
    EXPECT_FALSE(quillon_test::runOn(at("game"), m_base, runPatch, state, &trusted));
    EXPECT_EQ(quask_test::readFile(at("game/a.txt")), "a two");

    // A served file changed in place fails a publish that has nothing to
    // publish, as it fails one that signs; put back, the tree serves again.
    quask_test::writeFile(at("www/data/a.txt"), "a tw0");
    ASSERT_FALSE(patchpub::publishRevision(o, &r, &error));
    EXPECT_EQ(error.rfind("nothing changed in the content, but launchers refuse the live tree of revision 2: ", 0), 0u)
        << error;
    EXPECT_NE(error.find("\nto mend: put back the file patchpub published below data/"), std::string::npos) << error;
    quask_test::writeFile(at("www/data/a.txt"), "a two");
    ASSERT_TRUE(patchpub::publishRevision(o, &r, &error)) << error;
    EXPECT_FALSE(r.published);

    // A tree changed by hand: the mend puts back, since a fresh tree would
    // start again at revision 1, which these players refuse.
    fs::remove(at("www/lastrev.txt"));
    quask_test::writeFile(at("www/lastrev.txt"), "edited");
    v = patchpubRun({"verify", at("www")}, m_dir);
    EXPECT_NE(v.out.find("to mend: the tree was changed by hand: put back what was changed"), std::string::npos)
        << v.out;
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
         "the new tree would be refused by launchers, so the server stays as it was: data/quillon trusts the key " +
             otherText + ", which no root of trust of the server names: a new game directory it starts takes no update"},
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
    // The same launcher published unsigned, then a refresh with another key:
    // its root 1 would name a key that no player's launcher takes.
    patchpub::PublishOptions plain;
    plain.serverDir = at("plain");
    plain.contentDir = at("content");
    patchpub::PublishResult r;
    ASSERT_TRUE(patchpub::publishRevision(plain, &r, &error)) << error;
    // Players who take it keep its key and refuse unsigned revisions.
    EXPECT_EQ(r.warnings, (std::vector<std::string>{
                              launcher + " trusts the key " + rootText +
                              ", but this revision is not signed: players who take it refuse every unsigned "
                              "revision from then on; publish with --sign and that key's file"}));
    patchpub::MaintainOptions refresh;
    refresh.serverDir = at("plain");
    refresh.signKey = at("other.pem");
    patchpub::MaintainResult done;
    EXPECT_FALSE(patchpub::maintainServer(patchpub::Maintenance::kRefresh, refresh, &done, &error));
    EXPECT_NE(error.find("data/quillon trusts the key " + rootText + ", which no root of trust of the server names"),
              std::string::npos)
        << error;
    EXPECT_FALSE(fs::exists(at("plain/meta/root_1.txt")));
    refresh.signKey = at("root.pem");
    EXPECT_TRUE(patchpub::maintainServer(patchpub::Maintenance::kRefresh, refresh, &done, &error)) << error;
}

// The disk fails the sync that makes a switch durable: before anything is
// served (a folder of the new tree, the trees' directory) the publish fails
// with the old revision live; after the switch (the server directory's own) it fails too, saying
// that the new revision is live already, since a power cut may bring the
// old one back and a later publish would give its number to other files.
TEST_F(PatchPubTest, FailedSyncOfTheSwitchOrOfTheRecordFailsThePublish) {
    put("a.txt", "a one");
    ASSERT_EQ(patchpubRun({at("www"), at("content")}, m_dir).code, 0);
    put("a.txt", "a two");
    const std::string dir = fs::canonical(m_dir).string();
    const struct {
        std::string synced, error, lastrev;
    } rows[] = {
        // The names in the new tree's folders were once left to the kernel.
        {dir + "/www.trees/2.building/meta",
         "patchpub: cannot sync " + dir + "/www.trees/2.building/meta: Input/output error\n", "REV:1\n"},
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
    // A publish whose record cannot be written (a full disk under cron's
    // log) once ended with 0: the revision stands, the run says it failed.
    put("a.txt", "a three");
    const quask_test::RunResult r =
        patchpubRun({dir + "/www", at("content")}, m_dir, {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "patchpub: cannot write to standard output: No space left on device\n"
                     "patchpub: revision 3 is published and served all the same\n");
    EXPECT_EQ(www("lastrev.txt"), "REV:3\n");
    EXPECT_EQ(patchpubRun({"verify", at("www")}, m_dir).code, 0);
    // A key whose public half could not be printed is no key: the next keygen may make it.
    const std::vector<std::string> toFull = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"};
    const quask_test::RunResult lost = patchpubRun({"keygen", at("lost.pem")}, m_dir, toFull);
    EXPECT_EQ(lost.code, 1);
    EXPECT_EQ(lost.err, "patchpub: cannot write to standard output: No space left on device\n");
    EXPECT_FALSE(fs::exists(at("lost.pem")));
    EXPECT_EQ(patchpubRun({"keygen", at("lost.pem")}, m_dir).code, 0);
}

// A publish that fails or is killed at a step of its switch: afterwards the
// server serves one revision whole, a failure is never reported as success,
// and the next publish brings revision 2 with nothing left beside the tree.
// A removed file that could not be taken out of the new tree was once served
// for good with exit 0; a full disk said only which file failed; a kill
// while a plain SERVER_DIR was being replaced by the link left no SERVER_DIR
// at all (the next run began again at revision 1), and one just before the
// link's rename left a link per kill.
TEST_F(PatchPubTest, FaultInTheSwitchLeavesOneWholeRevisionAndTheNextPublishMendsIt) {
    const std::string dir = fs::canonical(m_dir).string();
    const std::string building = dir + "/www.trees/2.building/data";
    const struct {
        bool plainDirectory;  // SERVER_DIR a directory of an older patchpub
        std::string inject, path;  // strace's fault, on `path` when given
        std::string error;         // what a failure says; none after a kill
        bool leftover = false;     // a killed run's tree lies beside the live one
    } rows[] = {
        {false, "unlink:error=EIO", building + "/gone.txt",
         "patchpub: cannot remove " + building + "/gone.txt: Input/output error\n"},
        {false, "openat:error=ENOSPC", building,
         "patchpub: cannot write " + building + "/a.txt: No space left on device\n"},
        {false, "rename:signal=KILL:when=2", "", ""},
        {true, "rename:signal=KILL:when=2", "", ""},
        {true, "rename:signal=KILL:when=3", "", ""},
        {true, "renameat2:signal=KILL:when=1", "", ""},
        // A killed run's tree that could not be removed was "cannot create
        // ...: Success".
        {false, "unlinkat:error=EIO:when=1", "",
         "patchpub: cannot remove " + dir + "/www.trees/2.building, left by an earlier run: Input/output error\n",
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.inject);
        fs::remove_all(at("www"));
        fs::remove_all(at("www.trees"));
        fs::remove_all(at("content"));
        put("a.txt", "a one");
        put("gone.txt", "removed in revision 2");
        ASSERT_EQ(patchpubRun({at("www"), at("content")}, m_dir).code, 0);
        if (row.plainDirectory) {
            const fs::path tree = fs::canonical(at("www"));
            fs::remove(at("www"));
            fs::copy(tree, at("www"), fs::copy_options::recursive);
            fs::remove_all(at("www.trees"));
        }
        put("a.txt", "a two");
        fs::remove(at("content/gone.txt"));
        if (row.leftover) quillon_test::putContent(at("www.trees/2.building/data"), "a.txt", "a tw");
        std::vector<std::string> strace = {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null"};
        if (!row.path.empty()) strace.insert(strace.end(), {"-P", row.path});
        strace.insert(strace.end(), {"-e", "inject=" + row.inject});
        const quask_test::RunResult r = patchpubRun({dir + "/www", at("content")}, m_dir, strace);
        const std::string live = www("lastrev.txt");
        ASSERT_TRUE(live == "REV:1\n" || live == "REV:2\n") << live << r.err;
        const bool whole = live == "REV:1\n" ? www("data/a.txt") == "a one" && fs::exists(at("www/data/gone.txt"))
                                             : www("data/a.txt") == "a two" && !fs::exists(at("www/data/gone.txt"));
        EXPECT_TRUE(whole);
        if (live == "REV:1\n") {
            EXPECT_NE(r.code, 0) << r.out;
        }
        if (!row.error.empty()) {
            EXPECT_EQ(r.err, row.error);
        }
        EXPECT_EQ(patchpubRun({"verify", at("www")}, m_dir).code, 0);

        const quask_test::RunResult again = patchpubRun({dir + "/www", at("content")}, m_dir);
        EXPECT_EQ(again.code, 0) << again.err;
        EXPECT_EQ(www("lastrev.txt"), "REV:2\n");
        EXPECT_EQ(www("data/a.txt"), "a two");
        EXPECT_FALSE(fs::exists(at("www/data/gone.txt")));
        for (const auto& e : fs::directory_iterator(m_dir))
            EXPECT_EQ(e.path().filename().string().rfind("www.link-", 0), std::string::npos) << e.path();
    }
}
