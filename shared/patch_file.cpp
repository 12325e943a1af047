#include "shared/patch_file.h"

#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "shared/message_box.h"
#include "shared/posix_io.h"

namespace quask {

namespace {

constexpr std::uint8_t kMagic0 = 'K';
constexpr std::uint8_t kMagic1 = 'X';
// (pb * 5 + lp) * 9 + lc must stay below this.
constexpr unsigned kPropsByteLimit = 9 * 5 * 5;
constexpr unsigned kMaxLcPlusLp = 4;

std::uint32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void writeLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The settings every patch file is written with; the preset only fills in
// what is not set here (its nice length of 64 is not ours).
bool encoderOptions(lzma_options_lzma* opt) {
    if (lzma_lzma_preset(opt, 9)) return false;
    opt->dict_size = kPatchDictSize;
    opt->lc = 3;
    opt->lp = 0;
    opt->pb = 2;
    opt->mode = LZMA_MODE_NORMAL;
    opt->nice_len = 273;
    opt->mf = LZMA_MF_BT4;
    opt->depth = 16 + 273 / 2;
    return true;
}

PatchStatus encodeStatus(lzma_ret ret) {
    switch (ret) {
        case LZMA_OK: return PatchStatus::Ok;
        case LZMA_BUF_ERROR: return PatchStatus::OutputEof;
        case LZMA_MEM_ERROR: return PatchStatus::Mem;
        default: return PatchStatus::Param;
    }
}

std::unique_ptr<std::uint8_t[]> allocateBytes(std::size_t len) {
    // Not value-initialised: untouched pages of a large buffer cost nothing.
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[len ? len : 1]);
}

// The unpacker cannot go on without its buffers: the box names which one
// (0 packed stream, 1 output, 2 properties) and the process ends at once.
std::unique_ptr<std::uint8_t[]> allocateOrExit(std::size_t len, int which) {
    auto buffer = allocateBytes(len);
    if (buffer) return buffer;
    const std::string text =
        "Out of Memory error while trying to unpack some file [" + std::to_string(which) + "]";
    showMessageBox(text, "OOM", BoxIcon::Error, BoxButtons::Ok);
    std::fflush(nullptr);
    std::_Exit(1);
}

}  // namespace

// --- Names and statuses ---

const char* patchStatusText(PatchStatus status) {
    switch (status) {
        case PatchStatus::Ok: return "ok";
        case PatchStatus::OutputEof: return "packed stream larger than the content";
        case PatchStatus::Mem: return "out of memory";
        case PatchStatus::Param: return "bad parameter";
        case PatchStatus::TooLarge: return "content of 4 GiB or more";
        case PatchStatus::Empty: return "empty content";
        case PatchStatus::Truncated: return "truncated header";
        case PatchStatus::BadMagic: return "not a compressed patch file";
        case PatchStatus::BadHeader: return "bad header field";
        case PatchStatus::BadProperties: return "unsupported LZMA properties";
        case PatchStatus::DataError: return "LZMA stream does not match the header";
    }
    return "unknown status";
}

bool patchSavedCharValid(char c) {
    // Names are bytes: the last one of "café" in UTF-8 is 0xA9. Only what
    // would make the restored name another path is refused.
    return c != '\0' && c != '/' && c != '\\';
}

std::string patchPackedPath(const std::string& path) { return patchUnpackedPath(path, '_'); }

std::string patchUnpackedPath(const std::string& packedPath, char savedChar) {
    std::string out = packedPath;
    if (!out.empty()) out.back() = savedChar;
    return out;
}

// --- Writing ---

