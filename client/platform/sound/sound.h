// Sound: the client's sound start-up. Decides once whether sound runs
// (configuration, library version, devices, speaker mode with a stereo
// fallback), logs what it got and keeps the device until Release. Nothing
// plays sound yet: the object is created, initialised and released.
//
// One process-wide instance: Create() at start-up (after CRConf), Release()
// from the shutdown handler. A failure that only concerns the device turns
// sound off with a WARN line; a broken installation ends the process with
// code 1. Main thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "client/platform/sound/sound_device.h"

namespace velmar {

struct SoundSettings {
    bool disabled = false;     // SoundDisabled
    bool forceStereo = false;  // SoundForceStereo
};

class Sound {
public:
    static constexpr int kChannels = 100;
    static constexpr unsigned kDspBufferSamples = 1024;
    static constexpr int kDspBuffers = 10;
    static constexpr std::size_t kDeviceNameSize = 255;

    // Reads both settings from CRConf (defaults without one) and starts the
    // system's device. Always returns the object; enabled() says whether
    // sound runs. A second call returns the existing object.
    static Sound* Create();
    // The same with given settings and device (tests pass a fake one).
    static Sound* Create(const SoundSettings& settings, std::unique_ptr<SoundDevice> device);
    // Releases the device when it exists, then frees the object. No-op
    // without an instance.
    static void Release();
    static Sound* instance();

    bool enabled() const { return m_enabled != 0; }
    // True while the library's system object exists.
    bool hasSystem() const { return m_device != nullptr; }

    static const char* speakerModeName(int mode);

    Sound(const Sound&) = delete;
    Sound& operator=(const Sound&) = delete;

private:
    Sound() = default;
    ~Sound() = default;

    void start(const SoundSettings& settings, std::unique_ptr<SoundDevice> device);
    bool checkVersion();
    bool pickMixing(int* speakerMode);
    void initialise(int speakerMode);
    SoundResult tryMode(int speakerMode);

    std::unique_ptr<SoundDevice> m_device;  // null: no system object
    std::uint8_t m_enabled = 0;
};

}  // namespace velmar
