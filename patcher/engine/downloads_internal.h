// The download step of the patch run and of the full check: every file to
// fetch is brought into its staging file "<name>.new", several at once over
// downloadConnections() kept-alive connections (HttpBatch).
//
// The run walks its list and adds each file as it comes to it; the walk goes
// on to the next entry once a connection is free again. With one connection
// that is the one-at-a-time download: every file has ended before the next
// entry is looked at. With more, later entries are handled while earlier
// files are still arriving.
//
// A staging file that a broken download left behind is continued where it
// ends with a Range request. A server that ignores the range sends the whole
// file, which is then a fresh download; one that sends another range, or a
// continued file that does not match its digest, gets one fresh download
// more. The integrity check after this step still judges every staging file.
//
// The window shows for each file what the one-at-a-time download shows, in
// the same order: as it takes a connection the lower bar and "File %u of %u"
// with its number (unless the walk already showed them) and "Preparing to
// Donwload Object %u of %u (%s)"; once its length is known and its staging
// file open, its first "Downlading ..." line with the upper bar and the speed
// cleared; every 400 ms the status and upper bar of the file that started
// first among those still arriving, and once a second the speed of all of
// them; and when it has arrived whole, speed 0, both bars 0 and the second
// line emptied. An empty file shows no progress and no clearing. Where files
// overlap their lines interleave, and a bar only goes back to 0.
//
// Every file comes from the first place of the run's mirrors that is not
// skipped. One that fails there (an error status, a stall, a body too large)
// skips that place and is fetched again from the next, and so is one whose
// bytes are not the expected ones while another place is left to ask; so is
// every file that was on its way from a place another file had skipped
// meanwhile. With the last place left, a failure is the run's.
//
// The first failure ends every other transfer and is returned with the texts
// of the one-at-a-time download. What the others wrote stays in their staging
// files, to be continued by the next run. Runs on the worker thread.
#pragma once

#include <cstdint>
#include <memory>
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
    bool counted = false;  // the walk showed "File %u of %u" and the lower bar itself
    Expected want;
    // Set: the body goes to `*memory` instead of the staging file, from
    // `url` below the base URL, and a failure only sets `*failed` (a delta
    // patch, which the whole file can always replace).
    std::string* memory = nullptr;
    std::string url;
    bool* failed = nullptr;
    std::uint64_t memoryLimit = UINT64_MAX;  // the most bytes taken into `*memory`
};

class FetchRun;

// One run's downloads, added in list order.
class Downloads {
public:
    // With `arrivals`, every staging file that arrived whole is handed
    // there as it ends.
    Downloads(PatchContext& ctx, GameTree& tree, const PhaseTexts& texts, Arrivals* arrivals = nullptr);
    ~Downloads();
    Downloads(const Downloads&) = delete;
    Downloads& operator=(const Downloads&) = delete;

    // Queues `file`; it starts as soon as a connection is free.
    void add(FileFetch file);
    // Runs the downloads until a connection is free for the next file, or
    // one has failed.
    std::optional<PatchFailure> waitForConnection();
    // Runs every download to its end.
    std::optional<PatchFailure> finish();

private:
    std::unique_ptr<FetchRun> m_run;
};

// Every file of `files` at once (the delta patches).
std::optional<PatchFailure> fetchFiles(PatchContext& ctx, GameTree& tree, const std::vector<FileFetch>& files,
                                       const PhaseTexts& texts);

}  // namespace quillon
