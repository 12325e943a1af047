#include "client/storage/gdf.h"

#include <zlib.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace velmar {

namespace {

std::uint32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t readLe64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(readLe32(p)) |
           static_cast<std::uint64_t>(readLe32(p + 4)) << 32;
}

void writeLe(std::uint8_t* p, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The key update after byte i >= 2: the previous plain byte counts as a
// signed 8-bit value.
std::uint32_t nextKey(std::uint32_t key, std::uint8_t previousPlain) {
    key += static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(previousPlain)));
    if (key % 3 != 0) key >>= 4;
    return key;
}

}  // namespace

const char* gdfStatusText(GdfStatus status) {
    switch (status) {
        case GdfStatus::Ok: return "ok";
        case GdfStatus::NotGdf: return "not a GDF container";
        case GdfStatus::NoContent: return "GDF signature but no content";
        case GdfStatus::DecompressError: return "decompression error";
        case GdfStatus::SizeMismatch: return "uncompressed size does not match the header";
    }
    return "unknown";
}

// --- Header ---

bool gdfHasMagic(const std::uint8_t* data, std::size_t len) {
    return data && len >= 4 && readLe32(data) == kGdfMagic;
}

GdfStatus gdfReadHeader(const std::uint8_t* data, std::size_t len, GdfHeader* header) {
    if (!gdfHasMagic(data, len)) return GdfStatus::NotGdf;
    if (len <= kGdfHeaderSize) return GdfStatus::NoContent;
    header->sizeAndFlags = readLe64(data + 4);
    header->keyFactor = readLe32(data + 12);
    return GdfStatus::Ok;
}

void gdfWriteHeader(const GdfHeader& header, std::uint8_t out[kGdfHeaderSize]) {
    writeLe(out, kGdfMagic, 4);
    writeLe(out + 4, header.sizeAndFlags, 8);
    writeLe(out + 12, header.keyFactor, 4);
}

std::uint32_t gdfInitialKey(const GdfHeader& header) {
    const auto size = static_cast<std::uint32_t>(header.contentSize());
    return size * header.keyFactor - kGdfKeyConstant;
}

// --- Scrambler ---

namespace {

// The descrambler's running state, so a payload can be done in pieces.
struct DescrambleState {
    std::uint32_t key;
    std::uint8_t previous = 0;
    std::size_t index = 0;
};

void descramblePiece(DescrambleState& st, const std::uint8_t* src, std::uint8_t* dst,
                     std::size_t len) {
    std::uint32_t key = st.key;
    std::uint8_t previous = st.previous;
    std::size_t i = st.index;
    for (std::size_t n = 0; n < len; ++n, ++i) {
        const std::uint8_t plain = src[n] ^ static_cast<std::uint8_t>(key);
        dst[n] = plain;
        if (i >= 2) key = nextKey(key, previous);
        previous = plain;
    }
    st = DescrambleState{key, previous, i};
}

}  // namespace

void GdfDescramble(std::uint32_t key, const std::uint8_t* src, std::uint8_t* dst,
                   std::size_t len) {
    DescrambleState st{key};
    descramblePiece(st, src, dst, len);
}

void gdfScramble(std::uint32_t key, const std::uint8_t* src, std::uint8_t* dst,
                 std::size_t len) {
    std::uint8_t previous = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const std::uint8_t plain = src[i];
        dst[i] = plain ^ static_cast<std::uint8_t>(key);
        if (i >= 2) key = nextKey(key, previous);
        previous = plain;
    }
}

// --- Payload ---

GdfStatus gdfCheckContentSize(const GdfHeader& header) {
    return header.contentSize() > kGdfMaxSize ? GdfStatus::SizeMismatch : GdfStatus::Ok;
}

GdfStatus gdfInflate(const std::uint8_t* src, std::size_t srcLen, std::uint8_t* dst,
                     std::uint64_t expected) {
    if (expected > kGdfMaxSize) return GdfStatus::SizeMismatch;
    uLongf produced = static_cast<uLongf>(expected);
    // With expected == 0 zlib still checks that the stream ends at once.
    if (uncompress(dst, &produced, src, static_cast<uLong>(srcLen)) != Z_OK) {
        return GdfStatus::DecompressError;
    }
    return produced == expected ? GdfStatus::Ok : GdfStatus::SizeMismatch;
}

namespace {

// Payload bytes descrambled so far, published by the descrambling thread.
class ReadyMark {
public:
    void publish(std::size_t n) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_ready = n;
        m_changed.notify_one();
    }
    std::size_t waitBeyond(std::size_t seen) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [&] { return m_ready > seen || m_stop; });
        return m_ready;
    }
    void stop() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    bool stopped() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_stop;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::size_t m_ready = 0;
    bool m_stop = false;
};

