// Delta patches end to end: patchpub --delta publishes patches beside the
// revisions, and the patch run against a real server on 127.0.0.1 fetches
// them instead of the files, over several revisions, with the key and
// without. A file that is not the patch's base, or a patch that is corrupt,
// costs the whole file and nothing else; the list's own format is refused
// where it is not exact.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "patcher/engine/patch_run.h"
#include "patcher/protocol/delta_list.h"
#include "patcher/protocol/digests.h"
#include "tests/patcher/game_patch_fixture.h"
#include "tests/patcher/quillon_game.h"
#include "tools/patchpub/signing.h"

using namespace quillon;
namespace fs = std::filesystem;

namespace {

std::string noise(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return bytes;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class DeltaUpdateTest : public quillon_test::PatchServerTest {
protected:
    // Revision 1 with big.bin (and small.txt), installed into game/.
    void SetUp() override {
        PatchServerTest::SetUp();
        m_big = noise(300000, 3);
        put("big.bin", m_big);
        put("small.txt", "small, first");
        publish();
        ASSERT_FALSE(run(runPatch));
    }
    void put(const std::string& name, const std::string& bytes) {
        quillon_test::putContent(at("content"), name, bytes);
    }
    // The next revision, with patches; `changed` patches of big.bin count.
    void publish(unsigned patches = 0) {
        patchpub::PublishOptions o;
        o.serverDir = at("www");
        o.contentDir = at("content");
        o.now = 1796100000;
        o.delta = true;
        if (m_signed) o.signKey = at("key.pem");
        patchpub::PublishResult r;
        std::string error;
        ASSERT_TRUE(patchpub::publishRevision(o, &r, &error)) << error;
        ASSERT_TRUE(r.published);
        EXPECT_EQ(r.deltas, patches);
    }
    // Changes `size` bytes of big.bin at `offset` and publishes it.
    void changeBig(std::size_t offset, std::size_t size, unsigned seed) {
        m_big.replace(offset, size, noise(size, seed));
        put("big.bin", m_big);
        publish(1);
    }
    std::optional<PatchFailure> run(std::optional<PatchFailure> (*step)(PatchContext&, RevisionRecord&)) {
        quillon_test::RecordingUi ui;
        LauncherState state(ui);
        HttpClient http;
        PatchContext ctx{http, state, at("game"), m_base, "quillon", m_signed ? &m_key : nullptr};
        RevisionRecord record;
        fs::create_directories(at("game"));
        if (auto failure = LoadRevisionRecord(at("game"), &record)) return failure;
        return step(ctx, record);
    }
    std::string game(const std::string& name) { return quask_test::readFile(at("game/" + name)); }
    // The requests since `before` (the log's length then).
    std::string requestsSince(std::size_t before) { return requests().substr(before); }
    void replaceServed(const std::string& path, const std::string& bytes) {
        fs::remove(at("www/" + path));  // not through a hard link into another tree
        std::ofstream(at("www/" + path), std::ios::binary) << bytes;
    }

    std::string m_big;
    bool m_signed = false;
    PublicKey m_key;
};

class SignedDeltaUpdateTest : public DeltaUpdateTest {
protected:
    void SetUp() override {
        std::string text, error;
        quillon_test::PatchServerTest::SetUp();
        ASSERT_TRUE(patchpub::generateKey(at("key.pem"), &text, &error)) << error;
        m_key = *parsePublicKey(text);
        m_signed = true;
        m_big = noise(300000, 3);
        put("big.bin", m_big);
        put("small.txt", "small, first");
        publish();
        ASSERT_FALSE(run(runPatch));
    }
};

}  // namespace

TEST_F(SignedDeltaUpdateTest, PatchesChainOverSeveralRevisions) {
    changeBig(1000, 500, 11);
    put("small.txt", "small, second");  // too small to be worth a patch
    publish(0);
    changeBig(250000, 2000, 12);
    const std::size_t before = requests().size();
    ASSERT_FALSE(run(runPatch));
    EXPECT_EQ(game("big.bin"), m_big);
    EXPECT_EQ(game("small.txt"), "small, second");
    EXPECT_FALSE(fs::exists(at("game/big.bin.new")));
    EXPECT_EQ(quillon_test::storedRevision(at("game")), 4u);
    const std::string log = requestsSince(before);
    EXPECT_EQ(count(log, "GET /delta/2/big.bin.zpatch\n"), 1u) << log;
    EXPECT_EQ(count(log, "GET /delta/4/big.bin.zpatch\n"), 1u) << log;
    EXPECT_EQ(count(log, "GET /data/big.bin"), 0u) << log;
    EXPECT_EQ(count(log, "GET /data/small.txt\n"), 1u) << log;
}

TEST_F(DeltaUpdateTest, FileThatIsNotTheBaseIsFetchedWhole) {
    changeBig(5000, 100, 21);
    std::string local = m_big;
    local[0] ^= 1;  // the player's copy differs from revision 1's
    quillon_test::putContent(at("game"), "big.bin", local);
    const std::size_t before = requests().size();
    ASSERT_FALSE(run(runPatch));
    EXPECT_EQ(game("big.bin"), m_big);
    const std::string log = requestsSince(before);
    EXPECT_EQ(count(log, "GET /delta/"), 0u) << log;
    EXPECT_EQ(count(log, "GET /data/big.bin\n"), 1u) << log;
}

TEST_F(DeltaUpdateTest, CorruptPatchIsRefusedAndReplacesNothing) {
    const std::string installed = m_big;
    changeBig(7000, 300, 31);
    std::string patch = quask_test::readFile(at("www/delta/2/big.bin.zpatch"));
    patch[patch.size() / 2] ^= 0x40;
    replaceServed("delta/2/big.bin.zpatch", patch);
    // The whole file is gone as well: the run fails as a download does, and
    // the installed file stays what it was.
    fs::rename(at("www/data/big.bin"), at("big.bin.kept"));
    const std::size_t before = requests().size();
    const auto failure = run(runPatch);
    EXPECT_EQ(count(requestsSince(before), "GET /delta/2/big.bin.zpatch\n"), 1u);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->caption, "Data File download Error");
    EXPECT_EQ(game("big.bin"), installed);
    EXPECT_FALSE(fs::exists(at("game/big.bin.new")));
    EXPECT_EQ(quillon_test::storedRevision(at("game")), 1u);

