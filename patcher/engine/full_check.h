// The full content check: fetches the checksum list of the whole content,
// compares every listed file in the game directory with it, and downloads,
// verifies and replaces exactly the files that are missing or differ. The
// only files it deletes are those the list's revision deletes (a delete
// that failed when that revision was installed); it never creates an empty
// directory. A check that the DoFullCheck marker asked for takes the marker
// away once it has finished. Runs on the launcher's worker thread in place
// of the patch run; a failure is returned for the front end to show before
// it exits with 1.
#pragma once

#include <optional>

#include "patcher/engine/patch_context.h"

namespace quillon {

std::optional<PatchFailure> runFullCheck(PatchContext& ctx, RevisionRecord& record);

}  // namespace quillon