PatchStatus patchCompress(const std::uint8_t* content, std::size_t len, char savedChar,
                          std::uint8_t* out, std::size_t outCapacity, std::size_t* outLen) {
    if (!outLen || !out || (!content && len > 0)) return PatchStatus::Param;
    *outLen = 0;
    if (len == 0) return PatchStatus::Empty;
    if (len > kPatchMaxContentSize) return PatchStatus::TooLarge;
    if (!patchSavedCharValid(savedChar)) return PatchStatus::Param;
    if (outCapacity <= kPatchPrefixSize) return PatchStatus::OutputEof;

    lzma_options_lzma opt;
    if (!encoderOptions(&opt)) return PatchStatus::Param;
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_properties_encode(&filters[0], out + kPatchHeaderSize) != LZMA_OK) {
        return PatchStatus::Param;
    }

    // The stream may never be larger than what it packs.
    const std::size_t streamCapacity = std::min(outCapacity - kPatchPrefixSize, len);
    std::size_t packed = 0;
    const lzma_ret ret = lzma_raw_buffer_encode(filters, nullptr, content, len,
                                                out + kPatchPrefixSize, &packed, streamCapacity);
    const PatchStatus status = encodeStatus(ret);
    if (status != PatchStatus::Ok) return status;

    out[0] = kMagic0;
    out[1] = kMagic1;
    out[2] = static_cast<std::uint8_t>(savedChar);
    writeLe32(out + 3, static_cast<std::uint32_t>(len));
    writeLe32(out + 7, static_cast<std::uint32_t>(packed));
    writeLe32(out + 11, kPatchPropsSize);
    *outLen = kPatchPrefixSize + packed;
    return PatchStatus::Ok;
}

PatchStatus patchCompress(const std::uint8_t* content, std::size_t len, char savedChar,
                          std::vector<std::uint8_t>* image) {
    if (!image) return PatchStatus::Param;
    image->clear();
    if (len > kPatchMaxContentSize) return PatchStatus::TooLarge;
    try {
        image->resize(kPatchPrefixSize + len);
    } catch (const std::bad_alloc&) {
        return PatchStatus::Mem;
    }
    std::size_t used = 0;
    const PatchStatus status =
        patchCompress(content, len, savedChar, image->data(), image->size(), &used);
    image->resize(used);
    return status;
}

// --- Reading ---

PatchStatus patchReadHeader(const std::uint8_t* data, std::size_t len, std::uint64_t fileSize,
                            PatchHeader* header) {
    if (!data || !header || len < kPatchHeaderSize) return PatchStatus::Truncated;
    if (data[0] != kMagic0 || data[1] != kMagic1) return PatchStatus::BadMagic;
    PatchHeader h;
    h.savedChar = static_cast<char>(data[2]);
    h.unpackedSize = readLe32(data + 3);
    h.packedSize = readLe32(data + 7);
    h.propsSize = readLe32(data + 11);
    if (fileSize < kPatchPrefixSize) return PatchStatus::Truncated;
    if (h.propsSize != kPatchPropsSize || h.packedSize != fileSize - kPatchPrefixSize ||
        h.unpackedSize == 0 || !patchSavedCharValid(h.savedChar)) {
        return PatchStatus::BadHeader;
    }
    *header = h;
    return PatchStatus::Ok;
}

PatchStatus patchReadProperties(const std::uint8_t* data, std::size_t len, PatchProperties* props) {
    if (!data || !props || len < kPatchPropsSize) return PatchStatus::Truncated;
    unsigned d = data[0];
    if (d >= kPropsByteLimit) return PatchStatus::BadProperties;
    PatchProperties p;
    p.lc = d % 9;
    d /= 9;
    p.lp = d % 5;
    p.pb = d / 5;
    p.dictSize = readLe32(data + 1);
    if (p.lc + p.lp > kMaxLcPlusLp || p.dictSize > kPatchMaxDictSize) {
        return PatchStatus::BadProperties;
    }
    *props = p;
    return PatchStatus::Ok;
}

PatchStatus patchDecodeStream(const PatchProperties& props, const std::uint8_t* packed,
                              std::size_t packedSize, std::uint8_t* out, std::size_t unpackedSize) {
    if ((!packed && packedSize > 0) || !out || unpackedSize == 0) return PatchStatus::Param;
    if (props.lc + props.lp > kMaxLcPlusLp || props.pb > 4 || props.dictSize > kPatchMaxDictSize) {
        return PatchStatus::BadProperties;
    }
    lzma_options_lzma opt;
    std::memset(&opt, 0, sizeof opt);
    opt.lc = props.lc;
    opt.lp = props.lp;
    opt.pb = props.pb;
    // A window as large as the whole output already reaches every valid
    // distance, so a small file never pays for a 64 MiB dictionary.
    const std::uint64_t window = std::min<std::uint64_t>(props.dictSize, unpackedSize);
    opt.dict_size = static_cast<std::uint32_t>(std::max<std::uint64_t>(window, LZMA_DICT_SIZE_MIN));
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};

    std::size_t inPos = 0, outPos = 0;
    const lzma_ret ret = lzma_raw_buffer_decode(filters, nullptr, packed, &inPos, packedSize, out,
                                                &outPos, unpackedSize);
    if (ret == LZMA_MEM_ERROR) return PatchStatus::Mem;
    // Bytes after the end marker are no error to liblzma; they are to us.
    if (ret != LZMA_OK || inPos != packedSize || outPos != unpackedSize) {
        return PatchStatus::DataError;
    }
    return PatchStatus::Ok;
}

