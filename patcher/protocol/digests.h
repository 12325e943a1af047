// Digests of game files: MD5 (RFC 1321) as the server's sum files give it,
// and SHA-256 with the size as the signed file lists give them, through
// OpenSSL. Files are read in blocks so memory does not grow with the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "patcher/protocol/line_files.h"

namespace quillon {

// False when the file cannot be opened or read.
bool Md5OfFile(const std::string& path, Digest* digest);
Digest md5OfBytes(const void* data, std::size_t size);
std::string digestHex(const Digest& digest);

struct FileDigests {
    Digest md5{};               // only when asked for
    SignedDigest signedDigest;  // the size always, SHA-256 only when asked for
};
// Reads the open file `fd` from where it stands to its end, in one pass for
// the digests asked for. False on a read error.
bool digestsOfFd(int fd, bool withMd5, bool withSha256, FileDigests* out);
Sha256 sha256OfBytes(const void* data, std::size_t size);
// The SHA-256 digest and size of bytes in memory, as a signed list gives them.
SignedDigest signedDigestOf(std::string_view bytes);
std::string sha256Hex(const Sha256& digest);

}  // namespace quillon
