#include "patcher/protocol/signature.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

#ifndef QUILLON_PUBLIC_KEY
#define QUILLON_PUBLIC_KEY ""
#endif

namespace quillon {

namespace {

constexpr std::size_t kKeyTextSize = 44;  // 32 bytes in base64, one '=' of padding

std::string base64(const std::uint8_t* data, std::size_t size) {
    std::string text(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), data, static_cast<int>(size));
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

}  // namespace

std::optional<PublicKey> parsePublicKey(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (text.size() != kKeyTextSize) return std::nullopt;
    unsigned char bytes[33];
    if (EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size())) != 33) {
        return std::nullopt;
    }
    PublicKey key;
    std::copy(bytes, bytes + key.bytes.size(), key.bytes.begin());
    // Only the one spelling of these bytes: no stray padding, no other
    // characters the decoder would have skipped.
    if (publicKeyText(key) != text) return std::nullopt;
    return key;
}

std::string publicKeyText(const PublicKey& key) { return base64(key.bytes.data(), key.bytes.size()); }

bool verifySignature(const PublicKey& key, std::string_view message, std::string_view signature) {
    if (signature.size() != kSignatureSize) return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.bytes.data(), key.bytes.size()),
        EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!pkey || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

bool builtInPublicKeySet() { return QUILLON_PUBLIC_KEY[0] != '\0'; }

KeySetting trustedPublicKey(PublicKey* key) {
    const char* env = std::getenv("QUILLON_PUBLIC_KEY");
    const std::string text = env && *env ? env : QUILLON_PUBLIC_KEY;
    if (text.empty()) return KeySetting::None;
    const std::optional<PublicKey> parsed = parsePublicKey(text);
    if (!parsed) return KeySetting::Malformed;
    *key = *parsed;
    return KeySetting::Trusted;
}

}  // namespace quillon
