#include "patcher/md5_file.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace quillon {

namespace {

using MdContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

bool finish(EVP_MD_CTX* ctx, Digest* digest) {
    unsigned int len = 0;
    return EVP_DigestFinal_ex(ctx, digest->data(), &len) == 1 && len == digest->size();
}

}  // namespace

bool Md5OfFile(const std::string& path, Digest* digest) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    MdContext ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1;
    // Large blocks: the full check reads the whole installation.
    std::unique_ptr<unsigned char[]> block(new unsigned char[1 << 16]);
    while (ok) {
        const ssize_t n = ::read(fd, block.get(), 1 << 16);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        ok = EVP_DigestUpdate(ctx.get(), block.get(), static_cast<std::size_t>(n)) == 1;
    }
    ::close(fd);
    return ok && finish(ctx.get(), digest);
}

Digest md5OfBytes(const void* data, std::size_t size) {
    Digest d{};
    MdContext ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1 &&
        EVP_DigestUpdate(ctx.get(), data, size) == 1) {
        finish(ctx.get(), &d);
    }
    return d;
}

std::string digestHex(const Digest& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

}  // namespace quillon
