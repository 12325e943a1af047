#include "client/core/log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "client/core/log_sender_internal.h"
#include "client/core/perf_clock.h"
#include "client/core/runtime.h"
#include "client/core/version.h"
#include "shared/message_box.h"
#include "shared/posix_io.h"
#include "shared/replacing_file.h"

namespace velmar {

namespace {

std::atomic<CLOG*> g_log{nullptr};

constexpr char kRule40[] = "========================================\r\n";
constexpr char kClosing[] =
    "\n> CLOG::Destroy,   Game shutdown nearly complete. || End of debug session\n";

// The log never reports its own failures.
void writeAll(int fd, const char* data, std::size_t size) { (void)quask::writeFully(fd, data, size); }

void writeText(int fd, const char* text) { writeAll(fd, text, std::strlen(text)); }

// vsnprintf into a fixed buffer; the text is cut at the buffer's size.
void formatInto(char* buf, std::size_t size, const char* format, va_list args) {
    int n = std::vsnprintf(buf, size, format, args);
    if (n < 0) buf[0] = '\0';
}

struct UtcNow {
    unsigned month, day, year, hour, minute, second;
};

UtcNow utcNow() {
    time_t t = time(nullptr);
    tm parts{};
    gmtime_r(&t, &parts);
    return UtcNow{static_cast<unsigned>(parts.tm_mon + 1), static_cast<unsigned>(parts.tm_mday),
                  static_cast<unsigned>(parts.tm_year + 1900), static_cast<unsigned>(parts.tm_hour),
                  static_cast<unsigned>(parts.tm_min), static_cast<unsigned>(parts.tm_sec)};
}

// A new file of this process's own, renamed to `path`: a second client of
// the same game directory takes the name over instead of truncating the file
// the first one still writes at its own offset (which would leave its lines
// behind a run of zero bytes). The first one goes on writing to the file it
// has. Where the rename cannot be done the file is opened in place.
int createLogFile(const std::string& logDir, const std::string& path) {
    quask::removeAbandonedTemporariesBeside(path);  // a client killed in between
    const std::string temporary = logDir + "/" + quask::ownTemporaryName("log");
    const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (::rename(temporary.c_str(), path.c_str()) == 0) return fd;
        ::close(fd);
        ::unlink(temporary.c_str());
    }
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

// --- Lifecycle ---

CLOG* CLOG::instance() { return g_log.load(std::memory_order_acquire); }

void CLOG::Create(const std::string& logDir, std::uint16_t port) {
    ::mkdir(logDir.c_str(), 0755);  // an existing directory is fine
    const std::string path = logDir + "/LastRun.log";
    int fd = createLogFile(logDir, path);
    if (fd < 0) {
        quask::showMessageBox("Cannot create LastRun.log. Contact support!", "Fatal Error",
                              quask::BoxIcon::Error, quask::BoxButtons::Ok);
        exitProcess(0);  // an early check: the client never signalled its start
    }
    // One log per process: its object lives in static storage, and its
    // sender is made once and never freed, so a message that races with
    // Destroy on another thread never touches freed memory (and no
    // destructor runs at exit under a sender still at work).
    static CLOG storage;
    CLOG* log = &storage;
    if (!log->m_sender) log->m_sender = new LogSender;
    log->m_file = fd;
    log->m_port = port;

    const UtcNow now = utcNow();
    char date[64];
    std::snprintf(date, sizeof date, "%u/%u/%04u %02u:%02u:%02u", now.month, now.day, now.year,
                  now.hour, now.minute, now.second);
    char line[512];
    std::snprintf(line, sizeof line, "Engine Begin: %s\r\n", date);
    writeText(fd, line);
    std::snprintf(line, sizeof line, "Build String: %s (Build Date: %s)\r\n", versionText(),
                  buildDateText());
    writeText(fd, line);
    writeText(fd, kRule40);

    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        writeText(fd, "~~ NETLOG: Socket Creation failed.\r\n");
    } else {
        log->m_socket = sock;
        log->m_sender->start(sock, port);
        std::snprintf(line, sizeof line,
                      "\n==============================================================\n"
                      "= Velmar Begin @ %s\n= Version: %s (Build Date: %s)\n"
                      "==============================================================\n",
                      date, versionText(), buildDateText());
        LogDatagrams banner;
        banner.text = line;
        banner.slice(0, banner.text.size());
        log->m_sender->post(std::move(banner));
    }
    g_log.store(log, std::memory_order_release);
    // An exit whose handlers never reach Destroy still sends what is queued.
    setExitFlush(&CLOG::Flush);
}

void CLOG::Flush() {
    if (CLOG* log = instance()) log->m_sender->drain();
}

void CLOG::Destroy() {
    CLOG* log = g_log.exchange(nullptr);
    if (!log) return;
    // The object stays (it is static): the exit may run on one thread while
    // another is still inside Message with this pointer. The sender sends
    // what was queued and then drops what comes; the descriptors are taken
    // out next, so such a late call writes nothing.
    log->m_sender->stop();
    const int sock = log->m_socket.exchange(-1);
    if (sock >= 0) {
        LogDatagrams closing;
        closing.text.assign(kClosing, sizeof kClosing);  // 75 characters and the zero byte
        closing.slice(0, closing.text.size());
        LogSender::sendNow(sock, log->m_port, closing);
        ::close(sock);
    }
    const int fd = log->m_file.exchange(-1);
    if (fd >= 0) {
        writeText(fd, kRule40);
        writeText(fd, "Engine Destroy\r\n");
        ::close(fd);
    }
}

// --- Lines ---

const char* CLOG::levelTag(int level) {
    switch (level) {
        case 0: return "";
        case 1: return "";  // no caller uses level 1; it reads like a plain line
        case 2: return "(INFO) ";
        case 3: return "(WARN) ";
        case 4: return "(CRIT) ";
        default: return "(Unknown) ";
    }
}

std::string CLOG::formatPrefix(double seconds, int level) {
    char prefix[kLogPrefixMax + 1];
    std::snprintf(prefix, sizeof prefix, "[%.6f] %s", seconds, levelTag(level));
    return prefix;
}

void CLOG::Message(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    MessageV(level, format, args);
    va_end(args);
}

void CLOG::MessageV(int level, const char* format, va_list args) {
    const int fd = m_file.load();
    if (fd < 0) return;
    char message[kLogMessageMax + 1];
    formatInto(message, sizeof message, format, args);
    const std::string prefix = formatPrefix(PerfClock::seconds(), level);

    // One write per line: concurrent messages may order their lines either
    // way, but never splice one line into another. The file is the durable
    // record, so it is written here and now; the datagrams are queued.
    const std::size_t length = std::strlen(message);
    LogDatagrams line;
    line.text.reserve(prefix.size() + length + 2);
    line.text.append(prefix).append(message, length).append("\r\n");
    writeAll(fd, line.text.data(), line.text.size());

    std::uint64_t sent = 0;
    if (m_socket.load() >= 0) {
        // The datagrams are the prefix, the message and a line feed: the
        // line's own, without the carriage return before it.
        line.slice(0, prefix.size());
        line.slice(prefix.size(), length);
        line.slice(prefix.size() + length + 1, 1);
        sent = m_sender->post(std::move(line));
    }

    if (level == kLogCrit) {
        // Whoever reads the network log sees the line before the box stops us.
        m_sender->waitSent(sent);
        char box[kLogPrefixMax + 1];
        std::snprintf(box, sizeof box,
                      "Critical Log Message Received (Error).\nMessage:\n\n%s\n\nPlease contact Support!",
                      message);
        quask::showMessageBox(box, "Critical Log Message", quask::BoxIcon::Error,
                              quask::BoxButtons::Ok);
    }
}

void CLOG::Trace(bool withLocation, const char* file, unsigned line, const char* function,
                 const char* format, ...) {
    if (m_socket.load() < 0) return;
    char message[kTraceMessageMax + 1];
    va_list args;
    va_start(args, format);
    formatInto(message, sizeof message, format, args);
    va_end(args);
    LogDatagrams trace;
    if (withLocation) {
        char location[kTraceLocationMax + 1];
        std::snprintf(location, sizeof location, "%s@%s:%u: ", function, file, line);
        trace.text = location;
        trace.slice(0, trace.text.size());
    }
    const std::size_t at = trace.text.size();
    trace.text.append(message);
    trace.slice(at, trace.text.size() - at);
    m_sender->post(std::move(trace));
}

namespace {

void copyCut(char* out, std::size_t size, const char* from, std::size_t length) {
    length = std::min(length, size - 1);
    std::memcpy(out, from, length);
    out[length] = '\0';
}

}  // namespace

TraceSite traceSite(const char* prettyFunction, const char* sourcePath) {
    TraceSite site{};
    // The name ends at the first parenthesis outside template brackets and
    // starts after the last blank before it there (the return type's end).
    const char* text = prettyFunction ? prettyFunction : "";
    std::size_t end = 0, start = 0;
    int angle = 0;
    for (; text[end] && !(text[end] == '(' && angle == 0); ++end) {
        if (text[end] == '<') ++angle;
        else if (text[end] == '>' && angle > 0) --angle;
        else if (text[end] == ' ' && angle == 0) start = end + 1;
    }
    copyCut(site.function, sizeof site.function, text + start, end - start);
    const char* path = sourcePath ? sourcePath : "";
    const char* slash = std::strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    const char* dot = std::strrchr(base, '.');
    copyCut(site.file, sizeof site.file, base, dot && dot != base ? dot - base : std::strlen(base));
    return site;
}

void Message(int level, const char* format, ...) {
    CLOG* log = CLOG::instance();
    if (!log) return;
    va_list args;
    va_start(args, format);
    log->MessageV(level, format, args);
    va_end(args);
}

}  // namespace velmar
