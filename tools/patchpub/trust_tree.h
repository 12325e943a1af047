// The trust files of a server tree as the publisher writes them (layouts in
// patcher/protocol/trust_files.h): the chain of roots, the certificate of
// the online signing key, the expiring announcement of the latest revision
// and the mirror list; and the check that a launcher about to be published
// trusts the tree's keys. Each writes into a tree that is not served yet
// (see server_tree.h). Single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patcher/protocol/trust_files.h"
#include "tools/patchpub/signing.h"

namespace patchpub {

// The tree's roots from root_1 to the newest, each checked as a launcher
// takes it from the one before (root_1 from its own key); empty when the
// tree has none.
bool loadRootChain(const std::string& treeDir, std::vector<quillon::RootOfTrust>* chain, std::string* error);

// Makes `key` the signer of the tree. A tree without a root gets root_1
// naming it: the key the launchers are built with. A tree with roots takes
// the newest root's key, or a signing key that root certifies in
// meta/signer.txt (unexpired at `now`, not revoked). Anything else is false
// with the way to mend it. A certificate that ends before `announcedUntil`
// (or within 30 days) is warned of: players see the server out of date then.
bool prepareSigner(const std::string& treeDir, const SigningKey& key, std::int64_t now, std::int64_t announcedUntil,
                   std::vector<std::string>* warnings, std::string* error);

// meta/announce.txt and its signature by `key` for the tree at revision
// `latest`, expiring at `expires`: it names the newest root and the exact
// bytes of the control files, the latest revision's list, the full list
// and the mirror list that the tree has.
bool writeAnnouncement(const std::string& treeDir, std::uint32_t latest, const SigningKey& key,
                       std::int64_t expires, std::string* error);

// The next root: `next` as its key (the current one again to keep it),
// signed by `current`, which must be the newest root's key (or, in a tree
// without roots, the key the launchers are built with); its revocations are
// the newest root's and `revoke`. `signer` is then certified by the new root
// until `signerExpires`, unless it is the root key itself.
struct Rotation {
    const SigningKey* current = nullptr;
    const SigningKey* next = nullptr;
    std::vector<quillon::PublicKey> revoke;
    const SigningKey* signer = nullptr;
    std::int64_t signerExpires = 0;
};
bool rotateRoot(const std::string& treeDir, const Rotation& rotation, std::uint32_t* version, std::string* error);

// meta/mirrors.txt naming `urls`; with none, the list goes.
bool writeMirrorList(const std::string& treeDir, const std::vector<std::string>& urls, std::string* error);

// A launcher in the content (its /quillon) must trust a key of the tree's
// roots: a game directory it starts would trust nothing else. False with
// the fix when it does not; a launcher that asks a server on this machine
// is a warning.
// For an unsigned publish: a quillon in the content built with a key keeps
// that key in every game directory it first runs in, and then refuses this
// server's unsigned revisions; the warning that says so.
void warnOfKeyedLauncher(const std::string& contentDir, std::vector<std::string>* warnings);

bool checkLauncherTrust(const std::string& contentDir, const std::vector<quillon::RootOfTrust>& chain,
                        std::vector<std::string>* warnings, std::string* error);

}  // namespace patchpub
