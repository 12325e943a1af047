// Text made safe for a terminal, from any bytes: nothing that can drive a
// terminal may come out (C0 controls but line feed and tab, DEL, C1 controls
// in UTF-8), and plain printable text comes out as it went in.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "shared/terminal_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view sent(reinterpret_cast<const char*>(data), size);
    const std::string shown = quask::terminalSafe(sent);
    bool plain = true;
    for (const unsigned char c : sent) plain = plain && (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F));
    if (plain && shown != sent) __builtin_trap();
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(shown[i]);
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) __builtin_trap();
        if (c == 0xC2 && i + 1 < shown.size() && static_cast<unsigned char>(shown[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(shown[i + 1]) <= 0x9F)
            __builtin_trap();
    }
    return 0;
}
