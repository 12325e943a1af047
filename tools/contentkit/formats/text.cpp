// Message formatting and the case-blind comparisons.
#include "tools/contentkit/formats/text.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>

namespace contentkit {

std::string strf(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(out.data(), out.size(), format, args);
    va_end(args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string lowerText(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool equalNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string lowerExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return lowerText(path.substr(dot));
}

bool hasLineBreak(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::size_t byteOrderMarkLength(const std::uint8_t* data, std::size_t size) {
    return size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
}

}  // namespace contentkit
