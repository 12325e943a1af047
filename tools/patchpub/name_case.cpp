#include "tools/patchpub/name_case.h"

#include <locale.h>
#include <wctype.h>

#include <cstdint>

namespace patchpub {

namespace {

// Fixed, not the publisher's LC_CTYPE: the same tree must be judged alike
// on every publisher's machine (under tr_TR "I" folds to a dotless i).
locale_t foldLocale() {
    static const locale_t loc = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc;
}

// The code point at `at` and its length, or 0 when no well-formed sequence
// starts there.
std::size_t decodeUtf8(const std::string& s, std::size_t at, std::uint32_t* cp) {
    const auto b0 = static_cast<unsigned char>(s[at]);
    std::size_t len = b0 >= 0xF0 && b0 <= 0xF4 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 ? 2 : 0;
    if (b0 >= 0xF5) len = 0;
    if (len == 0 || at + len > s.size()) return 0;
    std::uint32_t v = b0 & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(s[at + i]);
        if ((b & 0xC0) != 0x80) return 0;
        v = (v << 6) | (b & 0x3F);
    }
    static const std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kLeast[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

void encodeUtf8(std::uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::string foldedCase(const std::string& name) {
    std::string folded;
    folded.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const char c = name[i];
        if (static_cast<unsigned char>(c) < 0x80) {
            folded += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            ++i;
            continue;
        }
        std::uint32_t cp = 0;
        const std::size_t len = decodeUtf8(name, i, &cp);
        if (len == 0) {
            folded += c;
            ++i;
            continue;
        }
        if (const locale_t loc = foldLocale())
            cp = static_cast<std::uint32_t>(::towlower_l(static_cast<wint_t>(cp), loc));
        encodeUtf8(cp, &folded);
        i += len;
    }
    return folded;
}

}  // namespace patchpub
