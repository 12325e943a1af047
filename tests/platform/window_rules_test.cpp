// The window layer's size rule, and its deferred exit.
#include "client/platform/window.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "client/platform/window_dispatch_internal.h"

namespace {

TEST(WindowSize, MissingSidesAreDerivedAtFourToThree) {
    EXPECT_EQ(velmar::windowSizeFor(1024, 0).width, 1024);
    EXPECT_EQ(velmar::windowSizeFor(1024, 0).height, 768);
    EXPECT_EQ(velmar::windowSizeFor(-5, 600).width, 800);
    EXPECT_EQ(velmar::windowSizeFor(-5, 600).height, 600);
    EXPECT_EQ(velmar::windowSizeFor(0, 0).width, 800);
    EXPECT_EQ(velmar::windowSizeFor(0, -1).height, 600);
    EXPECT_EQ(velmar::windowSizeFor(1280, 1024).height, 1024);
    // Derivations of huge settings neither overflow nor go negative.
    EXPECT_EQ(velmar::windowSizeFor(2147483647, 0).height, 1610612735);
    EXPECT_EQ(velmar::windowSizeFor(0, 2147483647).width, 2147483647);
}

TEST(DeferredExitDeathTest, ExitAskedInsideAHandlerWaitsForTheDispatchToEnd) {
    EXPECT_EXIT(
        {
            velmar::beginEventDispatch();
            velmar::windowRequestExit(0);
            std::fprintf(stderr, "rest of the dispatch ran\n");
            velmar::windowRequestExit(5);  // the first code wins
            velmar::endEventDispatch();
            std::fprintf(stderr, "after the dispatch\n");
            std::fflush(stderr);
            std::_Exit(9);
        },
        ::testing::ExitedWithCode(0), "rest of the dispatch ran\n$");
}

TEST(DeferredExitDeathTest, ExitOutsideTheDispatchOrFromAnotherThreadIsAtOnce) {
    EXPECT_EXIT(
        {
            velmar::windowRequestExit(4);
            std::_Exit(9);
        },
        ::testing::ExitedWithCode(4), "");
    EXPECT_EXIT(
        {
            velmar::beginEventDispatch();
            std::thread other([] { velmar::windowRequestExit(6); });
            other.join();
            std::_Exit(9);
        },
        ::testing::ExitedWithCode(6), "");
}

}  // namespace
