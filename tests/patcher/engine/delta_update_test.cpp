// Delta patches end to end: patchpub --delta publishes patches beside the
// revisions, and the patch run against a real server on 127.0.0.1 fetches
// them instead of the files, over several revisions, with the key and
// without. A file that is not the patch's base, or a patch that is corrupt,
// costs the whole file and nothing else.
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

using quillon_test::countOf;
using quillon_test::noise;

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
    std::optional<PatchFailure> run(quillon_test::Step step) {
        quillon_test::RecordingUi ui;
        LauncherState state(ui);
        return quillon_test::runOn(at("game"), m_base, step, state, m_signed ? &m_key : nullptr);
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
    EXPECT_EQ(countOf(log, "GET /delta/2/big.bin.zpatch\n"), 1u) << log;
    EXPECT_EQ(countOf(log, "GET /delta/4/big.bin.zpatch\n"), 1u) << log;
    EXPECT_EQ(countOf(log, "GET /data/big.bin"), 0u) << log;
    EXPECT_EQ(countOf(log, "GET /data/small.txt\n"), 1u) << log;
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
    EXPECT_EQ(countOf(log, "GET /delta/"), 0u) << log;
    EXPECT_EQ(countOf(log, "GET /data/big.bin\n"), 1u) << log;
}

TEST_F(DeltaUpdateTest, FileNamedTooLongForItsPatchIsFetchedWholeBesideOthersPatches) {
    // The longest file name published (the launcher's ".new" fills 255
    // bytes): a patch named after it would not fit.
    const std::string name(251, 'n');
    std::string longNamed = noise(300000, 4);
    put(name, longNamed);
    publish();
    longNamed.replace(100, 50, noise(50, 41));
    put(name, longNamed);
    changeBig(9000, 200, 42);
    const std::size_t before = requests().size();
    ASSERT_FALSE(run(runPatch));
    EXPECT_TRUE(game(name) == longNamed);
    EXPECT_TRUE(game("big.bin") == m_big);
    const std::string log = requestsSince(before);
    EXPECT_EQ(countOf(log, "GET /data/" + name + "\n"), 1u) << log;
    EXPECT_EQ(countOf(log, "GET /delta/3/big.bin.zpatch\n"), 1u) << log;
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
    quillon_test::expectBox(run(runPatch), "", "Data File download Error");
    EXPECT_EQ(countOf(requestsSince(before), "GET /delta/2/big.bin.zpatch\n"), 1u);
    EXPECT_EQ(game("big.bin"), installed);
    EXPECT_FALSE(fs::exists(at("game/big.bin.new")));
    EXPECT_EQ(quillon_test::storedRevision(at("game")), 1u);

    // With the file back the next run fetches it whole.
    fs::rename(at("big.bin.kept"), at("www/data/big.bin"));
    ASSERT_FALSE(run(runPatch));
    EXPECT_EQ(game("big.bin"), m_big);
    EXPECT_EQ(quillon_test::storedRevision(at("game")), 2u);
}
