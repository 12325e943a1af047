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

#include "patcher/disk/revision_record.h"
#include "patcher/engine/launcher_ui.h"
#include "patcher/engine/patch_context.h"
#include "patcher/net/http_client.h"
#include "patcher/protocol/digests.h"
#include "tests/patcher/patch_server_fixture.h"
#include "tests/patcher/recording_ui.h"

namespace quillon_test {

// The sum-file line for `content` installed as `name`.
inline std::string sumLine(const std::string& content, const std::string& name) {
    return "SUM:" + quillon::digestHex(quillon::md5OfBytes(content.data(), content.size())) + ":" +
           name + "\n";
}

class GamePatchTest : public PatchServerTest {
protected:
    using Step = std::optional<quillon::PatchFailure> (*)(quillon::PatchContext&,
                                                          quillon::RevisionRecord&);

    void SetUp() override {
        PatchServerTest::SetUp();
        std::filesystem::create_directories(at("game"));
        m_ui.attach(&m_state);
        serve("allow.txt", "allow");
        serve("notice_close.txt", "Back soon.");
    }
    // Runs `step` on the game directory as quillon does: the stored revision
    // is read first.
    std::optional<quillon::PatchFailure> runStep(Step step) {
        quillon::HttpClient http;
        quillon::PatchContext ctx{http, m_state, at("game"), m_base, "quillon"};
        if (auto failure = quillon::LoadRevisionRecord(at("game"), &m_record)) return failure;
        return step(ctx, m_record);
    }
    std::string game(const std::string& name) { return quask_test::readFile(at("game/" + name)); }
    void putGame(const std::string& name, const std::string& content) {
        std::filesystem::create_directories(std::filesystem::path(at("game/" + name)).parent_path());
        std::ofstream(at("game/" + name), std::ios::binary) << content;
    }
    std::uint32_t storedRevision() {
        quillon::RevisionRecord r;
        EXPECT_FALSE(quillon::LoadRevisionRecord(at("game"), &r));
        return r.revision;
    }

    RecordingUi m_ui;
    quillon::LauncherState m_state{m_ui};
    quillon::RevisionRecord m_record;
};

}  // namespace quillon_test
