// The line walk every text file of the server shares: a line ends at a line
// feed or at the end of the body, and only a line feed ends one (a carriage
// return stays part of the line). What a line means, and where a file's
// scan stops, is each reader's own. Private to the protocol's readers.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillon {

class LineWalk {
public:
    explicit LineWalk(std::string_view body) : m_body(body) {}

    // The next line without its line feed; false after the last one.
    bool next(std::string_view* line) {
        if (m_next >= m_body.size()) return false;
        m_start = m_next;
        std::size_t end = m_body.find('\n', m_start);
        if (end == std::string_view::npos) end = m_body.size();
        *line = m_body.substr(m_start, end - m_start);
        m_next = end + 1;
        return true;
    }
    // Where the line last returned begins in the body.
    std::size_t offset() const { return m_start; }

private:
    std::string_view m_body;
    std::size_t m_start = 0, m_next = 0;
};

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace quillon
