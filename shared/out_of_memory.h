// The last word on an allocation that fails where no caller catches it.
//
// Our programs report the failures they expect where they happen. One that
// reaches the top of a thread would otherwise end the program through
// std::terminate, an abort with a core dump and no word for the person who
// ran it. Once installed, an uncaught std::bad_alloc runs the program's report
// and ends the process with status 1 at once; any other uncaught exception
// still aborts as before. Files being written stay under their temporary names
// (every writer of ours renames only after a whole write), and the next run
// clears them.
#pragma once

namespace quask {

using OutOfMemoryReport = void (*)();

// Installs `report` (may be null: nothing is said) as the program's answer.
void endOnUncaughtOutOfMemory(OutOfMemoryReport report);

// The console tools' report: "<name>: out of memory" on standard error.
// `name` must outlive the program (a string literal).
void endOnUncaughtOutOfMemory(const char* name);

}  // namespace quask
