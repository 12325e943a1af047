// The sound start-up driven through every branch by a scripted device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/platform/sound/sound.h"
#include "tests/platform/sound_log_fixture.h"

namespace velmar {
namespace {

// What the fake device answers, and the calls it saw.
struct DeviceScript {
    SoundResult create = kSoundOk;
    SoundResult version = kSoundOk;
    std::uint32_t versionValue = 0x00043002;
    std::uint32_t required = 0x00043002;
    SoundResult numDrivers = kSoundOk;
    int count = 1;
    SoundResult caps = kSoundOk;
    std::uint32_t capsBits = 0;
    int speakerMode = kSpeaker5Point1;
    SoundResult dspBuffer = kSoundOk;
    int refusedMode = 0;             // setSpeakerMode refuses this mode
    std::vector<SoundResult> inits;  // one per init call; success once used up
    std::string name = "Fake Card";
    std::vector<std::string> calls;
};

class FakeDevice final : public SoundDevice {
public:
    explicit FakeDevice(DeviceScript* script) : m_s(script) {}

    SoundResult create() override { return note("create", m_s->create); }
    SoundResult getVersion(std::uint32_t* version) override {
        *version = m_s->versionValue;
        return note("getVersion", m_s->version);
    }
    std::uint32_t requiredVersion() const override { return m_s->required; }
    SoundResult getNumDrivers(int* count) override {
        *count = m_s->count;
        return note("getNumDrivers", m_s->numDrivers);
    }
    SoundResult getDriverCaps(int driver, std::uint32_t* caps, int* mode) override {
        *caps = m_s->capsBits;
        *mode = m_s->speakerMode;
        return note("getDriverCaps " + std::to_string(driver), m_s->caps);
    }
    SoundResult setDSPBufferSize(unsigned samples, int buffers) override {
        return note("setDSPBufferSize " + std::to_string(samples) + " " + std::to_string(buffers),
                    m_s->dspBuffer);
    }
    SoundResult setSpeakerMode(int mode) override {
        return note("setSpeakerMode " + std::to_string(mode),
                    mode == m_s->refusedMode ? kSoundUnsupported : kSoundOk);
    }
    SoundResult init(int maxChannels) override {
        SoundResult r = kSoundOk;
        if (!m_s->inits.empty()) {
            r = m_s->inits.front();
            m_s->inits.erase(m_s->inits.begin());
        }
        return note("init " + std::to_string(maxChannels), r);
    }
    SoundResult getDriverName(int driver, char* name, std::size_t size) override {
        const std::size_t n = std::min(m_s->name.size(), size - 1);
        m_s->name.copy(name, n);
        name[n] = '\0';
        return note("getDriverName " + std::to_string(driver) + " " + std::to_string(size), kSoundOk);
    }
    void release() override { m_s->calls.push_back("release"); }

private:
    SoundResult note(const std::string& call, SoundResult result) {
        m_s->calls.push_back(call);
        return result;
    }
    DeviceScript* m_s;
};

class SoundStartup : public SoundLogTest {
protected:
    Sound* start(SoundSettings settings = {}) {
        return Sound::Create(settings, std::make_unique<FakeDevice>(&m_script));
    }
    // The box text the CRIT line shows on stderr, in the death test's child.
    static std::string critical(const std::string& text) {
        return "Message:\n\n" + literalPattern(text) + "\n";
    }
    using Lines = std::vector<std::string>;
    DeviceScript m_script;
};

const std::vector<std::string> kUpToCaps = {"create", "getVersion", "getNumDrivers",
                                            "getDriverCaps 0"};

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// --- Sound off without ending the client ---

TEST_F(SoundStartup, DisabledByConfigurationNeverTouchesTheLibrary) {
    Sound* sound = start({true, true});
    EXPECT_FALSE(sound->enabled());
    EXPECT_FALSE(sound->hasSystem());
    EXPECT_EQ(soundLines(), Lines{"(INFO) Sound Turned off by Configuration"});
    Sound::Release();
    EXPECT_EQ(m_script.calls, Lines{});
}

TEST_F(SoundStartup, MachineWithoutOutputDeviceRunsSilently) {
    m_script.create = kSoundNoDevice;
    Sound* sound = start();
    EXPECT_FALSE(sound->enabled());
    EXPECT_FALSE(sound->hasSystem());
    EXPECT_EQ(soundLines(), Lines{"(WARN) Sound: No Devices found - disabling sound!"});
    Sound::Release();
    EXPECT_EQ(m_script.calls, Lines{"create"});
}

TEST_F(SoundStartup, ZeroDevicesKeepsTheSystemForRelease) {
    m_script.count = 0;
    Sound* sound = start();
    EXPECT_FALSE(sound->enabled());
    EXPECT_TRUE(sound->hasSystem());
    EXPECT_EQ(soundLines(), Lines{"(WARN) Sound: No Devices found - disabling sound!"});
    Sound::Release();
    EXPECT_EQ(m_script.calls, (Lines{"create", "getVersion", "getNumDrivers", "release"}));
    EXPECT_EQ(Sound::instance(), nullptr);
}

TEST_F(SoundStartup, UnreadableCapsTurnSoundOffWithTheCode) {
    m_script.caps = static_cast<SoundResult>(5);
    Sound* sound = start();
    EXPECT_FALSE(sound->enabled());
    EXPECT_EQ(soundLines(),
              Lines{"(WARN) Sound: failed to retrieve the Device Caps of the default card - "
                    "disabling sound (5)"});
    Sound::Release();
    EXPECT_EQ(m_script.calls, with(kUpToCaps, {"release"}));
}

TEST_F(SoundStartup, EmulatedMixingWhoseBufferIsRefusedTurnsSoundOff) {
    m_script.capsBits = kSoundCapsHardwareEmulated;
    m_script.dspBuffer = static_cast<SoundResult>(9);
    EXPECT_FALSE(start()->enabled());
    EXPECT_EQ(soundLines(),
              (Lines{"(WARN) Sound: System hardware accelleration disabled!",
                     "(WARN) Sound: failed to set DSPBuffer size to 1kb (10 buffers); in case of "
                     "non accelleration - disabling sound! (err: 9)"}));
    EXPECT_EQ(m_script.calls, with(kUpToCaps, {"setDSPBufferSize 1024 10"}));
}

// --- Initialisation ---

TEST_F(SoundStartup, DeviceModeAtTheExactMinimumVersionStarts) {
    m_script.capsBits = ~kSoundCapsHardwareEmulated;  // no other bit asks for the buffer
    Sound* sound = start();
    EXPECT_TRUE(sound->enabled());
    EXPECT_EQ(soundLines(), (Lines{"(INFO) Sound: Initialization done.",
                                   "(INFO) Sound: in '5.1' mode, using device: 'Fake Card'"}));
    EXPECT_EQ(m_script.calls,
              with(kUpToCaps, {"setSpeakerMode 5", "init 100", "getDriverName 0 255"}));
    EXPECT_EQ(Sound::Create({true, false}, nullptr), sound);  // created once
    Sound::Release();
    Sound::Release();
    EXPECT_EQ(m_script.calls.back(), "release");
    EXPECT_EQ(m_script.calls.size(), 8u);
}

TEST_F(SoundStartup, EmulatedMixingGetsTheLargerBufferAndStarts) {
    m_script.capsBits = kSoundCapsHardwareEmulated;
    m_script.speakerMode = kSpeakerPrologic;
    EXPECT_TRUE(start()->enabled());
    EXPECT_EQ(soundLines(),
              (Lines{"(WARN) Sound: System hardware accelleration disabled!",
                     "(INFO) Sound: Initialization done.",
                     "(INFO) Sound: in 'Prologic (5.1)' mode, using device: 'Fake Card'"}));
    EXPECT_EQ(m_script.calls, with(kUpToCaps, {"setDSPBufferSize 1024 10", "setSpeakerMode 7",
                                              "init 100", "getDriverName 0 255"}));
}

TEST_F(SoundStartup, FailedSurroundModeIsRetriedOnceInStereo) {
    m_script.inits = {static_cast<SoundResult>(12)};
    EXPECT_TRUE(start()->enabled());
    EXPECT_EQ(soundLines(),
              (Lines{"(WARN) Sound: Initialzation with device default speakermode setting "
                     "failed, retrying with stereo mode... (12)",
                     "(INFO) Sound: Initialization done.",
                     "(INFO) Sound: in 'Stereo' mode, using device: 'Fake Card'"}));
    EXPECT_EQ(m_script.calls, with(kUpToCaps, {"setSpeakerMode 5", "init 100", "setSpeakerMode 2",
                                              "init 100", "getDriverName 0 255"}));
}

TEST_F(SoundStartup, RefusedSpeakerModeLeavesTheDecisionToTheInitialisation) {
    m_script.speakerMode = kSpeaker7Point1;
    m_script.refusedMode = kSpeaker7Point1;
    EXPECT_TRUE(start()->enabled());
    EXPECT_EQ(soundLines(), (Lines{"(INFO) Sound: Initialization done.",
                                   "(INFO) Sound: in '7.1' mode, using device: 'Fake Card'"}));
    EXPECT_EQ(m_script.calls, with(kUpToCaps, {"setSpeakerMode 6", "init 100", "getDriverName 0 255"}));
}

TEST_F(SoundStartup, ForcedStereoOverridesTheDeviceMode) {
    m_script.speakerMode = 42;
    m_script.name = std::string(300, 'n');
    EXPECT_TRUE(start({false, true})->enabled());
    EXPECT_EQ(soundLines(), (Lines{"(INFO) Sound: Always Stereo Enabled by Config",
                                   "(INFO) Sound: Initialization done.",
                                   "(INFO) Sound: in 'Stereo' mode, using device: '" +
                                       std::string(254, 'n') + "'"}));
    EXPECT_EQ(m_script.calls[4], "setSpeakerMode 2");
}

TEST_F(SoundStartup, SpeakerModeNamesFollowTheLibraryNumbers) {
    const char* names[] = {"Unknown", "Mono", "Stereo", "Quadrophonic", "Surround",
                           "5.1",     "7.1",  "Prologic (5.1)", "Unknown"};
    for (int mode = 0; mode <= 8; ++mode)
        EXPECT_STREQ(Sound::speakerModeName(mode), names[mode]) << mode;
    EXPECT_STREQ(Sound::speakerModeName(-1), "Unknown");
}

// --- Fatal start-up failures ---

TEST_F(SoundStartup, FailedCreationEndsTheClient) {
    m_script.create = static_cast<SoundResult>(7);
    EXPECT_EXIT(start(), ::testing::ExitedWithCode(1),
                critical("Sound System Initialization failed: 7"));
}

TEST_F(SoundStartup, UnreadableVersionEndsTheClient) {
    m_script.version = static_cast<SoundResult>(9);
    EXPECT_EXIT(start(), ::testing::ExitedWithCode(1),
                critical("Sound System Initialization failed (get version): 9"));
}

TEST_F(SoundStartup, VersionBelowTheMinimumNamesBothInEightHexDigits) {
    m_script.versionValue = 0x00043001;
    EXPECT_EXIT(start(), ::testing::ExitedWithCode(1),
                critical("Sound System Initialzation failed, Found FMOD Version 00043001, need "
                         "version: 00043002"));
}

TEST_F(SoundStartup, FailedDeviceEnumerationEndsTheClient) {
    m_script.numDrivers = static_cast<SoundResult>(4);
    EXPECT_EXIT(start(), ::testing::ExitedWithCode(1),
                critical("Sound System Initialization failed, failed to retrieve the installed "
                         "devices (4)"));
}

// The second answer would succeed: dying shows that no third attempt or
// retry happened.
TEST_F(SoundStartup, StereoFailingAfterTheRetryEndsTheClientWithItsCode) {
    m_script.inits = {static_cast<SoundResult>(7), static_cast<SoundResult>(8), kSoundOk};
    EXPECT_EXIT(start(), ::testing::ExitedWithCode(1), critical("Sound: Initialization failed (8)"));
}

TEST_F(SoundStartup, ForcedStereoFailureIsFatalWithoutRetry) {
    m_script.inits = {static_cast<SoundResult>(6), kSoundOk};
    EXPECT_EXIT(start({false, true}), ::testing::ExitedWithCode(1),
                critical("Sound: Initialization failed (6)"));
}

TEST_F(SoundStartup, StereoDeviceFailureIsFatalWithoutRetry) {
    m_script.speakerMode = kSpeakerStereo;
    m_script.inits = {static_cast<SoundResult>(6), kSoundOk};
    EXPECT_EXIT(start(), ::testing::ExitedWithCode(1), critical("Sound: Initialization failed (6)"));
}

}  // namespace
}  // namespace velmar
