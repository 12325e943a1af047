// The patch run: asks the server whether patching is open, shows its notice,
// collects the metadata of every missing revision, and brings the game
// directory to the latest revision. Runs on the launcher's worker thread;
// a failure is returned for the front end to show before it exits with 1.
#pragma once

#include <optional>

#include "patcher/engine/patch_context.h"

namespace quillon {

std::optional<PatchFailure> runPatch(PatchContext& ctx, RevisionRecord& record);

}  // namespace quillon
