// Binary patches between two versions of a file: one zstd frame compressed
// with the old version (the base) as its reference prefix and long-distance
// matching over a window that spans both, so what the new version shares
// with the old one, wherever it moved, costs a few bytes. The frame records
// the result's size and a checksum of it. libzstd; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {

struct ByteView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// False when libzstd refuses (out of memory).
bool makeDeltaPatch(ByteView base, ByteView result, std::string* patch);

// The result of `patch` on `base`, which must be exactly `resultSize` bytes
// long; false for a patch that is not one whole frame of that size, is
// corrupt, fails its checksum or needs another base.
bool applyDeltaPatch(ByteView base, ByteView patch, std::uint64_t resultSize, std::string* result);

}  // namespace quillon