constexpr std::size_t kPipelineMin = 1u << 20;  // below this a thread costs more than it saves
constexpr std::size_t kPiece = 256u << 10;

}  // namespace

GdfStatus gdfDescrambleInflate(std::uint32_t key, std::uint8_t* payload, std::size_t len,
                               std::uint8_t* dst, std::uint64_t expected) {
    if (expected > kGdfMaxSize) return GdfStatus::SizeMismatch;
    ReadyMark mark;
    std::thread descrambler;
    auto descrambleAll = [&mark, key, payload, len] {
        DescrambleState st{key};
        for (std::size_t done = 0; done < len && !mark.stopped();) {
            const std::size_t n = len - done < kPiece ? len - done : kPiece;
            descramblePiece(st, payload + done, payload + done, n);
            done += n;
            mark.publish(done);
        }
    };
    bool threaded = false;
    if (len >= kPipelineMin) {
        try {
            descrambler = std::thread(descrambleAll);
            threaded = true;
        } catch (const std::system_error&) {
            // No thread to spare: descramble first, then inflate.
        }
    }
    if (!threaded) descrambleAll();

    // Inflate with uncompress()'s verdicts: the stream must end within the
    // input and within `expected` bytes; bytes after its end are ignored.
    z_stream zs{};
    GdfStatus status = GdfStatus::DecompressError;
    if (inflateInit(&zs) == Z_OK) {
        std::uint8_t none = 0;
        zs.next_out = expected ? dst : &none;
        zs.avail_out = static_cast<uInt>(expected);
        std::size_t consumed = 0;
        for (;;) {
            const std::size_t ready = len ? mark.waitBeyond(consumed) : 0;
            zs.next_in = payload + consumed;
            zs.avail_in = static_cast<uInt>(ready - consumed);
            const int ret = inflate(&zs, Z_NO_FLUSH);
            consumed = ready - zs.avail_in;
            if (ret == Z_STREAM_END) {
                status = zs.total_out == expected ? GdfStatus::Ok : GdfStatus::SizeMismatch;
                break;
            }
            const bool starved = ret == Z_BUF_ERROR && zs.avail_in == 0 && ready < len;
            if ((ret != Z_OK && !starved) || consumed == len) break;
        }
        inflateEnd(&zs);
    }
    mark.stop();
    if (descrambler.joinable()) descrambler.join();
    return status;
}

GdfStatus gdfDecode(const std::uint8_t* data, std::size_t len,
                    std::vector<std::uint8_t>* content) {
    content->clear();
    GdfHeader header;
    const GdfStatus status = gdfReadHeader(data, len, &header);
    if (status != GdfStatus::Ok) return status;
    const std::size_t payloadLen = len - kGdfHeaderSize;
    std::vector<std::uint8_t> plain(payloadLen);
    GdfDescramble(gdfInitialKey(header), data + kGdfHeaderSize, plain.data(), payloadLen);
    if (!header.compressed()) {
        *content = std::move(plain);
        return GdfStatus::Ok;
    }
    if (gdfCheckContentSize(header) != GdfStatus::Ok) return GdfStatus::SizeMismatch;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(header.contentSize()));
    std::uint8_t none = 0;
    const GdfStatus inflated = gdfInflate(plain.data(), payloadLen, out.empty() ? &none : out.data(),
                                          header.contentSize());
    if (inflated == GdfStatus::Ok) *content = std::move(out);
    return inflated;
}

// --- Writer ---

std::vector<std::uint8_t> gdfPack(const std::uint8_t* content, std::size_t len, bool compress,
                                  std::uint32_t keyFactor) {
    if (len > kGdfMaxSize || (len > 0 && !content)) return {};
    std::vector<std::uint8_t> payload;
    if (compress) {
        uLongf packed = compressBound(static_cast<uLong>(len));
        payload.resize(packed);
        static const std::uint8_t kNothing = 0;
        if (compress2(payload.data(), &packed, len ? content : &kNothing,
                      static_cast<uLong>(len), Z_BEST_COMPRESSION) != Z_OK) {
            return {};
        }
        payload.resize(packed);
    } else {
        if (len == 0) return {};
        payload.assign(content, content + len);
    }
    if (payload.size() > kGdfMaxSize - kGdfHeaderSize) return {};

    GdfHeader header;
    header.sizeAndFlags = static_cast<std::uint64_t>(len) << kGdfSizeShift |
                          (compress ? kGdfCompressedFlag : 0);
    header.keyFactor = keyFactor;
    std::vector<std::uint8_t> out(kGdfHeaderSize + payload.size());
    gdfWriteHeader(header, out.data());
    gdfScramble(gdfInitialKey(header), payload.data(), out.data() + kGdfHeaderSize,
                payload.size());
    return out;
}

}  // namespace velmar
