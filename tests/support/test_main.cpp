// Test entry point shared by every suite. Death tests re-execute the test
// program instead of forking a threaded process, so a child never inherits a
// lock held by another thread (the log, the timer and the configuration all
// run threads or locks).
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
