// Revision packs: the small files of 64 revisions in one body, so a game far
// behind (a fresh install of a long history) makes one request where the
// walk over the revisions makes up to four per revision. They are optional,
// beside the protocol every launcher speaks: a launcher takes from a pack
// exactly the bodies it would have fetched one by one, judges each as if it
// had (by the signed lists, with a key), and fetches one by one whatever a
// pack lacks or holds wrong.
//
// - meta/pack_<first>.txt for first = 1, 65, 129, ..., written once every
//   revision from first to first + 63 is published, and again when one of
//   their files changes (an earlier revision signed later):
//     QUASK-PACK:1\n
//     FILE:<path>:<size>\n<size bytes>\n   one per file, each path once
//     END\n
//   where <path> is meta/<r>.txt, meta/sum_<r>.txt, meta/files_<r>.txt or
//   meta/files_<r>.sig of a revision r of the pack. A pack larger than
//   kMaxPackBytes is not written. Bytes after END are none of the pack's.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

constexpr std::uint32_t kRevisionsPerPack = 64;
constexpr std::uint64_t kMaxPackBytes = 16ull << 20;

// The first revision of the pack that holds revision `rev` (from 1).
std::uint32_t packFirstOf(std::uint32_t rev);
std::string revisionPackPath(std::uint32_t first);  // meta/pack_<first>.txt
// The revision whose own file `path` is, when it is one a pack holds.
std::optional<std::uint32_t> packedRevisionOf(std::string_view path);

struct PackedFile {
    std::string path;  // "meta/12.txt"
    std::string body;
};

// Empty on success, else why `body` is not the pack that starts at `first`.
std::string parseRevisionPack(std::string_view body, std::uint32_t first, std::vector<PackedFile>* files);
std::string revisionPackText(const std::vector<PackedFile>& files);

}  // namespace quillon
