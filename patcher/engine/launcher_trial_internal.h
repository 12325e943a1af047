#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <thread>

#include "patcher/engine/patch_context.h"
#include "patcher/engine/trust_internal.h"

namespace quillon {

class EarlyDigests;

// The trial run of a new launcher as soon as its staging file has arrived,
// beside the other downloads instead of after the last one: starting a
// program takes longer than checking many small files. Only a file with the
// expected digests is run; its verdict holds while the file is unchanged.
class LauncherTrial {
public:
    LauncherTrial() = default;
    ~LauncherTrial();
    LauncherTrial(const LauncherTrial&) = delete;
    LauncherTrial& operator=(const LauncherTrial&) = delete;

    // Starts the trial when `name` is the running launcher's plain file; its
    // digests go to `digests`, since the trial's mode change makes the ones
    // read before look like another file's.
    void offer(PatchContext& ctx, const std::string& name, const Expected& want, EarlyDigests* digests);
    // Waits for the trial; its verdict when it tried the staging file that
    // is open as `fd`, unchanged since.
    std::optional<LauncherCheck> verdictFor(int fd);

private:
    void wait();
    void tryStaged(PatchContext& ctx, const std::string& name, const Expected& own, EarlyDigests* digests);

    std::thread m_thread;
    std::optional<SignedDigest> m_signed;
    struct stat m_tried {};
    std::optional<LauncherCheck> m_verdict;
};

}  // namespace quillon
