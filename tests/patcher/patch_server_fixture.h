// A test with its own directory and the fault-injecting patch server
// serving <dir>/www on a free port of 127.0.0.1, and the small helpers of
// every patcher test: sum lines, request counts, incompressible bytes, the
// box a run ended with and the stored revision.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "patcher/disk/revision_record.h"
#include "patcher/protocol/digests.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir_test.h"

namespace quillon_test {

// The sum-file line for `content` installed as `name`.
inline std::string sumLine(const std::string& content, const std::string& name) {
    return "SUM:" + quillon::digestHex(quillon::md5OfBytes(content.data(), content.size())) + ":" +
           name + "\n";
}

// How often `what` stands in `text` (a request log).
inline std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Pseudo-random bytes that do not compress.
inline std::string noise(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

// The box a run ended with: its text and, when given, its caption.
inline void expectBox(const std::optional<quillon::PatchFailure>& failure, const std::string& text,
                      const std::string& caption = "") {
    ASSERT_TRUE(failure) << "no box, expected: " << text << caption;
    if (!text.empty()) {
        EXPECT_EQ(failure->text, text);
    }
    if (!caption.empty()) {
        EXPECT_EQ(failure->caption, caption);
    }
}

inline std::uint32_t storedRevision(const std::string& gameDir) {
    quillon::RevisionRecord r;
    EXPECT_FALSE(quillon::LoadRevisionRecord(gameDir, &r));
    return r.revision;
}

// Starts patch_server.py serving `root` with `extraArgs`; its output goes
// to <logPrefix>.out/.err. The base URL ("http://127.0.0.1:<port>/", or
// https with --tls) is empty when it did not start.
inline std::unique_ptr<quask_test::ChildProcess> startPatchServer(const std::string& root,
                                                                  const std::string& logPrefix,
                                                                  const std::vector<std::string>& extraArgs,
                                                                  std::string* base) {
    quask_test::ChildProcess::Options o;
    o.stdoutPath = logPrefix + ".out";
    o.stderrPath = logPrefix + ".err";
    std::vector<std::string> argv{"/usr/bin/python3", QUASK_TESTS_DIR "/patcher/patch_server.py", root};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    auto server = std::make_unique<quask_test::ChildProcess>(argv, o);
    base->clear();
    if (!quask_test::waitForText(o.stdoutPath, "\n", 10000)) return server;
    std::string port = quask_test::readFile(o.stdoutPath).substr(5);
    port.pop_back();  // the line feed
    const bool tls = std::find(extraArgs.begin(), extraArgs.end(), "--tls") != extraArgs.end();
    *base = (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + port + "/";
    return server;
}

class PatchServerTest : public quask_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        std::filesystem::create_directories(at("www"));
        m_server = startPatchServer(at("www"), at("server"), serverArgs(), &m_base);
        ASSERT_FALSE(m_base.empty()) << quask_test::readFile(at("server.err"));
    }
    void TearDown() override {
        m_server.reset();
        TempDirTest::TearDown();
    }
    // Extra arguments of patch_server.py ("--ranges", "--faults FILE").
    virtual std::vector<std::string> serverArgs() { return {}; }
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
