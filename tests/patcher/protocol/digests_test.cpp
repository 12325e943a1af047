// Digests of files and bytes against the known values.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "patcher/protocol/digests.h"
#include "tests/support/temp_dir_test.h"

using namespace quillon;

using Md5Test = quask_test::TempDirTest;

TEST_F(Md5Test, DigestsMatchTheKnownValuesAndFilesOfAnySize) {
    EXPECT_EQ(digestHex(md5OfBytes("", 0)), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digestHex(md5OfBytes("abc", 3)), "900150983cd24fb0d6963f7d28e17f72");
    std::string big(300000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
    std::ofstream(at("big.bin"), std::ios::binary) << big;
    std::ofstream(at("empty.bin"), std::ios::binary);
    Digest d{};
    ASSERT_TRUE(Md5OfFile(at("big.bin"), &d));
    EXPECT_EQ(d, md5OfBytes(big.data(), big.size()));
    ASSERT_TRUE(Md5OfFile(at("empty.bin"), &d));
    EXPECT_EQ(digestHex(d), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_FALSE(Md5OfFile(at("missing.bin"), &d));
    EXPECT_FALSE(Md5OfFile(m_dir, &d));  // a directory cannot be read
}
