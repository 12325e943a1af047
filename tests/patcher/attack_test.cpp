// Every attack on an update that the launcher is built to resist, one row
// each, against the real quillon and a hostile server of our own (the fault
// server, serving a publisher's tree as it was at some time, tampered with
// or not): the publisher keeps an offline root key and an online signing key
// it certifies, rotates the root and revokes a stolen key; the attacker
// owns the network path and, in some rows, the signing key. After each row
// nothing the publisher did not sign is installed, the game directory and
// its record are as they were (or, where a mirror stands in, exactly the
// publisher's revision), and the player was told why.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "patcher/protocol/digests.h"
#include "patcher/protocol/trust_files.h"
#include "tests/patcher/quillon_game.h"
#include "tools/patchpub/maintain.h"
#include "tools/patchpub/signing.h"
#include "tools/patchpub/tree_files.h"

namespace fs = std::filesystem;
using namespace quillon_test;

namespace {

constexpr char kNothingChanged[] =
    "\nNothing was changed - If this problem persists - please contact the Support!";
constexpr char kSigned[] = "Update Signature Error";

class AttackTest : public InstalledLauncherTest {
protected:
    std::vector<std::string> serverArgs() override { return {"--faults", at("faults.json")}; }

    void SetUp() override {
        InstalledLauncherTest::SetUp();
        // What the fault server serves is whichever tree a row links here.
        fs::remove_all(at("www"));
        fs::create_directories(at("row"));
        fs::create_directory_symlink(at("row"), at("www"));
        for (const char* name : {"root.pem", "signer.pem", "signer2.pem", "attacker.pem"}) {
            std::string text, error;
            ASSERT_TRUE(patchpub::generateKey(at(name), &text, &error)) << error;
            m_keys[name] = text;
        }
    }

    void publish(const std::string& content, const char* key) {
        patchpub::PublishOptions o;
        o.serverDir = at("pub");
        o.contentDir = at(content);
        o.compress = {"*.map"};
        o.signKey = key ? at(key) : "";
        o.uncheckedLauncher = true;  // the launchers here take the key from the environment
        patchpub::PublishResult r;
        std::string error;
        ASSERT_TRUE(patchpub::publishRevision(o, &r, &error)) << error;
    }
    void maintain(patchpub::Maintenance what, patchpub::MaintainOptions o) {
        o.serverDir = at("pub");
        patchpub::MaintainResult r;
        std::string error;
        ASSERT_TRUE(patchpub::maintainServer(what, o, &r, &error)) << error;
    }
    // The live tree as it is now, kept as `name`.
    void snapshot(const std::string& name) {
        fs::create_directories(at("states"));
        fs::copy(fs::canonical(at("pub")), at("states/" + name), fs::copy_options::recursive);
    }
    void content(const std::string& dir, const std::string& tag) {
        putContent(at(dir), "quillon", launcherRevision(tag), true);
        putContent(at(dir), "data/a.map", mapText("a " + tag, 300));
        putContent(at(dir), "b.txt", "b, " + tag);
        putContent(at(dir), "data/big.bin", noise(60000, static_cast<unsigned>(tag.size())));
    }
    // The launcher on `game` with the fault rules `rules`; its exit code.
    int runLauncher(const std::string& game, const std::string& rules, std::vector<std::string> env,
                    bool later = false) {
        quask_test::writeFile(at("faults.json"), rules);
        quask_test::ChildProcess::Options o;
        o.stdoutPath = at("run.out");
        o.stderrPath = at("run.err");
        o.workDir = at("cwd");
        o.extraEnv = std::move(env);
        o.extraEnv.push_back("QUASK_NONINTERACTIVE=1");
        o.extraEnv.push_back("QUILLON_STALL_SECONDS=2");
        std::vector<std::string> argv{at(game + "/quillon"), "--console", "--no-start"};
        // The player's clock a month on: the server as it was is frozen in time.
        if (later) argv.insert(argv.begin(), {"/usr/bin/faketime", "-f", "+30d"});
        quask_test::ChildProcess child(argv, o);
        return child.waitExit(60000);
    }
    std::string key(const char* name) { return "QUILLON_PUBLIC_KEY=" + m_keys[name]; }
    // Every file of the game, its digest and mode, but the lock, staging
    // files and the root of trust.
    std::string gameFiles(const std::string& game) {
        std::string state;
        for (const auto& e : fs::recursive_directory_iterator(at(game))) {
            const std::string rel = e.path().lexically_relative(at(game)).generic_string();
            if (!e.is_regular_file() || rel == "data/quillon.lock" || rel == "data/quillon.root" ||
                e.path().extension() == ".new")
                continue;
            const bool x = (e.status().permissions() & fs::perms::owner_exec) != fs::perms::none;
            const std::string bytes = quask_test::readFile(e.path());
            state += rel + (x ? " x " : " - ") + quillon::sha256Hex(quillon::sha256OfBytes(bytes.data(), bytes.size())) +
                     "\n";
        }
        return state;
    }
    // The announcement of `tree` naming root `root`, signed again by `signer`:
    // what an attacker who holds the signing key can make.
    void forgeAnnouncement(const std::string& tree, std::uint32_t root, const char* signer) {
        quillon::Announcement a;
        ASSERT_EQ(quillon::parseAnnouncement(quask_test::readFile(tree + "/meta/announce.txt"), &a), "");
        a.rootVersion = root;
        patchpub::SigningKey k;
        std::string error;
        ASSERT_TRUE(k.load(at(signer), &error)) << error;
        const std::string text = quillon::announcementText(a);
        quask_test::writeFile(tree + "/meta/announce.txt", text);
        quask_test::writeFile(tree + "/meta/announce.sig", k.sign(text));
    }

