#include "tests/support/log_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quask_test {

LogSocket::LogSocket(bool nonBlocking) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (m_fd < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        m_port = ntohs(addr.sin_port);
}

LogSocket::~LogSocket() {
    if (m_fd >= 0) ::close(m_fd);
}

std::uint16_t quietLogPort() {
    // Non-blocking and never read: once its buffer is full, datagrams drop.
    static const LogSocket socket(true);
    return socket.port();
}

}  // namespace quask_test
