// The file reads and writes patchpub makes in content and server trees:
// whole files in, whole files out through a temporary that is renamed over
// the old one (the directories above made first). A file that is there but
// cannot be read is never taken for one that is not there. Single-threaded.
#pragma once

#include <string>
#include <vector>

#include "shared/posix_io.h"

namespace patchpub {

// False when the file cannot be read.
using quask::readWholeFile;
// A file that may be missing: kMissing only when it is not there.
enum class ReadResult { kRead, kMissing, kFailed };
ReadResult readIfPresent(const std::string& path, std::string* bytes);
// ": " and what errno says: why the read or write just failed (a publisher
// with a full disk must be told so).
std::string errnoReason();
// False when the file cannot be written whole, with errno saying why.
bool writeReplacing(const std::string& path, const std::string& bytes);
// The symbolic links in the tree at `root` (links not followed, `root`
// itself may be one), as paths below it in byte order. patchpub writes no
// link into a revision tree: one found there was planted, and a write
// through it would leave the trees. False with a message when the tree
// cannot be read.
bool findLinks(const std::string& root, std::vector<std::string>* links, std::string* error);

}  // namespace patchpub
