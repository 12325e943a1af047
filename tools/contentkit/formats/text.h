// Small text helpers every stage of contentkit uses: printf into a string
// for messages, and the letter-case rules of the client's files, which
// compare names and extensions in ASCII without regard to case. Stateless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace contentkit {

// printf into a std::string.
std::string strf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The text with A-Z turned to a-z; other bytes stay as they are.
std::string lowerText(std::string text);

// Equal but for the letter case of A-Z.
bool equalNoCase(const std::string& a, const std::string& b);

// The extension of the last path part (after '/' or '\'), from its last dot
// on, in lower case (".dds"); empty when that part has no dot.
std::string lowerExtension(const std::string& path);

// A CR, LF or NUL: what would end or cut a line of a text file.
bool hasLineBreak(const std::string& text);

// 3 when the text starts with the UTF-8 byte order mark that Windows
// editors write, else 0: where its first line begins.
std::size_t byteOrderMarkLength(const std::uint8_t* data, std::size_t size);

}  // namespace contentkit
