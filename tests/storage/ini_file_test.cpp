// The profile-file rules the client's map and water definitions rely on.
#include "client/storage/ini_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <sys/stat.h>
#include <string>

#include "tests/support/temp_dir_test.h"

namespace velmar {
namespace {

IniDocument parseText(const std::string& text) {
    return IniDocument::parse(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string valueOf(const IniDocument& doc, const char* section, const char* key) {
    const std::string* value = doc.find(section, key);
    return value ? *value : std::string("<absent>");
}

TEST(IniDocument, NamesMatchWithoutCaseAndTheFirstOccurrenceWins) {
    IniDocument doc = parseText(
        "[Water_1]\r\nFrameCount=4\r\nframecount=9\r\n"
        "[water_1]\r\nFrameTime=50\r\n"
        "[MAP]\r\n  RMap =  first.rmap  \r\n");
    EXPECT_EQ(valueOf(doc, "WATER_1", "FRAMECOUNT"), "4");
    // The second section of the same name is never read.
    EXPECT_EQ(valueOf(doc, "Water_1", "FrameTime"), "<absent>");
    EXPECT_EQ(valueOf(doc, "map", "rmap"), "first.rmap");
    EXPECT_EQ(valueOf(doc, "Nope", "RMap"), "<absent>");
    // As an editor saves it in UTF-8, with a byte order mark before the first section.
    EXPECT_EQ(valueOf(parseText("\xEF\xBB\xBF[Scene]\r\nRMap=Lakeside.rmap\r\n"), "Scene", "RMap"),
              "Lakeside.rmap");
    // Notepad's "Unicode": UTF-16 LE with a byte order mark.
    static const char kWide[] = "\xFF\xFE[\0S\0]\0\r\0\n\0K\0=\0\xE9\0\r\0\n\0";
    EXPECT_EQ(valueOf(IniDocument::parse(reinterpret_cast<const std::uint8_t*>(kWide), sizeof kWide - 1), "s", "k"),
              "\xC3\xA9");
}

TEST(IniDocument, ValuesLoseOnePairOfQuotesAndBlanks) {
    IniDocument doc = parseText(
        "[S]\nA=\"  spaced name  \"\nB='x'\nC=\"unbalanced\nD=\"\"\"\"\nE=\nF==two\n");
    EXPECT_EQ(valueOf(doc, "S", "A"), "  spaced name  ");
    EXPECT_EQ(valueOf(doc, "S", "B"), "x");
    EXPECT_EQ(valueOf(doc, "S", "C"), "\"unbalanced");
    EXPECT_EQ(valueOf(doc, "S", "D"), "\"\"");
    EXPECT_EQ(valueOf(doc, "S", "E"), "");
    EXPECT_EQ(valueOf(doc, "S", "F"), "=two");
}

TEST(IniDocument, JunkLinesKeysOutsideSectionsAndTextAfterNulAreSkipped) {
    const char raw[] = "Orphan=1\n[Broken\n; comment=1\nno equals sign\n[S]\nK=v\0[T]\nX=1\n";
    IniDocument doc = IniDocument::parse(reinterpret_cast<const std::uint8_t*>(raw),
                                         sizeof raw - 1);
    EXPECT_EQ(valueOf(doc, "S", "K"), "v");
    EXPECT_EQ(valueOf(doc, "S", "; comment"), "<absent>");
    EXPECT_EQ(valueOf(doc, "T", "X"), "<absent>");
    EXPECT_EQ(valueOf(doc, "Broken", "Orphan"), "<absent>");
    // A last line without a line break still counts.
    EXPECT_EQ(valueOf(parseText("[S]\nK=last"), "S", "K"), "last");
    EXPECT_EQ(parseText("").find("S", "K"), nullptr);
}

TEST(IniParseInt, SignLeadingDigitsAndSaturation) {
    EXPECT_EQ(iniParseInt("42"), 42);
    EXPECT_EQ(iniParseInt("-17"), -17);
    EXPECT_EQ(iniParseInt("+8ms"), 8);
    EXPECT_EQ(iniParseInt("12.9"), 12);
    EXPECT_EQ(iniParseInt("abc"), 0);
    EXPECT_EQ(iniParseInt("-"), 0);
    EXPECT_EQ(iniParseInt("99999999999999999999"), INT_MAX);
    EXPECT_EQ(iniParseInt("-2147483648"), INT_MIN);
    EXPECT_EQ(iniParseInt("-99999999999999999999"), INT_MIN);
}

class IniFileTest : public quask_test::TempDirTest {
protected:
    void write(const std::string& name, const std::string& text) {
        std::ofstream(at(name), std::ios::binary) << text;
    }
};

TEST_F(IniFileTest, ReadsThroughBackslashesAndLetterCaseOfThePath) {
    ASSERT_EQ(::mkdir(at("Data").c_str(), 0755), 0);
    write("Data/Water.INI", "[Water_2]\nFrameCount=6\nFrameTime=abc\n");
    const IniFile water((m_dir + "\\data\\water.ini").c_str());
    EXPECT_EQ(water.getInt("water_2", "FrameCount", 15000), 6);
    EXPECT_EQ(water.getInt("water_2", "FrameTime", 1000), 0);
    EXPECT_EQ(water.getInt("water_2", "FirstVKTexID", 7), 7);
    EXPECT_EQ(water.getInt("Water_3", "FrameCount", 15000), 15000);
}

TEST_F(IniFileTest, TextsAreCutToTheBufferAndDefaultsApplyToMissingFiles) {
    write("map.ini", "[Map]\nName=A Rather Long Map Name\n");
    const IniFile map(at("map.ini").c_str());
    EXPECT_EQ(map.getString("Map", "Name", "", 7), "A Rath");
    EXPECT_EQ(map.getString("Map", "Name", "", 256), "A Rather Long Map Name");
    EXPECT_EQ(map.getString("Map", "Name", "", 0), "");
    EXPECT_EQ(map.getString("Map", "Bgm", "default.ogg", 5), "defa");
    const IniFile missing(at("missing.ini").c_str());
    EXPECT_EQ(missing.getString("Map", "Name", "fallback", 20), "fallback");
    EXPECT_EQ(missing.getInt("Map", "X", -3), -3);
    EXPECT_EQ(missing.problem(), "");
    // A directory or an oversized file is no ini file, and says why.
    const IniFile folder(m_dir.c_str());
    EXPECT_EQ(folder.getInt("Map", "X", 5), 5);
    EXPECT_EQ(folder.problem(), "Is a directory");
    write("huge.ini", "[Map]\nX=1\n" + std::string(kIniMaxFileSize, ' '));
    const IniFile huge(at("huge.ini").c_str());
    EXPECT_EQ(huge.getInt("Map", "X", 5), 5);
    EXPECT_EQ(huge.problem(), "larger than 1 MiB");
    EXPECT_EQ(map.problem(), "");
}

}  // namespace
}  // namespace velmar
