// Binary patches between two versions of a file: one zstd frame compressed
// with the old version (the base) as its reference prefix and long-distance
// matching over a window that spans both, so what the new version shares
// with the old one, wherever it moved, costs a few bytes. The frame records
// the result's size and a checksum of it. libzstd; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quillon {

struct ByteView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// False when libzstd refuses (out of memory).
bool makeDeltaPatch(ByteView base, ByteView result, std::string* patch);

// A patched file: room for the size its patch states, of which only what
// the patch really produces is ever written, so a frame that claims more
// than it holds costs no more memory than it holds.
struct PatchedBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    ByteView view() const { return {data.get(), size}; }
};

// The result of `patch` on `base`, which must be exactly `resultSize` bytes
// long (the caller bounds it before anything is taken for it); false for a
// patch that is not one whole frame of that size, is corrupt, fails its
// checksum, needs another base, or when the room cannot be had.
bool applyDeltaPatch(ByteView base, ByteView patch, std::uint64_t resultSize, PatchedBytes* result);

}  // namespace quillon