    std::map<std::string, std::string> m_keys;
};

}  // namespace

TEST_F(AttackTest, EveryAttackOnTheUpdateIsRefusedWithTheGameAsItWas) {
    // --- The publisher's history ---
    content("content1", "first");
    publish("content1", "root.pem");  // revision 1, the root key signs
    snapshot("1");
    patchpub::MaintainOptions certify;
    certify.rootKey = at("root.pem");
    certify.signKey = at("signer.pem");
    maintain(patchpub::Maintenance::kRotate, certify);  // root 2 certifies the online key
    snapshot("1-certified");
    content("content2", "second");
    putContent(at("content2"), "d.txt", "d is new");
    publish("content2", "signer.pem");
    snapshot("2");
    // Two mirrors the publisher names: the first caught in the middle of
    // copying revision 2 (its data and lastrev.txt new, its announcement
    // still revision 1's), the second a whole copy of revision 2.
    std::string halfUrl, mirrorUrl;
    fs::create_directories(at("half"));
    fs::create_directories(at("mirror"));
    auto half = startPatchServer(at("half"), at("half-server"), {}, &halfUrl);
    auto mirror = startPatchServer(at("mirror"), at("mirror-server"), {}, &mirrorUrl);
    ASSERT_FALSE(halfUrl.empty());
    ASSERT_FALSE(mirrorUrl.empty());
    patchpub::MaintainOptions named;
    named.signKey = at("signer.pem");
    named.mirrors = {halfUrl, mirrorUrl};
    maintain(patchpub::Maintenance::kMirrors, named);
    snapshot("2-mirrored");
    fs::copy(at("states/2-mirrored"), at("mirror"), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::copy(at("states/1-certified"), at("half"), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::copy(at("states/2/data"), at("half/data"), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::copy_file(at("states/2/lastrev.txt"), at("half/lastrev.txt"), fs::copy_options::overwrite_existing);
    // The online key is stolen: root 3 revokes it and certifies another.
    patchpub::MaintainOptions revoke;
    revoke.rootKey = at("root.pem");
    revoke.signKey = at("signer2.pem");
    revoke.revoke = {m_keys["signer.pem"]};
    maintain(patchpub::Maintenance::kRotate, revoke);
    snapshot("3-revoked");
    // An attacker's revision 3 with nothing signed.
    fs::copy(at("states/2"), at("unsigned"), fs::copy_options::recursive);
    for (const auto& e : fs::directory_iterator(at("unsigned/meta"))) {
        const std::string leaf = e.path().filename().string();
        if (leaf.rfind("files_", 0) == 0 || leaf.rfind("root_", 0) == 0 || leaf.rfind("announce", 0) == 0 ||
            leaf.rfind("signer", 0) == 0)
            fs::remove(e.path());
    }
    content("content3", "evil");
    patchpub::PublishOptions evil;
    evil.serverDir = at("unsigned");
    evil.contentDir = at("content3");
    patchpub::PublishResult evilResult;
    std::string error;
    ASSERT_TRUE(patchpub::publishRevision(evil, &evilResult, &error)) << error;

    // --- The player's game directories ---
    const auto serve = [&](const std::string& tree) {
        fs::remove_all(at("row"));
        fs::copy(tree, at("row"), fs::copy_options::recursive);
    };
    const auto install = [&](const std::string& from, const std::string& to, const std::string& state) {
        if (!from.empty()) fs::copy(at(from), at(to), fs::copy_options::recursive);
        serve(at("states/" + state));
        ASSERT_EQ(runLauncher(to, "{}", {key("root.pem")}), 0) << quask_test::readFile(at("run.err"));
    };
    install("", "game", "1");              // revision 1, root 1
    install("game", "game2", "2");         // revision 2, root 2, its launcher updated
    install("game2", "game3", "3-revoked");  // root 3 taken
    install("game", "game2m", "2-mirrored");  // revision 2, the mirrors kept
    // Revision 1 with the mirrors of a later run kept.
    fs::copy(at("game"), at("game1m"), fs::copy_options::recursive);
    fs::copy_file(at("states/2-mirrored/meta/mirrors.txt"), at("game1m/data/quillon.mirrors"));
    ASSERT_EQ(storedRevision(at("game")), 1u);
    ASSERT_EQ(storedRevision(at("game2")), 2u);
    ASSERT_EQ(quask_test::readFile(at("game2/quillon")), launcherRevision("second"));
    ASSERT_NE(quask_test::readFile(at("game3/data/quillon.root")).find("VERSION:3\n"), std::string::npos);

    const std::string big = "\"/data/data/big.bin\"";
    struct Attack {
        const char* name;
        const char* game;   // the game directory it starts from
        const char* state;  // the publisher's tree the attacker serves
        std::function<void(const std::string& tree)> tamper;
        std::string rules;                // the fault server's, for this row
        std::vector<std::string> env;     // the key, if the launcher has one
        std::string caption, text;        // the box; none: the mirror stands in
        bool later = false, fullCheck = false;
    };
    const auto none = [](const std::string&) {};
    const std::string sumsOf = quask_test::readFile(at("states/2/meta/sum_2.txt"));
    const Attack attacks[] = {
        {"arbitrary file: other bytes, their MD5 in the sums", "game", "2",
         [&](const std::string& tree) {
             quask_test::writeFile(tree + "/data/b.txt", "b, evil");
             std::string sums = sumsOf;
             const std::string line = sumLine("b, second", "/b.txt");
             sums.replace(sums.find(line), line.size(), sumLine("b, evil", "/b.txt"));
             quask_test::writeFile(tree + "/meta/sum_2.txt", sums);
         },
         "{}", {key("root.pem")}, kSigned, std::string("'meta/sum_2.txt' does not match its signature.") + kNothingChanged},
        {"endless data", "game", "2", none, "{" + big + ": {\"length\": 1099511627776, \"endless\": true}}",
         {key("root.pem")}, kSigned, std::string("'/data/big.bin' does not match its signature.") + kNothingChanged},
        {"fast-forward", "game", "2", none, R"({"/lastrev.txt": {"body": "REV:4000000000\n"}})", {key("root.pem")},
         kSigned,
         std::string("The Update Server offers revision 4000000000, but its signed announcement names revision 2.") +
             kNothingChanged},
        {"indefinite freeze: the server a month old", "game", "2", none, "{}", {key("root.pem")},
         "Update Server Out of Date", "The Update Server is out of date: its announcement expired on ", true},
        {"malicious mirror: wrong bytes", "game", "2-mirrored", none, "{" + big + ": {\"flip\": 100}}",
         {key("root.pem")}, "", ""},
        {"malicious mirror: a stall", "game", "2-mirrored", none, "{" + big + ": {\"send\": 1000, \"stall\": 30}}",
         {key("root.pem")}, "", ""},
        // A server the last publish has not reached yet, behind the game:
        // the mirror it was published to first stands in.
        {"lagging server: revision 1 while the game and the mirror have 2", "game2m", "1-certified", none, "{}",
         {key("root.pem")}, "", ""},
        // The half-copied mirror answers first, with a lastrev.txt its
        // announcement does not name: the whole copy stands in.
        {"half-copied mirror while the server is down", "game1m", "2-mirrored", none,
         R"({"/meta/announce.txt": {"drop": true}})", {key("root.pem")}, "", ""},
        // Several files on their way from it when the first one fails: each
        // of them comes from the mirror.
        {"malicious mirror: several files at once", "game", "2-mirrored", none,
         "{" + big + R"(: {"flip": 100}, "/data/b.txt": {"drop": true, "stall": 1}, "/data/d.txt": {"flip": 1}})",
         {key("root.pem")}, "", ""},
        {"mix-and-match: the full list of revision 1", "game", "2",
         [&](const std::string& tree) {
             for (const char* f : {"/meta/files_full.txt", "/meta/files_full.sig"})
                 fs::copy_file(at("states/1") + f, tree + f, fs::copy_options::overwrite_existing);
         },
         "{}", {key("root.pem")}, kSigned, std::string("'meta/files_full.txt' does not match its signature.") + kNothingChanged,
         false, true},
        {"rollback: lastrev.txt back to 1", "game2", "2", none, R"({"/lastrev.txt": {"body": "REV:1\n"}})",
         {key("root.pem")}, "Update Rollback Refused",
         std::string("The Update Server offers revision 1, older than the installed revision 2.") + kNothingChanged},
        {"rollback: the whole signed tree of revision 1", "game2", "1", none, "{}", {key("root.pem")}, kSigned,
         std::string("The announcement of the Update Server is older than the keys this game trusts (root 2).") +
             kNothingChanged},
        {"slow retrieval", "game", "2", none, "{" + big + ": {\"trickle\": 2}}", {key("root.pem")}, "Fetch Error (EOF)",
         "Failed to Download '/data/big.bin' from PatchServer\n= Read Error=\nIf this problem persists, please contact the Support!"},
        {"trust downgrade: the updated launcher has no key, the server signs nothing", "game2", "", none, "{}", {},
         kSigned, std::string("The signed announcement of the Update Server is missing or damaged.") + kNothingChanged},
        {"trust downgrade: the updated launcher trusts the attacker", "game2", "", none, "{}", {key("attacker.pem")},
         kSigned, std::string("The signed announcement of the Update Server is missing or damaged.") + kNothingChanged},
        {"old root offered as the next one", "game2", "2",
         [&](const std::string& tree) {
             fs::copy_file(tree + "/meta/root_2.txt", tree + "/meta/root_3.txt");
             fs::copy_file(tree + "/meta/root_2.sig", tree + "/meta/root_3.sig");
             forgeAnnouncement(tree, 3, "signer.pem");
         },
         "{}", {key("root.pem")}, kSigned, std::string("The root of trust meta/root_3.txt is missing or damaged.") + kNothingChanged},
        {"foreign root", "game2", "2",
         [&](const std::string& tree) {
             patchpub::SigningKey attacker;
             std::string e;
             ASSERT_TRUE(attacker.load(at("attacker.pem"), &e)) << e;
             const std::string text = quillon::rootText(quillon::RootOfTrust{3, attacker.publicKey(), {}});
             quask_test::writeFile(tree + "/meta/root_3.txt", text);
             quask_test::writeFile(tree + "/meta/root_3.sig", attacker.sign(text) + attacker.sign(text));
             forgeAnnouncement(tree, 3, "signer.pem");
         },
         "{}", {key("root.pem")}, kSigned,
         std::string("The root of trust meta/root_3.txt is not signed by the keys this game trusts.") + kNothingChanged},
        {"revoked signing key", "game3", "2",
         [&](const std::string& tree) {
             for (const char* f : {"/meta/root_3.txt", "/meta/root_3.sig"})
                 fs::copy_file(at("states/3-revoked") + f, tree + f);
             forgeAnnouncement(tree, 3, "signer.pem");
         },
         "{}", {key("root.pem")}, kSigned, std::string("The Update Server signs with a key the publisher has revoked.") + kNothingChanged},
        // A network that answers with its log-in page is no attack: the server is out of reach.
        {"captive portal: a web page for the announcement", "game", "2", none,
         R"({"/meta/announce.txt": {"body": "\n<!DOCTYPE html><html><body>Log in to the hotel's network</body></html>"}})",
         {key("root.pem")}, "Update Server down",
         "The Update Server seems to be down or\nthere is a Problem with your Internet Connection."},
        // Nor is an answer that breaks off: it was never read, so not damaged.
        {"a proxy that cuts the announcement off", "game", "2", none,
         R"({"/meta/announce.txt": {"send": 40}})",
         {key("root.pem")}, "Update Server down",
         "The Update Server seems to be down or\nthere is a Problem with your Internet Connection."},
        {"false notice", "game", "2", none, R"({"/notice.txt": {"body": "Get the new client at http://evil.example/"}})",
         {key("root.pem")}, kSigned, std::string("'notice.txt' does not match its signature.") + kNothingChanged},
    };
    for (const Attack& a : attacks) {
        SCOPED_TRACE(a.name);
        serve(a.state[0] ? at("states/") + a.state : fs::canonical(at("unsigned")).string());
        a.tamper(at("row"));
        fs::remove_all(at("player"));
        fs::copy(at(a.game), at("player"), fs::copy_options::recursive);
        if (a.fullCheck) quask_test::writeFile(at("player/DoFullCheck"), "");
        const std::string before = gameFiles("player");
        const std::string rootBefore = quask_test::readFile(at("player/data/quillon.root"));
        const int code = runLauncher("player", a.rules, a.env, a.later);
        // The root may only have moved on to the one the publisher signed next.
        const std::string root = quask_test::readFile(at("player/data/quillon.root"));
        EXPECT_TRUE(root == rootBefore || root == quask_test::readFile(at("states/2/meta/root_2.txt"))) << root;
        const std::string err = quask_test::readFile(at("run.err"));
        if (a.caption.empty()) {
            // The mirror stands in: the publisher's revision 2, exactly.
            EXPECT_EQ(code, 0) << err;
            EXPECT_EQ(treeDifferences(at("content2"), at("player")), "");
            EXPECT_EQ(storedRevision(at("player")), 2u);
            EXPECT_NE(err.find("quillon: skipping " + m_base + " for this run: "), std::string::npos) << err;
            continue;
        }
        EXPECT_EQ(code, 1);
        EXPECT_NE(err.find(a.caption + ": " + a.text), std::string::npos) << err;
        // A player whose clock runs ahead must be able to tell that from a
        // server out of date: the box says what the clock says.
        if (a.later) {
            const std::string day = quillon::utcTimeForPlayer(std::time(nullptr) + 30 * 86400).substr(0, 10);
            EXPECT_NE(err.find("\nThe clock of this computer says " + day), std::string::npos) << err;
        }
        EXPECT_EQ(gameFiles("player"), before);
    }
}
