// Definition file grammar and the reader that follows "load" lines.
#include "client/assets/def_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "client/storage/disk_file.h"

namespace velmar {
namespace {

bool isBlank(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isLineEnd(std::uint8_t c) { return c == '\r' || c == '\n' || c == 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t skipSpacesAndTabs(const std::uint8_t* data, std::size_t pos, std::size_t end) {
    while (pos < end && (data[pos] == ' ' || data[pos] == '\t')) ++pos;
    return pos;
}

std::string textOf(const std::uint8_t* data, std::size_t from, std::size_t to) {
    return std::string(reinterpret_cast<const char*>(data + from), to - from);
}

// Two spellings of one file ("a.def", "./A.DEF") must count as the same file
// for the cycle guard, so files are compared by their canonical path.
std::string fileIdentity(const char* path) {
    const std::string onDisk = resolveDataPath(path);
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(onDisk, error);
    return error ? onDisk : canonical.string();
}

// Reads the whole file; false when it cannot be opened, is empty, too large
// or shorter than its size said.
bool readWholeFile(const char* path, std::vector<std::uint8_t>* out) {
    DiskFile file;
    file.Open(path, kFileReadOnly);
    if (!file.isOpen()) return false;
    const std::uint64_t size = file.GetSize();
    if (size == 0 || size > kDefMaxFileBytes) return false;
    out->resize(static_cast<std::size_t>(size));
    return file.Read(out->data(), out->size()) == out->size();
}

}  // namespace

// --- Text grammar ---

std::int32_t parseDefId(const char* key, std::size_t length) {
    std::size_t i = 0;
    while (i < length && !isDigit(key[i]) && key[i] != '+' && key[i] != '-') ++i;
    bool negative = false;
    if (i < length && (key[i] == '+' || key[i] == '-')) negative = key[i++] == '-';
    // Accumulate past the 32-bit range only far enough to know it was left.
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; i < length && isDigit(key[i]); ++i) {
        value = std::min<std::int64_t>(value * 10 + (key[i] - '0'), kLimit);
    }
    if (negative) value = -value;
    value = std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(value);
}

const char* defTextEncodingProblem(const std::uint8_t* data, std::size_t length) {
    if (length >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF)))
        return "it is UTF-16 text; save it as UTF-8 or ANSI";
    return nullptr;
}

std::uint32_t parseDefText(const std::uint8_t* data, std::size_t length,
                           DefTextHandler& handler) {
    std::uint32_t entries = 0;
    std::size_t pos = 0;
    // Windows editors save UTF-8 with a byte order mark; left in place it
    // would turn a first "load" line into an entry for ID 0.
    if (length >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) pos = 3;
    while (true) {
        while (pos < length && isBlank(data[pos])) ++pos;
        if (pos >= length || data[pos] == 0) return entries;
        std::size_t end = pos;
        while (end < length && !isLineEnd(data[end])) ++end;
        const bool comment = data[pos] == ';' ||
                             (data[pos] == '/' && pos + 1 < end && data[pos + 1] == '/');
        if (comment) {
            pos = end;
            continue;
        }
        // The last line counts only with its line break.
        if (end == length || data[end] == 0) return entries;
        const std::uint8_t* colonAt =
            static_cast<const std::uint8_t*>(std::memchr(data + pos, ':', end - pos));
        if (!colonAt) return entries;
        const std::size_t colon = static_cast<std::size_t>(colonAt - data);
        const std::size_t keyLength = colon - pos;
        const char* key = reinterpret_cast<const char*>(data + pos);
        if (keyLength == 4 && std::memcmp(key, "load", 4) == 0) {
            const std::size_t value = skipSpacesAndTabs(data, colon + 1, end);
            handler.onDefLoad(textOf(data, value, end));
        } else {
            // ID lines drop the character after ':', whatever it is, but never
            // the line break.
            const std::size_t afterColon = std::min(colon + 2, end);
            const std::size_t value = skipSpacesAndTabs(data, afterColon, end);
            handler.onDefEntry(parseDefId(key, keyLength), textOf(data, value, end));
            ++entries;
        }
        pos = end;
    }
}

// --- Files ---

class DefFileReader::Walker : public DefTextHandler {
public:
    explicit Walker(DefFileReader& reader) : m_reader(reader) {}
    void onDefEntry(std::int32_t id, const std::string& path) override {
        m_reader.onDefEntry(id, path);
    }
    void onDefLoad(const std::string& path) override {
        const std::string identity = fileIdentity(path.c_str());
        const auto& open = m_reader.m_open;
        if (std::find(open.begin(), open.end(), identity) != open.end()) {
            m_reader.onDefLoadRefused(path.c_str(), DefLoadRefusal::AlreadyOpen);
        } else if (open.size() > kDefMaxLoadDepth) {
            m_reader.onDefLoadRefused(path.c_str(), DefLoadRefusal::TooDeep);
        } else {
            m_reader.readNested(path.c_str());
        }
    }

private:
    DefFileReader& m_reader;
};

int DefFileReader::readDefFile(const char* path) {
    m_open.clear();
    return readNested(path);
}

int DefFileReader::readNested(const char* path) {
    std::vector<std::uint8_t> text;
    if (!readWholeFile(path, &text)) {
        onDefReadError(path);
        return 0;
    }
    if (const char* why = defTextEncodingProblem(text.data(), text.size())) {
        onDefEncodingError(path, why);
        return 0;
    }
    m_open.push_back(fileIdentity(path));
    Walker walker(*this);
    const std::uint32_t entries = parseDefText(text.data(), text.size(), walker);
    m_open.pop_back();
    onDefLoaded(path, entries);
    return 1;
}

}  // namespace velmar
