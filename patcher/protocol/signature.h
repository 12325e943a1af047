// The publisher's key as the launcher trusts it: an Ed25519 public key
// (OpenSSL EVP), written as one line of base64 (44 characters), and the
// check of a detached 64-byte signature. The key is built in
// (QUILLON_PUBLIC_KEY, a build setting; empty: none) and the environment
// variable of the same name overrides it, as QUILLON_BASE_URL does.
//
// Pure functions; any thread may call them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

struct PublicKey {
    std::array<std::uint8_t, 32> bytes{};
};

constexpr std::size_t kSignatureSize = 64;

// The base64 text of the 32 key bytes; one line feed after it is allowed.
std::optional<PublicKey> parsePublicKey(std::string_view text);
std::string publicKeyText(const PublicKey& key);

// True when `signature` (exactly 64 bytes) is the key's signature of `message`.
bool verifySignature(const PublicKey& key, std::string_view message, std::string_view signature);

enum class KeySetting {
    None,       // no key: the protocol without signatures
    Trusted,    // `key` holds it
    Malformed,  // a key is set but is no key: nothing may be patched
};
KeySetting trustedPublicKey(PublicKey* key);
// The key this build has of its own, as text; empty when none (the
// environment may still set one).
std::string builtInPublicKeyText();

// What a launcher's program file says of itself. Each build carries the key
// it trusts and the server it asks as markers in its bytes,
// "QUASK-LAUNCHER-KEY:[<key>]" (empty: no key) and
// "QUASK-LAUNCHER-URL:[<url>]", which patchpub reads before it publishes a
// launcher. `found` is false when the file has no key marker, or two that
// differ.
struct LauncherMarks {
    bool found = false;
    std::string key;
    std::string url;
};
LauncherMarks readLauncherMarks(std::string_view program);

}  // namespace quillon
