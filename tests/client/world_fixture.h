// The world on screen, as the client end-to-end tests look at it: the
// client's TGA screenshots read back as pictures, and a windowed client
// driven with xdotool whose screenshots the tests take.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/client/game_fixture.h"

namespace client_test {

// --- Pictures ---

// A 24-bit TGA picture as the client writes its screenshots (rows bottom
// up, BGR).
struct Picture {
    int width = 0, height = 0;
    std::string bytes;
    static constexpr std::size_t kHeader = 18;

    bool load(const std::string& path) {
        bytes = quask_test::readFile(path);
        if (bytes.size() < kHeader) return false;
        auto u8 = [this](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
        width = u8(12) | u8(13) << 8;
        height = u8(14) | u8(15) << 8;
        return u8(0) == 0 && u8(2) == 2 && u8(16) == 24 && (u8(17) & 0x20) == 0 &&
               bytes.size() >= kHeader + static_cast<std::size_t>(width) * height * 3;
    }
    bool save(const std::string& path) const {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return static_cast<bool>(out);
    }
    static Picture blank(int width, int height) {
        Picture p;
        p.width = width;
        p.height = height;
        p.bytes.assign(kHeader + static_cast<std::size_t>(width) * height * 3, '\0');
        p.bytes[2] = 2;
        p.bytes[12] = static_cast<char>(width & 0xFF);
        p.bytes[13] = static_cast<char>(width >> 8);
        p.bytes[14] = static_cast<char>(height & 0xFF);
        p.bytes[15] = static_cast<char>(height >> 8);
        p.bytes[16] = 24;
        return p;
    }
    std::size_t offset(int x, int y) const {
        return kHeader + (static_cast<std::size_t>(height - 1 - y) * width + x) * 3;
    }
    // Channel c (0 red, 1 green, 2 blue) at (x, y), y from the top.
    int channel(int x, int y, int c) const {
        return static_cast<unsigned char>(bytes[offset(x, y) + 2 - c]);
    }
    // The largest of the three channels.
    int brightness(int x, int y) const {
        return std::max({channel(x, y, 0), channel(x, y, 1), channel(x, y, 2)});
    }
    int maxIn(int x0, int y0, int x1, int y1) const {
        int best = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) best = std::max(best, brightness(x, y));
        return best;
    }
    int countAbove(int x0, int y0, int x1, int y1, int level) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) n += brightness(x, y) > level;
        return n;
    }
    // Pixels of the rectangle whose colour differs from `other`'s by more
    // than `level` in some channel.
    int countChanged(const Picture& other, int x0, int y0, int x1, int y1, int level) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                for (int c = 0; c < 3; ++c)
                    if (std::abs(channel(x, y, c) - other.channel(x, y, c)) > level) {
                        ++n;
                        break;
                    }
        return n;
    }
    // Averages of `factor` x `factor` blocks: what the reference keeps.
    Picture downscaled(int factor) const {
        Picture small = blank(width / factor, height / factor);
        for (int y = 0; y < small.height; ++y)
            for (int x = 0; x < small.width; ++x)
                for (int c = 0; c < 3; ++c) {
                    int sum = 0;
                    for (int dy = 0; dy < factor; ++dy)
                        for (int dx = 0; dx < factor; ++dx)
                            sum += channel(x * factor + dx, y * factor + dy, c);
                    small.bytes[small.offset(x, y) + 2 - c] =
                        static_cast<char>((sum + factor * factor / 2) / (factor * factor));
                }
        return small;
    }
};

// The background is black at 0.6 opacity: nothing under it is brighter than
// 0.4 of full, while glyphs are white.
constexpr int kDimmed = 0.4 * 255 + 2;

// The scene statistics' lines with the frames-per-second line off: line i
// (0 the "RName" line) is drawn at y = 12 (i + 1), 12 pixels high.
constexpr int kOverlayTextRight = 250;
inline int lineTop(int line) { return 12 * (line + 1); }
constexpr int kCellPosLine = 2, kCameraLine = 3, kMouseLine = 5;

// --- Fixture ---

