// The revision pack's layout: what a launcher takes from a pack and what it
// refuses, whole, to fetch the revisions' files alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patcher/protocol/revision_pack.h"

using namespace quillon;

TEST(RevisionPack, HoldsOnlyItsRevisionsFilesWholeAndOnce) {
    const std::vector<PackedFile> files = {{"meta/65.txt", "REV:65\nDATA:file:A:/a\n"},
                                           {"meta/sum_128.txt", ""},
                                           {"meta/files_70.sig", std::string("\0\n:", 3)}};
    const std::string good = revisionPackText(files);
    std::vector<PackedFile> read;
    ASSERT_EQ(parseRevisionPack(good, 65, &read), "");
    ASSERT_EQ(read.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(read[i].path, files[i].path);
        EXPECT_EQ(read[i].body, files[i].body);
    }
    // The bytes as a pack travels, spelled out, not only through our writer.
    EXPECT_EQ(good, "QUASK-PACK:1\nFILE:meta/65.txt:22\nREV:65\nDATA:file:A:/a\n\nFILE:meta/sum_128.txt:0\n\n"
                    "FILE:meta/files_70.sig:3\n" + std::string("\0\n:", 3) + "\nEND\n");
    EXPECT_EQ(packFirstOf(1), 1u);
    EXPECT_EQ(packFirstOf(64), 1u);
    EXPECT_EQ(packFirstOf(65), 65u);
    EXPECT_EQ(revisionPackPath(129), "meta/pack_129.txt");

    const std::string head = "QUASK-PACK:1\n";
    const struct {
        std::string body;
        std::uint32_t first;
        const char* why;
    } refused[] = {
        {good, 1, "a file is none of the pack's revisions"},
        {good, 66, "no pack starts at that revision"},
        {good.substr(0, good.size() - 4), 65, "a record is not a FILE line"},  // no END
        {good.substr(0, good.size() - 8), 65, "a file is cut short"},
        {"QUASK-PACK:2\nEND\n", 1, "not a revision pack"},
        {head + "FILE:meta/1.txt:1\na\nFILE:meta/1.txt:1\na\nEND\n", 1, "a file is in the pack twice"},
        {head + "FILE:meta/sum_full.txt:1\na\nEND\n", 1, "a file is none of the pack's revisions"},
        {head + "FILE:meta/pack_1.txt:1\na\nEND\n", 1, "a file is none of the pack's revisions"},
        {head + "FILE:meta/delta_1.txt:1\na\nEND\n", 1, "a file is none of the pack's revisions"},
        {head + "FILE:meta/01.txt:1\na\nEND\n", 1, "a file is none of the pack's revisions"},
        {head + "FILE:meta/1.txt:99999999999\na\nEND\n", 1, "a FILE line has no size"},
        {head + "FILE:meta/1.txt:2\na\nEND\n", 1, "a file is cut short"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.body);
        EXPECT_EQ(parseRevisionPack(r.body, r.first, &read), r.why);
        EXPECT_TRUE(read.empty());
    }
}
