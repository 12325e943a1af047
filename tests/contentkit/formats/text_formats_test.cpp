// Definition and INI files: writer output read back by the client's grammar
// (written again here), values the writers must refuse, and the info
// readers on files that the client would misread.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <map>

#include "tests/contentkit/reference.h"
#include "tests/contentkit/test_util.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/formats/def_writer.h"
#include "tools/contentkit/formats/ini_writer.h"

namespace {

using cktest::Bytes;
using contentkit::InfoReport;

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// [section][key] -> value, names lower-cased, blanks around values dropped.
std::map<std::string, std::map<std::string, std::string>> parseIni(const std::string& s) {
    std::map<std::string, std::map<std::string, std::string>> out;
    std::string section, line;
    std::size_t pos = 0;
    auto lower = [](std::string v) {
        for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return v;
    };
    while (pos < s.size()) {
        const std::size_t end = std::min(s.find('\n', pos), s.size());
        line = s.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] == '[') {
            section = lower(line.substr(1, line.find(']') - 1));
            out[section];
        } else {
            const std::size_t eq = line.find('=');
            out[section][lower(line.substr(0, eq))] = line.substr(eq + 1);
        }
    }
    return out;
}

bool reportMentions(const InfoReport& r, const std::string& needle) {
    if (r.error.find(needle) != std::string::npos) return true;
    for (const std::string& w : r.warnings) {
        if (w.find(needle) != std::string::npos) return true;
    }
    return false;
}

struct Malformed {
    std::string content;
    bool usable;          // info succeeds (maybe with a warning)
    std::string mention;  // in the error or a warning
};

void expectVerdicts(contentkit::InfoReader reader, const std::vector<Malformed>& cases) {
    for (const Malformed& m : cases) {
        SCOPED_TRACE("content: " + m.content);
        InfoReport report;
        const Bytes data = cktest::bytesOf(m.content);
        EXPECT_EQ(reader(data.data(), data.size(), &report), m.usable) << report.error;
        EXPECT_EQ(report.ok(), m.usable);
        EXPECT_TRUE(reportMentions(report, m.mention)) << "error: " << report.error;
    }
}

// --- Definition files ---

TEST(DefWriter, EntriesAndIncludesReadBackByClientGrammar) {
    contentkit::DefFile def;
    def.comment("world textures").entry(0, "data\\texture\\default.dds").blank();
    def.entry(-7, "data/texture/neg id.dds").include("data/def/more.def").entry(120, "x.dds");
    for (bool crlf : {true, false}) {
        def.crlf = crlf;
        Bytes out;
        std::string error;
        ASSERT_TRUE(contentkit::writeDef(def, &out, &error)) << error;
        const reference::DefContents parsed = reference::parseDef(text(out));
        const std::map<std::int32_t, std::string> expected = {
            {0, "data\\texture\\default.dds"}, {-7, "data/texture/neg id.dds"}, {120, "x.dds"}};
        EXPECT_EQ(parsed.entries, expected);
        EXPECT_EQ(parsed.loads, std::vector<std::string>{"data/def/more.def"});
        EXPECT_EQ(text(out).substr(0, 18), crlf ? "// world textures\r" : "// world textures\n");

        InfoReport report;
        ASSERT_TRUE(contentkit::infoDef(out.data(), out.size(), &report)) << report.error;
        EXPECT_TRUE(report.warnings.empty());
        const std::vector<std::pair<std::string, std::string>> counts = {
            {"entries", "3"}, {"distinct IDs", "3"}, {"load lines", "1"}, {"comments", "1"}, {"ID range", "-7 .. 120"}};
        for (const auto& field : counts) {
            EXPECT_NE(std::find(report.fields.begin(), report.fields.end(), field), report.fields.end())
                << field.first;
        }
    }
}

