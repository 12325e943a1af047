// SoundDevice: the edge between the client and the audio library. It offers
// exactly the steps the sound start-up needs (create, version, device count,
// capabilities and speaker mode of a device, mixing buffer, speaker mode,
// initialisation, device name, release) and turns the library's own error
// codes into SoundResult values, so the start-up never sees the library.
//
// makeSystemSoundDevice() gives the Linux implementation (OpenAL Soft);
// building the object calls nothing in the library. The owner calls
// release() once at the end, whatever state the device is in.
//
// Main thread only; the library's own threads are its business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmar {

// Result of every device call; 0 is success. The values end up in log lines.
enum SoundResult : std::uint32_t {
    kSoundOk = 0,
    kSoundFailed = 1,       // the library refused without saying why
    kSoundNoDevice = 2,     // no usable output device on this machine
    kSoundBadValue = 3,     // an argument out of range
    kSoundUnsupported = 4,  // the request cannot be met by this library
    kSoundOutOfMemory = 5,
    kSoundNotReady = 6,     // called before create() or after release()
};

// Speaker-mode numbers, as the log's mode names count them.
enum SpeakerMode : int {
    kSpeakerMono = 1,
    kSpeakerStereo = 2,
    kSpeakerQuad = 3,
    kSpeakerSurround = 4,
    kSpeaker5Point1 = 5,
    kSpeaker7Point1 = 6,
    kSpeakerPrologic = 7,
};

// Capability bit: the device's hardware mixing is emulated in software.
constexpr std::uint32_t kSoundCapsHardwareEmulated = 2;

class SoundDevice {
public:
    virtual ~SoundDevice() = default;

    virtual SoundResult create() = 0;
    // Major version in the upper 16 bits, minor in the next 8, release in
    // the lowest 8.
    virtual SoundResult getVersion(std::uint32_t* version) = 0;
    // The lowest version (same packing) the client works with.
    virtual std::uint32_t requiredVersion() const = 0;
    virtual SoundResult getNumDrivers(int* count) = 0;
    virtual SoundResult getDriverCaps(int driver, std::uint32_t* caps, int* speakerMode) = 0;
    virtual SoundResult setDSPBufferSize(unsigned samples, int buffers) = 0;
    virtual SoundResult setSpeakerMode(int mode) = 0;
    virtual SoundResult init(int maxChannels) = 0;
    // Writes a terminated name cut to `size` - 1 characters.
    virtual SoundResult getDriverName(int driver, char* name, std::size_t size) = 0;
    virtual void release() = 0;
};

std::unique_ptr<SoundDevice> makeSystemSoundDevice();

}  // namespace velmar
