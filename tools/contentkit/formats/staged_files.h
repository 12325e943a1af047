// Files written all or nothing below a root folder: each is written beside
// its place under a temporary name and flushed to disk; only when every one
// is, they are renamed into place, each in one step. A failure on the way
// (a full disk) removes what was staged and the folders made for it, so the
// tree stays as it was. Single-threaded; no state of its own.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/contentkit/formats/byte_io.h"

namespace contentkit {

// (path relative to the root, bytes). False with a message naming the file
// and the reason when nothing was changed.
bool writeAllOrNothing(const std::string& root, const std::vector<std::pair<std::string, const Bytes*>>& files,
                       std::string* error);

}  // namespace contentkit
