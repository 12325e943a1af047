// The revision packs of a server tree (patcher/protocol/revision_pack.h):
// the pack the tree's own files of 64 revisions make, and the writing of
// every pack whose revisions are all published, once those files are final
// (signatures included). A pack is written as a new file, never through the
// hard link the older trees share it by, so they keep theirs. Single-threaded.
#pragma once

#include <cstdint>
#include <string>

namespace patchpub {

// The text of the pack that starts at `first`, from the tree's files of its
// revisions (each that is there); empty when it would be larger than a
// launcher takes. False with a message when one of them cannot be read.
bool packOfTree(const std::string& treeDir, std::uint32_t first, std::string* text, std::string* error);

// Writes every pack of the tree whose revisions `latest` has all published
// where the tree's is missing or differs, and removes one that would be too
// large. False with a message when a file cannot be read or written.
bool writeRevisionPacks(const std::string& treeDir, std::uint32_t latest, std::string* error);

}  // namespace patchpub
