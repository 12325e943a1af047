// Delta updates in the patch run: a file the revision changed whose
// installed version a revision's delta list names as a base is brought up to
// date by fetching the patches and applying them (protocol/delta_list.h),
// each one after the other over several revisions, instead of fetching it
// whole.
//
// Every size a delta list states is bounded before anything is fetched or
// taken for it (patchedFileLimit, in the trust module): the list itself is
// a line file, and a chain whose patches or results state more is passed
// over.
//
// Patches are only ever a shortcut. The result is checked in memory against
// the sum file's digest and, with a key, the signed one before it becomes
// the file's staging file; a delta list that cannot be fetched or read, a
// base that does not match, a patch that does not arrive, does not apply or
// gives another file all leave the file to be downloaded whole, as if there
// were no patches. Nothing here fails a run, and nothing but staging files
// is written. Runs on the worker thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "patcher/engine/file_steps_internal.h"
#include "patcher/protocol/delta_list.h"

namespace quillon {

// The patches of the collected revisions, in revision order per name.
struct DeltaPlan {
    struct Step {
        std::uint32_t revision = 0;
        DeltaEntry entry;
    };
    std::map<std::string, std::vector<Step>> byName;
    bool empty() const { return byName.empty(); }
};

// Reads the "DELTAS:" line of revision `rev`'s metadata body and, when it
// has one, fetches and checks that delta list and adds its patches.
void collectDeltaList(PatchContext& ctx, std::uint32_t rev, std::string_view metadata, DeltaPlan* plan);

// Stages every file of `entries` still to download that patches can bring
// from its installed version to the expected one, and marks it staged;
// returns how many. `count` is the run's number of files to download, for
// "File %u of %u".
unsigned stageFromDeltas(PatchContext& ctx, GameTree& tree, const DeltaPlan& plan,
                         std::vector<PlanEntry>& entries, unsigned count, const PhaseTexts& texts);

}  // namespace quillon
