// One line of progress for long work that a person watches at a terminal
// (building content, publishing a large tree): redrawn in place, at most ten
// times a second, cut to the terminal's width, and erased when the work is
// done, so the report printed after it starts on a clean line. When the
// stream is not a terminal (a pipe, a file, a test) nothing is written at
// all: scripts and logs see only the report.
//
// One object per piece of work, used from one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quask {

class ProgressLine {
public:
    // Draws on `fd` (standard error unless told) when it is a terminal.
    explicit ProgressLine(int fd = 2);
    ~ProgressLine();  // erases the line
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool visible() const { return m_terminal; }
    // Shows `text` now, or drops it when the last one is less than 100 ms old.
    void show(const std::string& text);
    // Erases the line; a later show() draws again.
    void erase();

private:
    int m_fd;
    bool m_terminal;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_last{};
};

// "812 bytes", "4.0 KiB", "12.3 MiB", "2.1 GiB".
std::string byteSizeText(std::uint64_t bytes);

}  // namespace quask
