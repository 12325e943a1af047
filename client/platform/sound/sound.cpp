#include "client/platform/sound/sound.h"

#include <new>
#include <utility>

#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/runtime.h"

namespace velmar {

namespace {

Sound* g_sound = nullptr;

}  // namespace

// --- Lifecycle ---

Sound* Sound::Create() {
    SoundSettings settings;
    if (CRConf* conf = CRConf::instance()) {
        settings.disabled = conf->GetBool(RCONF_SOUNDDISABLED);
        settings.forceStereo = conf->GetBool(RCONF_SOUNDFORCESTEREO);
    }
    return Create(settings, makeSystemSoundDevice());
}

Sound* Sound::Create(const SoundSettings& settings, std::unique_ptr<SoundDevice> device) {
    if (g_sound) return g_sound;
    // Published before the start-up runs: a fatal exit on the way releases
    // whatever the device has reached.
    g_sound = new (allocate(sizeof(Sound))) Sound();
    g_sound->start(settings, std::move(device));
    return g_sound;
}

void Sound::Release() {
    Sound* sound = g_sound;
    if (!sound) return;
    g_sound = nullptr;
    if (sound->m_device) sound->m_device->release();
    sound->~Sound();
    release(sound);
}

Sound* Sound::instance() { return g_sound; }

const char* Sound::speakerModeName(int mode) {
    switch (mode) {
        case kSpeakerMono: return "Mono";
        case kSpeakerStereo: return "Stereo";
        case kSpeakerQuad: return "Quadrophonic";
        case kSpeakerSurround: return "Surround";
        case kSpeaker5Point1: return "5.1";
        case kSpeaker7Point1: return "7.1";
        case kSpeakerPrologic: return "Prologic (5.1)";
        default: return "Unknown";
    }
}

// --- Start-up ---

void Sound::start(const SoundSettings& settings, std::unique_ptr<SoundDevice> device) {
    m_device.reset();
    m_enabled = 0;
    if (settings.disabled) {
        Message(kLogInfo, "Sound Turned off by Configuration");
        return;
    }
    const SoundResult created = device ? device->create() : kSoundNoDevice;
    if (created == kSoundNoDevice) {
        // A machine without audio output runs the game silently.
        Message(kLogWarn, "Sound: No Devices found - disabling sound!");
        return;
    }
    if (created != kSoundOk) {
        Message(kLogCrit, "Sound System Initialization failed: %u", created);
        exitProcess(1);
    }
    m_device = std::move(device);
    if (!checkVersion()) exitProcess(1);

    int count = 0;
    const SoundResult counted = m_device->getNumDrivers(&count);
    if (counted != kSoundOk) {
        Message(kLogCrit,
                "Sound System Initialization failed, failed to retrieve the installed devices (%u)",
                counted);
        exitProcess(1);
    }
    if (count <= 0) {
        Message(kLogWarn, "Sound: No Devices found - disabling sound!");
        return;
    }
    int speakerMode = kSpeakerStereo;
    if (!pickMixing(&speakerMode)) return;
    if (settings.forceStereo) {
        Message(kLogInfo, "Sound: Always Stereo Enabled by Config");
        speakerMode = kSpeakerStereo;
    }
    initialise(speakerMode);
}

bool Sound::checkVersion() {
    std::uint32_t version = 0;
    const SoundResult read = m_device->getVersion(&version);
    if (read != kSoundOk) {
        Message(kLogCrit, "Sound System Initialization failed (get version): %u", read);
        return false;
    }
    const std::uint32_t required = m_device->requiredVersion();
    if (version < required) {
        Message(kLogCrit,
                "Sound System Initialzation failed, Found FMOD Version %08x, need version: %08x",
                version, required);
        return false;
    }
    return true;
}

// Reads device 0's caps and speaker mode and works around emulated hardware
// mixing; false when sound has to stay off.
bool Sound::pickMixing(int* speakerMode) {
    std::uint32_t caps = 0;
    const SoundResult read = m_device->getDriverCaps(0, &caps, speakerMode);
    if (read != kSoundOk) {
        Message(kLogWarn,
                "Sound: failed to retrieve the Device Caps of the default card - disabling sound (%u)",
                read);
        return false;
    }
    if (caps & kSoundCapsHardwareEmulated) {
        Message(kLogWarn, "Sound: System hardware accelleration disabled!");
        // Emulated mixing stutters with the small default buffer.
        const SoundResult sized = m_device->setDSPBufferSize(kDspBufferSamples, kDspBuffers);
        if (sized != kSoundOk) {
            Message(kLogWarn,
                    "Sound: failed to set DSPBuffer size to 1kb (10 buffers); in case of non "
                    "accelleration - disabling sound! (err: %u)",
                    sized);
            return false;
        }
    }
    return true;
}

// At most two attempts: the device's own mode, then stereo. A forced
// stereo mode gets one attempt only.
void Sound::initialise(int speakerMode) {
    SoundResult result = tryMode(speakerMode);
    if (result != kSoundOk && speakerMode != kSpeakerStereo) {
        Message(kLogWarn,
                "Sound: Initialzation with device default speakermode setting failed, retrying "
                "with stereo mode... (%u)",
                result);
        speakerMode = kSpeakerStereo;
        result = tryMode(speakerMode);
    }
    if (result != kSoundOk) {
        Message(kLogCrit, "Sound: Initialization failed (%u)", result);
        exitProcess(1);
    }
    m_enabled = 1;
    Message(kLogInfo, "Sound: Initialization done.");
    char name[kDeviceNameSize] = {};
    if (m_device->getDriverName(0, name, sizeof name) != kSoundOk) name[0] = '\0';
    Message(kLogInfo, "Sound: in '%s' mode, using device: '%s'", speakerModeName(speakerMode), name);
}

// Only the initialisation decides: a mode the library refuses leaves it to
// run in what it can.
SoundResult Sound::tryMode(int speakerMode) {
    (void)m_device->setSpeakerMode(speakerMode);
    return m_device->init(kChannels);
}

}  // namespace velmar
