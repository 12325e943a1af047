// What a launcher that was killed leaves in the game directory besides its
// staging files: the temporaries of files it was unpacking
// (".quask-<pid>-<n>.tmp", shared/replacing_file.h). Staging files are
// reused by the next run; these never are, so the next run that touches
// their directories removes them. A temporary of a process that still runs
// (the game writing its settings) is left alone. Worker thread.
#pragma once

#include <string>
#include <vector>

#include "patcher/disk/game_tree.h"

namespace quillon {

// Removes the abandoned temporaries of every directory that holds one of
// the entries `names` ("/a/b/file"), each directory looked at once; one
// that is missing or cannot be read is passed over. Returns how many went.
unsigned removeAbandonedTemporaries(GameTree& tree, const std::vector<std::string>& names);

}  // namespace quillon
