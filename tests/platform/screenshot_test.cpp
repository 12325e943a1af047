// Screenshots: PNG and TGA files read back, odd widths, exclusive naming,
// failure cleanup (no partial file, no "saved" line), the busy flag and a
// shutdown that waits for the writer.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/assets/tga.h"
#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/runtime.h"
#include "client/platform/screenshot/screenshot.h"
#include "tests/support/child_process.h"
#include "tests/support/logged_test.h"
#include "tests/support/xvfb_display.h"

namespace velmar {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::time_t kMay2012 = 1336000000;  // 2012-05-02 UTC

// --- Helpers ---

// RGB rows bottom row first, as GL gives them; every pixel distinct.
Bytes frame(int width, int height) {
    Bytes px(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &px[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(x * 7 + y);
            p[1] = static_cast<std::uint8_t>(y * 13 + 1);
            p[2] = static_cast<std::uint8_t>(x ^ (y * 3));
        }
    return px;
}

// The same frame as RGB rows top row first.
Bytes topFirst(const Bytes& bottomUp, int width, int height) {
    Bytes out;
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    for (int y = height - 1; y >= 0; --y)
        out.insert(out.end(), bottomUp.begin() + y * stride, bottomUp.begin() + (y + 1) * stride);
    return out;
}

using quask_test::readBytes;

// RGB top row first, or empty when gdk-pixbuf cannot read the file (PNG or
// TGA; it honours the TGA origin).
Bytes decodePicture(const std::string& path, int* width, int* height) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    if (!pixbuf) return Bytes();
    *width = gdk_pixbuf_get_width(pixbuf);
    *height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    Bytes out;
    for (int y = 0; y < *height; ++y)
        for (int x = 0; x < *width; ++x)
            out.insert(out.end(), pixels + y * stride + x * channels, pixels + y * stride + x * channels + 3);
    g_object_unref(pixbuf);
    return out;
}

// RGB top row first as ImageMagick shows the file, or empty when it cannot.
// Its TGA reader leaves the origin bit to -auto-orient.
Bytes imageMagickRgb(const std::string& path) {
    int code = -1;
    const std::string out =
        quask_test::runTool({"convert", path, "-auto-orient", "-depth", "8", "rgb:-"}, &code);
    return code == 0 ? Bytes(out.begin(), out.end()) : Bytes();
}

std::uint32_t bigEndian32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Holds the writer thread at its first step until opened.
class Gate {
public:
    std::time_t waitThenTime() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_open; });
        return kMay2012;
    }
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
};

class ScreenshotTest : public quask_test::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        m_month = m_dir + "/ScreenShots/2012-05/";
    }
    ScreenshotOptions options(ScreenshotFormat format) const {
        ScreenshotOptions o;
        o.format = format;
        o.root = m_dir;
        o.clock = [] { return kMay2012; };
        return o;
    }
    std::string log() const { return quask_test::readFile(m_dir + "/LastRun.log"); }
    bool logHas(const std::string& line) const { return log().find(line + "\r\n") != std::string::npos; }

    std::string m_month;
    const bool m_imageMagick = !quask_test::findProgram("convert").empty();
};

// --- Files ---

TEST_F(ScreenshotTest, PngHoldsTheFrameTopRowFirstAtOddWidths) {
    for (int width : {1, 3, 801}) {
        SCOPED_TRACE(width);
        const int height = 5;
        Bytes px = frame(width, height);
        const Bytes expected = topFirst(px, width, height);
        const std::string name = writeScreenshot(options(ScreenshotFormat::kPng), width, height, px.data());
        ASSERT_FALSE(name.empty());
        EXPECT_TRUE(logHas("(INFO) Screenshot '" + name + "' saved."));
        const Bytes file = readBytes(name);
        ASSERT_GT(file.size(), 33u);
        EXPECT_EQ(bigEndian32(file, 16), static_cast<std::uint32_t>(width));  // IHDR
        EXPECT_EQ(bigEndian32(file, 20), 5u);
        EXPECT_EQ(file[24], 8);  // bit depth
        EXPECT_EQ(file[25], 2);  // colour type RGB
        EXPECT_EQ(file[28], 0);  // not interlaced
        int w = 0, h = 0;
        EXPECT_EQ(decodePicture(name, &w, &h), expected);
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        if (m_imageMagick) {
            EXPECT_EQ(imageMagickRgb(name), expected);
        }
    }
}

