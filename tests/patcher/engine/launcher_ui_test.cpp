// The worker's commands and texts as the window receives them.
#include <gtest/gtest.h>

#include <string>

#include "patcher/engine/launcher_ui.h"
#include "tests/patcher/recording_ui.h"

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
    EXPECT_EQ(ui.commands(), (RecordingUi::Commands{{CmdFileProgress, 0}, {CmdFileProgress, 12345},
                                                    {CmdTotalProgress, 100000}, {CmdTotalProgress, 0}}));
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
    EXPECT_EQ(ui.commands(), (RecordingUi::Commands{{CmdEnableStart, 1}, {CmdEnableFullCheck, 0}, {CmdFlash, 0}}));
}
