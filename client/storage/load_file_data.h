// LoadFileData: reads a whole file into one heap block and unwraps a GDF
// container (descramble, and inflate when flagged). Any other file, a file of
// 1 to 3 bytes included, comes back byte for byte.
//
// The caller owns the returned block and frees it with velmar::release().
// The call never fails for its caller: a missing, empty or broken file logs a
// CRIT line (which shows the "Critical Log Message" box) and ends the process
// with exit code 1. It keeps no state, so any thread may call it.
#pragma once

#include <cstdint>

namespace velmar {

// Writes the content length through `size` when it is not null.
std::uint8_t* LoadFileData(const char* path, std::uint32_t* size);

}  // namespace velmar