TEST(DefWriter, RefusesPathsTheReaderWouldChange) {
    const std::string bad[] = {"", " lead.dds", "trail.dds\t", "two\nlines.dds", "cr\r.dds",
                               std::string("nul\0.dds", 8)};
    for (const std::string& path : bad) {
        for (bool include : {false, true}) {
            contentkit::DefFile def;
            def.entry(1, "ok.dds");
            include ? def.include(path) : def.entry(2, path);
            Bytes out;
            std::string error;
            EXPECT_FALSE(contentkit::writeDef(def, &out, &error)) << path;
            EXPECT_EQ(error.substr(0, 8), "line 2: ");
        }
    }
    contentkit::DefFile comment;
    comment.comment("two\nlines");
    Bytes out;
    std::string error;
    EXPECT_FALSE(contentkit::writeDef(comment, &out, &error));
}

TEST(DefInfo, FlagsLinesTheClientMisreads) {
    expectVerdicts(contentkit::infoDef, {
        {"5: a.dds", false, "no line break"},
        {"1: a.dds\n5: b.dds", false, "line 2 has no line break"},
        {"5:a.dds\n", false, "character after ':'"},
        {"5:\n", false, "character after ':'"},
        {"1: a.dds\nabc\n2: b.dds\n", false, "line 2: no ':'"},
        {"99999999999: a.dds\n", false, "does not fit 32 bits"},
        {"-2147483649: a.dds\n", false, "does not fit 32 bits"},
        {"1: \t \n", false, "has no path"},
        {"load: \n", false, "load without a path"},
        {std::string("1: a.dds\n\0\n2: b.dds\n", 20), false, "NUL byte"},
        {"", false, "empty"},
        {"x: a.dds\n", true, "holds no digit"},
        {"1: a.dds\n; again\n1: b.dds\n", true, "ID 1 again (line 1)"},
        {"1: a.dds \n", true, "ends with a blank"},
        {"// nothing here", true, "no entries"},
        {"-2147483648: a.dds\n", true, ""},
        {"\xEF\xBB\xBF" "load: \r\n", false, "load without a path"},
        {std::string("\xFF\xFE" "1\0:\0 \0a\0\n\0", 12), false, "UTF-16"},
    });
}

// --- INI files ---

TEST(IniWriter, MapDefinitionRoundTripsEveryKey) {
    contentkit::MapIni map;
    map.rmap = "demo01.rmap";
    map.name = "Demo Valley";
    map.bgm = "field";
    map.miniMap = false;
    map.initAngle = 0.1f;
    map.initDist = 77.25f;
    map.distMin = 35.0f;
    map.distMax = 300.0f;
    map.vertMin = 1.0e-3f;
    map.angleMax = 359.99f;
    map.lockAngle = true;
    map.lockDist = false;
    contentkit::IniFile ini;
    std::string error;
    ASSERT_TRUE(contentkit::buildMapIni(map, &ini, &error)) << error;
    Bytes out;
    ASSERT_TRUE(contentkit::writeIni(ini, &out, &error)) << error;
    auto parsed = parseIni(text(out));
    EXPECT_EQ(parsed["scene"]["rmap"], "demo01.rmap");
    EXPECT_EQ(parsed["scene"]["name"], "Demo Valley");
    EXPECT_EQ(parsed["scene"]["bgm"], "field");
    EXPECT_EQ(parsed["scene"]["minimap"], "False");
    const std::pair<const char*, float> floats[] = {
        {"initangle", map.initAngle}, {"initdist", map.initDist}, {"initvert", map.initVert},
        {"distmin", map.distMin},     {"distmax", map.distMax},   {"vertmin", map.vertMin},
        {"vertmax", map.vertMax},     {"anglemin", map.angleMin}, {"anglemax", map.angleMax}};
    for (const auto& [key, value] : floats) {
        const std::string& t = parsed["camera"][key];
        EXPECT_EQ(std::strtof(t.c_str(), nullptr), value) << key << " = " << t;
        EXPECT_LT(t.size(), 30u);
    }
    EXPECT_EQ(parsed["camera"]["lockangle"], "True");
    EXPECT_EQ(parsed["camera"]["lockdist"], "False");
    EXPECT_EQ(parsed["camera"]["lockvert"], "True");

    InfoReport report;
    ASSERT_TRUE(contentkit::infoIni(out.data(), out.size(), &report)) << report.error;
    EXPECT_TRUE(report.warnings.empty());
}

