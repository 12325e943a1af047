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
    const quillon::PublicKey& publicKey() const { return m_public; }
    // The 64-byte signature of `message`; empty on failure.
    std::string sign(std::string_view message) const;

private:
    EVP_PKEY* m_key = nullptr;
    quillon::PublicKey m_public;
};

// A new key in `path`, which must not exist yet (mode 0600); the public key
// as the launcher takes it in `publicText`.
bool generateKey(const std::string& path, std::string* publicText, std::string* error);

// True when the tree at `treeDir` has a signed list for `rev` that `key`
// signed (checked by signature only).
bool hasRevisionSignature(const std::string& treeDir, std::uint32_t rev, const quillon::PublicKey& key);

// Signs the tree at `treeDir`, whose latest revision is `latest`: the file
// list of `latest` and of every earlier revision not yet signed by this key
// (counted in `signedEarlier`), and the full list. A revision's list names
// each file it fetches that the server still ships as that revision's sum
// file says; a file a later revision replaced needs no digest of its own.
bool signTree(const std::string& treeDir, std::uint32_t latest, const SigningKey& key,
              unsigned* signedEarlier, std::string* error);

}  // namespace patchpub
