// A test fixture with a fresh directory of its own, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_process.h"

namespace quask_test {

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = makeTempDir("quask-test-");
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override { removeTree(m_dir); }
    std::string at(const std::string& name) const { return m_dir + "/" + name; }

    std::string m_dir;
};

}  // namespace quask_test
