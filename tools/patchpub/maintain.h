// The changes to a signed server tree that keep its revision: a fresh
// announcement (refresh, what a publisher runs from cron), a new root of
// trust with the signing key certified by it (rotate, also to revoke a key),
// and a new mirror list. Each builds the next tree beside the live one,
// signs what the signing key has not signed yet, writes the announcement,
// verifies the tree as a launcher would and only then switches the server
// to it; any failure leaves the live tree as it was. Single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace patchpub {

struct MaintainOptions {
    std::string serverDir;
    std::string signKey;     // the signing key file (or the root key's)
    int validDays = 7;       // the announcement's life
    std::int64_t now = -1;   // UTC seconds; -1: the clock
    bool resign = false;     // every list made afresh from what the tree ships
    // rotate:
    std::string rootKey;               // the newest root's key file
    std::string newRootKey;            // empty: the root key stays
    std::vector<std::string> revoke;   // public keys (base64) or key files
    int keyValidDays = 365;            // the signing key's certificate
    // mirrors:
    std::vector<std::string> mirrors;  // base URLs
};

struct MaintainResult {
    std::uint32_t revision = 0;
    std::uint32_t rootVersion = 0;
    std::int64_t expires = 0;
    unsigned signedLists = 0;
    std::vector<std::string> warnings;
};

enum class Maintenance { kRefresh, kRotate, kMirrors };
bool maintainServer(Maintenance what, const MaintainOptions& options, MaintainResult* result,
                    std::string* error);

// The end of every change to a tree before it goes live, publishing
// included: with a key, its lists signed (every one afresh with `relist`,
// else those the key has not signed) and the announcement written to expire
// at `expires`; then its revision packs written (revision_packs.h); then
// the whole tree verified as a launcher would take it, reading every data
// file when `hashData`. False, with what a launcher would refuse and how to
// mend it, otherwise.
class SigningKey;
struct FinishTree {
    const SigningKey* key = nullptr;  // none: an unsigned tree
    bool relist = true;
    std::int64_t now = 0;
    std::int64_t expires = 0;
    bool hashData = true;
};
bool finishTree(const std::string& treeDir, std::uint32_t latest, const FinishTree& how, unsigned* signedLists,
                std::vector<std::string>* warnings, std::string* error);

}  // namespace patchpub
