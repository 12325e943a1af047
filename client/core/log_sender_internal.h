// The log's datagram sender: every call's datagrams join one queue, in the
// order of the calls, and a thread of the log sends them to 127.0.0.1.
//
// Why a thread: on loopback a datagram to a port nobody listens on is
// answered at once with an ICMP message, so each send costs the caller
// several times what the file line costs. Queueing takes no system call in
// the common case: the thread is woken only when it waits for work.
//
// One call's datagrams go back to back, so the lines of concurrent callers
// never interleave inside a message. The queue is bounded; a caller waits
// for space rather than lose a line. A forked child has no sender thread:
// it sends on the calling thread and leaves the parent's queue to the parent.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmar {

// The datagrams of one call: up to three slices of one text, sent in order.
struct LogDatagrams {
    struct Slice {
        std::uint32_t offset, size;
    };
    std::string text;
    Slice slices[3] = {};
    int count = 0;

    void slice(std::size_t offset, std::size_t size) {
        slices[count++] = Slice{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(size)};
    }
};

class LogSender {
public:
    // Text and bookkeeping queued but not yet sent, at most.
    static constexpr std::size_t kQueueBytes = 4u << 20;

    // Sends through `sock` to 127.0.0.1:`port` from now on, from a thread of
    // its own, or from the calling thread when that thread cannot start.
    void start(int sock, std::uint16_t port);
    // Queues the datagrams, waiting while the queue is full, and returns
    // their number for waitSent(). Returns 0 when they are sent already (no
    // thread) or dropped (not started, or stopping).
    std::uint64_t post(LogDatagrams&& datagrams);
    // Returns once the datagrams numbered up to `number` are sent.
    void waitSent(std::uint64_t number);
    // Returns once everything queued so far is sent.
    void drain();
    // Sends everything queued, ends and joins the thread; later posts are
    // dropped until the next start().
    void stop();

    // Sends on the calling thread; a datagram that cannot be sent is skipped.
    static void sendNow(int sock, std::uint16_t port, const LogDatagrams& datagrams);

private:
    enum class Mode { Off, Threaded, Direct };

    void run();
    static void lockForFork();
    static void unlockAfterFork();
    static void becomeDirectInChild();

    std::mutex m_lock;
    std::condition_variable m_wake;      // the thread waits here for work
    std::condition_variable m_progress;  // callers wait here for space or for their datagrams
    std::vector<LogDatagrams> m_queue;
    std::size_t m_bytes = 0;             // queued and being sent
    std::uint64_t m_queued = 0;          // number of the last datagrams queued
    std::uint64_t m_sent = 0;            // ... and of the last sent
    int m_waiters = 0;                   // callers waiting on m_progress
    bool m_threadWaits = false;          // the thread waits on m_wake and nobody woke it yet
    bool m_stopping = false;
    Mode m_mode = Mode::Off;
    int m_socket = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

}  // namespace velmar
