// Screenshots: F12 saves the frame just drawn as PNG or uncompressed TGA in
// "./ScreenShots/YYYY-MM/ScreenShotNNNN.png|tga" (UTC month, counter from 0,
// five digits after 9999). The frame is read on the main thread through a
// FrameReader; encoding and writing run on a writer thread of lowest priority.
//
// Ownership: request() allocates the pixel buffer with velmar::allocate(), the
// writer thread owns and frees it. One screenshot at a time: a request while
// the previous one is still being written is refused without a message.
// Each file is created exclusively, so an existing screenshot is never
// replaced; a failed write logs a WARN line and leaves no partial file.
//
// request(), the settings calls and the destructor belong to the main thread;
// busy() may be asked from any thread. Nothing here calls GL: the window layer
// passes readFrameGL() (screenshot_gl.h) as the reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

namespace velmar {

// Fills `pixels` with width x height RGB pixels of 3 bytes, rows packed, the
// bottom row of the screen first (as glReadPixels returns them).
using FrameReader = std::function<void(int width, int height, std::uint8_t* pixels)>;

enum class ScreenshotFormat : int { kTga = 0, kPng = 1 };

// Window sizes a screenshot accepts (a TGA header holds 16-bit sizes).
constexpr int kScreenshotMaxSide = 65535;

struct ScreenshotOptions {
    ScreenshotFormat format = ScreenshotFormat::kPng;
    std::string root = ".";                   // ScreenShots/ is made below it
    std::function<std::time_t()> clock;       // empty: the system time
};

// "<root>/ScreenShots/YYYY-MM/" for the UTC month of `when`.
std::string screenshotFolder(const std::string& root, std::time_t when);
// "<folder>ScreenShot%04u.png" or ".tga".
std::string screenshotFileName(const std::string& folder, unsigned counter,
                               ScreenshotFormat format);

// Writes one picture synchronously (what the writer thread runs): makes the
// folders, creates the first free name exclusively, encodes, and logs INFO
// "Screenshot '%s' saved." or a WARN line. `pixels` (RGB, bottom row first)
// may be changed in place; the caller keeps ownership. Returns the name
// written, empty on failure.
std::string writeScreenshot(const ScreenshotOptions& options, int width, int height,
                            std::uint8_t* pixels);

class ScreenshotWriter {
public:
    explicit ScreenshotWriter(const ScreenshotOptions& options);
    ~ScreenshotWriter();  // waits for a writer still running
    ScreenshotWriter(const ScreenshotWriter&) = delete;
    ScreenshotWriter& operator=(const ScreenshotWriter&) = delete;

    // Reads the frame through `reader` and starts the writer thread. False
    // (nothing read) while busy or for a size outside 1..kScreenshotMaxSide.
    bool request(int width, int height, const FrameReader& reader);
    bool busy() const { return m_busy.load(); }
    // Blocks until no writer is running.
    void wait();

private:
    void run(int width, int height, std::uint8_t* pixels);

    ScreenshotOptions m_options;
    std::atomic<bool> m_busy{false};
    std::thread m_thread;
};

// --- The client's one writer ---

// Start-up: reads `Screenshotformat` (1 = PNG, any other value = TGA; PNG
// when no settings exist) and makes the writer for "./ScreenShots/".
void createScreenshotSettings();
// Shutdown: waits for a writer still running, then drops the writer.
void releaseScreenshotSettings();
// The F12 action; false when refused or before createScreenshotSettings().
bool requestScreenshot(int width, int height, const FrameReader& reader);
bool screenshotBusy();

}  // namespace velmar
