// The worker's commands and texts as the window receives them, and digests.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "patcher/engine/launcher_ui.h"
#include "patcher/protocol/digests.h"
#include "tests/patcher/recording_ui.h"
#include "tests/support/temp_dir_test.h"

using namespace quillon;
using quillon_test::RecordingUi;

TEST(LauncherUi, SpeedTextSwitchesUnitsAtTheirThresholds) {
    EXPECT_EQ(speedText(0), "");
    EXPECT_EQ(speedText(800), "Speed: 800 Byte/s");
    EXPECT_EQ(speedText(801), "Speed: 0.78 KByte/s");
    EXPECT_EQ(speedText(952320), "Speed: 930.00 KByte/s");
    EXPECT_EQ(speedText(952321), "Speed: 0.91 MByte/s");
}

TEST(LauncherUi, ProgressIsScaledTruncatedAndClamped) {
    RecordingUi ui;
    LauncherState state(ui);
    state.SetFileProgress(-5.0);
    state.SetFileProgress(12.3456);
    state.SetTotalProgress(150.0);
    state.SetTotalProgress(0.0 / 0.0);
    const auto e = ui.entries();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].command, CmdFileProgress);
    EXPECT_EQ(e[0].value, 0);
    EXPECT_EQ(e[1].value, 12345);
    EXPECT_EQ(e[2].command, CmdTotalProgress);
    EXPECT_EQ(e[2].value, 100000);
    EXPECT_EQ(e[3].value, 0);
    EXPECT_EQ(progressBarValue(-1), 0);
    EXPECT_EQ(progressBarValue(12345), 12);
    EXPECT_EQ(progressBarValue(250000), 100);
}

TEST(LauncherUi, NoticeGetsCarriageReturnsOnlyWhereMissing) {
    EXPECT_EQ(toCrLf("a\nb\r\nc\n\nd\r"), "a\r\nb\r\nc\r\n\r\nd\r");
    EXPECT_EQ(toCrLf("\n"), "\r\n");
    RecordingUi ui;
    LauncherState state(ui);
    ui.attach(&state);
    state.SetNoticeText("Hello\nWorld");
    state.SetStatusText("Getting Patch Notice");
    state.SetStatusTotalText("");
    EXPECT_EQ(ui.texts(CmdShowNotice), std::vector<std::string>{"Hello\r\nWorld"});
    EXPECT_EQ(ui.texts(CmdShowStatus), std::vector<std::string>{"Getting Patch Notice"});
    EXPECT_EQ(ui.texts(CmdShowStatusTotal), std::vector<std::string>{""});
}

TEST(LauncherUi, ButtonsAreSentThenRemembered) {
    RecordingUi ui;
    LauncherState state(ui);
    state.EnableStart(true);
    state.EnableFullCheck(false);
    state.Flash();
    EXPECT_TRUE(state.startEnabled());
    EXPECT_FALSE(state.fullCheckEnabled());
    const auto e = ui.entries();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].command, CmdEnableStart);
    EXPECT_EQ(e[0].value, 1);
    EXPECT_EQ(e[1].command, CmdEnableFullCheck);
    EXPECT_EQ(e[1].value, 0);
    EXPECT_EQ(e[2].command, CmdFlash);
}

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
