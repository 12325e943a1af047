// The OpenAL device and the whole sound start-up on OpenAL Soft's null
// output, and on a machine where no output device can be opened.
#include <gtest/gtest.h>

#include <AL/alc.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "client/core/rconf.h"
#include "client/platform/sound/sound.h"
#include "client/platform/sound/sound_device.h"
#include "tests/platform/sound_log_fixture.h"

namespace velmar {
namespace {

// OpenAL reads its driver list once per process, at the first call: every
// test picks the headless output before anything touches the library.
void useNullOutput() { ::setenv("ALSOFT_DRIVERS", "null", 1); }

TEST(OpenAlDevice, CallsBeforeCreateAreRefusedNotCrashed) {
    useNullOutput();
    auto device = makeSystemSoundDevice();
    std::uint32_t version = 0;
    int count = -1;
    char name[8] = "x";
    EXPECT_EQ(device->getVersion(&version), kSoundNotReady);
    EXPECT_EQ(device->getNumDrivers(&count), kSoundNotReady);
    EXPECT_EQ(device->init(Sound::kChannels), kSoundNotReady);
    EXPECT_EQ(device->getDriverName(0, name, sizeof name), kSoundNotReady);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(count, -1);
    device->release();
}

TEST(OpenAlDevice, NullOutputIsAnAlc11StereoDeviceWith100Sources) {
    useNullOutput();
    auto device = makeSystemSoundDevice();
    ASSERT_EQ(device->create(), kSoundOk);
    std::uint32_t version = 0;
    ASSERT_EQ(device->getVersion(&version), kSoundOk);
    EXPECT_EQ(version, 0x00010100u);
    EXPECT_GE(version, device->requiredVersion());

    int count = 0;
    ASSERT_EQ(device->getNumDrivers(&count), kSoundOk);
    EXPECT_EQ(count, 1);
    std::uint32_t caps = 99;
    int mode = 0;
    ASSERT_EQ(device->getDriverCaps(0, &caps, &mode), kSoundOk);
    EXPECT_EQ(caps, 0u);
    EXPECT_EQ(mode, kSpeakerStereo);
    EXPECT_EQ(device->getDriverCaps(1, &caps, &mode), kSoundBadValue);

    EXPECT_EQ(device->setSpeakerMode(kSpeaker5Point1), kSoundUnsupported);
    EXPECT_EQ(device->setSpeakerMode(kSpeakerStereo), kSoundOk);
    EXPECT_EQ(device->init(0), kSoundBadValue);
    ASSERT_EQ(device->init(Sound::kChannels), kSoundOk);
    ALCcontext* context = alcGetCurrentContext();
    ASSERT_NE(context, nullptr);
    ALCint mono = 0;
    alcGetIntegerv(alcGetContextsDevice(context), ALC_MONO_SOURCES, 1, &mono);
    EXPECT_GE(mono, Sound::kChannels);
    EXPECT_EQ(device->init(Sound::kChannels), kSoundFailed);  // one context per device
    EXPECT_EQ(device->setSpeakerMode(kSpeakerStereo), kSoundFailed);

    char name[Sound::kDeviceNameSize];
    ASSERT_EQ(device->getDriverName(0, name, sizeof name), kSoundOk);
    EXPECT_STREQ(name, "OpenAL Soft");
    char cut[5];
    ASSERT_EQ(device->getDriverName(0, cut, sizeof cut), kSoundOk);
    EXPECT_STREQ(cut, "Open");
    EXPECT_EQ(device->getDriverName(0, cut, 0), kSoundBadValue);

    device->release();
    EXPECT_EQ(alcGetCurrentContext(), nullptr);
    EXPECT_EQ(device->getVersion(&version), kSoundNotReady);
    device->release();  // a second release is harmless
}

TEST(OpenAlDevice, EmulatedMixingBufferStillGivesAContext) {
    useNullOutput();
    auto device = makeSystemSoundDevice();
    ASSERT_EQ(device->create(), kSoundOk);
    EXPECT_EQ(device->setDSPBufferSize(0, Sound::kDspBuffers), kSoundBadValue);
    EXPECT_EQ(device->setDSPBufferSize(Sound::kDspBufferSamples, 0), kSoundBadValue);
    ASSERT_EQ(device->setDSPBufferSize(Sound::kDspBufferSamples, Sound::kDspBuffers), kSoundOk);
    EXPECT_EQ(device->init(Sound::kChannels), kSoundOk);
    EXPECT_NE(alcGetCurrentContext(), nullptr);
    device->release();
}

// --- The start-up on the real library ---

class SoundOnOpenAl : public SoundLogTest {
protected:
    void SetUp() override {
        useNullOutput();
        SoundLogTest::SetUp();
    }
    void loadConfig(const std::string& text) {
        const std::string path = at("velmar.cfg");
        std::ofstream(path, std::ios::binary) << text;
        ASSERT_NE(CRConf::Create(path), nullptr);
    }
    using Lines = std::vector<std::string>;
};

TEST_F(SoundOnOpenAl, NullOutputStartsInStereoNamingTheDevice) {
    Sound* sound = Sound::Create();
    EXPECT_TRUE(sound->enabled());
    EXPECT_TRUE(sound->hasSystem());
    EXPECT_EQ(soundLines(), (Lines{"(INFO) Sound: Initialization done.",
                                   "(INFO) Sound: in 'Stereo' mode, using device: 'OpenAL Soft'"}));
    Sound::Release();
    EXPECT_EQ(alcGetCurrentContext(), nullptr);
}

TEST_F(SoundOnOpenAl, ConfigurationSwitchesSoundOffBeforeOpeningADevice) {
    loadConfig("SoundDisabled = true\nSoundForceStereo = true\n");
    Sound* sound = Sound::Create();
    EXPECT_FALSE(sound->enabled());
    EXPECT_FALSE(sound->hasSystem());
    EXPECT_EQ(soundLines(), Lines{"(INFO) Sound Turned off by Configuration"});
}

TEST_F(SoundOnOpenAl, ConfiguredForcedStereoIsLogged) {
    loadConfig("SoundDisabled = false\nSoundForceStereo = true\n");
    EXPECT_TRUE(Sound::Create()->enabled());
    EXPECT_EQ(soundLines(), (Lines{"(INFO) Sound: Always Stereo Enabled by Config",
                                   "(INFO) Sound: Initialization done.",
                                   "(INFO) Sound: in 'Stereo' mode, using device: 'OpenAL Soft'"}));
}

// A driver that does not exist stands for a machine without audio. The
// child picks it before its first OpenAL call and shows its log on stderr.
TEST_F(SoundOnOpenAl, MachineWithoutAudioRunsSilentlyWithAWarning) {
    EXPECT_EXIT(
        {
            ::setenv("ALSOFT_DRIVERS", "no-such-driver", 1);
            Sound* sound = Sound::Create();
            const bool silent = !sound->enabled() && !sound->hasSystem();
            std::fputs(logText().c_str(), stderr);
            std::fflush(stderr);
            std::_Exit(silent ? 0 : 3);
        },
        ::testing::ExitedWithCode(0),
        "\\(WARN\\) Sound: No Devices found - disabling sound!\r\n");
}

}  // namespace
}  // namespace velmar
