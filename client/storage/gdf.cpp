#include "client/storage/gdf.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

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

GdfStatus gdfCheckContentSize(const GdfHeader& header, std::size_t payloadLen) {
    // Deflate makes at most 1032 bytes of one: a larger claim can never be
    // met, and would only size a buffer for nothing.
    constexpr std::uint64_t kMostInflated = 1032;
    const std::uint64_t size = header.contentSize();
    return size > kGdfMaxSize || size > kMostInflated * payloadLen ? GdfStatus::SizeMismatch : GdfStatus::Ok;
}

namespace {

// zlib's one-shot verdict on a descrambled payload: the stream must end
// within the input and within `expected` bytes; bytes after its end are
// ignored.
GdfStatus zlibVerdict(const std::uint8_t* src, std::size_t srcLen, std::uint8_t* dst,
                      std::uint64_t expected) {
    uLongf produced = static_cast<uLongf>(expected);
    // With expected == 0 zlib still checks that the stream ends at once.
    if (uncompress(dst, &produced, src, static_cast<uLong>(srcLen)) != Z_OK) {
        return GdfStatus::DecompressError;
    }
    return produced == expected ? GdfStatus::Ok : GdfStatus::SizeMismatch;
}

}  // namespace

GdfStatus gdfInflate(const std::uint8_t* src, std::size_t srcLen, std::uint8_t* dst,
                     std::uint64_t expected) {
    if (expected > kGdfMaxSize) return GdfStatus::SizeMismatch;
    // libdeflate inflates a whole buffer about three times as fast as zlib.
    // Whatever it refuses is judged by zlib itself, so every failure keeps
    // zlib's verdict (a stream that does not end in time is a decompression
    // error, one that ends early a size mismatch).
    libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
    if (inflater) {
        std::size_t used = 0, produced = 0;
        const libdeflate_result result = libdeflate_zlib_decompress_ex(
            inflater, src, srcLen, dst, static_cast<std::size_t>(expected), &used, &produced);
        libdeflate_free_decompressor(inflater);
        if (result == LIBDEFLATE_SUCCESS) {
            return produced == expected ? GdfStatus::Ok : GdfStatus::SizeMismatch;
        }
    }
    return zlibVerdict(src, srcLen, dst, expected);
}

// --- Descrambling on several cores ---

namespace {

// The key recurrence forgets where it started: two runs over the same
// scrambled bytes from different states meet within about a kilobyte and
// stay together. So each part of a large payload after the first is
// descrambled from a state guessed by running over the bytes before it,
// and checked against the true state once the part before it is done; a
// part that started wrong is mended from its start until the two runs meet.
constexpr std::size_t kParallelMin = 1u << 20;  // below this a thread costs more than it saves
constexpr std::size_t kWarmUp = 16u << 10;
constexpr unsigned kMaxParts = 4;

bool sameState(const DescrambleState& a, const DescrambleState& b) {
    return a.key == b.key && a.previous == b.previous;
}

// One byte further, once its plain value is known.
void step(DescrambleState& st, std::uint8_t plain) {
    if (st.index >= 2) st.key = nextKey(st.key, st.previous);
    st.previous = plain;
    ++st.index;
}

// The state after `len` more scrambled bytes, without writing them out.
DescrambleState advance(DescrambleState st, const std::uint8_t* src, std::size_t len) {
    for (std::size_t n = 0; n < len; ++n) step(st, src[n] ^ static_cast<std::uint8_t>(st.key));
    return st;
}

// `data` was descrambled from `guess`; the true state at its start is
// `truth`. Each wrong byte is scrambled back with the guessed key and
// descrambled with the true one until both runs are in the same state.
// Returns false when they never met: `truth` then holds the end state.
bool mend(DescrambleState guess, DescrambleState& truth, std::uint8_t* data, std::size_t len) {
    for (std::size_t n = 0; n < len; ++n) {
        if (sameState(guess, truth)) return true;
        const std::uint8_t wrong = data[n];
        const std::uint8_t scrambled = wrong ^ static_cast<std::uint8_t>(guess.key);
        const std::uint8_t right = scrambled ^ static_cast<std::uint8_t>(truth.key);
        data[n] = right;
        step(guess, wrong);
        step(truth, right);
    }
    return sameState(guess, truth);
}

unsigned partsFor(std::size_t len) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<std::size_t>({cores, kMaxParts, len / kParallelMin}));
}

}  // namespace

void gdfDescrambleInParts(std::uint32_t key, std::uint8_t* payload, std::size_t len, unsigned parts,
                          std::size_t warmUp) {
    if (parts < 2 || len / parts <= warmUp + 2) {
        GdfDescramble(key, payload, payload, len);
        return;
    }
    std::vector<std::size_t> start(parts + 1);
    for (unsigned j = 0; j <= parts; ++j) start[j] = len / parts * j;
    start[parts] = len;
    // The bytes before each later part are copied aside first: the part
    // before it is descrambled in place meanwhile.
    std::vector<std::uint8_t> warm(warmUp * parts);
    for (unsigned j = 1; j < parts && warmUp > 0; ++j)
        std::memcpy(warm.data() + warmUp * j, payload + start[j] - warmUp, warmUp);
    std::vector<DescrambleState> guessed(parts, DescrambleState{0}), ended(parts, DescrambleState{key});
    auto runPart = [&](unsigned j) {
        DescrambleState st = j == 0 ? DescrambleState{key}
                                    : advance(DescrambleState{0, 0, start[j] - warmUp},
                                              warm.data() + warmUp * j, warmUp);
        guessed[j] = st;
        descramblePiece(st, payload + start[j], payload + start[j], start[j + 1] - start[j]);
        ended[j] = st;
    };
    std::vector<std::thread> helpers;
    for (unsigned j = 1; j < parts; ++j) {
        try {
            helpers.emplace_back(runPart, j);
        } catch (const std::system_error&) {
            runPart(j);  // no thread to spare: this one does it
        }
    }
    runPart(0);
    for (std::thread& t : helpers) t.join();
    DescrambleState truth = ended[0];
    for (unsigned j = 1; j < parts; ++j) {
        if (mend(guessed[j], truth, payload + start[j], start[j + 1] - start[j])) truth = ended[j];
    }
}

GdfStatus gdfDescrambleInflate(std::uint32_t key, std::uint8_t* payload, std::size_t len,
                               std::uint8_t* dst, std::uint64_t expected) {
    if (expected > kGdfMaxSize) return GdfStatus::SizeMismatch;
    gdfDescrambleInParts(key, payload, len, partsFor(len), kWarmUp);
    return gdfInflate(payload, len, dst, expected);
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
    if (gdfCheckContentSize(header, payloadLen) != GdfStatus::Ok) return GdfStatus::SizeMismatch;
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
