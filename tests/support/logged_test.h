// A test fixture with a fresh directory of its own and the engine log
// started in it; the log's datagrams go to a port of the test's own that
// nobody reads. Both are gone after the test.
#pragma once

#include <string>

#include "client/core/log.h"
#include "tests/support/log_socket.h"
#include "tests/support/temp_dir_test.h"

namespace quask_test {

class LoggedTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_NE(quietLogPort(), 0);
        velmar::CLOG::Create(m_dir, quietLogPort());
    }
    void TearDown() override {
        velmar::CLOG::Destroy();
        TempDirTest::TearDown();
    }
    std::string logText() const { return readFile(at("LastRun.log")); }
};

}  // namespace quask_test
