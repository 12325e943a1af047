// The patch run: asks the server whether patching is open, shows its notice,
// collects the metadata of every missing revision, and brings the game
// directory to the latest revision. Runs on the launcher's worker thread;
// a failure is returned for the front end to show before it exits with 1.
#pragma once

#include <optional>

#include "patcher/engine/delta_updates_internal.h"
#include "patcher/engine/file_steps_internal.h"

namespace quillon {

std::optional<PatchFailure> runPatch(PatchContext& ctx, RevisionRecord& record);

// From the collected list to the saved revision and the enabled buttons;
// files `deltas` has patches for may come by them.
std::optional<PatchFailure> applyUpdates(PatchContext& ctx, UpdateList& list, std::uint32_t latest,
                                         RevisionRecord& record, const DeltaPlan& deltas = DeltaPlan());

// Steps 1 and 2 of every run: false when the server is under maintenance
// (the notice is then shown and both buttons stay off).
std::optional<PatchFailure> checkPatchingOpen(PatchContext& ctx, bool* open);
// The notice, or "Patch Notice missing".
std::string fetchNotice(PatchContext& ctx);

}  // namespace quillon
