// The revision packs patchpub keeps beside a long history: what they hold
// as the tree changes, and what a launcher far behind takes from them.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "patcher/engine/patch_run.h"
#include "patcher/protocol/file_lists.h"
#include "patcher/protocol/revision_pack.h"
#include "tests/tools/patchpub_fixture.h"
#include "tools/patchpub/maintain.h"
#include "tools/patchpub/publisher.h"
#include "tools/patchpub/signing.h"
#include "tools/patchpub/verify_tree.h"

using namespace quillon;
namespace fs = std::filesystem;
using patchpub_test::PatchPubTest;

// A launcher far behind takes a revision pack for the files of its 64
// revisions: a pack must hold exactly the tree's own files of them, exist
// only once they are all published, and be made again when one of them
// changes (earlier revisions signed by a later publish, every signature
// made anew by a new signing key), as a new file: the older trees share the
// earlier pack by a hard link and must keep it. A pack changed by hand is
// named by verify and mended by the next publish.
TEST_F(PatchPubTest, RevisionPacksHoldTheFilesOfTheirRevisionsAsTheyChange) {
    using Files = std::map<std::string, std::string>;
    const auto packed = [this](const std::string& tree, std::uint32_t first) {
        std::vector<PackedFile> files;
        EXPECT_EQ(parseRevisionPack(quask_test::readFile(at(tree + "/" + revisionPackPath(first))), first, &files), "")
            << tree << " " << first;
        Files byPath;
        for (PackedFile& f : files) byPath.emplace(f.path, std::move(f.body));
        return byPath;
    };
    const auto own = [this](const std::string& tree, std::uint32_t first) {
        Files files;
        for (std::uint32_t rev = first; rev < first + kRevisionsPerPack; ++rev) {
            const std::string r = std::to_string(rev);
            for (const std::string& path : {"meta/" + r + ".txt", "meta/sum_" + r + ".txt", revisionListPath(rev),
                                            revisionSignaturePath(rev)})
                if (fs::exists(at(tree + "/" + path))) files[path] = quask_test::readFile(at(tree + "/" + path));
        }
        return files;
    };
    for (int rev = 1; rev <= 130; ++rev) {
        put("data/rev.txt", "revision " + std::to_string(rev));
        ASSERT_TRUE(publish().published) << rev;
    }
    for (const std::uint32_t first : {1u, 65u}) {
        ASSERT_TRUE(fs::exists(at("www/" + revisionPackPath(first)))) << first;
        EXPECT_EQ(own("www", first).size(), 128u);  // metadata and sums
        EXPECT_EQ(packed("www", first), own("www", first)) << first;
    }
    EXPECT_FALSE(fs::exists(at("www/meta/pack_129.txt")));  // revisions 131 to 192 are still to come

    std::vector<PackedFile> lacking, edited, early;
    for (const auto& [path, body] : own("www", 65)) {
        lacking.push_back({path, body});
        edited.push_back({path, path == "meta/70.txt" ? body + "MSG:4:hand" : body});
    }
    lacking.push_back({"meta/files_70.txt", "REV:70\n"});
    for (const auto& [path, body] : own("www", 129)) early.push_back({path, body});
    const std::string pack65 = quask_test::readFile(at("www/meta/pack_65.txt"));
    const struct {
        std::string path, body, problem;
    } rows[] = {
        {"meta/pack_65.txt", "QUASK-PACK:2\nEND\n", "meta/pack_65.txt: not a revision pack"},
        {"meta/pack_65.txt", revisionPackText(lacking),
         "meta/pack_65.txt holds meta/files_70.txt, which the tree lacks"},
        {"meta/pack_129.txt", revisionPackText(early),
         "meta/pack_129.txt packs revisions 129 to 192, not all published yet"},
        {"meta/pack_65.txt", revisionPackText(edited),
         "meta/pack_65.txt is not what the files of revisions 65 to 128 hold"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.problem);
        fs::remove(at("www/" + row.path));
        quask_test::writeFile(at("www/" + row.path), row.body);
        patchpub::VerifyReport report;
        EXPECT_FALSE(patchpub::verifyTree(at("www"), patchpub::VerifyOptions{}, &report));
        EXPECT_EQ(report.problems, std::vector<std::string>{row.problem});
        ASSERT_EQ(report.repairs.size(), 1u);
        EXPECT_EQ(report.repairs[0].rfind("the tree was changed by hand: put back what was changed", 0), 0u);
        fs::remove(at("www/" + row.path));
        if (row.path == "meta/pack_65.txt") quask_test::writeFile(at("www/" + row.path), pack65);
    }
    // The next publish makes a pack changed by hand again, though none of
    // its revisions changed.
    fs::remove(at("www/meta/pack_65.txt"));
    quask_test::writeFile(at("www/meta/pack_65.txt"), revisionPackText(edited));
    put("data/rev.txt", "revision 131");
    ASSERT_TRUE(publish().published);
    EXPECT_EQ(quask_test::readFile(at("www/meta/pack_65.txt")), pack65);

    std::string keyText, signerText, error;
    ASSERT_TRUE(patchpub::generateKey(at("key.pem"), &keyText, &error)) << error;
    ASSERT_TRUE(patchpub::generateKey(at("signer.pem"), &signerText, &error)) << error;
    put("data/rev.txt", "revision 132");
    patchpub::PublishOptions o;
    o.serverDir = at("www");
    o.contentDir = at("content");
    o.signKey = at("key.pem");
    patchpub::PublishResult r;
    ASSERT_TRUE(patchpub::publishRevision(o, &r, &error)) << error;
    EXPECT_EQ(r.signedEarlier, 131u);
    for (const std::uint32_t first : {1u, 65u}) {
        EXPECT_EQ(own("www", first).size(), 256u) << first;  // and the signed lists
        EXPECT_EQ(packed("www", first), own("www", first)) << first;
        EXPECT_EQ(packed("www.trees/131", first), own("www.trees/131", first)) << first;
    }
    const Files signedByRoot = own("www", 1);

    patchpub::MaintainOptions rotate;
    rotate.serverDir = at("www");
    rotate.rootKey = at("key.pem");
    rotate.signKey = at("signer.pem");
    patchpub::MaintainResult done;
    ASSERT_TRUE(patchpub::maintainServer(patchpub::Maintenance::kRotate, rotate, &done, &error)) << error;
    EXPECT_NE(own("www", 1).at("meta/files_1.sig"), signedByRoot.at("meta/files_1.sig"));
    for (const std::uint32_t first : {1u, 65u}) EXPECT_EQ(packed("www", first), own("www", first)) << first;
    EXPECT_EQ(packed("www.trees/132", 1), signedByRoot);
    patchpub::VerifyReport report;
    EXPECT_TRUE(patchpub::verifyTree(at("www"), patchpub::VerifyOptions{}, &report)) << report.problems[0];

    // A launcher with the key installs the whole history from the packs. A
    // signed list out of a pack that does not hold is asked for alone, and
    // the run goes on.
    std::vector<PackedFile> stale;
    ASSERT_EQ(parseRevisionPack(quask_test::readFile(at("www/meta/pack_1.txt")), 1, &stale), "");
    for (PackedFile& f : stale)
        if (f.path == "meta/files_5.sig") f.body = std::string(kSignatureSize, 'x');
    fs::remove(at("www/meta/pack_1.txt"));
    quask_test::writeFile(at("www/meta/pack_1.txt"), revisionPackText(stale));
    const PublicKey trusted = *parsePublicKey(keyText);
    fs::remove(at("requests.log"));
    quillon_test::RecordingUi ui;
    LauncherState state(ui);
    ASSERT_FALSE(quillon_test::runOn(at("keyed"), m_base, runPatch, state, &trusted));
    EXPECT_EQ(differences("keyed"), "extra data/quillon.root\n");  // the launcher's record of trust
    const std::string asked = requests();
    EXPECT_EQ(quillon_test::countOf(asked, "GET /meta/files_5.sig"), 1u) << asked;
    EXPECT_EQ(quillon_test::countOf(asked, "GET /meta/files_6.sig"), 0u) << asked;
    EXPECT_LT(quillon_test::countOf(asked, "GET /meta/"), 40u) << asked;  // 4 for each of 132 revisions without
}
