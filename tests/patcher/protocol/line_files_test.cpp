// The patch server's text files: every verdict and box text of the parsers,
// and the names they refuse before any path is built.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patcher/protocol/line_files.h"
#include "tests/patcher/patch_server_fixture.h"

using namespace quillon;
using quillon_test::expectBox;

namespace {

std::string hex32(char c) { return std::string(32, c); }

struct Collected {
    UpdateList list;
    MetadataScan scan;
    bool hasFiles = false;
};

std::optional<PatchFailure> meta(Collected& c, const std::string& body, std::uint32_t rev) {
    return parseRevisionMetadata(body, rev, c.list, c.scan, &c.hasFiles);
}

}  // namespace

TEST(SmallFiles, AllowIsOpenOnlyForTheExactWord) {
    EXPECT_TRUE(isPatchingAllowed("allow"));
    EXPECT_TRUE(isPatchingAllowed(std::string("allow\0junk", 10)));
    EXPECT_FALSE(isPatchingAllowed("allow\n"));  // a line feed means maintenance
    EXPECT_FALSE(isPatchingAllowed("allo"));
    EXPECT_FALSE(isPatchingAllowed("<html>404 Not Found</html>"));
}

TEST(SmallFiles, LatestRevisionNeedsThePrefixAndDigits) {
    EXPECT_EQ(parseLatestRevision("REV:42\n"), 42u);
    EXPECT_EQ(parseLatestRevision("REV:7x"), 7u);
    EXPECT_EQ(parseLatestRevision("REV:0"), 0u);
    EXPECT_EQ(parseLatestRevision("REV:x"), 0u);
    EXPECT_EQ(parseLatestRevision("REV:"), 0u);
    EXPECT_EQ(parseLatestRevision("rev:12"), 0u);
    EXPECT_EQ(parseLatestRevision("REV:99999999999999999999999"), 0u);  // no wrap to a small number
    EXPECT_EQ(parseLatestRevision("REV:4294967295"), 4294967295u);
}

TEST(SmallFiles, HexDigitsDecodeHighNibbleFirstAndOthersCountZero) {
    const Digest d = hexToDigest("00ff10Ab9c" "zz" "0000000000000000000f");
    EXPECT_EQ(d[0], 0x00);
    EXPECT_EQ(d[1], 0xFF);
    EXPECT_EQ(d[2], 0x10);
    EXPECT_EQ(d[3], 0xAB);
    EXPECT_EQ(d[4], 0x9C);
    EXPECT_EQ(d[5], 0x00);
    EXPECT_EQ(d[15], 0x0F);
}

TEST(Names, HostileNamesAreRefused) {
    for (const char* bad :
         {"/../x", "/a/../../x", "/C:/x", "/a\\..\\x", "..", "/..", "/.", "/./x", "x", "", "/",
          "//x", "/a//b", "/a/", "/a/..", "/a/b/../../../etc/passwd", "/a\nb", "/a\rb",
          "/tab\tname", "/nul\x01", "/del\x7f", "/c:", "/x:y", "\\x", "/a/./b", "/../../quillon",
          // staging names: no content file may be another one's download
          "/data/a.new", "/x.new/y", "/.new", "/a/b.new/c.txt"}) {
        EXPECT_FALSE(isSafeContentName(bad)) << bad;
    }
    for (const char* good : {"/quillon", "/data/map/World.rmap", "/system/velmar", "/a b/c.txt",
                             "/..x", "/x..", "/.hidden", "/gui/QuaskLoadingSplash.bmp",
                             "/a.newer", "/new", "/x.ne", "/news/a.txt"}) {
        EXPECT_TRUE(isSafeContentName(good)) << good;
    }
}

