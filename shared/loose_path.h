// Paths as content files name them, opened as their authors' systems open
// them: Windows and macOS ignore letter case, macOS also how accents are
// composed, and Windows drops the blanks and dots that end a name. The
// client opens such paths and contentkit imports them alike.
#pragma once

#include <string>

namespace quask {

// The path on disk that `slashed` (forward slashes) names: each component
// that does not exist as spelled is the entry of its folder that
// pickLooseMatch (shared/name_case.h) chooses, else, when the component
// ends in blanks or dots, the entry named or chosen without them. "." and
// ".." stay. A trailing slash stays. Empty when some component matches
// nothing.
std::string resolveLoosePath(const std::string& slashed);

}  // namespace quask
