#include "patcher/protocol/signature.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#ifndef QUILLON_PUBLIC_KEY
#define QUILLON_PUBLIC_KEY ""
#endif

namespace quillon {

namespace {

constexpr std::size_t kKeyTextSize = 44;  // 32 bytes in base64, one '=' of padding
constexpr std::string_view kKeyMarkPrefix = "QUASK-LAUNCHER-KEY:[";
constexpr std::string_view kUrlMarkPrefix = "QUASK-LAUNCHER-URL:[";

// The built-in key where patchpub finds it in the program file; kept in the
// binary even where nothing else would need all of it.
[[gnu::used]] const char kKeyMark[] = "QUASK-LAUNCHER-KEY:[" QUILLON_PUBLIC_KEY "]";

// Every "<prefix><text>]" in `bytes` whose text has at most `most` bytes
// and none of '\0', ']', a line feed.
std::vector<std::string> marks(std::string_view bytes, std::string_view prefix, std::size_t most) {
    std::vector<std::string> found;
    for (std::size_t at = bytes.find(prefix); at != std::string_view::npos; at = bytes.find(prefix, at + 1)) {
        const std::size_t start = at + prefix.size();
        const std::size_t end = bytes.find_first_of(std::string_view("]\0\n", 3), start);
        if (end == std::string_view::npos || bytes[end] != ']' || end - start > most) continue;
        found.emplace_back(bytes.substr(start, end - start));
    }
    return found;
}

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

std::string builtInPublicKeyText() {
    const std::string_view mark(kKeyMark);
    return std::string(mark.substr(kKeyMarkPrefix.size(), mark.size() - kKeyMarkPrefix.size() - 1));
}

LauncherMarks readLauncherMarks(std::string_view program) {
    LauncherMarks out;
    const std::vector<std::string> keys = marks(program, kKeyMarkPrefix, kKeyTextSize);
    const std::vector<std::string> urls = marks(program, kUrlMarkPrefix, 2048);
    if (keys.empty() || std::any_of(keys.begin(), keys.end(), [&](const std::string& k) { return k != keys[0]; }))
        return out;
    out.found = true;
    out.key = keys[0];
    if (!urls.empty()) out.url = urls[0];
    return out;
}

KeySetting trustedPublicKey(PublicKey* key) {
    const char* env = std::getenv("QUILLON_PUBLIC_KEY");
    const std::string text = env && *env ? env : builtInPublicKeyText();
    if (text.empty()) return KeySetting::None;
    const std::optional<PublicKey> parsed = parsePublicKey(text);
    if (!parsed) return KeySetting::Malformed;
    *key = *parsed;
    return KeySetting::Trusted;
}

}  // namespace quillon
