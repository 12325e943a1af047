// The patcher's HTTP download on hostile answers: a server thread on the
// loopback answers every request with the input's bytes (status line,
// headers, body) and closes, and the client's length checks (Content-Length
// against the limit and against the bytes that really arrive, and for a
// continued download the Content-Range) decide.
//
// Redirects are followed, so inputs whose Location could leave the loopback
// server (a scheme, a host or a colon) are skipped; a relative one comes back
// here and meets the same answer until the redirect limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "patcher/net/http_client.h"

namespace {

constexpr int kRequestWaitMs = 1000;

class AnswerServer {
public:
    AnswerServer() {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(m_listen, 16) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            __builtin_trap();
        m_port = ntohs(addr.sin_port);
        std::thread([this] { serve(); }).detach();
    }

    int port() const { return m_port; }

    // Sets the answer and counts the connections from here on.
    void answer(const std::uint8_t* data, std::size_t size) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_answer.assign(data, data + size);
    }

    // Waits until no connection is being answered, so one run's connection
    // never meets the next run's answer.
    void waitIdle() {
        std::unique_lock<std::mutex> lock(m_lock);
        m_idle.wait(lock, [this] { return !m_busy; });
    }

private:
    void serve() {
        for (;;) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::vector<std::uint8_t> answer;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_busy = true;
                answer = m_answer;
            }
            readRequest(fd);
            std::size_t sent = 0;
            while (sent < answer.size()) {
                const ssize_t n =
                    ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_busy = false;
            }
            m_idle.notify_all();
        }
    }

    static void readRequest(int fd) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kRequestWaitMs) <= 0) return;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            request.append(buffer, static_cast<std::size_t>(n));
        }
    }

    int m_listen = -1;
    int m_port = 0;
    std::mutex m_lock;
    std::condition_variable m_idle;
    std::vector<std::uint8_t> m_answer;
    bool m_busy = false;
};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// A Location value with a colon or a leading pair of (back)slashes could name
// another host.
bool staysLocal(const std::uint8_t* data, std::size_t size) {
    static const char kName[] = "location:";
    const std::size_t nameLen = sizeof kName - 1;
    for (std::size_t i = 0; i + nameLen <= size; ++i) {
        std::size_t k = 0;
        while (k < nameLen && lower(static_cast<char>(data[i + k])) == kName[k]) ++k;
        if (k < nameLen) continue;
        for (std::size_t j = i + nameLen; j < size && data[j] != '\n'; ++j) {
            if (data[j] == ':') return false;
            if ((data[j] == '/' || data[j] == '\\') && j + 1 < size &&
                (data[j + 1] == '/' || data[j + 1] == '\\'))
                return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static AnswerServer server;
    if (!staysLocal(data, size)) return 0;
    server.answer(data, size);
    const std::string url =
        "http://127.0.0.1:" + std::to_string(server.port()) + "/meta/sum_full.txt";
    {
        quillon::HttpClient client;
        client.setStallTimeout(1);
        std::string body;
        // Small limits meet the TooLarge refusal, the usual one the full body.
        const std::uint64_t limit = size % 2 ? 64 : quillon::kMaxControlFile;
        const quillon::HttpStatus status = client.fetch(url, &body, limit);
        if (status == quillon::HttpStatus::Ok && (body.empty() || body.size() > limit))
            __builtin_trap();
        if (status == quillon::HttpStatus::Ok && body.size() > size) __builtin_trap();
    }
    server.waitIdle();
    {
        // A continued download: the answer's range (Content-Range) must be
        // exactly the one asked for, or the whole file from its start.
        quillon::HttpClient client;
        client.setStallTimeout(1);
        const std::uint64_t from = 1 + size % 97;
        std::uint64_t offset = 0, total = 0, received = 0;
        bool started = false;
        const quillon::HttpStatus status = client.download(
            url, quillon::kMaxControlFile,
            [&](std::uint64_t o, std::uint64_t t) {
                started = true;
                offset = o;
                total = t;
                return true;
            },
            [&](const std::uint8_t*, std::size_t n) {
                received += n;
                return true;
            },
            from);
        if (started && offset != 0 && offset != from) __builtin_trap();
        if (status == quillon::HttpStatus::Ok && (!started || offset + received != total)) __builtin_trap();
        if (status == quillon::HttpStatus::BadRange && received != 0) __builtin_trap();
    }
    server.waitIdle();
    return 0;
}
