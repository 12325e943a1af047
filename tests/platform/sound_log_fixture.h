// A log of its own in a fresh directory for each sound test, read back as the
// sound start-up's lines, and the instance released afterwards.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/rconf.h"
#include "client/platform/sound/sound.h"
#include "tests/support/logged_test.h"

namespace velmar {

class SoundLogTest : public quask_test::LoggedTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(PerfClock::isCreated() || PerfClock::Create());
        LoggedTest::SetUp();
    }

    void TearDown() override {
        Sound::Release();
        CRConf::Destroy();
        LoggedTest::TearDown();
    }

    // The sound lines as "(LEVEL) text", without time stamps.
    std::vector<std::string> soundLines() const {
        std::vector<std::string> lines;
        std::istringstream in(logText());
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t stamp = line.find("] ");
            if (line.rfind("[", 0) != 0 || stamp == std::string::npos) continue;
            const std::string text = line.substr(stamp + 2);
            const std::size_t tag = text.find(") ");
            if (text.rfind("(", 0) == 0 && tag != std::string::npos &&
                text.compare(tag + 2, 5, "Sound") == 0)
                lines.push_back(text);
        }
        return lines;
    }
};

// An extended regular expression that matches `text` literally.
inline std::string literalPattern(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

}  // namespace velmar
