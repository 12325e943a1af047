// The definition file grammar on byte spans, and the reader that follows
// "load" lines through real files.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "client/assets/def_file.h"
#include "tests/support/temp_dir_test.h"

namespace {

using namespace velmar;

using Entries = std::vector<std::pair<std::int32_t, std::string>>;

class Recorder : public DefTextHandler {
public:
    void onDefEntry(std::int32_t id, const std::string& path) override { entries.emplace_back(id, path); }
    void onDefLoad(const std::string& path) override { loads.push_back(path); }

    Entries entries;
    std::vector<std::string> loads;
};

struct Parsed {
    std::uint32_t count;
    Entries entries;
    std::vector<std::string> loads;
};

Parsed parse(const std::string& text) {
    // An exact-size copy, so reading past the span would leave the block.
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    Recorder recorder;
    const std::uint32_t count = parseDefText(bytes.data(), bytes.size(), recorder);
    return {count, recorder.entries, recorder.loads};
}

std::int32_t idOf(const std::string& key) { return parseDefId(key.data(), key.size()); }

// --- Text grammar ---

TEST(DefText, CommentsAreSkippedButASingleSlashStartsAnEntry) {
    const Parsed p = parse("// 1: commented.dds\n  ; 2: also: commented\r\n/3: slash.dds\n"
                           "\t//4: indented comment\n5: kept.dds\n");
    EXPECT_EQ(p.entries, (Entries{{3, "slash.dds"}, {5, "kept.dds"}}));
    EXPECT_EQ(p.count, 2u);
}

TEST(DefText, LastLineWithoutALineBreakIsNotDefined) {
    EXPECT_EQ(parse("1: a.dds\r\n2: b.dds").entries, (Entries{{1, "a.dds"}}));
    EXPECT_EQ(parse("1: a.dds\n2: b.dds\n").entries, (Entries{{1, "a.dds"}, {2, "b.dds"}}));
    // A NUL ends the text, so the line before it has no break either.
    static const char kWithNul[] = "1: a.dds\n2: b.dds\0\n3: c.dds\n";
    const std::string withNul(kWithNul, sizeof kWithNul - 1);
    EXPECT_EQ(parse(withNul).entries, (Entries{{1, "a.dds"}}));
}

TEST(DefText, OneCharacterAfterTheColonIsDroppedOnIdLinesOnly) {
    EXPECT_EQ(parse("7:xtex.dds\n").entries, (Entries{{7, "tex.dds"}}));
    EXPECT_EQ(parse("7:\t \ttex.dds \t\n").entries, (Entries{{7, "tex.dds \t"}}));
    EXPECT_EQ(parse("load:inner.def\nload:   spaced.def\n").loads,
              (std::vector<std::string>{"inner.def", "spaced.def"}));
}

TEST(DefText, DroppedCharacterNeverSwallowsTheLineBreak) {
    // An ID with nothing after the colon must not take the next line as its path.
    EXPECT_EQ(parse("7:\n8: next.dds\n").entries, (Entries{{7, ""}, {8, "next.dds"}}));
    EXPECT_EQ(parse("7:\r\n8: next.dds\r\n").entries, (Entries{{7, ""}, {8, "next.dds"}}));
}

TEST(DefText, KeyWithoutAColonEndsParsing) {
    const Parsed p = parse("1: a.dds\nno colon here\n2: b.dds\n");
    EXPECT_EQ(p.entries, (Entries{{1, "a.dds"}}));
    EXPECT_EQ(p.count, 1u);
}

TEST(DefText, KeyIsTakenUntrimmedAndOnlyExactLoadIncludes) {
    const Parsed p = parse("Load: a.def\nload : b.def\nload: c.def\n");
    EXPECT_EQ(p.loads, (std::vector<std::string>{"c.def"}));
    // The first two keys hold no digit: both define texture 0.
    EXPECT_EQ(p.entries, (Entries{{0, "a.def"}, {0, "b.def"}}));
}

TEST(DefText, ByteOrderMarkBeforeTheFirstLoadLineIsSkipped) {
    const Parsed p = parse("\xEF\xBB\xBFload: a.def\r\n2: b.dds\r\n");
    EXPECT_EQ(p.loads, (std::vector<std::string>{"a.def"}));
    EXPECT_EQ(p.entries, (Entries{{2, "b.dds"}}));
}

TEST(DefText, DuplicateIdsAreReportedInFileOrder) {
    EXPECT_EQ(parse("4: old.dds\n4: new.dds\n").entries, (Entries{{4, "old.dds"}, {4, "new.dds"}}));
}

TEST(DefText, IdSkipsLeadingTextReadsASignAndStopsAtANonDigit) {
    EXPECT_EQ(idOf("12"), 12);
    EXPECT_EQ(idOf("tex 42abc7"), 42);
    EXPECT_EQ(idOf("id-3"), -3);
    EXPECT_EQ(idOf("+15"), 15);
    EXPECT_EQ(idOf("-x5"), 0);  // the sign is taken, then no digit follows
    EXPECT_EQ(idOf("ground"), 0);
    EXPECT_EQ(idOf(""), 0);
}

TEST(DefText, IdsBeyond32BitsAreClamped) {
    EXPECT_EQ(idOf("2147483647"), 2147483647);
    EXPECT_EQ(idOf("2147483648"), 2147483647);
    EXPECT_EQ(idOf("99999999999999999999999"), 2147483647);
    EXPECT_EQ(idOf("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(idOf("-2147483649"), -2147483647 - 1);
    EXPECT_EQ(idOf("-99999999999999999999999"), -2147483647 - 1);
}

TEST(DefText, EveryPrefixOfAFileParsesToAPrefixOfItsEntries) {
    const std::string text = "// c\r\n1: a.dds\r\nload: x.def\r\n22: b.dds\r\n;\n333: c.dds\n";
    const Parsed whole = parse(text);
    ASSERT_EQ(whole.entries.size(), 3u);
    for (std::size_t n = 0; n <= text.size(); ++n) {
        const Parsed p = parse(text.substr(0, n));
        ASSERT_LE(p.entries.size(), whole.entries.size()) << n;
        EXPECT_TRUE(std::equal(p.entries.begin(), p.entries.end(), whole.entries.begin())) << n;
    }
}

// --- Files ---

class RecordingReader : public DefFileReader {
public:
    Entries entries;
    std::vector<std::string> events;

protected:
    void onDefEntry(std::int32_t id, const std::string& path) override { entries.emplace_back(id, path); }
    void onDefLoaded(const char* path, std::uint32_t count) override {
        events.push_back("loaded " + std::string(path) + " " + std::to_string(count));
    }
    void onDefReadError(const char* path) override { events.push_back("error " + std::string(path)); }
    void onDefEncodingError(const char* path, const char*) override {
        events.push_back("encoding " + std::string(path));
    }
    void onDefLoadRefused(const char* path, DefLoadRefusal why) override {
        events.push_back((why == DefLoadRefusal::AlreadyOpen ? "open " : "deep ") + std::string(path));
    }
};

class DefFiles : public quask_test::TempDirTest {
protected:
    void write(const std::string& name, const std::string& text) {
        std::ofstream(at(name), std::ios::binary) << text;
    }
    RecordingReader reader;
};

TEST_F(DefFiles, LoadLineParsesTheOtherFileBeforeTheNextLine) {
    write("outer.def", "1: a.dds\nload: " + at("inner.def") + "\n3: c.dds\n");
    write("inner.def", "2: b.dds\n4: d.dds\n");
    EXPECT_EQ(reader.readDefFile(at("outer.def").c_str()), 1);
    EXPECT_EQ(reader.entries, (Entries{{1, "a.dds"}, {2, "b.dds"}, {4, "d.dds"}, {3, "c.dds"}}));
    EXPECT_EQ(reader.events, (std::vector<std::string>{"loaded " + at("inner.def") + " 2",
                                                       "loaded " + at("outer.def") + " 2"}));
}

TEST_F(DefFiles, FileLoadingItselfUnderAnotherSpellingIsRefused) {
    write("self.def", "1: a.dds\nload: " + m_dir + "/./SELF.DEF\n2: b.dds\n");
    EXPECT_EQ(reader.readDefFile(at("self.def").c_str()), 1);
    EXPECT_EQ(reader.entries, (Entries{{1, "a.dds"}, {2, "b.dds"}}));
    EXPECT_EQ(reader.events, (std::vector<std::string>{"open " + m_dir + "/./SELF.DEF",
                                                       "loaded " + at("self.def") + " 2"}));
}

TEST_F(DefFiles, LoadCycleThroughASecondFileIsReadOnce) {
    write("a.def", "1: a.dds\nload: " + at("b.def") + "\n");
    write("b.def", "2: b.dds\nload: " + at("a.def") + "\n3: c.dds\n");
    EXPECT_EQ(reader.readDefFile(at("a.def").c_str()), 1);
    EXPECT_EQ(reader.entries, (Entries{{1, "a.dds"}, {2, "b.dds"}, {3, "c.dds"}}));
    EXPECT_EQ(reader.events, (std::vector<std::string>{"open " + at("a.def"),
                                                       "loaded " + at("b.def") + " 2",
                                                       "loaded " + at("a.def") + " 1"}));
}

TEST_F(DefFiles, LoadsNestSixteenDeepAndNoFurther) {
    // d0 loads d1, ... d17: d1 to d16 are nested below d0, d17 would be the 17th.
    for (int i = 0; i <= 17; ++i) {
        std::string text = std::to_string(i) + ": t.dds\n";
        if (i < 17) text += "load: " + at("d" + std::to_string(i + 1) + ".def") + "\n";
        write("d" + std::to_string(i) + ".def", text);
    }
    EXPECT_EQ(reader.readDefFile(at("d0.def").c_str()), 1);
    ASSERT_EQ(reader.entries.size(), 17u);
    EXPECT_EQ(reader.entries.back().first, 16);
    ASSERT_FALSE(reader.events.empty());
    EXPECT_EQ(reader.events.front(), "deep " + at("d17.def"));
    EXPECT_EQ(reader.events.size(), 18u);  // the refusal and 17 files read
}

TEST_F(DefFiles, MissingOrEmptyFilesAreReadErrorsAndTheOuterFileGoesOn) {
    EXPECT_EQ(reader.readDefFile(at("missing.def").c_str()), 0);
    write("empty.def", "");
    EXPECT_EQ(reader.readDefFile(at("empty.def").c_str()), 0);
    write("outer.def", "load: " + at("missing.def") + "\n9: z.dds\n");
    EXPECT_EQ(reader.readDefFile(at("outer.def").c_str()), 1);
    EXPECT_EQ(reader.entries, (Entries{{9, "z.dds"}}));
    EXPECT_EQ(reader.events, (std::vector<std::string>{
                                 "error " + at("missing.def"), "error " + at("empty.def"),
                                 "error " + at("missing.def"), "loaded " + at("outer.def") + " 1"}));
}

TEST_F(DefFiles, Utf16FileIsAnEncodingErrorAndTheOuterFileGoesOn) {
    static const char kUtf16[] = "\xFF\xFE" "1\0:\0 \0a\0.\0d\0d\0s\0\r\0\n\0";
    write("wide.def", std::string(kUtf16, sizeof kUtf16 - 1));
    write("outer.def", "load: " + at("wide.def") + "\n9: z.dds\n");
    EXPECT_EQ(reader.readDefFile(at("outer.def").c_str()), 1);
    EXPECT_EQ(reader.entries, (Entries{{9, "z.dds"}}));
    EXPECT_EQ(reader.events, (std::vector<std::string>{"encoding " + at("wide.def"),
                                                       "loaded " + at("outer.def") + " 1"}));
}

TEST_F(DefFiles, FileWithoutEntriesStillCountsAsRead) {
    write("comments.def", "// nothing here\n");
    EXPECT_EQ(reader.readDefFile(at("comments.def").c_str()), 1);
    EXPECT_EQ(reader.events, (std::vector<std::string>{"loaded " + at("comments.def") + " 0"}));
}

}  // namespace
