// Profile-file reads for the client's ini files ("data/map/NAME.ini",
// "data/def/Water.ini"), with the semantics the content was authored for:
// section and key names match without regard to ASCII letter case, the first
// occurrence wins, values are trimmed and lose one pair of surrounding
// quotes, texts are cut to the caller's buffer size, and a missing file,
// section or key gives the default. The integer read takes an optional sign
// and the leading digits; a value without digits reads as 0.
//
// IniDocument parses bytes once and answers lookups; IniFile reads a file
// once and answers its keys as the profile calls would, each of which reads
// the file anew. Paths may carry backslashes and a letter case that differs
// from the disk. No shared state; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmar {

class IniDocument {
public:
    // Lines end with LF or CR LF; a NUL byte ends the text (as it would a
    // profile read). UTF-16 LE with its byte order mark is read as UTF-8. Never fails: lines that are neither a section header nor
    // a key=value pair are skipped.
    static IniDocument parse(const std::uint8_t* data, std::size_t size);

    // The value, or nullptr when the section or key is absent.
    const std::string* find(const char* section, const char* key) const;

private:
    struct Entry {
        std::size_t section;
        std::string key;
        std::string value;
    };
    std::vector<std::string> m_sections;
    std::vector<Entry> m_entries;
};

// Files above this size read as missing: ini files are a few hundred bytes.
constexpr std::uint64_t kIniMaxFileSize = 1u << 20;

// A file read once for all the keys a caller wants. A file that is missing,
// cannot be read, is not a regular file or is larger than kIniMaxFileSize
// answers every key with its default; so does UTF-16 BE text, with a problem().
class IniFile {
public:
    explicit IniFile(const char* path);

    // The value cut to bufferSize - 1 bytes (empty for a size of 0), or the
    // default, cut the same way.
    std::string getString(const char* section, const char* key, const char* defaultValue,
                          std::size_t bufferSize) const;
    int getInt(const char* section, const char* key, int defaultValue) const;
    // Why the file there could not be read; "" when it was read or is missing.
    const std::string& problem() const { return m_problem; }

private:
    IniDocument m_doc;  // empty for a file that could not be read
    std::string m_problem;
};

// UTF-16 LE text that starts with its byte order mark (skipped), as UTF-8; a
// lone surrogate becomes U+FFFD and an odd last byte is dropped.
std::string iniUtf8FromUtf16Le(const std::uint8_t* data, std::size_t size);

// The integer rule on its own: blanks, optional sign, leading decimal digits,
// saturated to the int range.
int iniParseInt(const std::string& text);

}  // namespace velmar