    // With the file back the next run fetches it whole.
    fs::rename(at("big.bin.kept"), at("www/data/big.bin"));
    ASSERT_FALSE(run(runPatch));
    EXPECT_EQ(game("big.bin"), m_big);
    EXPECT_EQ(quillon_test::storedRevision(at("game")), 2u);
}

TEST(DeltaListTest, ListsThatAreNotExactAreRefused) {
    const std::string digest = std::string(64, 'a') + ":10:" + std::string(64, 'b') + ":12:5:/x.bin";
    const std::string good = "QUASK-DELTAS:1\nREV:3\nDELTA:" + digest + "\nLATER:kinds are skipped\n";
    DeltaList list;
    ASSERT_EQ(parseDeltaList(good, 3, &list), "");
    ASSERT_EQ(list.entries.size(), 1u);
    EXPECT_EQ(list.entries[0].name, "/x.bin");
    EXPECT_EQ(list.entries[0].patchSize, 5u);
    EXPECT_EQ(deltaListText(list), "QUASK-DELTAS:1\nREV:3\nDELTA:" + digest + "\n");
    const struct {
        std::string body, why;
    } bad[] = {
        {good, "bad REV line"},  // another revision's list
        {"QUASK-DELTAS:2\nREV:3\n", "not a delta list"},
        {"QUASK-DELTAS:1\nREV:3\nDELTA:" + digest, "not ended by a line feed"},
        {"QUASK-DELTAS:1\nREV:3\nDELTA:" + std::string(64, 'A') + digest.substr(64) + "\n", "bad DELTA line"},
        {"QUASK-DELTAS:1\nREV:3\nDELTA:" + digest.substr(0, digest.size() - 6) + "/../x\n", "bad DELTA line"},
        {"QUASK-DELTAS:1\nREV:3\n\n", "blank line"},
    };
    for (std::size_t i = 0; i < std::size(bad); ++i)
        EXPECT_EQ(parseDeltaList(bad[i].body, i == 0 ? 4 : 3, &list), bad[i].why) << i;

    // The metadata line is read up to the message only: a message text
    // cannot add a list.
    const std::string line = "DELTAS:" + std::string(64, 'c') + ":99\n";
    EXPECT_TRUE(deltaListMarker("REV:3\n" + line + "MSG:2:hi"));
    EXPECT_FALSE(deltaListMarker("REV:3\nMSG:80:x\n" + line));
}
