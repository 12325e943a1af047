// MD5 digests of game files (RFC 1321, through OpenSSL), read in blocks so
// memory does not grow with the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "patcher/line_files.h"

namespace quillon {

// False when the file cannot be opened or read.
bool Md5OfFile(const std::string& path, Digest* digest);
Digest md5OfBytes(const void* data, std::size_t size);
std::string digestHex(const Digest& digest);

}  // namespace quillon