TEST_F(ScreenshotTest, TgaStoresTheBottomRowFirstInBgr) {
    const int width = 5, height = 3;
    Bytes px = frame(width, height);
    const Bytes original = px;
    const std::string name = writeScreenshot(options(ScreenshotFormat::kTga), width, height, px.data());
    ASSERT_EQ(name, m_month + "ScreenShot0000.tga");
    const Bytes file = readBytes(name);
    ASSERT_EQ(file.size(), 18u + original.size());
    const Bytes header = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 3, 0, 24, 0};
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 18), header);
    for (std::size_t i = 0; i < original.size(); i += 3) {
        ASSERT_EQ(file[18 + i], original[i + 2]) << i;
        ASSERT_EQ(file[18 + i + 1], original[i + 1]) << i;
        ASSERT_EQ(file[18 + i + 2], original[i]) << i;
    }
    // Readers we did not write show the screen, top row first; so does our
    // own cursor decoder.
    const Bytes top = topFirst(original, width, height);
    int pw = 0, ph = 0;
    EXPECT_EQ(decodePicture(name, &pw, &ph), top);
    if (m_imageMagick) {
        EXPECT_EQ(imageMagickRgb(name), top);
    }
    std::uint32_t w = 0, h = 0;
    std::uint8_t* rgba = tex_LoadTGA(file.size(), file.data(), &w, &h);
    ASSERT_NE(rgba, nullptr);
    for (std::size_t p = 0; p < top.size() / 3; ++p)
        EXPECT_EQ(Bytes(rgba + p * 4, rgba + p * 4 + 3), Bytes(top.begin() + p * 3, top.begin() + p * 3 + 3));
    release(rgba);
}

// --- Names ---

TEST(ScreenshotNames, MonthFolderUsesUtcAndCounterGrowsToFiveDigits) {
    const char* savedTz = std::getenv("TZ");
    const std::string saved = savedTz ? savedTz : "";
    ::setenv("TZ", "XYZ-14", 1);  // fourteen hours ahead of UTC
    ::tzset();
    EXPECT_EQ(screenshotFolder(".", 1335830399), "./ScreenShots/2012-04/");  // 23:59:59 UTC
    EXPECT_EQ(screenshotFolder(".", 1335830400), "./ScreenShots/2012-05/");
    if (savedTz) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(screenshotFileName("d/", 7, ScreenshotFormat::kPng), "d/ScreenShot0007.png");
    EXPECT_EQ(screenshotFileName("d/", 10000, ScreenshotFormat::kTga), "d/ScreenShot10000.tga");
}

TEST_F(ScreenshotTest, TakenNamesAreSkippedAndNeverReplaced) {
    fs::create_directories(m_month);
    std::ofstream(m_month + "ScreenShot0000.png") << "older";
    std::ofstream(m_month + "ScreenShot0002.png") << "older";
    Bytes px = frame(2, 2);
    EXPECT_EQ(writeScreenshot(options(ScreenshotFormat::kPng), 2, 2, px.data()), m_month + "ScreenShot0001.png");
    EXPECT_EQ(writeScreenshot(options(ScreenshotFormat::kPng), 2, 2, px.data()), m_month + "ScreenShot0003.png");
    EXPECT_EQ(quask_test::readFile(m_month + "ScreenShot0000.png"), "older");
    EXPECT_EQ(quask_test::readFile(m_month + "ScreenShot0002.png"), "older");
    // The other format counts on its own.
    EXPECT_EQ(writeScreenshot(options(ScreenshotFormat::kTga), 2, 2, px.data()), m_month + "ScreenShot0000.tga");
}

// --- Failures ---

