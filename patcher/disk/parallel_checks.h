// Checks of many files on every core: the full check's comparison of the
// installation and the integrity checks of the staging files hash several
// files at once, one large file on one core while the next is read and
// hashed on another. The results are taken in list order on the calling
// thread, so the status texts, bars and the first failure are those of a
// check that goes through the list one file after the other.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "patcher/disk/game_tree.h"

namespace quillon {

// Runs `job(i, tree)` for every i < count on up to one thread per core (at
// most kMaxCheckThreads), each thread with a GameTree of its own on
// `gameDir`; `job` may only touch what belongs to its i. `inOrder(i)` runs
// on the calling thread for i = 0, 1, ... as soon as job i has finished;
// when it returns false no further job starts and no further inOrder runs.
void checkInParallel(const std::string& gameDir, std::size_t count,
                     const std::function<void(std::size_t, GameTree&)>& job,
                     const std::function<bool(std::size_t)>& inOrder);

constexpr unsigned kMaxCheckThreads = 8;

}  // namespace quillon
