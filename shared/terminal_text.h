// Text from others (a server's names and notices, datagrams from any host)
// as a terminal shows it without obeying it: raw escape sequences would
// retitle or clear the terminal, rewrite what it shows, or make it answer
// with text of its own. A plain function on a byte span; any thread.
#pragma once

#include <string>
#include <string_view>

namespace quask {

// `text` with C0 controls other than line feed and tab as ^X (DEL ^?), and
// C1 controls, whether in UTF-8 or as lone bytes 0x80..0x9f (an 8-bit
// terminal's), as M-^X, as `cat -v` shows them. Everything else passes,
// invalid UTF-8 and single-byte text above 0x9f included.
std::string terminalSafe(std::string_view text);

}  // namespace quask
