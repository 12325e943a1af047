// TGA decoding for the mouse cursor images: uncompressed true-colour (type 2),
// uncompressed grey (type 3) and run-length true-colour (type 10) pictures of
// 8, 24 or 32 bits per pixel, either origin, into 32-bit RGBA.
//
// The result is one heap block of width x height x 4 bytes, R, G, B, A, the
// top row of the picture first, no padding; the caller owns it and frees it
// with velmar::release(). Every failure logs a WARN line and returns null.
// Nothing here keeps state, so any thread may call it; nothing touches GL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmar {

constexpr std::size_t kTgaHeaderBytes = 18;

// Decodes `length` bytes at `bytes`. Width and height are set to 0 first and
// to the picture's size on success. Bytes after the picture are ignored.
std::uint8_t* tex_LoadTGA(std::size_t length, const std::uint8_t* bytes,
                          std::uint32_t* width, std::uint32_t* height);

// Reads the plain file at `path` (no GDF container) and decodes it. A file
// that cannot be opened logs "tex_LoadTGA: (by File) '%s' IO Open Error.".
std::uint8_t* tex_LoadTGAFile(const char* path, std::uint32_t* width,
                              std::uint32_t* height);

}  // namespace velmar
