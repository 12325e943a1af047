// Files replaced in one step: each is written beside its place under a
// temporary name, flushed to disk, and renamed over it, so a failure on the
// way (a full disk) leaves the file that was there. A name that is a link
// stands for the file it names, which is the one replaced; a replaced file
// keeps its mode. Single-threaded; no state of its own.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/contentkit/formats/byte_io.h"

namespace contentkit {

// While it moves staged files into place, writeAllOrNothing keeps their list
// in this file at the root: a run killed among the moves leaves it, and the
// next run finishes them before anything else.
constexpr char kPendingMovesName[] = ".contentkit.moves";

// The names in the list (below the root, each ended by a NUL); false for a
// list that is damaged or names a file outside the root.
bool parsePendingMoves(const std::string& text, std::vector<std::string>* names);

// Finishes the moves that a run killed among them listed at `root`: each
// staged file still there goes into place, then the list goes. Returns how
// many moved; -1 with `error`, nothing moved, when the list is damaged or a
// file still to be replaced was changed after the list was written; -1
// when a move fails.
long finishPendingMoves(const std::string& root, std::string* error);

// Files written all or nothing below a root folder: only when every one is
// staged are they renamed into place. A failure removes what was staged and
// the folders made for it, so the tree stays as it was. (path relative to
// the root, bytes). False with a message naming the file and the reason;
// `moved`, when given, tells whether some files were in place already (only
// a file system that refuses a rename gets there: the rest stay staged and
// listed for the next run). Moves an earlier run left unfinished are
// finished first.
bool writeAllOrNothing(const std::string& root, const std::vector<std::pair<std::string, const Bytes*>>& files,
                       std::string* error, bool* moved = nullptr);

// One file at `path`, replaced in one step. What is not a regular file (a
// device, a pipe) cannot be replaced and is written through. False with the
// reason (the system's text, "Is a directory" for a folder) when the file
// as it was is still there.
bool replaceFile(const std::string& path, const Bytes& data, std::string* why);

}  // namespace contentkit
