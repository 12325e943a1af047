// What brindle shows of a datagram when its output is a terminal. Datagrams
// come from any host, and raw escape sequences among them would drive the
// developer's terminal: retitle it, clear it, rewrite what it shows, or
// answer with text of their own. Control bytes are therefore shown as
// visible escapes; line feeds and tabs, which the client's lines use, pass.
// Output to a file or a pipe stays exactly as sent and does not come here.
// A plain function on a byte span; any thread.
#pragma once

#include <string>
#include <string_view>

namespace brindle {

// Appends `text` to `out` with C0 controls but line feed and tab, and DEL,
// in caret form ("^[" for ESC, "^?" for DEL), C1 controls in UTF-8 as
// "\u0080".."\u009f" and stray bytes 0x80..0x9f (C1 controls in an 8-bit
// terminal) as "\x80".."\x9f". Everything else, invalid UTF-8 included, is
// copied unchanged.
void appendTerminalSafe(std::string_view text, std::string* out);

}  // namespace brindle
