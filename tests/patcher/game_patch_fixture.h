// A patch-server test with a game directory below its own and a launcher
// state whose window commands are recorded: the patch-run and full-check
// tests drive the real steps against it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "patcher/engine/patch_context.h"
#include "shared/patch_file.h"
#include "tests/patcher/patch_server_fixture.h"
#include "tests/patcher/recording_ui.h"

namespace quillon_test {

using Step = std::optional<quillon::PatchFailure> (*)(quillon::PatchContext&, quillon::RevisionRecord&);

// Runs `step` (runPatch, runFullCheck) on `gameDir` as quillon does: the
// stored revision is read first; `state` gets the window's commands.
inline std::optional<quillon::PatchFailure> runOn(const std::string& gameDir, const std::string& base, Step step,
                                                  quillon::LauncherState& state,
                                                  const quillon::PublicKey* key = nullptr) {
    std::filesystem::create_directories(gameDir);
    quillon::HttpClient http;
    quillon::PatchContext ctx{http, state, gameDir, base, "quillon", key, {}};
    quillon::RevisionRecord record;
    if (auto failure = quillon::LoadRevisionRecord(gameDir, &record)) return failure;
    return step(ctx, record);
}

// `content` as a compressed patch file whose unpacked name ends in `last`.
inline std::string packedFile(const std::string& content, char last) {
    std::vector<std::uint8_t> packed;
    EXPECT_EQ(quask::patchCompress(reinterpret_cast<const std::uint8_t*>(content.data()), content.size(), last,
                                   &packed),
              quask::PatchStatus::Ok);
    return std::string(packed.begin(), packed.end());
}

// A program of this machine that runs (and answers --version with 0), with
// `tag` after its end so that each is a file of its own: what a launcher
// may be replaced with.
inline std::string runnableProgram(const std::string& tag) {
    return quask_test::readFile("/bin/true") + "\n" + tag + "\n";
}

class GamePatchTest : public PatchServerTest {
protected:
    void SetUp() override {
        PatchServerTest::SetUp();
        std::filesystem::create_directories(at("game"));
        m_ui.attach(&m_state);
        serve("allow.txt", "allow");
        serve("notice_close.txt", "Back soon.");
    }
    std::optional<quillon::PatchFailure> runStep(Step step) { return runOn(at("game"), m_base, step, m_state); }
    std::string game(const std::string& name) { return quask_test::readFile(at("game/" + name)); }
    void putGame(const std::string& name, const std::string& content) {
        std::filesystem::create_directories(std::filesystem::path(at("game/" + name)).parent_path());
        std::ofstream(at("game/" + name), std::ios::binary) << content;
    }
    std::uint32_t storedRevision() { return quillon_test::storedRevision(at("game")); }

    RecordingUi m_ui;
    quillon::LauncherState m_state{m_ui};
};

}  // namespace quillon_test
