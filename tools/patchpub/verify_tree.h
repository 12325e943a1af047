// patchpub verify: a server tree judged with the launcher's own checks (the
// protocol library's parsers, signatures and digests), as a launcher that
// starts from an empty game directory would meet it: the control files, the
// metadata and sums of every revision, the full list, every data file they
// name, the revision packs and, in a signed tree, the roots, the
// certificate, the announcement and every signed list. patchpub runs it on
// each tree before it goes live; `patchpub verify SERVER_DIR` runs it on the
// live one. Single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace patchpub {

struct VerifyOptions {
    std::int64_t now = -1;   // UTC seconds for expiry; -1: the clock
    bool hashData = true;    // read every data file (false: names and sizes only)
    bool checkPacks = true;  // false: the revision packs were just made from the tree's files
};

struct VerifyReport {
    std::uint32_t revision = 0;
    bool signedTree = false;
    std::int64_t expires = 0;           // the announcement's, when signed
    std::vector<std::string> problems;  // what a launcher would refuse
    std::vector<std::string> repairs;   // how to mend them, once each
};

// True when a launcher would take the tree as it is.
bool verifyTree(const std::string& treeDir, const VerifyOptions& options, VerifyReport* report);

}  // namespace patchpub
