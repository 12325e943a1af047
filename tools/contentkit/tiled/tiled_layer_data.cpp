// Tile layer data: CSV, and base64 through OpenSSL's decoder, inflated with
// zlib (zlib and gzip streams) or libzstd into a buffer of the layer's size.
#include "tools/contentkit/tiled/tiled_layer_data_internal.h"

#include <openssl/evp.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <climits>
#include <memory>

namespace contentkit {

namespace {

std::string tileCount(std::size_t n) { return std::to_string(n) + (n == 1 ? " tile" : " tiles"); }

bool wrongCount(std::size_t got, std::size_t count, std::string* error) {
    *error = "holds " + tileCount(got) + ", the layer needs " + std::to_string(count);
    return false;
}

bool base64Decode(std::string_view text, std::vector<std::uint8_t>* out, std::string* error) {
    if (text.size() > static_cast<std::size_t>(INT_MAX) / 2) {
        *error = "is too large";
        return false;
    }
    out->assign(text.size() / 4 * 3 + 3, 0);
    std::unique_ptr<EVP_ENCODE_CTX, void (*)(EVP_ENCODE_CTX*)> ctx(EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
    if (!ctx) {
        *error = "out of memory";
        return false;
    }
    EVP_DecodeInit(ctx.get());
    int part = 0, tail = 0;
    const int updated = EVP_DecodeUpdate(ctx.get(), out->data(), &part,
                                         reinterpret_cast<const unsigned char*>(text.data()),
                                         static_cast<int>(text.size()));
    if (updated < 0 || EVP_DecodeFinal(ctx.get(), out->data() + part, &tail) < 0) {
        *error = "is not valid base64";
        return false;
    }
    out->resize(static_cast<std::size_t>(part + tail));
    return true;
}

// Inflates into exactly `size` bytes; more or fewer is an error.
bool inflateExactly(const std::vector<std::uint8_t>& in, bool gzip, std::size_t size, std::vector<std::uint8_t>* out,
                    std::string* error) {
    const char* what = gzip ? "gzip" : "zlib";
    out->assign(size + 1, 0);
    z_stream z{};
    if (inflateInit2(&z, gzip ? 15 + 16 : 15) != Z_OK) {
        *error = "cannot start the zlib decoder";
        return false;
    }
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out->data();
    z.avail_out = static_cast<uInt>(out->size());
    const int rc = inflate(&z, Z_FINISH);
    const std::size_t produced = z.total_out;
    inflateEnd(&z);
    if (rc != Z_STREAM_END) {
        *error = std::string("does not unpack as ") + what + " (corrupt or cut short)";
        if (rc == Z_BUF_ERROR && z.avail_out == 0) *error = std::string("unpacks to more than the layer needs");
        return false;
    }
    out->resize(produced);
    return true;
}

bool unzstd(const std::vector<std::uint8_t>& in, std::size_t size, std::vector<std::uint8_t>* out, std::string* error) {
    out->assign(size + 1, 0);
    const std::size_t n = ZSTD_decompress(out->data(), out->size(), in.data(), in.size());
    if (ZSTD_isError(n)) {
        *error = ZSTD_getErrorCode(n) == ZSTD_error_dstSize_tooSmall
                     ? std::string("unpacks to more than the layer needs")
                     : std::string("does not unpack as zstd (") + ZSTD_getErrorName(n) + ")";
        return false;
    }
    out->resize(n);
    return true;
}

}  // namespace

bool parseTiledCompression(const std::string& name, TiledCompression* out) {
    if (name.empty()) *out = TiledCompression::None;
    else if (name == "zlib") *out = TiledCompression::Zlib;
    else if (name == "gzip") *out = TiledCompression::Gzip;
    else if (name == "zstd") *out = TiledCompression::Zstd;
    else return false;
    return true;
}

bool decodeTiledCsv(std::string_view text, std::size_t count, std::vector<std::uint32_t>* out, std::string* error) {
    out->clear();
    out->reserve(count);
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t at = 0;
    while (true) {
        while (at < text.size() && blank(text[at])) ++at;
        if (at == text.size()) break;
        std::uint64_t value = 0;
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && value <= 0xFFFFFFFFull) {
            value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
            ++at;
        }
        if (at == start || value > 0xFFFFFFFFull) {
            *error = "entry " + std::to_string(out->size() + 1) + " is not a tile ID";
            return false;
        }
        if (out->size() == count) return wrongCount(count + 1, count, error);
        out->push_back(static_cast<std::uint32_t>(value));
        while (at < text.size() && blank(text[at])) ++at;
        if (at == text.size()) break;
        if (text[at] != ',') {
            *error = "entry " + std::to_string(out->size()) + " is not followed by a comma";
            return false;
        }
        ++at;
    }
    return out->size() == count || wrongCount(out->size(), count, error);
}

bool decodeTiledBase64(std::string_view text, TiledCompression compression, std::size_t count,
                       std::vector<std::uint32_t>* out, std::string* error) {
    std::vector<std::uint8_t> packed, bytes;
    if (!base64Decode(text, &packed, error)) return false;
    const std::size_t size = count * 4;
    bool ok = true;
    switch (compression) {
        case TiledCompression::None: bytes.swap(packed); break;
        case TiledCompression::Zlib: ok = inflateExactly(packed, false, size, &bytes, error); break;
        case TiledCompression::Gzip: ok = inflateExactly(packed, true, size, &bytes, error); break;
        case TiledCompression::Zstd: ok = unzstd(packed, size, &bytes, error); break;
    }
    if (!ok) return false;
    if (bytes.size() % 4 != 0) {
        *error = "is " + std::to_string(bytes.size()) + " bytes, not a whole number of 4-byte tile IDs";
        return false;
    }
    if (bytes.size() != size) return wrongCount(bytes.size() / 4, count, error);
    out->resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = &bytes[i * 4];
        (*out)[i] = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                    static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    }
    return true;
}

}  // namespace contentkit