TEST(IniWriter, WaterTypesRoundTrip) {
    contentkit::WaterType calm;
    contentkit::WaterType lava;
    lava.type = 3;
    lava.frameCount = 8;
    lava.frameTime = 120;
    lava.firstTexId = 400;
    lava.r = 250;
    lava.g = 90;
    lava.b = 0;
    lava.a = 200;
    contentkit::IniFile ini;
    std::string error;
    ASSERT_TRUE(contentkit::buildWaterIni({calm, lava}, &ini, &error)) << error;
    Bytes out;
    ASSERT_TRUE(contentkit::writeIni(ini, &out, &error)) << error;
    auto parsed = parseIni(text(out));
    EXPECT_EQ(parsed["water_0"]["framecount"], "1");
    EXPECT_EQ(parsed["water_0"]["r"], "255");
    const std::map<std::string, std::string> expected = {{"framecount", "8"}, {"frametime", "120"},
                                                         {"firstvktexid", "400"}, {"r", "250"}, {"g", "90"},
                                                         {"b", "0"}, {"a", "200"}};
    EXPECT_EQ(parsed["water_3"], expected);
    InfoReport report;
    ASSERT_TRUE(contentkit::infoIni(out.data(), out.size(), &report)) << report.error;
    EXPECT_TRUE(report.warnings.empty());
    EXPECT_NE(std::find(report.fields.begin(), report.fields.end(),
                        std::make_pair(std::string("Water_3"), std::string("8 frames of 120 ms, textures 400 .. 407"))),
              report.fields.end());
}

TEST(IniWriter, RefusesValuesTheClientWouldCutOrCorrect) {
    auto refused = [](void (*change)(contentkit::MapIni*)) {
        contentkit::MapIni map;
        map.rmap = "a.rmap";
        change(&map);
        contentkit::IniFile ini;
        std::string error;
        return !contentkit::buildMapIni(map, &ini, &error) && !error.empty();
    };
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->rmap.clear(); }));
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->rmap.assign(20, 'r'); }));
    EXPECT_FALSE(refused([](contentkit::MapIni* m) { m->rmap.assign(19, 'r'); }));
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->name.assign(256, 'n'); }));
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->bgm.assign(20, 'b'); }));
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->name = " padded"; }));
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->distMin = 20.0f; }));
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->distMax = 500.0f; }));
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->vertMin = 7.0f; }));
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->initVert = NAN; }));
    EXPECT_TRUE(refused([](contentkit::MapIni* m) { m->initDist = FLT_MAX; }));  // 39 digits

    auto waterRefused = [](std::vector<contentkit::WaterType> types) {
        contentkit::IniFile ini;
        std::string error;
        return !contentkit::buildWaterIni(types, &ini, &error);
    };
    contentkit::WaterType none, marker, slow, wrap;
    none.frameCount = 0;
    marker.frameCount = 15000;
    slow.frameTime = 0;
    wrap.firstTexId = INT32_MAX;
    wrap.frameCount = 2;
    EXPECT_TRUE(waterRefused({none}));
    EXPECT_TRUE(waterRefused({marker}));
    EXPECT_TRUE(waterRefused({slow}));
    EXPECT_TRUE(waterRefused({wrap}));
    EXPECT_TRUE(waterRefused({contentkit::WaterType(), contentkit::WaterType()}));

    contentkit::IniFile ini;
    ini.section("A").keys = {{"k", "1"}, {"K", "2"}};
    Bytes out;
    std::string error;
    EXPECT_FALSE(contentkit::writeIni(ini, &out, &error));
    EXPECT_EQ(error, "key 'K' appears twice in [A]");
    for (const auto& [section, key, value] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"a]b", "k", "v"}, {"s", "k=x", "v"}, {"s", "k", "v\n"}, {"s", ";k", "v"}, {"s", "k", "v "}}) {
        contentkit::IniFile one;
        one.section(section).keys = {{key, value}};
        EXPECT_FALSE(contentkit::writeIni(one, &out, &error)) << section << " " << key;
    }
}

