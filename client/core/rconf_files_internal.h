// The settings file on disk, for CRConf: read whole, rewritten whole or not
// at all, and where the text of a file that could not be run is kept.
#pragma once

#include <cstddef>
#include <string>

namespace velmar {

// Unreadable: nothing usable at the path (none, a directory, far too big),
// which the rewrite may replace. Failed: a file is there but cannot be read
// (a failing disk, no permission): the player's settings are in it, so it
// is kept.
enum class ReadStatus { Ok, Unreadable, Failed, Empty };
// `data` (from allocate(), `size` bytes) when Ok.
ReadStatus readWholeFile(const char* path, char** data, std::size_t* size);

enum class WriteStatus { Ok, OpenFailed, WriteFailed };
// Puts `text` at `path` whole or not at all, through a link to the file it
// names; the file keeps its permissions, a new one gets `mode` (0: 0644).
WriteStatus replaceFile(const std::string& path, const std::string& text, unsigned mode = 0);

// "<path>.bad", or the first free of "<path>.bad.2" to "<path>.bad.9"; empty
// when none is free.
std::string keptName(const std::string& path);

}  // namespace velmar
