#include "client/storage/load_file_data.h"

#include "client/core/log.h"
#include "client/core/runtime.h"
#include "client/storage/disk_file.h"
#include "client/storage/gdf.h"

namespace velmar {

namespace {

[[noreturn]] void fail(const char* format, const char* path) {
    Message(kLogCrit, format, path);
    exitProcess(1);
}

// The whole file in one block; its length through `length`.
std::uint8_t* readWholeFile(const char* path, std::size_t* length) {
    DiskFile file;
    if (!file.Open(path, kFileReadOnly).isOpen()) {
        fail("Can not open file '%s' - file missing?", path);
    }
    const std::uint64_t size = file.GetSize();
    if (size == 0 || size > kGdfMaxSize) fail("File '%s' - empty file.", path);

    auto* data = static_cast<std::uint8_t*>(allocate(static_cast<std::size_t>(size)));
    preferHugePages(data, static_cast<std::size_t>(size));
    // A file that shrank since the size was read counts with what is left;
    // one that cannot be read (a failing disk) is no content at all.
    const std::size_t got = file.Read(data, static_cast<std::size_t>(size));
    const bool failed = file.readFailed();
    file.Close();
    if (failed) fail("File '%s' - read error.", path);
    if (got == 0) fail("File '%s' - empty file.", path);
    *length = got;
    return data;
}

}  // namespace

std::uint8_t* LoadFileData(const char* path, std::uint32_t* size) {
    if (!path) path = "";
    std::size_t length = 0;
    std::uint8_t* data = readWholeFile(path, &length);

    GdfHeader header;
    switch (gdfReadHeader(data, length, &header)) {
        case GdfStatus::Ok: break;
        case GdfStatus::NoContent:
            fail("File '%s' has GDF Signature; but has no content or is corrupt!", path);
        default:  // plain file, whatever its length
            if (size) *size = static_cast<std::uint32_t>(length);
            return data;
    }

    const std::size_t payloadLen = length - kGdfHeaderSize;
    if (!header.compressed()) {
        auto* plain = static_cast<std::uint8_t*>(allocate(payloadLen));
        GdfDescramble(gdfInitialKey(header), data + kGdfHeaderSize, plain, payloadLen);
        release(data);
        if (size) *size = static_cast<std::uint32_t>(payloadLen);
        return plain;
    }

    // The header's size is checked before any block is sized from it.
    if (gdfCheckContentSize(header, payloadLen) != GdfStatus::Ok) {
        fail("File '%s' gdf error ~ uncompressed size doesnt match with header!", path);
    }
    const std::uint64_t contentSize = header.contentSize();
    auto* content = static_cast<std::uint8_t*>(allocate(static_cast<std::size_t>(contentSize)));
    preferHugePages(content, static_cast<std::size_t>(contentSize));
    // The payload is descrambled in place, overlapped with inflating it.
    switch (gdfDescrambleInflate(gdfInitialKey(header), data + kGdfHeaderSize, payloadLen,
                                 content, contentSize)) {
        case GdfStatus::Ok: break;
        case GdfStatus::DecompressError: fail("File '%s' decompression error in gdf.", path);
        default: fail("File '%s' gdf error ~ uncompressed size doesnt match with header!", path);
    }
    release(data);
    if (size) *size = static_cast<std::uint32_t>(contentSize);
    return content;
}

}  // namespace velmar
