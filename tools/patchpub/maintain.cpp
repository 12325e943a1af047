#include "tools/patchpub/maintain.h"

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "patcher/protocol/trust_files.h"
#include "tools/patchpub/publisher.h"
#include "tools/patchpub/revision_packs.h"
#include "tools/patchpub/server_tree.h"
#include "tools/patchpub/signing.h"
#include "tools/patchpub/trust_tree.h"
#include "tools/patchpub/verify_tree.h"

namespace patchpub {

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kLatestExpiry = 253402300799;  // 9999-12-31T23:59:59Z

// A key to revoke: its public text, or a key file holding it.
// Once per key file: the root key may sign as well.
void warnOfExposure(const SigningKey& key, std::vector<std::string>* warnings) {
    const std::string& warning = key.exposure();
    if (!warning.empty() && std::find(warnings->begin(), warnings->end(), warning) == warnings->end())
        warnings->push_back(warning);
}

bool loadPublic(const std::string& what, quillon::PublicKey* key, std::string* error) {
    if (auto parsed = quillon::parsePublicKey(what)) {
        *key = *parsed;
        return true;
    }
    SigningKey file;
    if (!file.load(what, error)) {
        *error = "--revoke " + what + ": neither a public key nor a key file (" + *error + ")";
        return false;
    }
    *key = file.publicKey();
    return true;
}

bool rotate(const std::string& tree, const MaintainOptions& o, const SigningKey& signer, std::int64_t now,
            MaintainResult* result, std::string* error) {
    SigningKey current, next;
    if (!current.load(o.rootKey, error) || (!o.newRootKey.empty() && !next.load(o.newRootKey, error))) return false;
    for (const SigningKey* key : {&current, &next}) warnOfExposure(*key, &result->warnings);
    Rotation r;
    r.current = &current;
    r.next = o.newRootKey.empty() ? &current : &next;
    r.signer = &signer;
    r.signerExpires = now + o.keyValidDays * kDay;
    for (const std::string& text : o.revoke) {
        quillon::PublicKey key;
        if (!loadPublic(text, &key, error)) return false;
        r.revoke.push_back(key);
    }
    return rotateRoot(tree, r, &result->rootVersion, error);
}

}  // namespace

bool finishTree(const std::string& treeDir, std::uint32_t latest, const FinishTree& how, unsigned* signedLists,
                std::vector<std::string>* warnings, std::string* error) {
    *signedLists = 0;
    // Expiries are written in the years 1970 to 9999: one counted from a
    // clock outside them would be cut to what nobody meant.
    if (how.key && (how.now < 0 || how.expires > kLatestExpiry)) {
        *error = "the clock of this computer says " + quillon::utcTimeForPlayer(how.now) +
                 ", and an expiry can name only the years 1970 to 9999: set the clock right and sign again";
        return false;
    }
    if (how.key) {
        if (!prepareSigner(treeDir, *how.key, how.now, how.expires, warnings, error) ||
            !signTree(treeDir, latest, *how.key, how.relist ? ListMode::kEvery : ListMode::kUnsigned, signedLists,
                      error) ||
            !writeAnnouncement(treeDir, latest, *how.key, how.expires, error))
            return false;
    }
    // Last of all: a pack holds its revisions' files as they go live. Each
    // is made afresh from them, so one changed by hand is mended here, and
    // the check below need not read them all again.
    if (!writeRevisionPacks(treeDir, latest, error)) return false;
    VerifyReport report;
    // Lists made afresh read every data file anyway: so does their check.
    if (verifyTree(treeDir, VerifyOptions{how.now, how.hashData || *signedLists > 0, false}, &report)) return true;
    *error = "the new tree would be refused by launchers, so the server stays as it was: " + report.problems[0];
    for (std::size_t i = 1; i < report.problems.size() && i < 5; ++i) *error += "; " + report.problems[i];
    return false;
}

bool maintainServer(Maintenance what, const MaintainOptions& o, MaintainResult* result, std::string* error) {
    *result = MaintainResult{};
    ServerTrees trees(o.serverDir);
    if (!trees.lock(error)) return false;
    Manifest state;
    if (!loadServerState(o.serverDir, &state, error)) return false;
    if (state.revision == 0) {
        *error = o.serverDir + " has no published revision yet";
        return false;
    }
    if (o.validDays < 1 || o.validDays > 3660) {
        *error = "--valid takes days from 1 to 3660";
        return false;
    }
    if (o.keyValidDays < 1 || o.keyValidDays > 36600) {
        *error = "--key-valid takes days from 1 to 36600";
        return false;
    }
    SigningKey signer;
    if (!signer.load(o.signKey, error)) return false;
    warnOfExposure(signer, &result->warnings);
    const std::int64_t now = o.now >= 0 ? o.now : static_cast<std::int64_t>(std::time(nullptr));
    std::string building, note;
    if (!trees.beginRefresh(state.revision, &building, error)) return false;
    bool edited = true;
    if (what == Maintenance::kRotate) edited = rotate(building, o, signer, now, result, error);
    if (what == Maintenance::kMirrors) edited = writeMirrorList(building, o.mirrors, error);
    FinishTree how;
    how.key = &signer;
    how.relist = o.resign;
    how.now = now;
    how.expires = now + o.validDays * kDay;
    how.hashData = o.resign;
    if (!edited || !finishTree(building, state.revision, how, &result->signedLists, &result->warnings, error) ||
        !trees.switchTo(building, &note, error)) {
        trees.discard(building);
        return false;
    }
    if (!note.empty()) result->warnings.push_back(note);
    std::vector<quillon::RootOfTrust> chain;
    std::string ignored;
    if (loadRootChain(o.serverDir, &chain, &ignored) && !chain.empty()) result->rootVersion = chain.back().version;
    result->revision = state.revision;
    result->expires = how.expires;
    return true;
}

}  // namespace patchpub
