// Signed revisions against a real server on 127.0.0.1: patchpub signs what
// it publishes, a launcher with the key takes exactly that, and a server an
// attacker changed (a data file with its MD5 line, a signature missing, cut
// short or from another revision, an older revision offered again) is
// refused with every game file and the record as they were. A launcher
// without a key keeps working against the same server.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "patcher/engine/full_check.h"
#include "patcher/engine/patch_run.h"
#include "tests/patcher/game_patch_fixture.h"
#include "tests/patcher/quillon_game.h"
#include "tools/patchpub/maintain.h"
#include "tools/patchpub/signing.h"

using namespace quillon;
namespace fs = std::filesystem;

namespace {

constexpr char kNothingChanged[] =
    "\nNothing was changed - If this problem persists - please contact the Support!";

class SignedPatchTest : public quillon_test::PatchServerTest {
protected:
    std::vector<std::string> serverArgs() override { return {"--faults", at("faults.json")}; }
    void SetUp() override {
        PatchServerTest::SetUp();
        std::string text, error;
        ASSERT_TRUE(patchpub::generateKey(at("key.pem"), &text, &error)) << error;
        ASSERT_TRUE(parsePublicKey(text));
        m_key = *parsePublicKey(text);
    }
    void put(const std::string& name, const std::string& bytes) {
        quillon_test::putContent(at("content"), name, bytes);
    }
    bool publishSigned(std::string* error, bool sign = true) {
        patchpub::PublishOptions o;
        o.serverDir = at("www");
        o.contentDir = at("content");
        o.compress = {"*.map"};
        o.now = 1796100000;
        if (sign) o.signKey = at("key.pem");
        patchpub::PublishResult r;
        return patchpub::publishRevision(o, &r, error) && r.published;
    }
    // Revision 1, and revision 2 that changes, adds, packs and deletes;
    // `between` runs after the first.
    void publishTwo(const std::function<void()>& between = [] {}) {
        std::string error;
        put("data/a.map", quillon_test::mapText("a, first", 400));
        put("b.txt", "b, first");
        put("c.txt", "c goes");
        ASSERT_TRUE(publishSigned(&error)) << error;
        between();
        put("data/a.map", quillon_test::mapText("a, second", 500));
        put("b.txt", "b, second");
        put("d.txt", "d is new");
        fs::remove(at("content/c.txt"));
        ASSERT_TRUE(publishSigned(&error)) << error;
    }
    std::optional<PatchFailure> run(const std::string& game, quillon_test::Step step, const PublicKey* key) {
        quillon_test::RecordingUi ui;
        LauncherState state(ui);
        return quillon_test::runOn(at(game), m_base, step, state, key);
    }
    std::string www(const std::string& name) { return quask_test::readFile(at("www/" + name)); }
    void serveFile(const std::string& name, const std::string& bytes) {
        fs::remove(at("www/" + name));  // not through a hard link into another tree
        std::ofstream(at("www/" + name), std::ios::binary) << bytes;
    }
    // The served tree as a plain copy, put back before each case.
    void keepServer() { fs::copy(at("www"), at("pristine"), fs::copy_options::recursive); }
    void restoreServer() {
        fs::remove_all(at("www"));
        fs::copy(at("pristine"), at("www"), fs::copy_options::recursive);
    }
    // Every file but staging files (and, when asked, the root of trust).
    std::string gameState(const std::string& game, bool withRoot = true) {
        std::string state;
        for (const auto& e : fs::recursive_directory_iterator(at(game)))
            if (e.is_regular_file() && e.path().extension() != ".new" &&
                (withRoot || e.path().filename() != "quillon.root"))
                state += e.path().lexically_relative(at(game)).string() + "=" + quask_test::readFile(e.path()) + "\n";
        return state;
    }

    PublicKey m_key;
};

}  // namespace

