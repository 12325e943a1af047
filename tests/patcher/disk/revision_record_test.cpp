// The local revision record and the full-check marker.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "patcher/disk/revision_record.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir_test.h"

using namespace quillon;
using RevisionRecordTest = quask_test::TempDirTest;

TEST_F(RevisionRecordTest, MissingRecordIsRevisionZeroAndWrittenAtOnce) {
    RevisionRecord r;
    ASSERT_FALSE(LoadRevisionRecord(m_dir, &r));
    EXPECT_EQ(r.revision, 0u);
    EXPECT_FALSE(r.dirty);  // saved right away
    EXPECT_EQ(quask_test::readFile(at("data/quillon.dat")), std::string(4, '\0'));
}

TEST_F(RevisionRecordTest, SavedRevisionReadsBackAsFourLittleEndianBytes) {
    RevisionRecord r;
    ASSERT_FALSE(LoadRevisionRecord(m_dir, &r));
    r.revision = 0x01020304;
    r.dirty = true;
    ASSERT_TRUE(SaveRevisionRecord(m_dir, &r));
    EXPECT_FALSE(r.dirty);
    EXPECT_EQ(quask_test::readFile(at("data/quillon.dat")), std::string("\x04\x03\x02\x01", 4));
    RevisionRecord again;
    ASSERT_FALSE(LoadRevisionRecord(m_dir, &again));
    EXPECT_EQ(again.revision, 0x01020304u);
    EXPECT_FALSE(std::filesystem::exists(at("data/quillon.dat.tmp")));
}

TEST_F(RevisionRecordTest, ShortRecordCountsAsMissing) {
    std::filesystem::create_directories(at("data"));
    std::ofstream(at("data/quillon.dat")) << "ab";
    RevisionRecord r;
    ASSERT_FALSE(LoadRevisionRecord(m_dir, &r));
    EXPECT_EQ(r.revision, 0u);
    EXPECT_EQ(quask_test::readFile(at("data/quillon.dat")).size(), 4u);
}

TEST_F(RevisionRecordTest, FailedSaveKeepsTheOldRecordAndTheDirtyFlag) {
    RevisionRecord r;
    ASSERT_FALSE(LoadRevisionRecord(m_dir, &r));
    r.revision = 9;
    ASSERT_TRUE(SaveRevisionRecord(m_dir, &r));
    // The temporary name is taken by a directory: the write cannot happen.
    std::filesystem::create_directories(at("data/quillon.dat.tmp"));
    r.revision = 10;
    r.dirty = true;
    EXPECT_FALSE(SaveRevisionRecord(m_dir, &r));
    EXPECT_TRUE(r.dirty);
    EXPECT_EQ(quask_test::readFile(at("data/quillon.dat")), std::string("\x09\0\0\0", 4));
}

TEST_F(RevisionRecordTest, FullCheckMarkerStaysUntilTheCheckHasFinished) {
    std::ofstream(at("DoFullCheck")) << "";
    RevisionRecord r;
    ASSERT_FALSE(LoadRevisionRecord(m_dir, &r));
    EXPECT_TRUE(r.fullCheckRequested);
    // A check killed now is asked for again by the next start.
    EXPECT_TRUE(std::filesystem::exists(at("DoFullCheck")));
    ASSERT_FALSE(FinishFullCheckRequest(m_dir, &r));
    EXPECT_FALSE(r.fullCheckRequested);
    EXPECT_FALSE(std::filesystem::exists(at("DoFullCheck")));
    ASSERT_FALSE(LoadRevisionRecord(m_dir, &r));
    EXPECT_FALSE(r.fullCheckRequested);
}

TEST_F(RevisionRecordTest, RecordThatCannotBeReadOrWrittenIsABox) {
    // Only a record that is not there is revision 0: one that is there but
    // cannot be read is not written over with 0.
    const struct {
        const char* what;
        const char* text;
    } rows[] = {
        {"data is a file",
         "No File Creation / Write Permission in GameBaseDir - Please check Directory / File Permissions"},
        {"the record is a directory",
         "Cannot read the revision record data/quillon.dat - Please check the Disk and the Directory / File Permissions"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove_all(at("data"));
        if (std::string(row.what) == "data is a file") {
            std::ofstream(at("data")) << "not a directory";
        } else {
            std::filesystem::create_directories(at("data/quillon.dat/inside"));
        }
        RevisionRecord r;
        const auto failure = LoadRevisionRecord(m_dir, &r);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->text, row.text);
        EXPECT_EQ(failure->caption, "Error");
    }
    EXPECT_TRUE(std::filesystem::is_directory(at("data/quillon.dat/inside")));
}
