// CLOG: the client's log. Each line goes to "./log/LastRun.log" (rewritten at
// every start, "\r\n" line ends) and, as UDP datagrams, to the debug log
// server on 127.0.0.1:6600. Level 4 (CRIT) also shows the blocking
// "Critical Log Message" box on the calling thread; the caller decides what
// happens next.
//
// Any thread may log. One file line is written with one write, so lines of
// concurrent messages never interleave inside a line; the file has the line
// when Message returns. The datagrams leave from a thread of the log, in
// the order the calls queued them, each call's back to back. A CRIT line's
// box shows only once its datagrams are sent; Destroy and the exit routine
// send everything still queued first.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>

namespace velmar {

enum LogLevel : int { kLogPlain = 0, kLogInfo = 2, kLogWarn = 3, kLogCrit = 4 };

constexpr int kLogMessageMax = 2499;   // characters of one formatted message
constexpr int kLogPrefixMax = 2699;
constexpr int kTraceMessageMax = 4095;
constexpr int kTraceLocationMax = 1023;
constexpr std::uint16_t kLogPort = 6600;

class LogSender;

class CLOG {
public:
    // Opens the file under `logDir` and the socket, writes the banners.
    // Shows the fatal box and exits with code 0 when the file cannot be made.
    static void Create(const std::string& logDir = "./log",
                       std::uint16_t port = kLogPort);
    static void Destroy();
    static CLOG* instance();
    // Returns once every datagram queued so far has been sent.
    static void Flush();

    void Message(int level, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    void MessageV(int level, const char* format, va_list args);
    void Trace(bool withLocation, const char* file, unsigned line,
               const char* function, const char* format, ...)
        __attribute__((format(printf, 6, 7)));

    // "[%.6f] %s" with the level's tag.
    static std::string formatPrefix(double seconds, int level);
    static const char* levelTag(int level);

private:
    CLOG() = default;

    std::atomic<int> m_file{-1};
    std::atomic<int> m_socket{-1};
    std::uint16_t m_port = kLogPort;
    LogSender* m_sender = nullptr;  // made once, never freed (see Create)
};

// The levelled log line of every module; does nothing before the log exists.
void Message(int level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Where a trace comes from, in the form its location datagram gives: the
// qualified function out of the compiler's signature text ("void
// velmar::CRConf::Load(const char*)" gives "velmar::CRConf::Load") and the
// source file's name without folders and extension ("client/core/rconf.cpp"
// gives "rconf"). Both are cut to their buffers.
struct TraceSite {
    char function[256];
    char file[64];
};
TraceSite traceSite(const char* prettyFunction, const char* sourcePath);

// A network-only trace from here; the format ends with "\n" where a line is
// wanted.
#define VELMAR_TRACE(...)                                                                   \
    do {                                                                                    \
        if (auto* l_ = ::velmar::CLOG::instance()) {                                        \
            const ::velmar::TraceSite s_ = ::velmar::traceSite(__PRETTY_FUNCTION__, __FILE__); \
            l_->Trace(false, s_.file, __LINE__, s_.function, __VA_ARGS__);                  \
        }                                                                                   \
    } while (0)

}  // namespace velmar