TEST_F(SignedPatchTest, SignedRevisionsPatchAndFullCheckWithTheKeyAndWithout) {
    std::string error;
    put("data/a.map", quillon_test::mapText("a, first", 400));
    put("b.txt", "b, first");
    ASSERT_TRUE(publishSigned(&error)) << error;
    ASSERT_FALSE(run("stepwise", runPatch, &m_key));
    publishTwo();  // revisions 2 and 3 on top
    ASSERT_FALSE(run("stepwise", runPatch, &m_key));
    ASSERT_FALSE(run("fresh", runPatch, &m_key));
    for (const char* game : {"stepwise", "fresh"}) {
        EXPECT_EQ(quask_test::readFile(at(std::string(game) + "/b.txt")), "b, second") << game;
        EXPECT_EQ(quask_test::readFile(at(std::string(game) + "/data/a.map")), quillon_test::mapText("a, second", 500));
        EXPECT_FALSE(fs::exists(at(std::string(game) + "/c.txt")));
        EXPECT_EQ(quillon_test::storedRevision(at(game)), 3u);
    }
    EXPECT_NE(requests().find("GET /meta/files_3.sig\n"), std::string::npos);

    // The full check repairs through the signed list.
    fs::remove(at("fresh/d.txt"));
    ASSERT_FALSE(run("fresh", runFullCheck, &m_key));
    EXPECT_EQ(quask_test::readFile(at("fresh/d.txt")), "d is new");
    EXPECT_NE(requests().find("GET /meta/files_full.sig\n"), std::string::npos);

    // A launcher without a key, in a game directory without a root, never
    // asks for the signed files and keeps no root.
    const std::size_t before = requests().size();
    ASSERT_FALSE(run("nokey", runPatch, nullptr));
    EXPECT_EQ(quask_test::readFile(at("nokey/d.txt")), "d is new");
    for (const char* signedFile : {"files_", "announce", "root_", "signer", "mirrors"})
        EXPECT_EQ(requests().find(signedFile, before), std::string::npos) << signedFile;
    EXPECT_FALSE(fs::exists(at("nokey/data/quillon.root")));

    // The publisher's side: the key stays private, is never overwritten, and
    // a signed server takes no unsigned revision.
    struct stat st;
    ASSERT_EQ(::stat(at("key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text;
    EXPECT_FALSE(patchpub::generateKey(at("key.pem"), &text, &error));
    EXPECT_EQ(error, at("key.pem") + " exists: refusing to overwrite a key");
    put("e.txt", "unsigned");
    EXPECT_FALSE(publishSigned(&error, false));
    EXPECT_EQ(error, "revision 3 of the server is signed: publish the next one with --sign KEYFILE as well");
    EXPECT_EQ(www("lastrev.txt"), "REV:3\n");
}

TEST_F(SignedPatchTest, TamperedServerIsRefusedWithNothingReplaced) {
    // Revision 1 installed once; each case starts from a copy of it.
    publishTwo([&] { ASSERT_FALSE(run("installed", runPatch, &m_key)); });
    keepServer();
    std::string error, otherText;
    ASSERT_TRUE(patchpub::generateKey(at("other.pem"), &otherText, &error));
    const PublicKey otherKey = *parsePublicKey(otherText);
    const std::string sums = www("meta/sum_2.txt");
    const std::string bLine = quillon_test::sumLine("b, second", "/b.txt");
    ASSERT_NE(sums.find(bLine), std::string::npos);

    struct Case {
        const char* what;
        std::function<void()> tamper;
        std::string text;
        const PublicKey* key;
        bool keepsRoot = true;
    };
    const Case cases[] = {
        {"data file and its MD5 line changed alike",
         [&] {
             serveFile("data/b.txt", "evil");
             std::string forged = sums;
             forged.replace(forged.find(bLine), bLine.size(), quillon_test::sumLine("evil", "/b.txt"));
             serveFile("meta/sum_2.txt", forged);
         },
         "'meta/sum_2.txt' does not match its signature.", &m_key},
        {"data file changed", [&] { serveFile("data/b.txt", "b, sekond"); },
         "'/b.txt' does not match its signature.", &m_key},
        {"signature missing", [&] { fs::remove(at("www/meta/files_2.sig")); },
         "The signature of revision 2 is missing or damaged.", &m_key},
        {"signature cut short", [&] { serveFile("meta/files_2.sig", www("meta/files_2.sig").substr(0, 40)); },
         "The signature of revision 2 is missing or damaged.", &m_key},
        {"another revision's signature", [&] { serveFile("meta/files_2.sig", www("meta/files_1.sig")); },
         "Revision 2 is not signed by the publisher of this game.", &m_key},
        {"another revision's signed list",
         [&] {
             serveFile("meta/files_2.txt", www("meta/files_1.txt"));
             serveFile("meta/files_2.sig", www("meta/files_1.sig"));
         },
         "The signature of revision 2 is missing or damaged.", &m_key},
        // A game directory keeps its root whatever key a launcher has: only a
        // new one takes the launcher's key, which the server's roots do not name.
        {"a new game directory, a launcher with another key", [&] { fs::remove(at("game/data/quillon.root")); },
         "No root of trust of the Update Server names the key of this launcher.", &otherKey, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        restoreServer();
        fs::remove_all(at("game"));
        fs::copy(at("installed"), at("game"), fs::copy_options::recursive);
        c.tamper();
        quillon_test::expectBox(run("game", runPatch, c.key),
                                c.text + kNothingChanged,
                                "Update Signature Error");
        EXPECT_EQ(gameState("game", c.keepsRoot), gameState("installed", c.keepsRoot));
    }

    // Back to an older revision, validly signed: refused, record kept.
    restoreServer();
    ASSERT_FALSE(run("installed", runPatch, &m_key));
    EXPECT_EQ(quillon_test::storedRevision(at("installed")), 2u);
    const std::string revision2 = gameState("installed");
    serveFile("lastrev.txt", "REV:1\n");
    quillon_test::expectBox(run("installed", runPatch, &m_key),
                            std::string("The Update Server offers revision 1, older than the installed revision 2.") + kNothingChanged,
                            "Update Rollback Refused");
    EXPECT_EQ(gameState("installed"), revision2);

    // A record of trust that is no root is damaged, not unwritable, and
    // stays for the Support to see.
    restoreServer();
    const std::string root = quask_test::readFile(at("installed/data/quillon.root"));
    quask_test::writeFile(at("installed/data/quillon.root"), root.substr(0, 40));
    quillon_test::expectBox(run("installed", runPatch, &m_key),
                            "The record of the keys this game trusts (data/quillon.root) is damaged: it holds no root "
                            "of trust.\nNothing was changed - please contact the Support!",
                            "Error");
    EXPECT_EQ(quask_test::readFile(at("installed/data/quillon.root")), root.substr(0, 40));
    quask_test::writeFile(at("installed/data/quillon.root"), root);
    // A server address that is no http answers nothing: no signature is to blame.
    quillon_test::RecordingUi ftpUi;
    LauncherState ftpState(ftpUi);
    quillon_test::expectBox(quillon_test::runOn(at("installed"), "ftp://127.0.0.1:1/", runPatch, ftpState, &m_key),
                            "The Update Server seems to be down or\nthere is a Problem with your Internet Connection.",
                            "Update Server down");

    // The full check: its list changed without the signature following.
    restoreServer();
    fs::remove(at("installed/d.txt"));
    serveFile("meta/sum_full.txt", www("meta/sum_full.txt") + quillon_test::sumLine("x", "/x.txt"));
    quillon_test::expectBox(run("installed", runFullCheck, &m_key),
                            std::string("'meta/sum_full.txt' does not match its signature.") + kNothingChanged);
    EXPECT_FALSE(fs::exists(at("installed/d.txt")));
    EXPECT_EQ(quillon_test::storedRevision(at("installed")), 2u);
}

// A publish while a player's run downloads: the file asked after it is the
// next revision's already. That is no attack: the run starts again once and
// takes the new revision; a second publish meanwhile gets a box that says
// what happened.
TEST_F(SignedPatchTest, PublishDuringARunIsTakenAndNotCalledTampering) {
    std::string error;
    put("a.bin", std::string(3000, 'a'));
    put("b.bin", std::string(3000, 'b'));
    ASSERT_TRUE(publishSigned(&error)) << error;
    // One connection; each file (and revision 3's sums) arrives in two
    // parts a second apart, so that a publish fits in between.
    quask_test::writeFile(at("faults.json"), R"({"/data/a.bin": {"trickle": 1500}, "/data/b.bin": {"trickle": 1500},)"
                                             R"( "/meta/sum_3.txt": {"trickle": 60}})");
    const auto publishOnceAsked = [&](const std::string& request, char fill) {
        quask_test::waitForText(at("requests.log"), request, 20000);
        put("a.bin", std::string(3000, fill));
        put("b.bin", std::string(3000, static_cast<char>(fill + 1)));
        return publishSigned(&error);
    };
    ::setenv("QUILLON_CONNECTIONS", "1", 1);
    std::optional<PatchFailure> taken, told;
    std::thread player([&] { taken = run("taken", runPatch, &m_key); });
    const bool second = publishOnceAsked("GET /data/", 'C');
    player.join();
    fs::remove(at("requests.log"));
    std::thread again([&] { told = run("told", runPatch, &m_key); });
    const bool third = publishOnceAsked("GET /data/", 'E') && publishOnceAsked("GET /meta/sum_3.txt", 'G');
    again.join();
    ::unsetenv("QUILLON_CONNECTIONS");
    ASSERT_TRUE(second && third) << error;

    EXPECT_FALSE(taken) << taken->text;
    EXPECT_EQ(quask_test::readFile(at("taken/a.bin")), std::string(3000, 'C'));
    EXPECT_EQ(quask_test::readFile(at("taken/b.bin")), std::string(3000, 'D'));
    EXPECT_EQ(quillon_test::storedRevision(at("taken")), 2u);
    // Revision 3 went live during the second player's first run, revision 4
    // during the run after it.
    quillon_test::expectBox(told, "", "Update Server Changed");
    EXPECT_NE(told->text.find("does not match its signature: the Update Server published revision 4 while this "
                              "update to revision 3 ran.\nNothing was changed - please start the Launcher again "
                              "to update."),
              std::string::npos)
        << told->text;
    EXPECT_FALSE(fs::exists(at("told/a.bin")));
    EXPECT_FALSE(fs::exists(at("told/b.bin")));
}

namespace {

// The fault server's `rule` for each of the data files f0.bin to f11.bin.
std::string rules(const std::string& rule) {
    std::string json;
    for (unsigned i = 0; i < 12; ++i)
        json += std::string(i ? ", " : "{") + "\"/data/f" + std::to_string(i) + ".bin\": " + rule;
    return json + "}";
}

// A stall time of 2 s for the test that holds one, however it ends.
struct StallSeconds {
    const char* before = std::getenv("QUILLON_STALL_SECONDS");
    const std::string was = before ? before : "";
    StallSeconds() { ::setenv("QUILLON_STALL_SECONDS", "2", 1); }
    ~StallSeconds() { before ? ::setenv("QUILLON_STALL_SECONDS", was.c_str(), 1) : ::unsetenv("QUILLON_STALL_SECONDS"); }
};

}  // namespace

// A server that turns every data request away (503, as an overloaded host
// answers) or trickles them just above the stall limit hands the files to
// the mirror it names, and the mirror gets every connection of the run, not
// the one the busy server was left with; what the slow one sent is kept.
TEST_F(SignedPatchTest, BusyOrSlowServerHandsTheFilesToItsMirrorAtFullWidth) {
    std::string error, mirrorUrl;
    fs::create_directories(at("mirror/www"));
    auto mirror = quillon_test::startPatchServer(at("mirror/www"), at("mirror/server"),
                                                 {"--ranges", "--faults", at("mirror/faults.json")}, &mirrorUrl);
    ASSERT_FALSE(mirrorUrl.empty());
    for (unsigned i = 0; i < 12; ++i) put("f" + std::to_string(i) + ".bin", quillon_test::noise(6000, i));
    ASSERT_TRUE(publishSigned(&error)) << error;
    patchpub::MaintainOptions named;
    named.serverDir = at("www");
    named.signKey = at("key.pem");
    named.mirrors = {mirrorUrl};
    patchpub::MaintainResult maintained;
    ASSERT_TRUE(patchpub::maintainServer(patchpub::Maintenance::kMirrors, named, &maintained, &error)) << error;
    fs::copy(at("www"), at("mirror/www"), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    quask_test::writeFile(at("mirror/faults.json"), rules(R"({"hold": 0.3})"));

    struct Row {
        const char* name;
        std::string rule;  // of the server, for each data file
        std::string why;   // its skip line
    };
    const StallSeconds stall;
    for (const Row& row : {Row{"busy", R"({"busy": 0})", "server busy for data/f"},
                           Row{"slow", R"({"trickle": 300})", "under 4 KiB/s for 2 s"}}) {
        SCOPED_TRACE(row.name);
        quask_test::writeFile(at("faults.json"), rules(row.rule));
        fs::remove(at("mirror/requests.log"));
        fs::remove(at("mirror/answering.log"));
        fs::remove(at("requests.log"));
        quillon_test::RecordingUi ui;
        LauncherState state(ui);
        const auto failure = quillon_test::runOn(at(row.name), m_base, runPatch, state, &m_key);
        ASSERT_FALSE(failure) << failure->text;
        for (unsigned i = 0; i < 12; ++i)
            EXPECT_EQ(quask_test::readFile(at(std::string(row.name) + "/f" + std::to_string(i) + ".bin")),
                      quillon_test::noise(6000, i))
                << i;
        const std::vector<std::string> notes = ui.notes();
        EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [&](const std::string& note) {
            return note.rfind("skipping " + m_base + " for this run: " + row.why, 0) == 0;
        }));
        const std::string asked = quask_test::readFile(at("mirror/requests.log"));
        EXPECT_EQ(quillon_test::countOf(asked, "GET /data/f"), 12u) << asked;
        // The server was asked only for the files on their way when it was
        // skipped; those waiting for a connection went to the mirror.
        const std::string server = quask_test::readFile(at("requests.log"));
        EXPECT_EQ(quillon_test::countOf(server, "GET /data/f"), 6u) << server;
        // Each file is held 0.3 s: at full width several are answered at once.
        std::istringstream counts(quask_test::readFile(at("mirror/answering.log")));
        unsigned most = 0;
        for (unsigned n = 0; counts >> n;) most = std::max(most, n);
        EXPECT_GE(most, 3u);
    }
    EXPECT_NE(quask_test::readFile(at("mirror/requests.log")).find(" bytes="), std::string::npos);
}

// A player whose own link is slow finds every place slow: one place is
// skipped, and the next, not twice as slow, keeps the files, however many
// mirrors are left to try.
TEST_F(SignedPatchTest, SlowLinkOfThePlayerSkipsOnePlaceNotEachInTurn) {
    std::string error;
    std::vector<std::unique_ptr<quask_test::ChildProcess>> mirrors;
    std::vector<std::string> urls;
    for (const char* name : {"one", "two"}) {
        const std::string dir = at(std::string(name) + "/");
        fs::create_directories(dir + "www");
        urls.emplace_back();
        mirrors.push_back(quillon_test::startPatchServer(dir + "www", dir + "server",
                                                         {"--ranges", "--faults", dir + "faults.json"}, &urls.back()));
        ASSERT_FALSE(urls.back().empty());
    }
    for (unsigned i = 0; i < 12; ++i) put("f" + std::to_string(i) + ".bin", quillon_test::noise(1500, i));
    ASSERT_TRUE(publishSigned(&error)) << error;
    patchpub::MaintainOptions named;
    named.serverDir = at("www");
    named.signKey = at("key.pem");
    named.mirrors = urls;
    patchpub::MaintainResult maintained;
    ASSERT_TRUE(patchpub::maintainServer(patchpub::Maintenance::kMirrors, named, &maintained, &error)) << error;
    for (const char* name : {"one", "two"}) {
        fs::copy(at("www"), at(std::string(name) + "/www"), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        quask_test::writeFile(at(std::string(name) + "/faults.json"), rules(R"({"trickle": 300})"));
    }
    quask_test::writeFile(at("faults.json"), rules(R"({"trickle": 300})"));
    const StallSeconds stall;
    quillon_test::RecordingUi ui;
    LauncherState state(ui);
    const auto failure = quillon_test::runOn(at("game"), m_base, runPatch, state, &m_key);
    ASSERT_FALSE(failure) << failure->text;
    for (unsigned i = 0; i < 12; ++i)
        EXPECT_EQ(quask_test::readFile(at("game/f" + std::to_string(i) + ".bin")), quillon_test::noise(1500, i)) << i;
    const std::vector<std::string> notes = ui.notes();
    EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                            [](const std::string& note) { return note.find("under 4 KiB/s for 2 s") != std::string::npos; }),
              1)
        << ::testing::PrintToString(notes);
    EXPECT_EQ(quillon_test::countOf(quask_test::readFile(at("two/requests.log")), "GET /data/f"), 0u);
}
