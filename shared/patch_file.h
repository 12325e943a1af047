// Compressed patch files: one file packed with raw LZMA behind a 15-byte header.
//
// Layout (integers unsigned 32-bit little-endian): "KX", the last character of
// the unpacked file's name (the packed file's name ends in '_' instead), the
// unpacked size, the packed size, the properties size (5), the LZMA properties
// (lc/lp/pb byte, dictionary size), then the LZMA stream with its end marker.
// Nothing follows the stream and there is no checksum.
//
// The writer (tessfold) and the reader (the patcher) share these functions.
// Everything works on byte spans in memory; the functions keep no state and
// any thread may call them. Callers own every buffer they pass in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "shared/replacing_file.h"

namespace quask {

constexpr std::size_t kPatchHeaderSize = 15;
constexpr std::uint32_t kPatchPropsSize = 5;
constexpr std::size_t kPatchPrefixSize = kPatchHeaderSize + kPatchPropsSize;
// Sizes are 32-bit fields.
constexpr std::uint64_t kPatchMaxContentSize = 0xFFFFFFFFu;
// Larger dictionaries in a header are refused before anything is allocated.
constexpr std::uint32_t kPatchMaxDictSize = 256u << 20;
constexpr std::uint32_t kPatchDictSize = 64u << 20;

enum class PatchStatus {
    Ok,
    OutputEof,  // the stream would be larger than the content
    Mem,        // the encoder or decoder could not get its memory
    Param,      // encoder refused its settings, or a bad saved character
    TooLarge,   // content of 4 GiB or more
    Empty,      // content of 0 bytes
    Truncated,  // shorter than header and properties
    BadMagic,
    BadHeader,      // a header field is out of range or disagrees with the file size
    BadProperties,  // lc + lp above 4, pb above 4, or dictionary above kPatchMaxDictSize
    DataError       // the stream does not decode to exactly the sizes in the header
};

const char* patchStatusText(PatchStatus status);

struct PatchHeader {
    char savedChar = 0;
    std::uint32_t unpackedSize = 0;
    std::uint32_t packedSize = 0;
    std::uint32_t propsSize = 0;
};

struct PatchProperties {
    unsigned lc = 0, lp = 0, pb = 0;
    std::uint32_t dictSize = 0;
};

// A saved character the packer and the unpacker accept: any byte but NUL,
// '/' and '\\' (a path separator on either system).
bool patchSavedCharValid(char c);

// Packed name: the last character replaced by '_'. Unpacked name: the last
// character replaced by the saved one. Empty paths stay empty.
std::string patchPackedPath(const std::string& path);
std::string patchUnpackedPath(const std::string& packedPath, char savedChar);

// Compresses `content` into a whole patch file image at `out` (capacity
// `outCapacity`; kPatchPrefixSize + len always suffices). The stream may not be
// larger than the content: a 1-byte or incompressible file gives OutputEof.
PatchStatus patchCompress(const std::uint8_t* content, std::size_t len, char savedChar,
                          std::uint8_t* out, std::size_t outCapacity, std::size_t* outLen);
PatchStatus patchCompress(const std::uint8_t* content, std::size_t len, char savedChar,
                          std::vector<std::uint8_t>* image);

// Checks the 15 header bytes against the size of the whole file: magic,
// properties size 5, packed size = fileSize - 20, unpacked size >= 1, valid
// saved character. `len` is the bytes available at `data`.
PatchStatus patchReadHeader(const std::uint8_t* data, std::size_t len, std::uint64_t fileSize,
                            PatchHeader* header);
PatchStatus patchReadProperties(const std::uint8_t* data, std::size_t len, PatchProperties* props);

// Decodes one stream into `out`, which must hold exactly `unpackedSize` bytes.
// Ok only when the whole stream is consumed and exactly unpackedSize produced.
PatchStatus patchDecodeStream(const PatchProperties& props, const std::uint8_t* packed,
                              std::size_t packedSize, std::uint8_t* out, std::size_t unpackedSize);

// Checks and decodes a whole patch file image.
PatchStatus patchDecode(const std::uint8_t* image, std::size_t len,
                        std::vector<std::uint8_t>* content, PatchHeader* header = nullptr);

// A ReplacingFile's open + write + commit in one call.
bool patchWriteFileReplacing(const std::string& path, const std::uint8_t* data, std::size_t len);

// Unpacks the patch file at `path` next to it, under its name with the saved
// character restored, replacing any file of that name. False on every failure
// but one: a buffer that cannot be allocated is an "OOM" box, then the process
// ends with code 1 at once.
bool UnpackFile(const std::string& path);

// The permission bits for an unpacked file, given its name and content
// (0: the default).
using UnpackedModeFn =
    std::function<unsigned(const std::string& leaf, const std::uint8_t* content, std::size_t len)>;
enum class UnpackResult {
    Unpacked,
    Unreadable,  // not a compressed patch file, or its stream does not decode
    NotWritten,  // decoded, but the unpacked file could not be written whole
};
// UnpackFile for the file `leaf` of the directory open as `dirFd`; neither
// the packed file nor the new file is reached through a symlink.
UnpackResult UnpackFileAt(int dirFd, const std::string& leaf, const UnpackedModeFn& modeFor = {});

}  // namespace quask
