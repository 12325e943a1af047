// GDF container codec: the 16-byte header, the key-fed scrambler and the
// optional zlib payload, all on byte spans in memory.
//
// Layout (little-endian): "GDF1", a 64-bit size-and-flags word (bit 0 = the
// payload is a zlib stream, bits 4-63 = content size), a 32-bit key factor,
// then the scrambled payload, which is never empty. The whole-file loader,
// the packing tool and the fuzzers share these functions, so the reader and
// the writer cannot drift apart. Nothing here logs or keeps state; any thread
// may call any function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmar {

constexpr std::uint32_t kGdfMagic = 0x31464447;  // "GDF1" read little-endian
constexpr std::size_t kGdfHeaderSize = 16;
constexpr std::uint64_t kGdfCompressedFlag = 1;
constexpr unsigned kGdfSizeShift = 4;
// Subtracted when the initial key is formed; writer and reader must agree.
constexpr std::uint32_t kGdfKeyConstant = 0x1D;
// Largest content and largest container the loader accepts.
constexpr std::uint64_t kGdfMaxSize = 0x7FFFFFFF;

enum class GdfStatus {
    Ok,
    NotGdf,           // shorter than 4 bytes or no magic: plain content
    NoContent,        // magic, but 16 bytes or fewer
    DecompressError,  // zlib refused the payload (also: it does not end in time)
    SizeMismatch      // inflated size differs from the header, or exceeds kGdfMaxSize
};

const char* gdfStatusText(GdfStatus status);

struct GdfHeader {
    std::uint64_t sizeAndFlags = 0;
    std::uint32_t keyFactor = 0;

    bool compressed() const { return (sizeAndFlags & kGdfCompressedFlag) != 0; }
    std::uint64_t contentSize() const { return sizeAndFlags >> kGdfSizeShift; }
};

// True when the span starts with the magic (at least 4 bytes).
bool gdfHasMagic(const std::uint8_t* data, std::size_t len);

// NotGdf, NoContent, or Ok with the header filled in.
GdfStatus gdfReadHeader(const std::uint8_t* data, std::size_t len, GdfHeader* header);
void gdfWriteHeader(const GdfHeader& header, std::uint8_t out[kGdfHeaderSize]);

// Low 32 bits of the content size times the key factor, minus the built-in
// constant, all modulo 2^32.
std::uint32_t gdfInitialKey(const GdfHeader& header);

// Bytes 0..2 are XORed with the initial key byte; after producing byte i >= 2
// the key gains the plain byte i-1 as a signed value and, unless divisible by
// 3, shifts right by 4. src and dst may be the same buffer.
void GdfDescramble(std::uint32_t key, const std::uint8_t* src, std::uint8_t* dst,
                   std::size_t len);
// The writer's side of the same recurrence (feeds back plain bytes).
void gdfScramble(std::uint32_t key, const std::uint8_t* src, std::uint8_t* dst,
                 std::size_t len);

// GdfDescramble in place on up to `parts` threads. The recurrence forgets
// its start, so each later part begins from a state guessed by a run over
// the `warmUp` bytes before it and is mended where that guess was wrong:
// the result is exactly GdfDescramble's whatever `warmUp` is.
void gdfDescrambleInParts(std::uint32_t key, std::uint8_t* payload, std::size_t len, unsigned parts,
                          std::size_t warmUp);

// For a compressed header and the length of its payload: SizeMismatch when
// the content size exceeds kGdfMaxSize or more than any deflate stream of
// that length inflates to, so no buffer is sized from a hostile header;
// else Ok.
GdfStatus gdfCheckContentSize(const GdfHeader& header, std::size_t payloadLen);

// Descrambles a compressed payload in place and inflates it into `dst` (room
// for exactly `expected` bytes): GdfDescramble followed by gdfInflate.
GdfStatus gdfDescrambleInflate(std::uint32_t key, std::uint8_t* payload, std::size_t len,
                               std::uint8_t* dst, std::uint64_t expected);

// One-shot inflate of a descrambled zlib payload into `dst`, which has room
// for exactly `expected` bytes (expected <= kGdfMaxSize), with the verdicts
// of zlib's uncompress(): a stream that does not end within the input or
// within `expected` bytes is DecompressError, one that ends short of it
// SizeMismatch, bytes after its end are ignored. libdeflate does the work;
// any stream it refuses is judged by zlib. (libdeflate also takes a few
// streams no encoder writes and zlib refuses, such as code-length repeats
// that run past the code table; their content still passes the Adler-32
// check.)
GdfStatus gdfInflate(const std::uint8_t* src, std::size_t srcLen, std::uint8_t* dst,
                     std::uint64_t expected);

// Decodes a whole container. On Ok `content` holds the content; on any other
// status it is cleared (NotGdf means the span itself is the content).
GdfStatus gdfDecode(const std::uint8_t* data, std::size_t len,
                    std::vector<std::uint8_t>* content);

// Builds a container; an empty vector when the content cannot be packed
// (larger than kGdfMaxSize, or empty and uncompressed, which would leave the
// payload empty).
std::vector<std::uint8_t> gdfPack(const std::uint8_t* content, std::size_t len,
                                  bool compress, std::uint32_t keyFactor);

}  // namespace velmar
