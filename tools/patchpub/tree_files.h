// The file reads and writes patchpub makes in content and server trees:
// whole files in, whole files out through a temporary that is renamed over
// the old one (the directories above made first). Single-threaded.
#pragma once

#include <string>

#include "shared/posix_io.h"

namespace patchpub {

// False when the file cannot be read.
using quask::readWholeFile;
// False when the file cannot be written whole.
bool writeReplacing(const std::string& path, const std::string& bytes);

}  // namespace patchpub
