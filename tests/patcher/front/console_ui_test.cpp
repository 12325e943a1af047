// The console front end: what a terminal shows of the worker's commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "patcher/front/console_ui.h"

TEST(ConsoleUi, ShowsEachTextOnceAndTheBarsInTenPercentSteps) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = ::open_memstream(&buffer, &size);
    ASSERT_NE(stream, nullptr);
    {
        quillon::ConsoleUi console(stream);
        quillon::LauncherState state(console);
        console.attach(&state);
        state.SetStatusText("Checking");
        state.SetStatusText("Checking");  // unchanged: not shown again
        for (int i = 0; i <= 100; ++i) state.SetFileProgress(i);
        state.SetFileProgress(0);
        state.SetFileProgress(55.5);
        state.SetTotalProgress(150);
        state.SetSpeed(1024);
        state.SetSpeed(0);
        state.SetNoticeText("one\ntwo\x1b[2J");  // a terminal must not clear itself
        state.SetStatusTotalText("");
    }
    std::fclose(stream);
    const std::string text(buffer, size);
    std::free(buffer);
    EXPECT_EQ(text,
              "Checking\n"
              "Progress: 10%\nProgress: 20%\nProgress: 30%\nProgress: 40%\nProgress: 50%\n"
              "Progress: 60%\nProgress: 70%\nProgress: 80%\nProgress: 90%\nProgress: 100%\n"
              "Progress: 55%\nTotal: 100%\nSpeed: 1.00 KByte/s\n"
              "----- Notice -----\none\ntwo^[[2J\n------------------\n");
}
