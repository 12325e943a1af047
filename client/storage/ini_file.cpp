#include "client/storage/ini_file.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client/storage/disk_file.h"

namespace velmar {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string trim(const char* begin, const char* end) {
    while (begin < end && isBlank(*begin)) ++begin;
    while (end > begin && isBlank(end[-1])) --end;
    return std::string(begin, end);
}

bool sameName(const std::string& a, const char* b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string unquote(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// False with the reason in `why` ("" for a missing file, which is no fault:
// every key then has its default).
bool readSmallFile(const char* path, std::vector<std::uint8_t>* out, std::string* why) {
    std::string resolved = resolveDataPath(path);
    int fd = ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR) *why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        *why = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        ok = false;
        *why = S_ISDIR(st.st_mode) ? "Is a directory" : "not a regular file";
    } else if (static_cast<std::uint64_t>(st.st_size) > kIniMaxFileSize) {
        ok = false;
        *why = "larger than 1 MiB";
    }
    if (ok) {
        out->resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < out->size()) {
            ssize_t n = ::read(fd, out->data() + done, out->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                // Half a file would answer some keys with their defaults.
                *why = std::strerror(errno);
                ok = false;
            }
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        out->resize(done);  // a file that shrank while read gives what was there
    }
    ::close(fd);
    return ok;
}

std::string cut(const std::string& text, std::size_t bufferSize) {
    if (bufferSize == 0) return std::string();
    return text.size() < bufferSize ? text : text.substr(0, bufferSize - 1);
}

void appendUtf8(std::string* out, std::uint32_t c) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string iniUtf8FromUtf16Le(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve(size);
    for (std::size_t i = 2; i + 1 < size; i += 2) {
        std::uint32_t c = data[i] | (data[i + 1] << 8);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < size) {
            const std::uint32_t low = data[i + 2] | (data[i + 3] << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
        appendUtf8(&out, c);
    }
    return out;
}

IniDocument IniDocument::parse(const std::uint8_t* data, std::size_t size) {
    // Notepad's "Unicode" is UTF-16 LE with a byte order mark, which the
    // profile calls read; its zero bytes would otherwise end the text at once.
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        const std::string text = iniUtf8FromUtf16Le(data, size);
        return parse(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    IniDocument doc;
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = size ? std::memchr(text, '\0', size) : nullptr;
    const char* end = nul ? static_cast<const char*>(nul) : text + size;
    // A byte order mark (Windows editors save UTF-8 with one) would hide the
    // first section's name.
    if (end - text >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;
    bool inSection = false;
    for (const char* line = text; line < end;) {
        const void* lf = std::memchr(line, '\n', static_cast<std::size_t>(end - line));
        const char* lineEnd = lf ? static_cast<const char*>(lf) : end;
        std::string content = trim(line, lineEnd);
        line = lineEnd + (lf ? 1 : 0);
        if (content.empty() || content[0] == ';') continue;
        if (content[0] == '[') {
            std::size_t close = content.find(']');
            if (close == std::string::npos) continue;
            doc.m_sections.push_back(trim(content.data() + 1, content.data() + close));
            inSection = true;
            continue;
        }
        std::size_t eq = content.find('=');
        if (!inSection || eq == std::string::npos) continue;
        doc.m_entries.push_back({doc.m_sections.size() - 1,
                                 trim(content.data(), content.data() + eq),
                                 unquote(trim(content.data() + eq + 1,
                                              content.data() + content.size()))});
    }
    return doc;
}

const std::string* IniDocument::find(const char* section, const char* key) const {
    // The first section of that name is the one read, even when it lacks the key.
    std::size_t index = 0;
    while (index < m_sections.size() && !sameName(m_sections[index], section)) ++index;
    if (index == m_sections.size()) return nullptr;
    for (const Entry& entry : m_entries)
        if (entry.section == index && sameName(entry.key, key)) return &entry.value;
    return nullptr;
}

int iniParseInt(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

IniFile::IniFile(const char* path) {
    std::vector<std::uint8_t> bytes;
    if (!readSmallFile(path, &bytes, &m_problem)) return;
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        m_problem = "UTF-16 big-endian text; save it as UTF-8 or UTF-16 LE";
        return;
    }
    m_doc = IniDocument::parse(bytes.data(), bytes.size());
}

std::string IniFile::getString(const char* section, const char* key, const char* defaultValue,
                               std::size_t bufferSize) const {
    if (const std::string* value = m_doc.find(section, key)) return cut(*value, bufferSize);
    return cut(defaultValue ? defaultValue : "", bufferSize);
}

int IniFile::getInt(const char* section, const char* key, int defaultValue) const {
    const std::string* value = m_doc.find(section, key);
    return value ? iniParseInt(*value) : defaultValue;
}

}  // namespace velmar