TEST(Metadata, LaterRevisionsDecideEachNameAndMessagesBuildTheHistory) {
    Collected c;
    ASSERT_FALSE(meta(c,
                      "REV:1\nDATE:2011-09-26 22:55:29\nDATA:dir:A:/data/map\n"
                      "DATA:file:A:/data/map/a.rmap\nDATA:file:M:/quillon\nMSG:5:first",
                      1));
    EXPECT_TRUE(c.hasFiles);
    ASSERT_FALSE(meta(c, "REV:2\nDATA:file:D:/data/map/a.rmap\nMSG:11:line1\nline2\n", 2));
    ASSERT_EQ(c.list.size(), 3u);
    const std::vector<UpdateFileEntry> e(c.list.newestFirst().begin(), c.list.newestFirst().end());
    EXPECT_EQ(e[0].name, "/data/map/a.rmap");
    EXPECT_EQ(e[0].action, UpdateFileEntry::kDelete);
    EXPECT_EQ(e[1].name, "/quillon");
    EXPECT_EQ(e[2].type, UpdateFileEntry::kDirectory);
    ASSERT_EQ(c.scan.history.size(), 2u);
    EXPECT_EQ(c.scan.history[0], "Update from 2011-09-26 22:55:29:\nfirst\n");
    // The date stays in force; the message may span lines.
    EXPECT_EQ(c.scan.history[1], "Update from 2011-09-26 22:55:29:\nline1\nline2\n");
    EXPECT_EQ(noticeWithHistory("Hello", c.scan.history),
              "Hello\n\nUpdate History:\n===========\n\n" + c.scan.history[1] + "\n" +
                  c.scan.history[0] + "\n");
    EXPECT_EQ(noticeWithHistory("Hello", {}), "Hello");
}

TEST(Metadata, RepeatsOverManyRevisionsLeaveTheLatestEntryOfEachNameInItsPlace) {
    Collected c;
    ASSERT_FALSE(meta(c, "REV:1\nDATA:file:A:/a\nDATA:file:A:/b\nDATA:file:A:/c\nDATA:file:D:/a\n", 1));
    ASSERT_FALSE(meta(c, "REV:2\nDATA:file:M:/b\nDATA:dir:A:/d\n", 2));
    // Named again and again in one revision: one entry, the last line's.
    std::string third = "REV:3\n";
    for (int i = 0; i < 500; ++i) third += i % 2 ? "DATA:file:D:/e\n" : "DATA:file:A:/e\n";
    third += "DATA:file:A:/a\nDATA:file:D:/c\n";
    ASSERT_FALSE(meta(c, third, 3));
    // A later revision's sums reach the entry that survived, also for a
    // name it did not list again.
    ASSERT_FALSE(parseRevisionSums("REV:3\nSUM:" + hex32('1') + ":/a\nSUM:" + hex32('2') + ":/b\n", 3, c.list));
    std::string order;
    for (const UpdateFileEntry& e : c.list.newestFirst())
        order += e.name + (e.action == UpdateFileEntry::kDelete ? "-" : "+") + std::to_string(e.digest[0]) + " ";
    EXPECT_EQ(order, "/c-0 /a+17 /e-0 /d+0 /b+34 ");
    EXPECT_EQ(c.list.size(), 5u);
}

TEST(Metadata, ShortLinesEndTheScanAndCarriageReturnsStayInNames) {
    Collected c;
    ASSERT_FALSE(meta(c, "REV:3\nDATA:dir:A:/kept\n\nDATA:file:A:/ignored\n", 3));
    ASSERT_EQ(c.list.size(), 1u);
    EXPECT_FALSE(c.hasFiles);  // only directories: no sum file is fetched
    Collected crlf;
    // "\r" is a control byte: with line ends of CR LF every name is refused.
    expectBox(meta(crlf, "REV:3\r\nDATA:file:A:/x\r\n", 3),
              "Metafile for rev. 3 invalid - illegal file name - If this problem persists - please contact the Support!",
              "Meta File Error");
}

TEST(Metadata, EveryErrorHasItsBox) {
    const std::string corrupted =
        "Metafile for rev. 4 corrupted - If this problem persists - please contact the Support!";
    Collected c;
    expectBox(meta(c, "REV:5\n", 4), corrupted, "Meta File Error");
    expectBox(meta(c, "DATA:dir:A:/x\n", 4), corrupted, "Meta File Error");  // no REV line
    expectBox(meta(c, "REV:4\nDATA:link:A:/x\n", 4),
              "Metafile for rev. 4 invalid - unknown data:type specifier - If this problem persists - please contact the Support!",
              "Meta File Error");
    expectBox(meta(c, "REV:4\nDATA:file:X:/x\n", 4),
              "Metafile for rev. 4 invalid - unknown data:action specifier - If this problem persists - please contact the Support!",
              "Meta File Error");
    const std::string msg = "Metafile for rev. 4 invlaid - MSG filed invalid";
    expectBox(meta(c, "REV:4\nMSG:123456:x\n", 4), msg, "Meta File Error");  // six digits
    expectBox(meta(c, "REV:4\nMSG:1a:x\n", 4), msg, "Meta File Error");
    expectBox(meta(c, "REV:4\nMSG:50:too short", 4), msg, "Meta File Error");
    expectBox(meta(c, "abc", 4),
              "Error while fetching Revision metadata for Rev. 4\n - If this problem persists - please contact the Support!",
              "Update Server Error (fetch revinfo)");
    // A zero-length message adds nothing.
    Collected quiet;
    ASSERT_FALSE(meta(quiet, "REV:4\nMSG:0:\n", 4));
    EXPECT_TRUE(quiet.scan.history.empty());
}

