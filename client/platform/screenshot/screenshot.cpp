// Screenshot naming, the writer thread and the client's one writer.
#include "client/platform/screenshot/screenshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// The picture is written into a file without a name in the folder (a named
// temporary beside the pictures where the file system has no such files),
// so a crash or a kill mid-write leaves no cut-off picture under a
// picture's name. Returns the descriptor, or -1.
int createUnnamedFile(const std::string& folder, std::string* temporary) {
    temporary->clear();
    // Naming an unnamed file goes through /proc/self/fd.
    if (::access("/proc/self/fd", X_OK) == 0) {
        const int fd = ::open(folder.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0644);
        if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    }
    std::string name = folder + ".ScreenShot.XXXXXX";
    const int named = ::mkostemp(&name[0], O_CLOEXEC);
    if (named < 0) return -1;
    ::fchmod(named, 0644);
    *temporary = name;
    return named;
}

// The first counter whose name nothing holds yet (a dangling link holds it).
unsigned firstFreeCounter(const std::string& folder, ScreenshotFormat format) {
    struct stat st;
    unsigned counter = 0;
    while (counter != ~0u && ::lstat(screenshotFileName(folder, counter, format).c_str(), &st) == 0) ++counter;
    return counter;
}

// Gives the whole file the first free name from `counter` on: a name taken
// meanwhile by another writer moves on to the next counter, since a link
// never replaces what is there. On a drive without hard links (FAT) the
// named temporary itself is renamed, never over another file, and
// `temporary` is cleared. Returns false with `name` holding the name tried.
bool linkFirstFreeName(int fd, std::string* temporary, const std::string& folder, ScreenshotFormat format,
                       unsigned counter, std::string* name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    bool links = true;
    for (;; ++counter) {
        *name = screenshotFileName(folder, counter, format);
        int linked = -1;
        if (temporary->empty()) {
            linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name->c_str(), AT_SYMLINK_FOLLOW);
        } else {
            if (links) linked = ::link(temporary->c_str(), name->c_str());
            if (links && linked != 0 && (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)) links = false;
            if (!links) {
                linked = ::renameat2(AT_FDCWD, temporary->c_str(), AT_FDCWD, name->c_str(), RENAME_NOREPLACE);
                // A drive that cannot refuse to replace: the name is looked
                // at first, which only another writer at the same moment beats.
                struct stat st;
                if (linked != 0 && (errno == EINVAL || errno == ENOSYS)) {
                    if (::lstat(name->c_str(), &st) == 0)
                        errno = EEXIST;
                    else
                        linked = ::rename(temporary->c_str(), name->c_str());
                }
                if (linked == 0) temporary->clear();
            }
        }
        if (linked == 0) return true;
        if (errno != EEXIST || counter == ~0u) return false;
    }
}

// The folder's new entry on disk, where the picture's bytes already are.
void syncFolder(const std::string& folder) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    ::fsync(dir);
    ::close(dir);
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

    std::string temporary;
    const int fd = createUnnamedFile(folder, &temporary);
    const int createError = errno;
    const unsigned counter = firstFreeCounter(folder, options.format);
    std::string name = screenshotFileName(folder, counter, options.format);
    if (fd < 0) {
        Message(kLogWarn, "Screen '%s' cannot be saved. - Create Error", name.c_str());
        // The player learns why: a file where the folder should be, a
        // full or read-only drive, permissions.
        Message(kLogWarn, "Screenshot: nothing can be written in '%s': %s", folder.c_str(), std::strerror(createError));
        return std::string();
    }
    EncodeResult result = options.format == ScreenshotFormat::kPng
                              ? encodePng(fd, width, height, pixels)
                              : encodeTga(fd, width, height, pixels);
    if (result == EncodeResult::kOk && ::fsync(fd) != 0) result = EncodeResult::kWriteError;
    bool named = false;
    if (result == EncodeResult::kOk) named = linkFirstFreeName(fd, &temporary, folder, options.format, counter, &name);
    if (::close(fd) != 0 && result == EncodeResult::kOk) result = EncodeResult::kWriteError;
    if (!temporary.empty()) ::unlink(temporary.c_str());
    if (result == EncodeResult::kOk && named) {
        syncFolder(folder);
        Message(kLogInfo, "Screenshot '%s' saved.", name.c_str());
        return name;
    }
    if (named) ::unlink(name.c_str());
    switch (result) {
    case EncodeResult::kOk:
        Message(kLogWarn, "Screen '%s' cannot be saved. - Create Error", name.c_str());
        break;
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
