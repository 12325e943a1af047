// DiskFile: the one file object of the client, a thin layer over POSIX file
// descriptors with the open modes the engine's callers use.
//
// The caller creates the object, opens it, tests isOpen(), and closes it (the
// destructor closes a file still open). Operations never log; a failed open
// leaves the object not open and a failed transfer returns 0.
//
// Paths that come from the game's data files may carry backslashes and a
// letter case that differs from the disk, because content is authored on
// Windows. Open turns backslashes into slashes and, for modes that open an
// existing file, retries a failed exact open with resolveDataPath().
//
// One object is used by one thread at a time; distinct objects are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmar {

enum DiskFileMode : int {
    kFileReadOnly = 1,           // all reading
    kFileReadWriteExisting = 2,  // opens an existing file for reading and writing
    kFileCreateReadWrite = 4,    // creates or truncates
    kFileCreateReadWriteAlt = 5  // same as 4
};

// Paths, the terminating zero included, must fit this many bytes.
constexpr std::size_t kDiskFilePathMax = 2048;

class DiskFile {
public:
    DiskFile() = default;
    ~DiskFile();
    DiskFile(const DiskFile&) = delete;
    DiskFile& operator=(const DiskFile&) = delete;

    // Closes a file still open, then opens `path`. On success the byte
    // counter is reset and the mode recorded. A null path, a path that does
    // not fit kDiskFilePathMax, a mode outside the table and a directory are
    // not opened.
    DiskFile& Open(const char* path, int mode);

    // Size in bytes; 0 when not open or the size cannot be read.
    std::uint64_t GetSize() const;

    // Reads until `count` bytes, end of file or an error; returns the bytes
    // read (0 when not open, buffer null or count 0).
    std::size_t Read(void* buffer, std::size_t count);
    // Whether the last Read stopped at an error rather than the end of file.
    bool readFailed() const { return m_readFailed; }

    // Writes all `count` bytes; returns count, or 0 when not open, buffer
    // null, count 0 or a write fails (bytes already written stay written).
    std::size_t Write(const void* buffer, std::size_t count);

    void Close();

    bool isOpen() const { return m_fd >= 0; }
    // Bytes moved by Read and Write since the last successful Open.
    std::uint64_t byteCount() const { return m_byteCount; }
    int mode() const { return m_mode; }

private:
    int m_fd = -1;
    bool m_readFailed = false;
    std::uint64_t m_byteCount = 0;
    int m_mode = 0;
};

// Turns backslashes into slashes and, when the result names nothing on disk,
// matches each component against its directory's entries without regard to
// ASCII letter case, else (names with other bytes) to letter case in any
// script and composed or decomposed accents ("." and ".." are taken as they
// stand), and then, as Windows opens it, without the blanks and dots it ends
// in. Returns the path
// found on disk, or the slash form unchanged when some component has no
// match. Among several entries that differ only in case, the exact spelling
// wins, then the lowest in byte order.
std::string resolveDataPath(const char* path);

}  // namespace velmar
