// A test with its own directory and the fault-injecting patch server
// serving <dir>/www on a free port of 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir_test.h"

namespace quillon_test {

class PatchServerTest : public quask_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        std::filesystem::create_directories(at("www"));
        quask_test::ChildProcess::Options o;
        o.stdoutPath = at("server.out");
        o.stderrPath = at("server.err");
        m_server = std::make_unique<quask_test::ChildProcess>(
            std::vector<std::string>{"/usr/bin/python3", QUASK_TESTS_DIR "/patcher/patch_server.py",
                                     at("www")},
            o);
        ASSERT_TRUE(quask_test::waitForText(at("server.out"), "\n", 10000))
            << quask_test::readFile(at("server.err"));
        std::string port = quask_test::readFile(at("server.out")).substr(5);
        port.pop_back();  // the line feed
        m_base = "http://127.0.0.1:" + port + "/";
    }
    void TearDown() override {
        m_server.reset();
        TempDirTest::TearDown();
    }
    // Writes a file below the served tree.
    void serve(const std::string& path, const std::string& content) {
        const std::filesystem::path p = at("www/" + path);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
    }
    std::string requests() const { return quask_test::readFile(at("requests.log")); }

    std::unique_ptr<quask_test::ChildProcess> m_server;
    std::string m_base;
};

}  // namespace quillon_test
