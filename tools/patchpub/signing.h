// The publisher's side of signed revisions: the Ed25519 key (a PEM private
// key file, mode 0600, made once and kept offline) and the signed file lists
// of a server tree (see patcher/protocol/file_lists.h for their layout). OpenSSL EVP.
// Single-threaded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "patcher/protocol/signature.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace patchpub {

class SigningKey {
public:
    SigningKey();
    ~SigningKey();
    SigningKey(SigningKey&&) noexcept;
    SigningKey& operator=(SigningKey&&) noexcept;

    // Reads a private key that `generateKey` wrote.
    bool load(const std::string& path, std::string* error);
    bool loaded() const { return m_key != nullptr; }
    // The file it came from could be read by other users, who could then
    // sign updates: the warning that says so, or empty.
    const std::string& exposure() const { return m_exposure; }
    const quillon::PublicKey& publicKey() const { return m_public; }
    // The 64-byte signature of `message`; empty on failure.
    std::string sign(std::string_view message) const;

private:
    EVP_PKEY* m_key = nullptr;
    quillon::PublicKey m_public;
    std::string m_exposure;
};

// A new key in `path`, which must not exist yet (mode 0600); the public key
// as the launcher takes it in `publicText`.
bool generateKey(const std::string& path, std::string* publicText, std::string* error);

// Whether the list at `listPath` of the tree (its text into `text`) has a
// signature by `key` at `sigPath`; a file that is there but cannot be read
// is kUnreadable, never unsigned.
enum class SignedState { kSigned, kUnsigned, kUnreadable };
SignedState signedState(const std::string& treeDir, const std::string& listPath, const std::string& sigPath,
                        const quillon::PublicKey& key, std::string* text);

// Signs the tree at `treeDir`, whose latest revision is `latest`: the file
// list of each revision and the full list. kEvery makes every list afresh
// from what the tree ships and rewrites one that differs from the signed
// one (or is not signed by this key), so a damaged list is mended by the
// next publish; kUnsigned signs only the lists this key has not signed (a
// refresh, a new signing key). Earlier revisions written are counted in
// `signedEarlier`. A revision's list names each file it fetches that the
// server still ships as that revision's sum file says; a file a later
// revision replaced needs no digest of its own.
enum class ListMode { kEvery, kUnsigned };
bool signTree(const std::string& treeDir, std::uint32_t latest, const SigningKey& key, ListMode mode,
              unsigned* signedEarlier, std::string* error);

}  // namespace patchpub
