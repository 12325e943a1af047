// The check that a file is a program of this machine, on any bytes: it may
// only read within them, and a verdict of Runnable must hold for every
// prefix-and-size pair that still holds the headers.
#include <cstddef>
#include <cstdint>

#include "shared/program_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The file may be longer than what was read of it, never shorter.
    const quask::ProgramCheck whole = quask::checkProgramBytes(data, size, size);
    const quask::ProgramCheck longer = quask::checkProgramBytes(data, size, std::uint64_t{size} * 4 + 1);
    if (whole == quask::ProgramCheck::Runnable && longer != quask::ProgramCheck::Runnable) __builtin_trap();
    return 0;
}
