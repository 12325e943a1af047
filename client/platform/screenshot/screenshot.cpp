// Screenshot naming, the writer thread and the client's one writer.
#include "client/platform/screenshot/screenshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/runtime.h"
#include "client/platform/screenshot/image_writers_internal.h"

namespace velmar {
namespace {

bool makeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// Creates the first free name exclusively: a name taken by an earlier
// screenshot, or by another writer in the same instant, moves on to the next
// counter. Returns the descriptor, or -1 with `name` holding the name tried.
int createFreshFile(const std::string& folder, ScreenshotFormat format, std::string* name) {
    for (unsigned counter = 0;; ++counter) {
        *name = screenshotFileName(folder, counter, format);
        const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) return fd;
        if (errno != EEXIST || counter == ~0u) return -1;
    }
}

std::unique_ptr<ScreenshotWriter> g_writer;

}  // namespace

// --- Names ---

std::string screenshotFolder(const std::string& root, std::time_t when) {
    std::tm utc{};
    ::gmtime_r(&when, &utc);
    char month[32];
    std::snprintf(month, sizeof month, "%04u-%02u", static_cast<unsigned>(utc.tm_year + 1900),
                  static_cast<unsigned>(utc.tm_mon + 1));
    return root + "/ScreenShots/" + month + "/";
}

std::string screenshotFileName(const std::string& folder, unsigned counter,
                               ScreenshotFormat format) {
    char file[48];
    std::snprintf(file, sizeof file, "ScreenShot%04u.%s", counter,
                  format == ScreenshotFormat::kPng ? "png" : "tga");
    return folder + file;
}

// --- Writing ---

std::string writeScreenshot(const ScreenshotOptions& options, int width, int height,
                            std::uint8_t* pixels) {
    const std::time_t now = options.clock ? options.clock() : std::time(nullptr);
    const std::string folder = screenshotFolder(options.root, now);
    makeFolder(options.root + "/ScreenShots");
    makeFolder(folder);

    std::string name;
    const int fd = createFreshFile(folder, options.format, &name);
    if (fd < 0) {
        Message(kLogWarn, "Screen '%s' cannot be saved. - Create Error", name.c_str());
        return std::string();
    }
    EncodeResult result = options.format == ScreenshotFormat::kPng
                              ? encodePng(fd, width, height, pixels)
                              : encodeTga(fd, width, height, pixels);
    if (::close(fd) != 0 && result == EncodeResult::kOk) result = EncodeResult::kWriteError;
    if (result == EncodeResult::kOk) {
        Message(kLogInfo, "Screenshot '%s' saved.", name.c_str());
        return name;
    }
    switch (result) {
    case EncodeResult::kPngStruct:
        Message(kLogWarn, "Screen '%s' cannot be saved. - PNG Error #1", name.c_str());
        break;
    case EncodeResult::kPngInfo:
        Message(kLogWarn, "Screen '%s' cannot be saved. - PNG Error #2", name.c_str());
        break;
    default:
        Message(kLogWarn, "Screen '%s' cannot be saved. - Write Error", name.c_str());
        break;
    }
    ::unlink(name.c_str());
    return std::string();
}

// --- Writer thread ---

ScreenshotWriter::ScreenshotWriter(const ScreenshotOptions& options) : m_options(options) {}

ScreenshotWriter::~ScreenshotWriter() { wait(); }

void ScreenshotWriter::wait() {
    if (!m_thread.joinable()) return;
    // An exit begun on the writer thread itself cannot wait for it.
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();
        return;
    }
    m_thread.join();
}

bool ScreenshotWriter::request(int width, int height, const FrameReader& reader) {
    if (m_busy.load()) return false;
    if (width < 1 || height < 1 || width > kScreenshotMaxSide || height > kScreenshotMaxSide)
        return false;
    m_busy.store(true);
    wait();  // the previous writer has finished; collect its thread
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
    auto* pixels = static_cast<std::uint8_t*>(allocate(bytes));
    if (reader) reader(width, height, pixels);
    try {
        m_thread = std::thread(&ScreenshotWriter::run, this, width, height, pixels);
    } catch (const std::system_error&) {
        Message(kLogWarn, "Screenshot: writer thread cannot be started");
        release(pixels);
        m_busy.store(false);
        return false;
    }
    return true;
}

void ScreenshotWriter::run(int width, int height, std::uint8_t* pixels) {
    setThreadPriority(ThreadPriority::Lowest);
    writeScreenshot(m_options, width, height, pixels);
    release(pixels);
    m_busy.store(false);
}

// --- The client's one writer ---

void createScreenshotSettings() {
    ScreenshotOptions options;
    if (CRConf* conf = CRConf::instance())
        options.format = conf->GetInt(RCONF_SCREENSHOTFORMAT) == 1 ? ScreenshotFormat::kPng
                                                                   : ScreenshotFormat::kTga;
    g_writer.reset(new ScreenshotWriter(options));
}

void releaseScreenshotSettings() { g_writer.reset(); }

bool requestScreenshot(int width, int height, const FrameReader& reader) {
    return g_writer && g_writer->request(width, height, reader);
}

bool screenshotBusy() { return g_writer && g_writer->busy(); }

}  // namespace velmar
