#include "patcher/protocol/digests.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace quillon {

namespace {

using MdContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

template <typename Out>
bool finish(EVP_MD_CTX* ctx, Out* digest) {
    unsigned int len = 0;
    return EVP_DigestFinal_ex(ctx, digest->data(), &len) == 1 && len == digest->size();
}

template <std::size_t N>
std::string hexOf(const std::array<std::uint8_t, N>& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * N);
    for (std::uint8_t b : bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

template <typename Out>
Out digestOfBytes(const EVP_MD* md, const void* data, std::size_t size) {
    Out d{};
    MdContext ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1 &&
        EVP_DigestUpdate(ctx.get(), data, size) == 1) {
        finish(ctx.get(), &d);
    }
    return d;
}

}  // namespace

bool digestsOfFd(int fd, bool withMd5, bool withSha256, FileDigests* out) {
    MdContext md5(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    MdContext sha(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = md5 && sha && (!withMd5 || EVP_DigestInit_ex(md5.get(), EVP_md5(), nullptr) == 1) &&
              (!withSha256 || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) == 1);
    std::uint64_t size = 0;
    // Large blocks: the full check reads the whole installation.
    std::unique_ptr<unsigned char[]> block(new unsigned char[1 << 16]);
    while (ok) {
        const ssize_t n = ::read(fd, block.get(), 1 << 16);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        size += static_cast<std::uint64_t>(n);
        ok = (!withMd5 || EVP_DigestUpdate(md5.get(), block.get(), static_cast<std::size_t>(n)) == 1) &&
             (!withSha256 || EVP_DigestUpdate(sha.get(), block.get(), static_cast<std::size_t>(n)) == 1);
    }
    *out = FileDigests{};
    out->signedDigest.size = size;
    return ok && (!withMd5 || finish(md5.get(), &out->md5)) &&
           (!withSha256 || finish(sha.get(), &out->signedDigest.sha256));
}

bool Md5OfFile(const std::string& path, Digest* digest) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    FileDigests d;
    const bool ok = digestsOfFd(fd, true, false, &d);
    ::close(fd);
    if (ok) *digest = d.md5;
    return ok;
}

Digest md5OfBytes(const void* data, std::size_t size) {
    return digestOfBytes<Digest>(EVP_md5(), data, size);
}

Sha256 sha256OfBytes(const void* data, std::size_t size) {
    return digestOfBytes<Sha256>(EVP_sha256(), data, size);
}

SignedDigest signedDigestOf(std::string_view bytes) { return {sha256OfBytes(bytes.data(), bytes.size()), bytes.size()}; }

std::string digestHex(const Digest& digest) { return hexOf(digest); }
std::string sha256Hex(const Sha256& digest) { return hexOf(digest); }

}  // namespace quillon
