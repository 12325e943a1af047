// The launcher's own file among the files of a run. The running launcher
// goes on from its old file whatever happens to the name; what matters is
// that the game directory always holds a launcher that starts:
// - before any game file changes, a new launcher (plain or packed) must be a
//   program of this machine that runs with --version from its staging name,
//   and a delete action for it is refused (the boxes are the trust module's);
// - when it is replaced, the old file keeps a second name, "quillon_old" (a
//   hard link, or a copy where the file system has no links), and then the
//   synced new file is renamed over the old name in one step: there is no
//   moment without a launcher, and a failure leaves the old one in place.
// Runs on the worker thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "patcher/engine/file_steps_internal.h"
#include "patcher/engine/launcher_trial_internal.h"

namespace quillon {

// True when `leaf`, at the top of the game directory, is the running
// launcher's name.
bool isLauncherLeaf(const PatchContext& ctx, const std::string& name, const std::string& leaf);

// Every entry of the plan that would replace or delete the running
// launcher, judged with its staging file (verified already); with `trial`,
// a launcher it tried is not run again.
std::optional<PatchFailure> checkLauncherUpdate(PatchContext& ctx, GameTree& tree,
                                                const std::vector<PlanEntry>& plan,
                                                LauncherTrial* trial = nullptr);

// Gives the running launcher's file `leaf` in `dirFd` its backup name as
// well; a launcher that is not there has nothing to keep.
std::optional<PatchFailure> backUpLauncher(int dirFd, const std::string& leaf, const PhaseTexts& texts);

}  // namespace quillon