// Where the file system has no unnamed files (openat with O_TMPFILE fails,
// as a seccomp filter makes it here), the picture goes through a hidden
// temporary that is gone afterwards; where it has no hard links either
// (FAT), the temporary itself takes the name, never over another file.
TEST_F(ScreenshotTest, WithoutUnnamedFilesAHiddenTemporaryIsUsedAndRemoved) {
    for (const bool hardLinks : {true, false}) {
        SCOPED_TRACE(hardLinks);
        fs::remove_all(m_month);
        fs::create_directories(m_month);
        std::ofstream(m_month + "ScreenShot0000.png") << "older";
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::uint32_t onLink = hardLinks ? SECCOMP_RET_ALLOW : SECCOMP_RET_ERRNO | EPERM;
            struct sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
                BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
#ifdef __NR_link
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_link, 2, 0),
#else
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_linkat, 2, 0),
#endif
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_linkat, 1, 0),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                BPF_STMT(BPF_RET | BPF_K, onLink),
            };
            struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
                ::_exit(3);
            if (::open(m_month.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0644) >= 0 || errno != EOPNOTSUPP)
                ::_exit(4);
            Bytes px = frame(5, 3);
            const bool named = writeScreenshot(options(ScreenshotFormat::kPng), 5, 3, px.data()) ==
                                   m_month + "ScreenShot0001.png" &&
                               writeScreenshot(options(ScreenshotFormat::kPng), 5, 3, px.data()) ==
                                   m_month + "ScreenShot0002.png";
            ::_exit(named ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(filesIn(m_month),
                  (std::vector<std::string>{"ScreenShot0000.png", "ScreenShot0001.png", "ScreenShot0002.png"}));
        EXPECT_EQ(quask_test::readFile(m_month + "ScreenShot0000.png"), "older");
        const std::string picture = quask_test::readFile(m_month + "ScreenShot0001.png");
        EXPECT_EQ(picture.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
        EXPECT_EQ(quask_test::readFile(m_month + "ScreenShot0002.png"), picture);
        EXPECT_EQ(fs::status(m_month + "ScreenShot0001.png").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    }
}

TEST_F(ScreenshotTest, FolderThatIsAFileLogsAWarningAndNoSavedLine) {
    fs::create_directories(m_dir + "/ScreenShots");
    std::ofstream(m_dir + "/ScreenShots/2012-05") << "not a folder";
    Bytes px = frame(2, 2);
    EXPECT_EQ(writeScreenshot(options(ScreenshotFormat::kPng), 2, 2, px.data()), "");
    EXPECT_TRUE(logHas("(WARN) Screen '" + m_month + "ScreenShot0000.png' cannot be saved. - Create Error"));
    EXPECT_TRUE(logHas("(WARN) Screenshot: nothing can be written in '" + m_month + "': Not a directory")) << log();
    EXPECT_EQ(log().find("' saved."), std::string::npos) << log();
}

// A child process whose files may not grow past 8 KiB writes a frame that
// does not fit: the partial file must be gone and only the WARN logged.
TEST_F(ScreenshotTest, FullDiskDeletesThePartialFile) {
    for (ScreenshotFormat format : {ScreenshotFormat::kPng, ScreenshotFormat::kTga}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{8192, 8192};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            std::mt19937 rng(7);
            Bytes px(96 * 96 * 3);
            for (auto& b : px) b = static_cast<std::uint8_t>(rng());
            const std::string name = writeScreenshot(options(format), 96, 96, px.data());
            ::_exit(name.empty() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const std::string ext = format == ScreenshotFormat::kPng ? "png" : "tga";
        EXPECT_TRUE(logHas("(WARN) Screen '" + m_month + "ScreenShot0000." + ext +
                           "' cannot be saved. - Write Error"));
        EXPECT_EQ(filesIn(m_month), std::vector<std::string>{});
    }
    EXPECT_EQ(log().find("' saved."), std::string::npos) << log();
}

// The same frame, with the child killed (SIGXFSZ) at the 8 KiB where it
// cannot write on: a picture cut off by a crash must not be left under a
// screenshot's name, nor mistaken for one by the next counter.
TEST_F(ScreenshotTest, KillMidWriteLeavesNoCutOffPicture) {
    fs::create_directories(m_month);
    for (ScreenshotFormat format : {ScreenshotFormat::kPng, ScreenshotFormat::kTga}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            rlimit none{0, 0}, limit{8192, 8192};
            ::setrlimit(RLIMIT_CORE, &none);
            ::setrlimit(RLIMIT_FSIZE, &limit);
            std::mt19937 rng(7);
            Bytes px(96 * 96 * 3);
            for (auto& b : px) b = static_cast<std::uint8_t>(rng());
            writeScreenshot(options(format), 96, 96, px.data());
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    }
    EXPECT_EQ(filesIn(m_month), std::vector<std::string>{});
}

// --- Writer thread ---

TEST_F(ScreenshotTest, RequestsWhileWritingAreRefusedAndGiveOneFile) {
    Gate gate;
    ScreenshotOptions o = options(ScreenshotFormat::kPng);
    o.clock = [&gate] { return gate.waitThenTime(); };
    ScreenshotWriter writer(o);
    int reads = 0;
    const FrameReader reader = [&reads](int w, int h, std::uint8_t* px) {
        ++reads;
        const Bytes f = frame(w, h);
        std::copy(f.begin(), f.end(), px);
    };
    ASSERT_TRUE(writer.request(7, 3, reader));
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(writer.request(7, 3, reader));
    EXPECT_TRUE(writer.busy());
    gate.open();
    writer.wait();
    EXPECT_FALSE(writer.busy());
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(filesIn(m_month), std::vector<std::string>{"ScreenShot0000.png"});
    ASSERT_TRUE(writer.request(7, 3, reader));
    writer.wait();
    EXPECT_EQ(filesIn(m_month), (std::vector<std::string>{"ScreenShot0000.png", "ScreenShot0001.png"}));
}

TEST_F(ScreenshotTest, SizesOutsideTheTgaRangeAreRefusedBeforeReading) {
    ScreenshotWriter writer(options(ScreenshotFormat::kTga));
    bool read = false;
    const FrameReader reader = [&read](int, int, std::uint8_t*) { read = true; };
    EXPECT_FALSE(writer.request(0, 10, reader));
    EXPECT_FALSE(writer.request(10, -1, reader));
    EXPECT_FALSE(writer.request(65536, 1, reader));
    EXPECT_FALSE(read);
    EXPECT_FALSE(writer.busy());
}

TEST_F(ScreenshotTest, ShutdownWaitsForTheWriter) {
    Gate gate;
    ScreenshotOptions o = options(ScreenshotFormat::kTga);
    o.clock = [&gate] { return gate.waitThenTime(); };
    std::thread opener;
    {
        ScreenshotWriter writer(o);
        ASSERT_TRUE(writer.request(4, 4, [](int, int, std::uint8_t* px) { std::fill(px, px + 48, 9); }));
        opener = std::thread([&gate] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            gate.open();
        });
    }
    opener.join();
    EXPECT_EQ(readBytes(m_month + "ScreenShot0000.tga").size(), 18u + 48u);
    EXPECT_TRUE(logHas("(INFO) Screenshot '" + m_month + "ScreenShot0000.tga' saved."));
}

TEST_F(ScreenshotTest, ClientWriterFollowsScreenshotformatAndWritesBelowTheWorkingFolder) {
    EXPECT_FALSE(requestScreenshot(2, 2, nullptr));  // no writer yet
    const std::string cfg = m_dir + "/velmar.cfg";
    std::ofstream(cfg) << "Screenshotformat = 0\n";
    const fs::path savedCwd = fs::current_path();
    fs::current_path(m_dir);
    CRConf::Create(cfg);
    createScreenshotSettings();
    const std::time_t before = std::time(nullptr);
    EXPECT_TRUE(requestScreenshot(3, 2, [](int, int, std::uint8_t* px) { std::fill(px, px + 18, 1); }));
    releaseScreenshotSettings();  // waits for the file
    const std::time_t after = std::time(nullptr);
    CRConf::Destroy();
    fs::current_path(savedCwd);
    EXPECT_FALSE(screenshotBusy());
    const bool found = fs::exists(screenshotFolder(m_dir, before) + "ScreenShot0000.tga") ||
                       fs::exists(screenshotFolder(m_dir, after) + "ScreenShot0000.tga");
    EXPECT_TRUE(found);
    EXPECT_NE(log().find("(INFO) Screenshot './ScreenShots/"), std::string::npos);
}

}  // namespace
}  // namespace velmar
