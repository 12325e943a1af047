// A UDP socket on 127.0.0.1 with a port the system picked: tests that start
// the log send its datagrams here, so no two tests share a port and nobody
// else's listener sees them. Closed when the object goes.
#pragma once

#include <cstdint>

namespace quask_test {

class LogSocket {
public:
    explicit LogSocket(bool nonBlocking = false);
    ~LogSocket();
    LogSocket(const LogSocket&) = delete;
    LogSocket& operator=(const LogSocket&) = delete;

    bool ok() const { return m_port != 0; }
    int fd() const { return m_fd; }
    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// The port of one such socket that stays open to the process's end and is
// never read: for a log whose datagrams no test looks at.
std::uint16_t quietLogPort();

}  // namespace quask_test
