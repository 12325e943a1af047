// The sound device on OpenAL Soft. "Create" opens the default output device,
// the version is the device's ALC version, the devices are those of the
// full enumeration list (just the default one where the library has no such
// list), and "init" makes a context for the requested number of mono
// sources. This OpenAL cannot report or choose a speaker layout: the device
// is stereo and any other mode is refused.
#include <AL/alc.h>

#include <cstring>

#include "client/platform/sound/sound_device.h"

namespace velmar {

namespace {

// ALC 1.1: the first version with capture and the full device list.
constexpr std::uint32_t kRequiredAlcVersion = (1u << 16) | (1u << 8);
constexpr int kMaxDeviceEntries = 4096;  // bound for a list that never ends

SoundResult fromAlcError(ALCenum error) {
    switch (error) {
        case ALC_INVALID_DEVICE: return kSoundNoDevice;
        case ALC_INVALID_VALUE:
        case ALC_INVALID_ENUM: return kSoundBadValue;
        case ALC_OUT_OF_MEMORY: return kSoundOutOfMemory;
        default: return kSoundFailed;
    }
}

// Names separated by one NUL, the list ended by two.
int countDeviceNames(const ALCchar* list) {
    int entries = 0;
    for (const ALCchar* name = list; *name; name += std::strlen(name) + 1) {
        if (++entries >= kMaxDeviceEntries) break;
    }
    return entries;
}

class OpenAlDevice final : public SoundDevice {
public:
    ~OpenAlDevice() override { release(); }

    SoundResult create() override {
        if (m_device) return kSoundFailed;
        m_device = alcOpenDevice(nullptr);
        // Every way of failing here means there is nothing to play on.
        return m_device ? kSoundOk : kSoundNoDevice;
    }

    SoundResult getVersion(std::uint32_t* version) override {
        if (!m_device) return kSoundNotReady;
        ALCint major = -1, minor = -1;
        alcGetIntegerv(m_device, ALC_MAJOR_VERSION, 1, &major);
        alcGetIntegerv(m_device, ALC_MINOR_VERSION, 1, &minor);
        if (alcGetError(m_device) != ALC_NO_ERROR) return kSoundFailed;
        if (major < 0 || major > 0xFFFF || minor < 0 || minor > 0xFF) return kSoundFailed;
        *version = (static_cast<std::uint32_t>(major) << 16) |
                   (static_cast<std::uint32_t>(minor) << 8);
        return kSoundOk;
    }

    std::uint32_t requiredVersion() const override { return kRequiredAlcVersion; }

    SoundResult getNumDrivers(int* count) override {
        if (!m_device) return kSoundNotReady;
        // Without the full list there is still the default device, open and
        // named by itself.
        const ALCchar* list = alcIsExtensionPresent(nullptr, "ALC_ENUMERATE_ALL_EXT")
                                  ? alcGetString(nullptr, ALC_ALL_DEVICES_SPECIFIER)
                                  : nullptr;
        *count = list ? countDeviceNames(list) : 1;
        return kSoundOk;
    }

    SoundResult getDriverCaps(int driver, std::uint32_t* caps, int* speakerMode) override {
        const SoundResult valid = checkDriver(driver);
        if (valid != kSoundOk) return valid;
        *caps = 0;  // mixing is always done by the library
        *speakerMode = kSpeakerStereo;
        return kSoundOk;
    }

    SoundResult setDSPBufferSize(unsigned samples, int buffers) override {
        if (!m_device) return kSoundNotReady;
        if (m_context) return kSoundFailed;
        if (samples == 0 || buffers <= 0) return kSoundBadValue;
        m_updateSamples = samples;  // one mixing period; the count is the library's
        return kSoundOk;
    }

    SoundResult setSpeakerMode(int mode) override {
        if (!m_device) return kSoundNotReady;
        if (m_context) return kSoundFailed;
        return mode == kSpeakerStereo ? kSoundOk : kSoundUnsupported;
    }

    SoundResult init(int maxChannels) override {
        if (!m_device) return kSoundNotReady;
        if (m_context) return kSoundFailed;
        if (maxChannels <= 0) return kSoundBadValue;
        ALCint attributes[5] = {ALC_MONO_SOURCES, maxChannels, 0, 0, 0};
        if (m_updateSamples != 0) {
            ALCint frequency = 0;
            alcGetIntegerv(m_device, ALC_FREQUENCY, 1, &frequency);
            const long perSecond = frequency > 0 ? frequency / static_cast<long>(m_updateSamples) : 0;
            attributes[2] = ALC_REFRESH;
            attributes[3] = perSecond > 0 ? static_cast<ALCint>(perSecond) : 1;
        }
        alcGetError(m_device);  // start from a clean error state
        m_context = alcCreateContext(m_device, attributes);
        if (!m_context) return fromAlcError(alcGetError(m_device));
        if (!alcMakeContextCurrent(m_context)) {
            alcDestroyContext(m_context);
            m_context = nullptr;
            return kSoundFailed;
        }
        return kSoundOk;
    }

    SoundResult getDriverName(int driver, char* name, std::size_t size) override {
        if (!name || size == 0) return kSoundBadValue;
        name[0] = '\0';
        const SoundResult valid = checkDriver(driver);
        if (valid != kSoundOk) return valid;
        const ALCchar* text = alcGetString(m_device, ALC_DEVICE_SPECIFIER);
        if (!text) return kSoundFailed;
        const std::size_t length = strnlen(text, size - 1);
        std::memcpy(name, text, length);
        name[length] = '\0';
        return kSoundOk;
    }

    void release() override {
        if (m_context) {
            if (alcGetCurrentContext() == m_context) alcMakeContextCurrent(nullptr);
            alcDestroyContext(m_context);
            m_context = nullptr;
        }
        if (m_device) {
            alcCloseDevice(m_device);
            m_device = nullptr;
        }
        m_updateSamples = 0;
    }

private:
    // Only the default device (0) is open, so only it can be described.
    SoundResult checkDriver(int driver) {
        if (!m_device) return kSoundNotReady;
        int count = 0;
        const SoundResult counted = getNumDrivers(&count);
        if (counted != kSoundOk) return counted;
        return driver == 0 && count > 0 ? kSoundOk : kSoundBadValue;
    }

    ALCdevice* m_device = nullptr;
    ALCcontext* m_context = nullptr;
    unsigned m_updateSamples = 0;
};

}  // namespace

std::unique_ptr<SoundDevice> makeSystemSoundDevice() {
    return std::make_unique<OpenAlDevice>();
}

}  // namespace velmar