class WorldGame : public WindowedGame {
protected:
    // Starts the client, gives its window the keyboard and waits until it
    // holds the mouse: it then keeps the pointer in its middle. The pointer
    // starts in the middle of the screen (512, 384), inside the window and
    // away from the window's middle.
    void startFocused() {
        startClient();
        m_window = findWindow(kEndMs);
        ASSERT_FALSE(m_window.empty());
        xdotool({"windowfocus", m_window});
        ASSERT_TRUE(pointerInTheMiddle()) << "the window did not take the mouse";
    }
    // Holding the mouse, the window puts the pointer back in its middle
    // (400, 300) once it has read the pointer's movement.
    static bool pointerInTheMiddle() {
        for (int waited = 0; waited < kEndMs; waited += 20) {
            if (quask_test::runTool({"xdotool", "getmouselocation"}).rfind("x:400 y:300 ", 0) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    static void xdotool(std::vector<std::string> args) {
        args.insert(args.begin(), "xdotool");
        int code = -1;
        quask_test::runTool(args, &code);
        EXPECT_EQ(code, 0) << args[1];
    }
    // The screenshot of the frame drawn after every event sent so far.
    // A screenshot shows the frame drawn before the poll that reads its F12,
    // and events sent just before may come in that same poll: the first
    // screenshot only makes sure they were read.
    Picture shoot() {
        takeScreenshot();
        return takeScreenshot();
    }
    // F12, then the screenshot once its file is complete. The writer, at a
    // low priority, is still busy a moment after its log line and drops an
    // F12 then: a key without a screenshot is pressed again. The key's
    // release asks for a picture too, which comes a frame later when the
    // two are read in different polls: the last picture of a quiet moment
    // is taken, so no later call mistakes it for its own.
    Picture takeScreenshot() {
        const std::string key = "(INFO) Screenshot '", tail = "' saved.";
        auto count = [&] {
            const std::string text = log();
            int n = 0;
            for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
                ++n;
            return n;
        };
        const int before = count();
        bool saved = false;
        for (int waited = 0; waited < kEndMs && !saved; waited += 20) {
            if (waited % 3000 == 0) xdotool({"key", "F12"});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            saved = count() > before;
        }
        for (int quiet = 0, seen = count(); saved && quiet < 250; quiet += 20) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (count() == seen) continue;
            seen = count();
            quiet = 0;
        }
        Picture picture;
        EXPECT_TRUE(saved) << log();
        const std::string text = log();
        const std::size_t at = text.rfind(key);
        if (!saved || at == std::string::npos) return picture;
        const std::size_t end = text.find(tail, at);
        const std::string name = text.substr(at + key.size(), end - at - key.size());
        EXPECT_TRUE(picture.load(m_dir + "/" + name)) << name;
        return picture;
    }
    void quit() {
        xdotool({"key", "Escape"});
        EXPECT_EQ(m_client->waitExit(kEndMs), 1);
    }
    // The software cursor starts at the window's middle; movement past the
    // window's corner clamps it to (800, 600) from anywhere. The pointer
    // stays inside the window: one move takes the cursor at most (399, 299)
    // further, and another before the pointer is back in the middle nothing.
    void parkCursorInCorner() {
        for (int i = 0; i < 2; ++i) {
            xdotool({"mousemove_relative", "--", "2000", "2000"});
            EXPECT_TRUE(pointerInTheMiddle()) << "the window did not read the movement";
        }
    }
    // Water frames and waves advance on a timer; one that never fires keeps
    // the water as the map draws it at start.
    void freezeWater() {
        const std::string path = m_dir + "/data/def/Water.ini";
        std::string text = quask_test::readFile(path);
        const std::string key = "FrameTime=";
        const std::size_t at = text.find(key);
        ASSERT_NE(at, std::string::npos) << text;
        const std::size_t end = text.find_first_of("\r\n", at);
        text.replace(at, end - at, key + "2000000000");
        std::ofstream(path, std::ios::trunc) << text;
    }
    // Everything that changes the picture, so a changed default cannot.
    void writeFixedConfig(bool sceneStats, bool lightmaps = true, bool lockedInWindow = true,
                          bool multitexture = true) {
        auto flag = [](bool on) { return on ? "true\n" : "false\n"; };
        writeConfig(std::string("Width = 800\nHeight = 600\nMultisample = 0\nTextureDetaillevel = 3\n"
                                "UseMultiTexture = ") +
                    flag(multitexture) +
                    "CubeResolution = 8\nAlternateGroundCursorCollision = true\nScreenshotformat = 0\n"
                    "MouseSpeed = 1.000000\nMouseLockedInWindow = " +
                    flag(lockedInWindow) + "MouseCamRotSensitivity = 0.350000\nStat_FPS = false\nStat_Scene = " +
                    flag(sceneStats) + "UseLightmaps = " + flag(lightmaps));
    }
    // Moves the cursor by (dx, dy) from where it stands.
    static void moveBy(int dx, int dy) {
        xdotool({"mousemove_relative", "--", std::to_string(dx), std::to_string(dy)});
    }
    // Changed pixels of overlay line `line` between two screenshots.
    static int lineChanged(const Picture& a, const Picture& b, int line) {
        return a.countChanged(b, 0, lineTop(line), kOverlayTextRight, lineTop(line) + 12, 60);
    }

    std::string m_window;
};

}  // namespace client_test
