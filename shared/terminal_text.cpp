#include "shared/terminal_text.h"

namespace quask {

namespace {

// Length of the well-formed UTF-8 sequence at the start of `s`, 0 if none.
std::size_t utf8SequenceLength(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    std::size_t len = 0;
    if (lead >= 0xC2 && lead <= 0xDF) len = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) len = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) len = 4;
    if (len == 0 || s.size() < len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F) ||
        (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) > 0x8F))
        return 0;
    return len;
}

void appendCaret(unsigned char control, std::string* out) {
    *out += '^';
    *out += control == 0x7F ? '?' : static_cast<char>(control + 0x40);
}

}  // namespace

std::string terminalSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F)) {
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            appendCaret(c, &out);
            ++i;
        } else if (const std::size_t len = utf8SequenceLength(text.substr(i))) {
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            if (c == 0xC2 && next <= 0x9F) {
                out += "M-";
                appendCaret(static_cast<unsigned char>(next - 0x80), &out);
            } else {
                out.append(text, i, len);
            }
            i += len;
        } else {
            if (c <= 0x9F) {
                out += "M-";
                appendCaret(static_cast<unsigned char>(c - 0x80), &out);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
        }
    }
    return out;
}

}  // namespace quask
