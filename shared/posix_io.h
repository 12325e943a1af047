// Small POSIX file helpers every program of the suite uses alike: an owned
// file descriptor, reads and writes that go on until every byte is through,
// and a whole file read into memory. A failure is false, with errno as the
// system left it. Plain functions and values; any thread.
#pragma once

#include <cstddef>
#include <string>

namespace quask {

// An owned file descriptor, closed when the object goes; -1 when none.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes the one held (if any) and holds `fd`.
    void reset(int fd = -1);
    // Gives the descriptor up without closing it.
    int release();
    // Closes and tells whether the close (the last chance for a write error
    // to show) succeeded; false when none was held.
    bool close();

private:
    int m_fd = -1;
};

// Reads exactly `size` bytes; false at an error or when the file ends first.
// Interrupted calls are retried.
bool readFully(int fd, void* data, std::size_t size);
// Writes all `size` bytes; false at an error. Interrupted calls are retried.
bool writeFully(int fd, const void* data, std::size_t size);
// The whole file at `path`; false when it cannot be opened or read (a
// directory included). `out` is left alone on failure.
bool readWholeFile(const std::string& path, std::string* out);
// Holds each of standard input, output and error that the program was
// started without (`>&-` in a script): otherwise the next file it opens
// takes that number, and what it prints lands inside that file. The root
// folder, opened for reading, stands in: reading and writing it fail as on
// a closed descriptor, so a lost report still counts as lost, and so does
// an output named /dev/stdout (a folder, where /dev/null would take the
// bytes without a word). Call first thing in main, before any thread or file.
void holdStandardDescriptors();
// Makes the entries of the open directory `fd` durable. A file system that
// cannot sync a directory (EINVAL) has no way to, so that is no failure.
bool syncDirectory(int fd);

// An advisory lock on the folder `dir` itself, held by `held` and ended with
// it (or with the process, killed or not). Writers of a folder take it
// exclusive, readers that need it whole take it shared. Busy: another
// process holds it in a way that excludes this one. NotTaken: the folder is
// missing or its file system has no such locks, which callers treat as no
// lock at all.
enum class FolderLock { Taken, Busy, NotTaken };
FolderLock lockFolder(const std::string& dir, bool exclusive, UniqueFd* held);

// Opens, or makes (mode 0600), the lock file `path` for an advisory lock;
// -1 for a link (ELOOP), and with errno EPERM for what is not a plain file
// of this user: in a folder all users share (/tmp), another user's file,
// which that user could hold locked for ever, is no lock of ours.
int openOwnLockFile(const std::string& path);

// Whether a failed fchmod of a file this process created says that the
// drive keeps no permission bits (FAT, some network drives), not that the
// change was refused.
bool modeNotKept(int error);

}  // namespace quask
