// The delta list's own format: exact or refused.
#include <gtest/gtest.h>

#include <string>

#include "patcher/protocol/delta_list.h"

using namespace quillon;

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
