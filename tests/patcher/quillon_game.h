// Helpers for tests that drive the real quillon program against a served
// patchpub tree: content revisions, the launcher copy that patches itself,
// and the comparison of a game directory with the content it should hold.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/patcher/patch_server_fixture.h"
#include "tests/support/child_process.h"
#include "tools/patchpub/publisher.h"

namespace quillon_test {

// Environment variables the child programs inherit, restored on destruction.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->had) ::setenv(it->name.c_str(), it->value.c_str(), 1);
            else ::unsetenv(it->name.c_str());
        }
    }
    void set(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        m_saved.push_back({name, old != nullptr, old ? old : ""});
        ::setenv(name.c_str(), value.c_str(), 1);
    }

private:
    struct Saved {
        std::string name;
        bool had;
        std::string value;
    };
    std::vector<Saved> m_saved;
};

inline void putContent(const std::string& root, const std::string& name, const std::string& bytes,
                       bool program = false) {
    namespace fs = std::filesystem;
    const fs::path p = fs::path(root) / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
    fs::permissions(p, program ? fs::perms(0755) : fs::perms(0644));
}

// One revision of `contentDir` into the server tree; "*.map" goes packed.
inline patchpub::PublishResult publishContent(const std::string& serverDir,
                                              const std::string& contentDir,
                                              const std::string& message = "") {
    patchpub::PublishOptions o;
    o.serverDir = serverDir;
    o.contentDir = contentDir;
    o.message = message;
    o.compress = {"*.map"};
    o.now = 1796100000;
    patchpub::PublishResult result;
    std::string error;
    EXPECT_TRUE(patchpub::publishRevision(o, &result, &error)) << error;
    EXPECT_TRUE(result.published);
    return result;
}

// The real launcher with bytes after its end: still the same program, but
// a different file for each revision, so self-patching can be seen.
inline std::string launcherRevision(const std::string& tag) {
    return quask_test::readFile(QUASK_BIN_DIR "/patcher/quillon") + "\n" + tag + "\n";
}

inline std::string mapText(const std::string& seed, int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += seed + " tile " + std::to_string(i % 13) + "\n";
    return text;
}

// Whether <gameDir>/quillon starts: it answers --version with 0.
inline bool launcherStarts(const std::string& gameDir) {
    const std::string scratch = quask_test::makeTempDir("quask-version-");
    const int code = quask_test::runToEnd({gameDir + "/quillon", "--version"}, scratch, 10000).code;
    quask_test::removeTree(scratch);
    return code == 0;
}

// Every difference between the content and the game directory (type,
// bytes, the execute bit, extra entries), ignoring what the launcher keeps
// for itself. Empty when the game holds exactly the content.
inline std::string treeDifferences(const std::string& contentDir, const std::string& gameDir) {
    namespace fs = std::filesystem;
    std::string out;
    const fs::path content = contentDir, game = gameDir;
    for (const auto& e : fs::recursive_directory_iterator(content)) {
        const fs::path rel = e.path().lexically_relative(content);
        const fs::path installed = game / rel;
        if (e.is_directory() != fs::is_directory(installed) || !fs::exists(installed)) {
            out += "missing " + rel.string() + "\n";
        } else if (e.is_regular_file()) {
            if (quask_test::readFile(e.path()) != quask_test::readFile(installed))
                out += "bytes " + rel.string() + "\n";
            const bool wantX = (fs::status(e.path()).permissions() & fs::perms::owner_exec) != fs::perms::none;
            const bool hasX = (fs::status(installed).permissions() & fs::perms::owner_exec) != fs::perms::none;
            if (wantX != hasX) out += "mode " + rel.string() + "\n";
        }
    }
    for (const auto& e : fs::recursive_directory_iterator(game)) {
        const std::string rel = e.path().lexically_relative(game).generic_string();
        if (rel == "data/quillon.dat" || rel == "data/quillon.lock" || rel == "data/quillon.root" ||
            rel == "data/quillon.mirrors" || rel == "quillon_old")
            continue;
        if (!fs::exists(content / rel)) out += "extra " + rel + "\n";
    }
    return out;
}

// A patch-server test with the real launcher copied into <dir>/game, run
// with the test's own runtime directory (its lock) and the server's URL;
// <dir>/cwd is a working directory for it.
class InstalledLauncherTest : public PatchServerTest {
protected:
    void SetUp() override {
        PatchServerTest::SetUp();
        m_env.set("XDG_RUNTIME_DIR", m_dir);
        m_env.set("QUILLON_BASE_URL", m_base);
        std::filesystem::create_directories(at("cwd"));
        std::filesystem::create_directories(at("game"));
        std::filesystem::copy_file(QUASK_BIN_DIR "/patcher/quillon", at("game/quillon"));
    }
    // A file of the content that patchpub publishes next.
    void put(const std::string& name, const std::string& bytes, bool program = false) {
        putContent(at("content"), name, bytes, program);
    }

    ScopedEnv m_env;
};

// Starts <gameDir>/quillon --console --no-start (patching only); output goes
// to <logPrefix>.out/.err.
inline std::unique_ptr<quask_test::ChildProcess> startQuillon(const std::string& gameDir,
                                                              const std::string& logPrefix,
                                                              const std::string& workDir,
                                                              std::vector<std::string> env = {}) {
    quask_test::ChildProcess::Options o;
    o.stdoutPath = logPrefix + ".out";
    o.stderrPath = logPrefix + ".err";
    o.workDir = workDir;
    o.extraEnv = std::move(env);
    o.extraEnv.push_back("QUASK_NONINTERACTIVE=1");
    auto child = std::make_unique<quask_test::ChildProcess>(
        std::vector<std::string>{gameDir + "/quillon", "--console", "--no-start"}, o);
    EXPECT_TRUE(child->started());
    return child;
}

}  // namespace quillon_test
