// A fixture base for suites that share one Xvfb server: it starts before the
// suite's first test and goes after its last. Each test's SetUp skips when the
// server could not start, points DISPLAY at it otherwise, then runs Base's own
// SetUp. A fixture's SetUp calls this one first and returns when IsSkipped().
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/xvfb_display.h"

namespace quask_test {

template <class Base = ::testing::Test>
class OnXvfb : public Base {
protected:
    using Base::Base;

    static void SetUpTestSuite() { s_display = new XvfbDisplay; }
    static void TearDownTestSuite() {
        delete s_display;
        s_display = nullptr;
    }
    void SetUp() override {
        if (!displayReady()) GTEST_SKIP() << s_display->problem();
        setenv("DISPLAY", s_display->name().c_str(), 1);
        Base::SetUp();
    }

    static bool displayReady() { return s_display != nullptr && s_display->ready(); }
    static const XvfbDisplay& display() { return *s_display; }

private:
    inline static XvfbDisplay* s_display = nullptr;
};

}  // namespace quask_test
