#include "shared/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "shared/posix_io.h"

namespace quask {

namespace {

constexpr std::chrono::milliseconds kRedrawInterval{100};

// A closed terminal loses its progress, nothing else.
void writeAll(int fd, const std::string& bytes) { (void)writeFully(fd, bytes.data(), bytes.size()); }

// A line as wide as the terminal would wrap, and "\r" would then redraw
// only its last part.
std::size_t usableWidth(int fd) {
    struct winsize size {};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col < 2) return 79;
    return size.ws_col - 1u;
}

}  // namespace

ProgressLine::ProgressLine(int fd) : m_fd(fd), m_terminal(::isatty(fd) == 1) {}

ProgressLine::~ProgressLine() { erase(); }

void ProgressLine::show(const std::string& text) {
    if (!m_terminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (m_drawn && now - m_last < kRedrawInterval) return;
    m_last = now;
    m_drawn = true;
    // "\033[K" clears what a longer earlier text left on the right.
    writeAll(m_fd, "\r" + text.substr(0, usableWidth(m_fd)) + "\033[K");
}

void ProgressLine::erase() {
    if (!m_drawn) return;
    m_drawn = false;
    writeAll(m_fd, "\r\033[K");
}

std::string byteSizeText(std::uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

}  // namespace quask
