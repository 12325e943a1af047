// Whether a file can be a program of this machine: an ELF executable of the
// word size, byte order and processor this build runs on, whose program
// headers and segments all lie within the file (a cut-off copy does not).
// The launcher asks it of a new launcher before it takes the old one's name,
// the bootstrap of the launcher it is about to start. A header that passes
// says nothing of what the program does; running it is the test for that.
// Reads with pread only; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quask {

enum class ProgramCheck {
    Runnable,
    NotElf,        // no ELF header at all (a text file, a script, nothing)
    OtherMachine,  // an ELF file, but not an executable for this processor
    Truncated,     // its headers or segments reach past the end of the file
};

// `data` holds the first `len` bytes of a file of `fileSize` bytes (at
// least the ELF header and the program headers, or the whole file).
ProgramCheck checkProgramBytes(const std::uint8_t* data, std::size_t len, std::uint64_t fileSize);
// The same for the open file `fd` (a regular file; its offset is kept).
ProgramCheck checkProgramFile(int fd);

}  // namespace quask
