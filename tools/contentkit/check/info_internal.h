// Private to the info readers: the checks several binary formats open with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/storage/byte_reader.h"
#include "tools/contentkit/check/info.h"

namespace contentkit {

// False with "file is N bytes, shorter than the M-byte <what>" when the
// file is shorter than `need` bytes.
bool holdsHeader(std::size_t len, std::size_t need, const char* what, InfoReport* report);

// False with "no <format> magic ('<magic>' at offset 0)" when the file does
// not open with the four bytes of `magic` (little-endian, as the layouts
// state it). The file holds at least four bytes.
bool hasMagic(const velmar::ByteReader& file, std::uint32_t magic, InfoReport* report);

}  // namespace contentkit
