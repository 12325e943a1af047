// The download step of the patch run and of the full check: every file to
// fetch is brought into its staging file "<name>.new", several at once over
// downloadConnections() kept-alive connections (HttpBatch).
//
// A staging file that a broken download left behind is continued where it
// ends with a Range request. A server that ignores the range sends the whole
// file, which is then a fresh download; one that sends another range, or a
// continued file that does not match its digest, gets one fresh download
// more. The integrity check after this step still judges every staging file.
//
// The window shows what a one-at-a-time download shows. As each file starts:
// the lower bar and "File %u of %u" with its number, and "Preparing to
// Donwload Object %u of %u (%s)". Every 400 ms the status and the upper bar
// follow the file that has been running longest; once a second the speed
// is that of all transfers together; whenever no transfer is left running,
// speed, both bars and the second line are cleared. With one connection that
// is exactly the one-at-a-time sequence.
//
// The first failure ends every other transfer and is returned with the texts
// of the one-at-a-time download. What the others wrote stays in their staging
// files, to be continued by the next run. Runs on the worker thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "patcher/engine/file_steps_internal.h"
#include "patcher/engine/trust_internal.h"

namespace quillon {

struct FileFetch {
    std::string name;    // the entry's name ("/data/x.map")
    unsigned index = 0;  // "Object %u of %u"
    unsigned done = 0;   // "File %u of %u", and the lower bar
    unsigned count = 0;
    Expected want;
    // Set: the body goes to `*memory` instead of the staging file, from
    // `url`, and a failure only sets `*failed` (a delta patch, which the
    // whole file can always replace).
    std::string* memory = nullptr;
    std::string url;
    bool* failed = nullptr;
    std::uint64_t memoryLimit = UINT64_MAX;  // the most bytes taken into `*memory`
};

std::optional<PatchFailure> fetchFiles(PatchContext& ctx, GameTree& tree, const std::vector<FileFetch>& files,
                                       const PhaseTexts& texts);

}  // namespace quillon
