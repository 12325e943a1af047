// The one sequence of phases that both runs go through. Each run opens with
// the server's state and notice, collects its plan its own way (the patch
// run from the missing revisions, the full check from the checksum list and
// the installed files), and hands it to applyPlan: reuse of verified staging
// files, delta patches, downloads, the integrity check of every staging file,
// the replacement of the game files, and the saved revision. The runs differ
// only in their texts and in how they count the files they fetch. Runs on
// the worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "patcher/engine/delta_updates_internal.h"
#include "patcher/engine/file_steps_internal.h"
#include "patcher/engine/line_prefetch_internal.h"

namespace quillon {

// Where the runs differ inside the shared phases.
struct RunRules {
    const PhaseTexts* texts;
    // kByList (the patch run): every entry is named as the list is walked
    // ("Updating Object %u of %u") and only downloads are counted. kByFetch
    // (the full check): every file to fetch is counted and numbered, a
    // reused staging file included.
    enum Numbering { kByList, kByFetch } numbering;
};
const RunRules& patchRunRules();
const RunRules& fullCheckRules();

// --- Opening ---

// The run's trust first (the announcement, with a key), then the server's
// state: false when it is under maintenance (the notice is then shown and
// both buttons stay off). With `lines`, the state, the notice and the files
// `after` names once the trust is open are fetched there at once, each to
// be taken in its turn.
std::optional<PatchFailure> checkPatchingOpen(PatchContext& ctx, Trust& trust, bool* open,
                                              LinePrefetch* lines = nullptr,
                                              const std::function<std::vector<std::string>()>& after = {});
// The notice, or "Patch Notice missing"; with a key one that is not the
// announced notice is refused. With `lines`, from what was fetched there.
std::optional<PatchFailure> fetchNotice(PatchContext& ctx, const Trust& trust, std::string* notice,
                                        LinePrefetch* lines = nullptr);

// --- The plan carried out ---

// From the plan to the saved revision and the enabled buttons. `revision`
// is what the record then holds (none: it keeps its own); files that
// `deltas` has patches for may come by them.
std::optional<PatchFailure> applyPlan(PatchContext& ctx, std::vector<PlanEntry>& plan, const RunRules& rules,
                                      const DeltaPlan& deltas, std::optional<std::uint32_t> revision,
                                      RevisionRecord& record);

// The end of a run that ended well: the ready text, both action buttons on;
// finishRun also flashes the window, as every run that got so far does.
void showReady(PatchContext& ctx);

// The caption of a run that ended because the server published a later
// revision while it ran: one more run takes that revision.
extern const char kServerChangedCaption[];
// Added to a failed run's box when it ran out of descriptors.
extern const char kDescriptorLimitText[];
// `once` again after a publish during it, once: a second publish meanwhile
// gets its box.
std::optional<PatchFailure> againAfterPublish(PatchContext& ctx, RevisionRecord& record,
                                              std::optional<PatchFailure> (*once)(PatchContext&, RevisionRecord&));
void finishRun(PatchContext& ctx);

}  // namespace quillon
