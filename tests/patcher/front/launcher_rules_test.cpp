// The launcher window's rules without a window: closing, server texts and
// the dialog layout in pixels.
#include <gtest/gtest.h>

#include "patcher/front/launcher_rules.h"

using namespace quillon;
using quask::BoxResult;

TEST(LauncherClose, QuitsAtOnceUnlessFilesAreBeingReplaced) {
    EXPECT_EQ(closeAction(false, nullptr), CloseAction::Quit);
    EXPECT_EQ(closeAction(true, nullptr), CloseAction::Ask);
    const BoxResult yes = BoxResult::Yes, no = BoxResult::No, ok = BoxResult::Ok;
    EXPECT_EQ(closeAction(true, &yes), CloseAction::Quit);
    EXPECT_EQ(closeAction(true, &no), CloseAction::Stay);
    // Only an explicit Yes may damage the game files.
    EXPECT_EQ(closeAction(true, &ok), CloseAction::Stay);
    // An answer given to a question that was not needed changes nothing.
    EXPECT_EQ(closeAction(false, &no), CloseAction::Quit);
}

TEST(LauncherText, Utf8StaysAndOtherBytesAreReadAsWindows1252) {
    EXPECT_EQ(displayText("Patch day! caf\xC3\xA9 \xE2\x82\xAC"), "Patch day! caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(displayText(""), "");
    // e acute, the euro sign and curly quotes of the Windows code page.
    EXPECT_EQ(displayText("caf\xE9 \x80 \x93x\x94"),
              "caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D");
    // The code page's unassigned bytes would make the whole text fail.
    EXPECT_EQ(displayText("a\x81" "b\x9D\xE9"), "a?b?\xC3\xA9");
    // A truncated UTF-8 sequence is not UTF-8.
    EXPECT_EQ(displayText("x\xC3"), "x\xC3\x83");
    const std::string withNul("a\0\xE9", 3);
    EXPECT_EQ(displayText(withNul), "a?\xC3\xA9");
}

TEST(LauncherText, ControlBytesReachATerminalOnlyAsVisibleText) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain\ttext\nnext line", "plain\ttext\nnext line"},
        {"\x1b[2J\x1b]0;owned\x07", "^[[2J^[]0;owned^G"},  // clear screen, retitle
        {"over\rwrite", "over^Mwrite"},
        {"del\x7f", "del^?"},
        {"c1 \xC2\x9B" "31m", "c1 M-^[31m"},  // CSI as a UTF-8 C1 control
        {"caf\xE9 \x9B", "caf\xC3\xA9 \xE2\x80\xBA"},  // Windows-1252: a quote, no control
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(terminalText(in), out) << in;
}

TEST(LauncherText, TheWindowShowsABoundedPartOfAHugeNotice) {
    EXPECT_EQ(noticeForWindow("short\r\nnotice"), "short\r\nnotice");
    // One line of 9 MiB: cut after its first 4 KiB, the rest named.
    const std::string huge(9u << 20, 'x');
    const std::string shown = noticeForWindow(huge);
    EXPECT_EQ(shown, std::string(kNoticeLineBytes, 'x') + " [...]");
    // Many lines: no more than the bound, and the cut is said.
    std::string lines;
    for (int i = 0; i < 200000; ++i) lines += "line " + std::to_string(i) + "\r\n";
    const std::string part = noticeForWindow(lines);
    EXPECT_LE(part.size(), kNoticeShownBytes + 100);
    EXPECT_EQ(part.compare(0, 8, "line 0\r\n"), 0);
    EXPECT_NE(part.find("more bytes of the notice are not shown]"), std::string::npos);
    // A cut never splits a UTF-8 sequence.
    const std::string wide = noticeForWindow(std::string(kNoticeLineBytes - 1, 'a') + "\xC3\xA9\xC3\xA9\n");
    EXPECT_EQ(wide, std::string(kNoticeLineBytes - 1, 'a') + " [...]\r\n");
}

TEST(LauncherLayout, DialogUnitsRoundToTheNearestPixel) {
    const DialogBaseUnits classic{6, 13};
    const DialogRect start = dialogToPixels({250, 262, 65, 15}, classic);
    EXPECT_EQ(start.x, 375);
    EXPECT_EQ(start.y, 426);       // 425.75
    EXPECT_EQ(start.width, 98);    // 97.5 rounds up
    EXPECT_EQ(start.height, 24);   // 24.375
    const DialogRect dialog = dialogToPixels({0, 0, 322, 325}, DialogBaseUnits{8, 17});
    EXPECT_EQ(dialog.width, 644);
    EXPECT_EQ(dialog.height, 691);  // 690.625
}

TEST(LauncherLayout, BaseUnitsComeFromTheAverageLetterWidth) {
    // 52 letters 312 px wide: 6 px each; 338 px: 6.5, rounded up.
    EXPECT_EQ(baseUnitsFromFont(312, 13).x, 6);
    EXPECT_EQ(baseUnitsFromFont(338, 13).x, 7);
    EXPECT_EQ(baseUnitsFromFont(337, 17).x, 6);
    EXPECT_EQ(baseUnitsFromFont(337, 17).y, 17);
    // No metrics at all: the classic dialog font's units, never zero.
    EXPECT_EQ(baseUnitsFromFont(0, 0).x, 6);
    EXPECT_EQ(baseUnitsFromFont(0, 0).y, 13);
    EXPECT_EQ(baseUnitsFromFont(20, 5).x, 1);
}