PatchStatus patchDecode(const std::uint8_t* image, std::size_t len,
                        std::vector<std::uint8_t>* content, PatchHeader* header) {
    if (!content) return PatchStatus::Param;
    content->clear();
    PatchHeader h;
    PatchStatus status = patchReadHeader(image, len, len, &h);
    if (status != PatchStatus::Ok) return status;
    PatchProperties props;
    status = patchReadProperties(image + kPatchHeaderSize, len - kPatchHeaderSize, &props);
    if (status != PatchStatus::Ok) return status;

    // Decoded into raw memory first, so a header that lies about the size
    // does not make us fill gigabytes before the stream is proven.
    auto out = allocateBytes(h.unpackedSize);
    if (!out) return PatchStatus::Mem;
    status =
        patchDecodeStream(props, image + kPatchPrefixSize, h.packedSize, out.get(), h.unpackedSize);
    if (status != PatchStatus::Ok) return status;
    try {
        content->assign(out.get(), out.get() + h.unpackedSize);
    } catch (const std::bad_alloc&) {
        return PatchStatus::Mem;
    }
    if (header) *header = h;
    return PatchStatus::Ok;
}

// --- Files ---

bool patchWriteFileReplacing(const std::string& path, const std::uint8_t* data, std::size_t len) {
    ReplacingFile file;
    return file.open(path) && file.write(data, len) && file.commit();
}

bool UnpackFile(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.valid()) return false;
    return UnpackFileAt(dirFd.get(), slash == std::string::npos ? path : path.substr(slash + 1)) ==
           UnpackResult::Unpacked;
}

UnpackResult UnpackFileAt(int dirFd, const std::string& leaf, const UnpackedModeFn& modeFor) {
    UniqueFd file(::openat(dirFd, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.valid()) return UnpackResult::Unreadable;
    struct stat st;
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return UnpackResult::Unreadable;

    // The header is checked against the file's size before anything is
    // allocated, so only a real file can ask for its packed buffer.
    std::uint8_t head[kPatchHeaderSize];
    PatchHeader header;
    if (!readFully(file.get(), head, kPatchHeaderSize) ||
        patchReadHeader(head, kPatchHeaderSize, static_cast<std::uint64_t>(st.st_size), &header) !=
            PatchStatus::Ok) {
        return UnpackResult::Unreadable;
    }

    auto packed = allocateOrExit(header.packedSize, 0);
    auto out = allocateOrExit(header.unpackedSize, 1);
    auto propsBlock = allocateOrExit(header.propsSize, 2);
    PatchProperties props;
    if (!readFully(file.get(), propsBlock.get(), header.propsSize) ||
        patchReadProperties(propsBlock.get(), header.propsSize, &props) != PatchStatus::Ok ||
        !readFully(file.get(), packed.get(), header.packedSize)) {
        return UnpackResult::Unreadable;
    }
    file.reset();
    const PatchStatus status =
        patchDecodeStream(props, packed.get(), header.packedSize, out.get(), header.unpackedSize);
    packed.reset();
    if (status != PatchStatus::Ok) return UnpackResult::Unreadable;
    const std::string outLeaf = patchUnpackedPath(leaf, header.savedChar);
    ReplacingFile target;
    if (!target.openAt(dirFd, outLeaf)) return UnpackResult::NotWritten;
    if (modeFor) target.setMode(modeFor(outLeaf, out.get(), header.unpackedSize));
    return target.write(out.get(), header.unpackedSize) && target.commit() ? UnpackResult::Unpacked
                                                                           : UnpackResult::NotWritten;
}

}  // namespace quask
