// The signed file lists: what the publisher's key vouches for. Beside the
// metadata of each revision the server keeps meta/files_<rev>.txt, and for
// the full check meta/files_full.txt; each has a detached Ed25519 signature
// over its exact bytes in meta/files_<rev>.sig or meta/files_full.sig (64
// bytes, nothing else). Launchers without a key never ask for these files.
//
// Layout: text, every line ended by a line feed, no blank line.
//   QUASK-FILES:1:revision        (meta/files_<rev>.txt)  or
//   QUASK-FILES:1:full            (meta/files_full.txt); always the first line
//   REV:<revision>                exactly once: the revision the list is of
//   LIST:<sha256>:<size>:<path>   the exact bytes of a line file of the
//                                 revision: meta/<rev>.txt, meta/sum_<rev>.txt,
//                                 or meta/sum_full.txt
//   FILE:<sha256>:<size>:<name>   a data file as the server ships it below
//                                 data/ (packed files packed), by its name in
//                                 the metadata (leading slash)
// Digests are 64 lower-case hex digits, sizes decimal byte counts without
// leading zeros. Lines of other kinds are skipped, so that a later version
// can add some without breaking older launchers; a new layout changes the 1.
//
// The parser works on the body as received and refuses anything it cannot
// read exactly; the writer gives the one spelling the parser accepts. Pure
// functions; any thread may call them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "patcher/protocol/line_files.h"

namespace quillon {

struct FileList {
    enum Kind { kRevision, kFull };
    Kind kind = kRevision;
    std::uint32_t revision = 0;
    std::map<std::string, SignedDigest> lists;  // "meta/7.txt" -> its digest
    std::map<std::string, SignedDigest> files;  // "/data/x.ma_" -> its digest
};

// The paths of a revision's files on the server, below the base URL.
std::string revisionListPath(std::uint32_t rev);       // meta/files_<rev>.txt
std::string revisionSignaturePath(std::uint32_t rev);  // meta/files_<rev>.sig
constexpr char kFullListPath[] = "meta/files_full.txt";
constexpr char kFullSignaturePath[] = "meta/files_full.sig";

// Empty on success, else why the body is not a file list.
std::string parseFileList(std::string_view body, FileList* list);
std::string fileListText(const FileList& list);

// The fields of such lines, in the one spelling the writers give: decimal
// digits without a leading zero (but "0") up to `max`, and 64 lower-case
// hex digits.
bool parseListDecimal(std::string_view text, std::uint64_t max, std::uint64_t* value);
bool parseListSha256(std::string_view hex, Sha256* out);

}  // namespace quillon
