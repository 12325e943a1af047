#include "tools/patchpub/signing.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "patcher/protocol/digests.h"
#include "patcher/protocol/file_lists.h"
#include "shared/patch_file.h"
#include "tools/patchpub/tree_files.h"

namespace fs = std::filesystem;

namespace patchpub {

namespace {

// What the tree ships below data/, by name: both digests and the size.
using Shipped = std::map<std::string, quillon::FileDigests>;

bool hashShipped(const std::string& treeDir, Shipped* shipped, std::string* error) {
    const fs::path data = fs::path(treeDir) / "data";
    std::error_code ec;
    if (!fs::exists(data, ec)) return true;
    for (fs::recursive_directory_iterator it(data, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        const int fd = ::open(it->path().c_str(), O_RDONLY | O_CLOEXEC);
        quillon::FileDigests d;
        const bool ok = fd >= 0 && quillon::digestsOfFd(fd, true, true, &d);
        if (fd >= 0) ::close(fd);
        if (!ok) {
            *error = "cannot read " + it->path().string() + errnoReason();
            return false;
        }
        (*shipped)["/" + it->path().lexically_relative(data).generic_string()] = d;
    }
    if (ec) *error = "cannot read " + data.string() + ": " + ec.message();
    return !ec;
}

bool writeSigned(const std::string& treeDir, const std::string& listPath, const std::string& sigPath,
                 const quillon::FileList& list, const SigningKey& key, std::string* error) {
    const std::string text = quillon::fileListText(list);
    const std::string signature = key.sign(text);
    if (signature.size() != quillon::kSignatureSize) {
        *error = "cannot sign " + listPath;
        return false;
    }
    if (!writeReplacing(treeDir + "/" + listPath, text) || !writeReplacing(treeDir + "/" + sigPath, signature)) {
        *error = "cannot write " + treeDir + "/" + listPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The list of one revision: its line files and every file it fetches that
// the tree still ships with the digest of the revision's sum file.
bool revisionList(const std::string& treeDir, std::uint32_t rev, const Shipped& shipped,
                  quillon::FileList* list, std::string* error) {
    const std::string metaPath = "meta/" + std::to_string(rev) + ".txt";
    const std::string sumsPath = "meta/sum_" + std::to_string(rev) + ".txt";
    std::string meta, sums;
    if (!readWholeFile(treeDir + "/" + metaPath, &meta)) {
        *error = "cannot read " + metaPath + errnoReason();
        return false;
    }
    *list = quillon::FileList{};
    list->revision = rev;
    list->lists[metaPath] = quillon::signedDigestOf(meta);
    quillon::UpdateList entries;
    quillon::MetadataScan scan;
    bool hasFiles = false;
    std::optional<quillon::PatchFailure> failure = quillon::parseRevisionMetadata(meta, rev, entries, scan, &hasFiles);
    // A sum file that is there but cannot be read must fail the list, not
    // leave it out: launchers would refuse the revision for good.
    const ReadResult sumsRead = readIfPresent(treeDir + "/" + sumsPath, &sums);
    if (sumsRead == ReadResult::kFailed || (sumsRead == ReadResult::kMissing && hasFiles && !failure)) {
        *error = "cannot read " + sumsPath + errnoReason();
        return false;
    }
    if (!failure && sumsRead == ReadResult::kRead) {
        list->lists[sumsPath] = quillon::signedDigestOf(sums);
        if (hasFiles) failure = quillon::parseRevisionSums(sums, rev, entries);
    }
    if (failure) {
        *error = metaPath + ": " + failure->text;
        return false;
    }
    for (const quillon::UpdateFileEntry& e : entries.newestFirst()) {
        if (e.type != quillon::UpdateFileEntry::kFile || e.action != quillon::UpdateFileEntry::kFetch) continue;
        const auto it = shipped.find(e.name);
        if (it != shipped.end() && it->second.md5 == e.digest) list->files[e.name] = it->second.signedDigest;
    }
    return true;
}

bool fullList(const std::string& treeDir, const Shipped& shipped, quillon::FileList* list, std::string* error) {
    std::string body;
    std::vector<quillon::FullSumEntry> sums;
    *list = quillon::FileList{};
    list->kind = quillon::FileList::kFull;
    if (!readWholeFile(treeDir + "/meta/sum_full.txt", &body)) {
        *error = "cannot read meta/sum_full.txt" + errnoReason();
        return false;
    }
    if (auto failure = quillon::parseFullSums(body, &list->revision, &sums)) {
        *error = "meta/sum_full.txt: " + failure->text;
        return false;
    }
    list->lists["meta/sum_full.txt"] = quillon::signedDigestOf(body);
    for (const quillon::FullSumEntry& sum : sums) {
        const auto it = shipped.find(sum.name);
        if (it == shipped.end() || it->second.md5 != sum.digest) {
            *error = "data" + sum.name + " is not what meta/sum_full.txt says";
            return false;
        }
        list->files[sum.name] = it->second.signedDigest;
    }
    return true;
}

}  // namespace

// --- Keys ---

SigningKey::SigningKey() = default;
SigningKey::~SigningKey() { EVP_PKEY_free(m_key); }
SigningKey::SigningKey(SigningKey&& other) noexcept : m_key(other.m_key), m_public(other.m_public) {
    other.m_key = nullptr;
}
SigningKey& SigningKey::operator=(SigningKey&& other) noexcept {
    if (this != &other) {
        EVP_PKEY_free(m_key);
        m_key = other.m_key;
        m_public = other.m_public;
        other.m_key = nullptr;
    }
    return *this;
}

bool SigningKey::load(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (!file) {
        *error = "cannot read the key " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    const bool exposed = ::fstat(::fileno(file), &st) == 0 && (st.st_mode & 077) != 0;
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    std::size_t len = m_public.bytes.size();
    if (!key || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519 ||
        EVP_PKEY_get_raw_public_key(key, m_public.bytes.data(), &len) != 1 || len != m_public.bytes.size()) {
        EVP_PKEY_free(key);
        *error = path + " is not an Ed25519 private key (make one with: patchpub keygen KEYFILE)";
        return false;
    }
    EVP_PKEY_free(m_key);
    m_key = key;
    m_exposure = exposed ? "the key " + path + " can be read by other users, who could sign updates with it: " +
                               "chmod 600 it"
                         : std::string();
    return true;
}

std::string SigningKey::sign(std::string_view message) const {
    std::string signature(quillon::kSignatureSize, '\0');
    std::size_t len = signature.size();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!m_key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, m_key) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&signature[0]), &len,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
        len != quillon::kSignatureSize) {
        return {};
    }
    return signature;
}

bool generateKey(const std::string& path, std::string* publicText, std::string* error) {
    // Never over an existing key: that one may be what players trust.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errno == EEXIST ? path + " exists: refusing to overwrite a key"
                                 : "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    std::FILE* file = ::fdopen(fd, "wb");
    bool ok = key && file && ::fchmod(fd, 0600) == 0 &&
              PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
              std::fflush(file) == 0 && ::fsync(fd) == 0;
    ok = (file ? std::fclose(file) == 0 : ::close(fd) == 0) && ok;
    quillon::PublicKey pub;
    std::size_t len = pub.bytes.size();
    ok = ok && EVP_PKEY_get_raw_public_key(key, pub.bytes.data(), &len) == 1 && len == pub.bytes.size();
    EVP_PKEY_free(key);
    if (!ok) {
        ::unlink(path.c_str());
        *error = "cannot write the key " + path + errnoReason();
        return false;
    }
    *publicText = quillon::publicKeyText(pub);
    return true;
}

// --- Signed lists ---

SignedState signedState(const std::string& treeDir, const std::string& listPath, const std::string& sigPath,
                        const quillon::PublicKey& key, std::string* text) {
    std::string signature;
    const ReadResult listRead = readIfPresent(treeDir + "/" + listPath, text);
    const ReadResult sigRead = readIfPresent(treeDir + "/" + sigPath, &signature);
    if (listRead == ReadResult::kFailed || sigRead == ReadResult::kFailed) return SignedState::kUnreadable;
    if (listRead == ReadResult::kMissing || sigRead == ReadResult::kMissing) return SignedState::kUnsigned;
    return quillon::verifySignature(key, *text, signature) ? SignedState::kSigned : SignedState::kUnsigned;
}

namespace {

// One list, written (and counted) unless the tree already has exactly it,
// signed by this key.
bool signList(const std::string& treeDir, const std::string& listPath, const std::string& sigPath,
              const quillon::FileList& list, const SigningKey& key, bool* written, std::string* error) {
    std::string text;
    const SignedState state = signedState(treeDir, listPath, sigPath, key.publicKey(), &text);
    if (state == SignedState::kUnreadable) {
        *error = "cannot read " + listPath + " or its signature" + errnoReason();
        return false;
    }
    *written = state != SignedState::kSigned || text != quillon::fileListText(list);
    return !*written || writeSigned(treeDir, listPath, sigPath, list, key, error);
}

}  // namespace

bool signTree(const std::string& treeDir, std::uint32_t latest, const SigningKey& key, ListMode mode,
              unsigned* signedEarlier, std::string* error) {
    *signedEarlier = 0;
    // Which lists to make: all of them, or those this key has not signed.
    std::vector<std::uint32_t> revisions;
    bool full = true;
    for (std::uint32_t rev = 1; rev <= latest && rev != 0; ++rev) {
        std::string text;
        const SignedState state = mode == ListMode::kEvery ? SignedState::kUnsigned
                                                           : signedState(treeDir, quillon::revisionListPath(rev),
                                                                         quillon::revisionSignaturePath(rev),
                                                                         key.publicKey(), &text);
        if (state == SignedState::kUnreadable) {
            *error = "cannot read " + quillon::revisionListPath(rev) + " or its signature" + errnoReason();
            return false;
        }
        if (state != SignedState::kSigned) revisions.push_back(rev);
    }
    if (mode == ListMode::kUnsigned) {
        std::string text;
        const SignedState state =
            signedState(treeDir, quillon::kFullListPath, quillon::kFullSignaturePath, key.publicKey(), &text);
        if (state == SignedState::kUnreadable) {
            *error = std::string("cannot read ") + quillon::kFullListPath + " or its signature" + errnoReason();
            return false;
        }
        full = state != SignedState::kSigned;
    }
    if (revisions.empty() && !full) return true;
    Shipped shipped;
    if (!hashShipped(treeDir, &shipped, error)) return false;
    for (const std::uint32_t rev : revisions) {
        quillon::FileList list;
        bool written = false;
        if (!revisionList(treeDir, rev, shipped, &list, error) ||
            !signList(treeDir, quillon::revisionListPath(rev), quillon::revisionSignaturePath(rev), list, key,
                      &written, error))
            return false;
        if (written && rev != latest) ++*signedEarlier;
    }
    quillon::FileList fullSigned;
    bool written = false;
    return !full || (fullList(treeDir, shipped, &fullSigned, error) &&
                     signList(treeDir, quillon::kFullListPath, quillon::kFullSignaturePath, fullSigned, key, &written,
                              error));
}

}  // namespace patchpub
