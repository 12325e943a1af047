// Content names as players' systems that ignore case see them: FAT and NTFS
// drives, case-insensitive trees. Two names with one folded form would be
// one file there, the later download replacing the earlier. The publisher
// refuses such names and the launcher's full check keeps such twins alike.
// The client and contentkit find an author's files by a looser key.
#pragma once

#include <string>
#include <vector>

namespace quask {

// `name` with ASCII letters and, in UTF-8, the other letters the C.UTF-8
// locale knows a lower case of, in lower case. Bytes that are no UTF-8 stay.
std::string foldedCase(const std::string& name);

// The key two names share where content is authored and opened: Windows
// ignores letter case in any script (one letter for one letter: "\u00df"
// is not "ss"), macOS also how accents are composed ("e" with U+0301 is
// "\u00e9"). Valid UTF-8 is composed (NFC) and each letter upper-cased;
// other bytes compare as ASCII letters without case.
std::string looseNameKey(const std::string& name);

// The entry of a folder's `entries` that an author's `name` opens there when
// no entry is spelled exactly so: one equal to it ignoring ASCII case, else
// one with its loose key; the lowest in byte order among several, so that
// the folder's order does not decide. Empty when none.
std::string pickLooseMatch(const std::vector<std::string>& entries, const std::string& name);

}  // namespace quask
