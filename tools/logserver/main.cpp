// brindle: prints the client's log datagrams (UDP port 6600) as they arrive.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/command_line.h"
#include "shared/terminal_text.h"
#include "shared/posix_io.h"

namespace {

const quask::ProgramHelp kHelp{"brindle",
    "Usage: brindle\n"
    "Listens on UDP port 6600 of every local address and prints each log\n"
    "datagram of the game client (velmar) on standard output as it arrives,\n"
    "exactly as sent; on a terminal, control characters other than line feed\n"
    "and tab are shown as escapes (^[ for ESC). It never answers or stores\n"
    "anything; end it with Ctrl+C. Only one brindle can listen at a time.\n"
    "\n"
    "BRINDLE_PORT in the environment (1 to 65535) listens on another port, as\n"
    "tests that run beside a game client do.\n"
    "\n"
    "Exit status is 1 when the port cannot be opened, receiving fails or the\n"
    "output cannot be written (a full disk), and 2 for an unknown option or a\n"
    "BRINDLE_PORT that is no such port.\n"
    "\n"
    "Options:\n" +
        std::string(quask::kStandardOptionLines)};

constexpr unsigned short kPort = 6600;

// The client always logs to kPort; a test of the server itself would take
// in every client that runs beside it. A port it cannot take is refused:
// listening on kPort instead would take in those very clients.
bool listenPort(unsigned short* port) {
    const char* text = std::getenv("BRINDLE_PORT");
    *port = kPort;
    if (!text || !*text) return true;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value < 1 || value > 65535) return false;
    *port = static_cast<unsigned short>(value);
    return true;
}
// The client sends traces of up to 4,095 characters; leave ample room so one
// long line never ends the server.
constexpr std::size_t kReceiveBuffer = 64 * 1024;
// What the socket may hold while a line is being printed. The default (a
// few hundred small datagrams) drops most of a burst from several clients
// and cuts their three-datagram lines apart.
constexpr int kSocketBuffer = 4 * 1024 * 1024;

// Every failure is printed once and ends the server with code 1.
int fail(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
    usleep(500 * 1000);
    return 1;
}

// Output that cannot be written (a full disk) ends the server, said on
// standard error: receiving on would lose the log while it seemed kept.
int outputFailed() {
    std::fprintf(stderr, "brindle: cannot write the output: %s\n", std::strerror(errno));
    return 1;
}

// An ordinary request is capped by the kernel (net.core.rmem_max); a
// privileged one may go past it. Either way a smaller buffer still works.
void enlargeSocketBuffer(int sock) {
    const int size = kSocketBuffer;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0) return;
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

}  // namespace

int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    if (const auto end = quask::endsBeforeStart(kHelp, argc, argv)) return *end;
    unsigned short port = kPort;
    if (!listenPort(&port)) {
        std::fprintf(stderr, "brindle: BRINDLE_PORT takes a port from 1 to 65535, not '%s'\n",
                     std::getenv("BRINDLE_PORT"));
        return 2;
    }
    std::printf("Quask Client - Debug Server\n");
    std::printf("\n");
    if (std::fflush(stdout) != 0) return outputFailed();

    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    char line[128];
    if (sock < 0) {
        std::snprintf(line, sizeof line, "Can't create dgram socket. (%u)\n", unsigned(errno));
        return fail(line);
    }

    enlargeSocketBuffer(sock);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        // The reason beside the line: a port another program holds and one
        // this user may not take look the same on standard output.
        std::fprintf(stderr, "brindle: port %u: %s\n", unsigned(port), std::strerror(errno));
        std::snprintf(line, sizeof line, "Cant bind to 0.0.0.0:%u\n", unsigned(port));
        return fail(line);
    }

    std::printf("Listening on 0.0.0.0:%u\n", unsigned(port));
    std::printf("Entering recv loop.\n\n");
    if (std::fflush(stdout) != 0) return outputFailed();

    // Anyone may send: a terminal gets control bytes as visible escapes.
    const bool toTerminal = isatty(STDOUT_FILENO) == 1;
    std::vector<char> buffer(kReceiveBuffer + 1);
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        // Output is flushed whenever nothing more is waiting: at once when
        // idle, and in large writes through a burst, which would otherwise
        // outrun a write per datagram.
        ssize_t n = recvfrom(sock, buffer.data(), kReceiveBuffer, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (std::fflush(stdout) != 0) return outputFailed();
            n = recvfrom(sock, buffer.data(), kReceiveBuffer, 0, reinterpret_cast<sockaddr*>(&from),
                         &fromLen);
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            std::snprintf(line, sizeof line, " recvfrom() failed. (%u)\n", unsigned(errno));
            return fail(line);
        }
        buffer[static_cast<std::size_t>(n)] = '\0';
        // Up to the first zero byte: exactly as sent, or made safe to show.
        if (!toTerminal) {
            if (std::fputs(buffer.data(), stdout) == EOF) return outputFailed();
            continue;
        }
        const std::string shown = quask::terminalSafe(buffer.data());
        if (std::fwrite(shown.data(), 1, shown.size(), stdout) != shown.size()) return outputFailed();
    }
}
