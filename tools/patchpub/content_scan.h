// The content directory as a publish reads it: every file with the digest
// of its bytes and every folder, without what is not content, and refused
// with the reason when a name cannot reach players as it stands.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "patcher/protocol/digests.h"
#include "tools/patchpub/publisher.h"

namespace patchpub {

struct ContentTree {
    std::map<std::string, quillon::Digest> files;  // name -> MD5 of its bytes
    std::set<std::string> directories;
};

// False with a message when the content cannot be read or a name is
// refused; names that are published with a caveat add to `warnings`.
bool scanContent(const PublishOptions& options, ContentTree* tree, std::vector<std::string>* warnings,
                 std::string* error);

// False with a message when a content name changes kind from what earlier
// revisions published: `listedFiles` and `listedFolders` as a client coming
// from revision 0 carries them.
bool refuseKindChanges(const ContentTree& tree, const std::set<std::string>& listedFiles,
                       const std::set<std::string>& listedFolders, std::string* error);

}  // namespace patchpub
