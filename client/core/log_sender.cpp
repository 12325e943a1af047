#include "client/core/log_sender_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>
#include <utility>

namespace velmar {

namespace {

// The one sender the fork handlers look after (the log has one per process).
std::atomic<LogSender*> g_forkWatched{nullptr};

sockaddr_in loopbackTo(std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

// Reused buffers of one sending thread: a header and a piece per datagram.
struct SendScratch {
    std::vector<iovec> pieces;
    std::vector<mmsghdr> headers;
};

// Sends the calls' datagrams in order with as few system calls as the
// kernel allows; returns the bytes of text they held.
std::size_t sendAll(int sock, sockaddr_in& to, const LogDatagrams* calls, std::size_t count,
                    SendScratch& scratch) {
    scratch.pieces.clear();
    std::size_t bytes = 0;
    for (std::size_t c = 0; c < count; ++c) {
        const LogDatagrams& call = calls[c];
        for (int s = 0; s < call.count; ++s)
            scratch.pieces.push_back(iovec{const_cast<char*>(call.text.data()) + call.slices[s].offset,
                                           call.slices[s].size});
        bytes += call.text.size();
    }
    const std::size_t total = scratch.pieces.size();
    scratch.headers.assign(total, mmsghdr{});
    for (std::size_t i = 0; i < total; ++i) {
        msghdr& h = scratch.headers[i].msg_hdr;
        h.msg_name = &to;
        h.msg_namelen = sizeof to;
        h.msg_iov = &scratch.pieces[i];
        h.msg_iovlen = 1;
    }
    // Send errors (nobody listening, a full buffer) are ignored by design: a
    // datagram that cannot be sent is skipped, as a failed sendto would be.
    for (std::size_t sent = 0; sent < total;) {
        const int n = ::sendmmsg(sock, scratch.headers.data() + sent,
                                 static_cast<unsigned>(std::min<std::size_t>(total - sent, UIO_MAXIOV)),
                                 MSG_NOSIGNAL);
        sent += n > 0 ? static_cast<std::size_t>(n) : 1u;
    }
    return bytes;
}

// What one queued call counts against the bound: its text and its record.
std::size_t weight(const LogDatagrams& call) { return call.text.size() + sizeof(LogDatagrams); }

}  // namespace

void LogSender::sendNow(int sock, std::uint16_t port, const LogDatagrams& datagrams) {
    if (sock < 0) return;
    sockaddr_in to = loopbackTo(port);
    SendScratch scratch;
    sendAll(sock, to, &datagrams, 1, scratch);
}

void LogSender::start(int sock, std::uint16_t port) {
    // A fork copies the queue but not the thread: the child must not wait
    // for a sender it does not have.
    static const bool forkHandled = [this] {
        g_forkWatched.store(this);
        return ::pthread_atfork(lockForFork, unlockAfterFork, becomeDirectInChild) == 0;
    }();
    (void)forkHandled;
    stop();  // a second start replaces the first
    std::lock_guard<std::mutex> lock(m_lock);
    m_socket = sock;
    m_port = port;
    m_stopping = false;
    m_threadWaits = false;
    try {
        m_thread = std::thread(&LogSender::run, this);
        m_mode = Mode::Threaded;
    } catch (const std::system_error&) {
        m_mode = Mode::Direct;  // no thread to spare: the callers send themselves
    }
}

std::uint64_t LogSender::post(LogDatagrams&& datagrams) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_mode == Mode::Direct) {
        const int sock = m_socket;
        const std::uint16_t port = m_port;
        lock.unlock();
        sendNow(sock, port, datagrams);
        return 0;
    }
    const std::size_t size = weight(datagrams);
    // An empty queue takes any call, so even an outsized one never waits for good.
    while (m_mode == Mode::Threaded && !m_stopping && m_bytes > 0 && m_bytes + size > kQueueBytes) {
        ++m_waiters;
        m_progress.wait(lock);
        --m_waiters;
    }
    if (m_mode != Mode::Threaded || m_stopping) return 0;
    m_queue.push_back(std::move(datagrams));
    m_bytes += size;
    const std::uint64_t number = ++m_queued;
    // Only a waiting thread needs the wake-up (a system call); a busy one
    // finds the call when it comes back for the next batch.
    const bool wake = m_threadWaits;
    m_threadWaits = false;
    lock.unlock();
    if (wake) m_wake.notify_one();
    return number;
}

void LogSender::waitSent(std::uint64_t number) {
    std::unique_lock<std::mutex> lock(m_lock);
    while (m_mode == Mode::Threaded && m_sent < number) {
        ++m_waiters;
        m_progress.wait(lock);
        --m_waiters;
    }
}

void LogSender::drain() {
    std::uint64_t last;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        last = m_queued;
    }
    waitSent(last);
}

void LogSender::stop() {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_mode != Mode::Threaded) {
        m_mode = Mode::Off;
        return;
    }
    m_stopping = true;
    lock.unlock();
    m_wake.notify_one();
    m_thread.join();  // the thread leaves once the queue is empty
    lock.lock();
    m_mode = Mode::Off;
    m_stopping = false;
    if (m_waiters > 0) m_progress.notify_all();
}

void LogSender::run() {
    sockaddr_in to = loopbackTo(m_port);
    const int sock = m_socket;
    SendScratch scratch;
    std::vector<LogDatagrams> batch;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        while (m_queue.empty() && !m_stopping) {
            m_threadWaits = true;
            m_wake.wait(lock);
        }
        m_threadWaits = false;
        if (m_queue.empty()) return;  // stopping, and everything is sent
        // Callers go on queueing into the other vector while this batch leaves.
        batch.swap(m_queue);
        const std::uint64_t last = m_queued;
        lock.unlock();
        sendAll(sock, to, batch.data(), batch.size(), scratch);
        std::size_t freed = 0;
        for (const LogDatagrams& call : batch) freed += weight(call);
        batch.clear();
        lock.lock();
        m_sent = last;
        m_bytes -= freed;
        if (m_waiters > 0) m_progress.notify_all();
    }
}

// --- Fork ---
//
// The lock is held across fork, so the child's copy of the queue is whole.
// The child keeps the thread's handle only as bytes: it neither joins it nor
// runs its destructor, and it starts its waits afresh.

void LogSender::lockForFork() {
    if (LogSender* s = g_forkWatched.load()) s->m_lock.lock();
}

void LogSender::unlockAfterFork() {
    if (LogSender* s = g_forkWatched.load()) s->m_lock.unlock();
}

void LogSender::becomeDirectInChild() {
    LogSender* s = g_forkWatched.load();
    if (!s) return;
    if (s->m_mode == Mode::Threaded) {
        s->m_mode = s->m_stopping ? Mode::Off : Mode::Direct;
        s->m_queue.clear();  // the parent sends these
        s->m_bytes = 0;
        s->m_sent = s->m_queued;
        s->m_waiters = 0;
        s->m_threadWaits = false;
        s->m_stopping = false;
        new (&s->m_thread) std::thread();
        new (&s->m_wake) std::condition_variable();
        new (&s->m_progress) std::condition_variable();
    }
    s->m_lock.unlock();
}

}  // namespace velmar
