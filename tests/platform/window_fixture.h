// A test with the window layer started on the suite's own Xvfb server and
// ended after the test, whatever it opened.
#pragma once

#include <gtest/gtest.h>

#include "client/platform/window.h"
#include "tests/support/xvfb_suite.h"

namespace window_test {

class WindowLayerTest : public quask_test::OnXvfb<> {
protected:
    void SetUp() override {
        OnXvfb::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(velmar::windowInit());
    }
    void TearDown() override { velmar::windowTerminate(); }
};

}  // namespace window_test
