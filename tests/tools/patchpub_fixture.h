// patchpub's suites: a content directory, a server tree served on
// 127.0.0.1 and game directories patched from it; and patchpub itself run
// as a program.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "patcher/engine/patch_run.h"
#include "tests/patcher/game_patch_fixture.h"
#include "tests/patcher/quillon_game.h"
#include "tools/patchpub/publisher.h"

namespace patchpub_test {

using quillon::LauncherState;
using quillon::PatchFailure;
using quillon::runPatch;
namespace fs = std::filesystem;

class PatchPubTest : public quillon_test::PatchServerTest {
protected:
    void put(const std::string& name, const std::string& content, bool program = false) {
        quillon_test::putContent(at("content"), name, content, program);
    }
    // One revision of the content; false and `error` when it is refused.
    bool tryPublish(patchpub::PublishResult* result, std::string* error, const std::string& message = "",
                    std::vector<std::string> compress = {}) {
        patchpub::PublishOptions o;
        o.serverDir = at("www");
        o.contentDir = at("content");
        o.message = message;
        o.compress = std::move(compress);
        o.now = 1796100000;  // 2026-12-01 04:40:00 UTC
        return patchpub::publishRevision(o, result, error);
    }
    patchpub::PublishResult publish(const std::string& message = "",
                                    std::vector<std::string> compress = {"*.map"}) {
        patchpub::PublishResult result;
        std::string error;
        EXPECT_TRUE(tryPublish(&result, &error, message, std::move(compress))) << error;
        return result;
    }
    // A patch run (or another step) of the game directory `game`.
    std::optional<PatchFailure> patch(const std::string& game, quillon_test::Step step = runPatch) {
        quillon_test::RecordingUi ui;
        LauncherState state(ui);
        auto failure = quillon_test::runOn(at(game), m_base, step, state);
        m_lastNotice = state.notice();
        return failure;
    }
    // Every difference between the content and the game directory, ignoring
    // what the launcher keeps for itself.
    std::string differences(const std::string& game) {
        std::string out;
        const fs::path content = at("content"), installed = at(game);
        for (const auto& e : fs::recursive_directory_iterator(content)) {
            const fs::path rel = e.path().lexically_relative(content);
            if (e.is_directory() != fs::is_directory(installed / rel)) out += "type " + rel.string() + "\n";
            else if (e.is_regular_file() && quask_test::readFile(e.path()) != quask_test::readFile(installed / rel))
                out += "bytes " + rel.string() + "\n";
        }
        for (const auto& e : fs::recursive_directory_iterator(installed)) {
            const std::string rel = e.path().lexically_relative(installed).generic_string();
            if (rel == "data/quillon.dat" || rel == "quillon_old") continue;
            if (!fs::exists(content / rel)) out += "extra " + rel + "\n";
        }
        return out;
    }
    bool executable(const std::string& path) {
        struct stat st;
        return ::stat(at(path).c_str(), &st) == 0 && (st.st_mode & S_IXUSR);
    }
    std::string www(const std::string& name) { return quask_test::readFile(at("www/" + name)); }

    std::string m_lastNotice;
};

inline std::string mapText(const char* seed) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += std::string(seed) + " tile " + std::to_string(i % 7) + "\n";
    return text;
}


// patchpub itself, run in the test's directory.
inline quask_test::RunResult patchpubRun(const std::vector<std::string>& args, const std::string& dir,
                                  const std::vector<std::string>& tracedBefore = {}) {
    std::vector<std::string> argv = tracedBefore;
    argv.push_back(QUASK_BIN_DIR "/tools/patchpub/patchpub");
    argv.insert(argv.end(), args.begin(), args.end());
    return quask_test::runToEnd(argv, dir, 120000);
}


}  // namespace patchpub_test
