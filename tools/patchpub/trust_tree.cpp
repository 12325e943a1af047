#include "tools/patchpub/trust_tree.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "patcher/protocol/digests.h"
#include "patcher/protocol/file_lists.h"
#include "tools/patchpub/tree_files.h"

namespace patchpub {

namespace {

std::string at(const std::string& treeDir, const std::string& path) { return treeDir + "/" + path; }

bool writeFile(const std::string& treeDir, const std::string& path, const std::string& bytes, std::string* error) {
    if (writeReplacing(at(treeDir, path), bytes)) return true;
    *error = "cannot write " + at(treeDir, path) + ": " + std::strerror(errno);
    return false;
}

bool removeFile(const std::string& treeDir, const std::string& path, std::string* error) {
    if (::unlink(at(treeDir, path).c_str()) == 0 || errno == ENOENT) return true;
    *error = "cannot remove " + at(treeDir, path) + ": " + std::strerror(errno);
    return false;
}

// A root's text with both signatures: by the key before it, then its own.
bool writeRoot(const std::string& treeDir, const quillon::RootOfTrust& root, const SigningKey& before,
               const SigningKey& own, std::string* error) {
    const std::string text = quillon::rootText(root);
    const std::string sig = before.sign(text) + own.sign(text);
    if (sig.size() != quillon::kRootSignatureSize) {
        *error = "cannot sign " + quillon::rootPath(root.version);
        return false;
    }
    return writeFile(treeDir, quillon::rootPath(root.version), text, error) &&
           writeFile(treeDir, quillon::rootSignaturePath(root.version), sig, error);
}

bool writeCertificate(const std::string& treeDir, const quillon::SignerCertificate& cert, const SigningKey& root,
                      std::string* error) {
    const std::string text = quillon::certificateText(cert);
    const std::string sig = root.sign(text);
    if (sig.size() != quillon::kSignatureSize) {
        *error = std::string("cannot sign ") + quillon::kSignerPath;
        return false;
    }
    return writeFile(treeDir, quillon::kSignerPath, text, error) &&
           writeFile(treeDir, quillon::kSignerSignaturePath, sig, error);
}

std::string keyText(const quillon::PublicKey& key) { return quillon::publicKeyText(key); }

bool isLoopbackUrl(const std::string& url) {
    for (const char* host : {"http://127.", "https://127.", "http://localhost", "https://localhost", "http://[::1]"})
        if (url.rfind(host, 0) == 0) return true;
    return false;
}

}  // namespace

bool loadRootChain(const std::string& treeDir, std::vector<quillon::RootOfTrust>* chain, std::string* error) {
    chain->clear();
    for (std::uint32_t v = 1; v != 0; ++v) {
        std::string text, sig;
        const ReadResult read = readIfPresent(at(treeDir, quillon::rootPath(v)), &text);
        if (read == ReadResult::kMissing) return true;
        if (read == ReadResult::kFailed || !readWholeFile(at(treeDir, quillon::rootSignaturePath(v)), &sig)) {
            *error = "cannot read " + quillon::rootPath(v) + " or its signature" + errnoReason();
            return false;
        }
        quillon::RootOfTrust first;
        if (v == 1 && quillon::parseRoot(text, &first).empty()) first.version = 0;
        const quillon::RootOfTrust& before = v == 1 ? first : chain->back();
        quillon::RootOfTrust next;
        if (quillon::takeRoot(before, v, text, sig, &next) != quillon::RootStep::kTaken) {
            *error = quillon::rootPath(v) + " is damaged or not signed by the root before it";
            return false;
        }
        chain->push_back(next);
    }
    return true;
}

bool prepareSigner(const std::string& treeDir, const SigningKey& key, std::int64_t now, std::int64_t announcedUntil,
                   std::vector<std::string>* warnings, std::string* error) {
    std::vector<quillon::RootOfTrust> chain;
    if (!loadRootChain(treeDir, &chain, error)) return false;
    if (chain.empty()) {
        const quillon::RootOfTrust first{1, key.publicKey(), {}};
        return writeRoot(treeDir, first, key, key, error);
    }
    const quillon::RootOfTrust& root = chain.back();
    if (quillon::sameKey(root.key, key.publicKey())) return true;
    const std::string rootName = quillon::rootPath(root.version);
    const std::string fix = "; certify it with: patchpub rotate SERVER_DIR --root ROOTKEY --sign " +
                            std::string("KEYFILE (or sign with the root key)");
    std::string text, sig;
    quillon::SignerCertificate cert;
    const ReadResult read = readIfPresent(at(treeDir, quillon::kSignerPath), &text);
    if (read == ReadResult::kFailed ||
        (read == ReadResult::kRead && !readWholeFile(at(treeDir, quillon::kSignerSignaturePath), &sig))) {
        *error = std::string("cannot read ") + quillon::kSignerPath + " or its signature" + errnoReason();
        return false;
    }
    const quillon::SignerCheck check = read == ReadResult::kRead
                                           ? quillon::checkCertificate(root, text, sig, now, &cert)
                                           : quillon::SignerCheck::kDamaged;
    if (quillon::isRevoked(root, key.publicKey())) {
        *error = "the key " + keyText(key.publicKey()) + " is revoked by " + rootName + ": sign with another key";
        return false;
    }
    if (read != ReadResult::kRead || check == quillon::SignerCheck::kNotSigned ||
        check == quillon::SignerCheck::kDamaged || !quillon::sameKey(cert.key, key.publicKey())) {
        *error = "the key " + keyText(key.publicKey()) + " is neither the root key of the server (" + rootName +
                 ") nor certified by it" + fix;
        return false;
    }
    if (check == quillon::SignerCheck::kExpired) {
        *error = "the certificate of the key " + keyText(key.publicKey()) + " expired on " +
                 quillon::utcTimeForPlayer(cert.expires) + fix;
        return false;
    }
    if (cert.expires < announcedUntil)
        warnings->push_back("the certificate of the signing key expires on " + quillon::utcTimeForPlayer(cert.expires) +
                            ", before the announcement: from then on players see the server out of date; renew it "
                            "with patchpub rotate before then");
    else if (cert.expires - now < 30 * 86400)
        warnings->push_back("the certificate of the signing key expires on " + quillon::utcTimeForPlayer(cert.expires) +
                            ": renew it with patchpub rotate before then");
    return true;
}

bool writeAnnouncement(const std::string& treeDir, std::uint32_t latest, const SigningKey& key,
                       std::int64_t expires, std::string* error) {
    std::vector<quillon::RootOfTrust> chain;
    if (!loadRootChain(treeDir, &chain, error)) return false;
    quillon::Announcement a;
    a.revision = latest;
    a.rootVersion = chain.empty() ? 0 : chain.back().version;
    a.expires = expires;
    const std::string named[] = {"allow.txt", "notice.txt", "notice_close.txt", quillon::revisionListPath(latest),
                                 quillon::kFullListPath, quillon::kMirrorListPath};
    for (const std::string& path : named) {
        std::string bytes;
        const ReadResult read = readIfPresent(at(treeDir, path), &bytes);
        if (read == ReadResult::kFailed) {
            *error = "cannot read " + at(treeDir, path) + errnoReason();
            return false;
        }
        if (read == ReadResult::kRead) a.files[path] = quillon::signedDigestOf(bytes);
    }
    const std::string text = quillon::announcementText(a);
    const std::string sig = key.sign(text);
    if (sig.size() != quillon::kSignatureSize) {
        *error = std::string("cannot sign ") + quillon::kAnnouncePath;
        return false;
    }
    return writeFile(treeDir, quillon::kAnnouncePath, text, error) &&
           writeFile(treeDir, quillon::kAnnounceSignaturePath, sig, error);
}

bool rotateRoot(const std::string& treeDir, const Rotation& r, std::uint32_t* version, std::string* error) {
    std::vector<quillon::RootOfTrust> chain;
    if (!loadRootChain(treeDir, &chain, error)) return false;
    if (!chain.empty() && !quillon::sameKey(chain.back().key, r.current->publicKey())) {
        *error = "the key " + keyText(r.current->publicKey()) + " is not the key of the newest root " +
                 quillon::rootPath(chain.back().version) + ": give that one with --root";
        return false;
    }
    quillon::RootOfTrust next;
    next.version = chain.empty() ? 1 : chain.back().version + 1;
    next.key = r.next->publicKey();
    if (!chain.empty()) next.revoked = chain.back().revoked;
    next.revoked.insert(next.revoked.end(), r.revoke.begin(), r.revoke.end());
    for (const quillon::PublicKey& key : {next.key, r.signer->publicKey()}) {
        if (quillon::isRevoked(next, key)) {
            *error = "the key " + keyText(key) + " would be revoked by the new root itself";
            return false;
        }
    }
    if (!writeRoot(treeDir, next, *r.current, *r.next, error)) return false;
    *version = next.version;
    // The root key signs for itself; any other signer needs the new root's word.
    if (quillon::sameKey(r.signer->publicKey(), next.key))
        return removeFile(treeDir, quillon::kSignerPath, error) &&
               removeFile(treeDir, quillon::kSignerSignaturePath, error);
    return writeCertificate(treeDir, quillon::SignerCertificate{r.signer->publicKey(), r.signerExpires}, *r.next,
                            error);
}

bool writeMirrorList(const std::string& treeDir, const std::vector<std::string>& urls, std::string* error) {
    if (urls.empty()) return removeFile(treeDir, quillon::kMirrorListPath, error);
    quillon::MirrorList list{urls};
    const std::string text = quillon::mirrorListText(list);
    quillon::MirrorList back;
    const std::string problem = quillon::parseMirrorList(text, &back);
    if (!problem.empty()) {
        *error = "not a mirror list a launcher takes (" + problem +
                 "): each mirror is an http:// or https:// URL ending in a slash, named once";
        return false;
    }
    return writeFile(treeDir, quillon::kMirrorListPath, text, error);
}

void warnOfKeyedLauncher(const std::string& contentDir, std::vector<std::string>* warnings) {
    const std::string path = contentDir + "/quillon";
    std::string program;
    if (readIfPresent(path, &program) != ReadResult::kRead) return;
    const quillon::LauncherMarks marks = quillon::readLauncherMarks(program);
    if (!marks.found || marks.key.empty()) return;
    warnings->push_back(path + " trusts the key " + marks.key +
                        ", but this revision is not signed: players who take it refuse every unsigned revision "
                        "from then on; publish with --sign and that key's file");
}

bool checkLauncherTrust(const std::string& contentDir, const std::vector<quillon::RootOfTrust>& chain,
                        std::vector<std::string>* warnings, std::string* error) {
    const std::string path = contentDir + "/quillon";
    std::string program;
    const ReadResult read = readIfPresent(path, &program);
    if (read == ReadResult::kMissing) return true;  // no launcher ships
    if (read == ReadResult::kFailed) {
        *error = "cannot read " + path + errnoReason();
        return false;
    }
    const quillon::LauncherMarks marks = quillon::readLauncherMarks(program);
    const std::string rootKey = chain.empty() ? std::string() : keyText(chain.back().key);
    const std::string build = "build it with cmake -DQUILLON_PUBLIC_KEY=" + rootKey +
                              " (or publish with --unchecked-launcher where players' launchers take the key from "
                              "QUILLON_PUBLIC_KEY, as in tests)";
    if (!marks.found) {
        *error = path + " does not say which key it trusts: it is no launcher of this version; " + build;
        return false;
    }
    if (marks.key.empty()) {
        *error = path + " was built without a key: in a new game directory it would install unsigned updates; " + build;
        return false;
    }
    bool named = false;
    for (const quillon::RootOfTrust& root : chain) named = named || keyText(root.key) == marks.key;
    if (!named) {
        *error = path + " trusts the key " + marks.key + ", which no root of trust of the server names; " + build;
        return false;
    }
    if (isLoopbackUrl(marks.url))
        warnings->push_back(path + " asks the patch server " + marks.url +
                            " on the player's own machine: build it with cmake -DQUILLON_BASE_URL=<your server>");
    return true;
}

}  // namespace patchpub
