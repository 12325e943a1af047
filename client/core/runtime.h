// Process runtime of the client: the program heap and the exit routine.
//
// Every allocation of the client goes through allocate()/reallocate()/release().
// Blocks are 16-byte aligned so SSE data can live in any of them, and an
// allocation never fails for its caller: the heap retries and, when memory
// stays exhausted, shows the "OOM" box and ends the process with code 1.
// The raw allocator underneath can be replaced (tests make it fail on purpose).
//
// The process ends only through exitProcess(): registered handlers run, the
// last registered first, then the process exits with the code. Any thread may
// call it; a second caller while an exit is running blocks for good.
#pragma once

#include <cstddef>

namespace velmar {

// --- Heap ---
void* allocate(std::size_t size);
// As allocate() for a null block; otherwise moves the block's contents
// (min(old size, new size) bytes) into a block of `size` bytes.
void* reallocate(void* block, std::size_t size);
void release(void* block);  // null is ignored
// Asks for a large block about to be filled (a whole file, its inflated
// content) to be backed by huge pages: touched page by page, 64 MiB cost
// tens of thousands of page faults, more time than inflating it. Only
// advice; a small block or a system without them is left as it is.
void preferHugePages(void* block, std::size_t size);

// The allocator under the heap. allocFn may return null to simulate
// exhaustion; sleepMs is the pause between retries.
struct RawAllocator {
    void* (*allocFn)(std::size_t size);
    void (*freeFn)(void* p);
    void (*sleepMs)(unsigned ms);
};
RawAllocator defaultRawAllocator();
void setRawAllocator(const RawAllocator& raw);

// A block from the C library's malloc (free() releases it) with the heap's
// promise: retried, and never null (the "OOM" box and code 1 instead). The
// client's operator new uses it, so what the standard containers allocate
// ends like any other allocation, not in an uncaught std::bad_alloc.
void* allocateFromSystem(std::size_t size);

constexpr int kAllocRetries = 10;      // retries after the first refusal
constexpr unsigned kAllocRetryMs = 80;

// --- Exit ---
using ExitHandler = void (*)();
constexpr int kMaxExitHandlers = 64;

// Appends a handler; ignored once kMaxExitHandlers are registered.
void registerExitHandler(ExitHandler handler);
int exitHandlerCount();

// Runs after every handler, right before the process ends, however far the
// handlers got: the log sends what it still has queued. Null removes it.
void setExitFlush(ExitHandler flush);

[[noreturn]] void exitProcess(int code);

// A write to a pipe nobody reads any more fails instead of ending the
// process: a game started from a pipeline whose reader went, or from a
// terminal since closed, still runs and writes its settings at the end.
void ignoreBrokenPipes();

// --- Thread priority ---
// One mapping for every thread of the client: lowest and highest lie two
// steps either side of normal, as the nice values +2 and -2 of the thread.
enum class ThreadPriority : int { Lowest = 2, Normal = 0, Highest = -2 };

// Sets the calling thread's priority, best effort: an unprivileged process
// may not raise one, and the refusal changes nothing. A new thread starts
// with its creator's priority.
void setThreadPriority(ThreadPriority priority);

}  // namespace velmar