TEST(Sums, DigestsGoToTheCollectedEntries) {
    Collected c;
    ASSERT_FALSE(meta(c, "REV:6\nDATA:file:A:/a.txt\nDATA:file:A:/b.txt\n", 6));
    ASSERT_FALSE(parseRevisionSums("REV:6\nSUM:" + hex32('a') + ":/a.txt\n", 6, c.list));
    EXPECT_EQ(c.list.find("/a.txt")->digest[0], 0xAA);
    EXPECT_EQ(c.list.find("/b.txt")->digest[0], 0x00);  // no sum: the check will fail later

    const std::string sum = "SUM:" + hex32('a');
    const struct {
        std::string body, text, caption;
    } bad[] = {
        {"REV:6\n" + sum + ":/c.txt\n",
         "Sumfile for rev. 6 contains sums for unknown files in metadata - please contact the support!", "Sum File Error"},
        {"REV:6\n" + sum + "x/a.txt\n",
         "Sumfile for rev. 6 corrupted - If this problem persists - please contact the Support! offset err", "Sum File Error"},
        {"REV:6\n" + sum + ":/../a.txt\n",
         "Sumfile for rev. 6 invalid - illegal file name - If this problem persists - please contact the Support!",
         "Sum File Error"},
        {sum + ":/a.txt\n", "Sumfile for rev. 6 corrupted - If this problem persists - please contact the Support!",
         "Sum File Error"},
        {"REV:7\n", "Metafile for rev. 6 corrupted - If this problem persists - please contact the Support!",
         "Meta File Error"},
        {"", "Error while fetching Revision Checksums for Rev. 6\n - If this problem persists - please contact the Support!",
         "Update Server Error (fetch rev sums)"},
    };
    for (const auto& b : bad) expectBox(parseRevisionSums(b.body, 6, c.list), b.text, b.caption);
}

TEST(Sums, FullListNamesEveryFileAndItsRevision) {
    std::uint32_t rev = 99;
    std::vector<FullSumEntry> entries;
    ASSERT_FALSE(parseFullSums("REV:12\nSUM:" + hex32('0') + ":/x\nSUM:" + hex32('F') + ":/y/z\n",
                               &rev, &entries));
    EXPECT_EQ(rev, 12u);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].name, "/y/z");
    EXPECT_EQ(entries[1].digest[15], 0xFF);
    expectBox(parseFullSums("REV:12\nSUM:" + hex32('0') + "-/x\n", &rev, &entries),
              "Sumfile for rev. 12 corrupted - If this problem persists - please contact the Support! offset err FULLSUMFILE",
              "Sum File Error");
    expectBox(parseFullSums("REV:12\nSUM:" + hex32('0') + ":/C:/x\n", &rev, &entries),
              "Sumfile for rev. 12 invalid - illegal file name - If this problem persists - please contact the Support!",
              "Sum File Error");
    // An error page in the list's place names nothing: not a check of nothing.
    expectBox(parseFullSums("<html><body>Service Unavailable</body></html>\n", &rev, &entries),
              "Sumfile for rev. 0 corrupted - If this problem persists - please contact the Support! offset err FULLSUMFILE",
              "Sum File Error");
    ASSERT_FALSE(parseFullSums("REV:3\n", &rev, &entries));  // an empty game
    EXPECT_TRUE(entries.empty());
    ASSERT_FALSE(parseFullSums("SUM:" + hex32('0') + ":/x\n", &rev, &entries));  // no revision to record
    EXPECT_EQ(rev, 0u);
}
