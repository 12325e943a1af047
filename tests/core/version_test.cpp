// Version texts, processor and kernel checks.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <string>

#include "client/core/cpu_info.h"
#include "client/core/os_check.h"
#include "client/core/version.h"

using namespace velmar;

TEST(Version, BuildNumberCountsDaysSinceTheNinthOfNovember2008) {
    EXPECT_EQ(buildNumberFromDate("Sep 26 2011 22:55:29"), 1051);
    EXPECT_EQ(buildNumberFromDate("Nov  9 2008 00:00:00"), 0);
    EXPECT_EQ(buildNumberFromDate("Jan  1 2009 12:00:00"), 53);
    // Leap day handling: 2012 is a leap year, so March gains a day.
    EXPECT_EQ(buildNumberFromDate("Mar  1 2012 00:00:00") -
                  buildNumberFromDate("Feb 28 2012 00:00:00"),
              2);
    EXPECT_EQ(buildNumberFromDate("sep 26 2011 22:55:29"), 1051);  // month ignores case
    // A month text matching none counts as December.
    EXPECT_EQ(buildNumberFromDate("Dec 25 2011 00:00:00"), buildNumberFromDate("Xyz 25 2011 00:00:00"));
}

TEST(Version, TextsHaveTheBannerForms) {
    EXPECT_TRUE(std::regex_match(buildDateText(),
                                 std::regex("[A-Z][a-z]{2} [ 123][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << buildDateText();
    EXPECT_EQ(std::string(versionText()),
              "1.0.6." + std::to_string(buildNumberFromDate(buildDateText())));
    // UTC, as the banner's other date: a builder's local time east of UTC
    // would lie ahead of the clock.
    std::tm built{};
    ASSERT_NE(::strptime(buildDateText(), "%b %d %Y %H:%M:%S", &built), nullptr) << buildDateText();
    EXPECT_LE(::timegm(&built), std::time(nullptr)) << buildDateText();
}

// --- Processor ---

namespace {
std::map<unsigned, std::array<unsigned, 4>> g_leaves;
bool fakeCpuid(unsigned leaf, unsigned regs[4]) {
    auto it = g_leaves.find(leaf);
    if (it == g_leaves.end()) return false;
    std::memcpy(regs, it->second.data(), 16);
    return true;
}
unsigned word(const char* four) {
    unsigned w;
    std::memcpy(&w, four, 4);
    return w;
}
void setCommonLeaves(unsigned edxLeaf1) {
    g_leaves.clear();
    g_leaves[0] = {1, word("Genu"), word("ntel"), word("ineI")};
    g_leaves[1] = {0, 0, 0, edxLeaf1};
    g_leaves[0x80000000u] = {0x80000004u, 0, 0, 0};
    const char brand[49] = "Test CPU @ 3.0GHz                               ";
    for (unsigned i = 0; i < 3; ++i) {
        std::array<unsigned, 4> r;
        std::memcpy(r.data(), brand + 16 * i, 16);
        g_leaves[0x80000002u + i] = r;
    }
}
}  // namespace

TEST(CpuCheck, VendorIsReadInEbxEdxEcxOrderAndFlagsDecoded) {
    setCommonLeaves((1u << 23) | (1u << 25) | (1u << 26) | (1u << 15) | (1u << 4));
    CpuInfo info;
    ASSERT_EQ(readCpuInfo(info, fakeCpuid), CpuCheckResult::Passed);
    EXPECT_STREQ(info.vendor, "GenuineIntel");
    EXPECT_EQ(std::string(info.brand).substr(0, 17), "Test CPU @ 3.0GHz");
    EXPECT_EQ(info.mmx + info.sse + info.sse2 + info.cmov + info.rdtsc, 5);
    EXPECT_EQ(info.fcmov, 0);
    EXPECT_EQ(info.amd3dnow, 0);  // leaf 0x80000001 not asked: max extended leaf checked
}

TEST(CpuCheck, MissingSseOrUnreadableFlagsFailTheCheck) {
    setCommonLeaves(1u << 23);  // MMX only
    CpuInfo info;
    EXPECT_EQ(readCpuInfo(info, fakeCpuid), CpuCheckResult::FeaturesMissing);
    EXPECT_FALSE(runCpuCheck(fakeCpuid));

    setCommonLeaves((1u << 23) | (1u << 25));
    g_leaves.erase(1);
    EXPECT_EQ(readCpuInfo(info, fakeCpuid), CpuCheckResult::FlagsUnreadable);

    setCommonLeaves((1u << 23) | (1u << 25));
    g_leaves.erase(0x80000003u);
    g_leaves.erase(0);
    ASSERT_EQ(readCpuInfo(info, fakeCpuid), CpuCheckResult::Passed);
    EXPECT_STREQ(info.brand, "Unknown");
    EXPECT_STREQ(info.vendor, "Generic_x86");
    EXPECT_TRUE(runCpuCheck(fakeCpuid));
    EXPECT_FALSE(sse2Allowed());
}

TEST(CpuCheck, ThisMachinePasses) {
    EXPECT_TRUE(runCpuCheck());
    EXPECT_TRUE(sse2Allowed());  // every x86-64 processor has SSE2
}

TEST(OsCheck, KernelReleaseNumbersAreParsed) {
    KernelVersion v;
    ASSERT_TRUE(parseKernelRelease("6.1.0-18-amd64", &v));
    EXPECT_EQ(v.major, 6);
    EXPECT_EQ(v.minor, 1);
    EXPECT_EQ(v.patch, 0);
    ASSERT_TRUE(parseKernelRelease("5.10", &v));
    EXPECT_EQ(v.minor, 10);
    EXPECT_EQ(v.patch, 0);
    ASSERT_TRUE(parseKernelRelease("4.19.304+deb10", &v));
    EXPECT_EQ(v.patch, 304);
    EXPECT_FALSE(parseKernelRelease("unknown", &v));
    EXPECT_FALSE(parseKernelRelease("", &v));
}
