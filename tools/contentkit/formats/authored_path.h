// Paths that content files name as their authors' systems read them.
//
// Maps, tilesets and models are saved on Windows and macOS and imported on
// Linux: a name may use backslashes, differ in letter case from the file in
// the checkout (both systems ignore case), or spell an accented letter
// composed where the disk holds it decomposed (macOS writes NFD) or the other
// way round. The author's editor found such files, so the import must too.
#pragma once

#include <string>

namespace contentkit {

// The path on disk that `path` names when read as on the author's system:
// the path itself when it exists, else backslashes as separators and each
// component that does not exist matched against its folder's entries
// without regard to letter case or Unicode normalisation, as the client
// matches them (shared/name_case.h). `path` unchanged when nothing
// matches. A Windows drive ("C:\...") is never looked for.
std::string findAuthoredFile(const std::string& path);

// Why `path` cannot name a file beside the content: a text for a path that
// begins with a Windows drive letter or lies below one ("art/C:\x.png" from
// joining it to a folder), else "".
std::string windowsDriveProblem(const std::string& path);

}  // namespace contentkit