TEST(IniFloat, ShortestFixedTextReadsBackExactly) {
    const std::pair<float, const char*> cases[] = {
        {0.0f, "0"}, {-0.0f, "0"}, {4.5f, "4.5"}, {90.0f, "90"}, {0.1f, "0.1"}, {-3.25f, "-3.25"}, {359.99f, "359.99"}};
    for (const auto& [value, expected] : cases) {
        std::string t;
        ASSERT_TRUE(contentkit::formatIniFloat(value, &t));
        EXPECT_EQ(t, expected);
    }
    for (float v : {1.0e-7f, 123456.79f, 16777217.0f, 3.0e-30f}) {
        std::string t;
        ASSERT_TRUE(contentkit::formatIniFloat(v, &t));
        EXPECT_EQ(std::strtof(t.c_str(), nullptr), v) << t;
        EXPECT_EQ(t.find('e'), std::string::npos) << t;
    }
    std::string t;
    EXPECT_FALSE(contentkit::formatIniFloat(INFINITY, &t));
}

TEST(IniInfo, FlagsMapAndWaterFilesTheClientMisreads) {
    expectVerdicts(contentkit::infoIni, {
        {"[Scene]\nName=x\n", false, "RMap is missing"},
        {"[Scene]\nRMap=\n", false, "RMap is missing"},
        {"[Scene]\nRMap=abcdefghijklmnopqrst\n", false, "keeps only 19"},
        {"[Scene\nRMap=a\n", false, "without ']'"},
        {"RMap=a\n[Scene]\n", false, "before the first section"},
        {"[Scene]\nRMap\n", false, "no '='"},
        {"[Scene]\n=a\n", false, "empty key"},
        {"[Scene]\nRMap=a\n[Camera]\nDistMin=abc\n", false, "not a number"},
        {"[Scene]\nRMap=a\n[Camera]\nInitDist=1234567890123456789012345678901\n", false, "keeps only 29"},
        {std::string("[Scene]\nRMap=a\0\n", 16), false, "NUL"},
        {"", false, "no sections"},
        {"[Scene]\nRMap=a\n[Camera]\nDistMin=20\n", true, "raised to 35"},
        {"[Scene]\nRMap=a\n[Camera]\nDistMax=500\n", true, "lowered to 300"},
        {"[Scene]\nRMap=a\nMiniMap=yes\n", true, "neither True nor False"},
        {"[Scene]\nRMap=a\nrmap=b\n", true, "again in [Scene]"},
        {"[Water_1]\nFrameCount=0\n", false, "at least 1"},
        {"[Water_1]\nFrameTime=fast\n", false, "not a 32-bit integer"},
        {"[Water_1]\nFrameCount=99999999999\n", false, "not a 32-bit integer"},
        {"[Water_1]\nFirstVKTexID=2147483647\nFrameCount=2\n", false, "pass 2^31"},
        {"[Water_1]\nFrameCount=15000\n", true, "undefined type"},
        {"[Water_1]\nR=300\n", true, "low byte"},
        {"[water_1]\n[WATER_1]\n", true, "lookups find the first"},
        {"\xEF\xBB\xBF[Scene]\r\nRMap=a\r\nMiniMap=yes\r\n", true, "neither True nor False"},
        {std::string("\xFF\xFE[\0S\0c\0e\0n\0e\0]\0\n\0R\0M\0a\0p\0=\0\n\0", 30), false, "RMap is missing"},
        {"\xFE\xFF\0[", false, "big-endian"},
    });
}

}  // namespace
