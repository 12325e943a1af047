#include "client/core/runtime.h"

#include <malloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "shared/message_box.h"

namespace velmar {

// --- Heap ---
//
// Each block carries a 16-byte header just below the address handed out: the
// raw block's address and the requested size. Keeping the size lets
// reallocate() copy exactly what the caller owns, whatever the raw allocator
// rounded up to.

namespace {

struct BlockHeader {
    void* raw;
    std::size_t size;
};
static_assert(sizeof(BlockHeader) == 16, "header must keep 16-byte alignment");

constexpr std::size_t kAlign = 16;
// Header plus the worst-case alignment slack of a raw block.
constexpr std::size_t kOverhead = sizeof(BlockHeader) + kAlign - 1;

void sleepMilliseconds(unsigned ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

RawAllocator g_raw = {std::malloc, std::free, sleepMilliseconds};

[[noreturn]] void outOfMemory(const char* text, const char* caption) {
    // The box needs a little memory itself; when even that fails, the
    // nested failure ends the process without a second box.
    static std::atomic<bool> reporting{false};
    if (!reporting.exchange(true))
        quask::showMessageBox(text, caption, quask::BoxIcon::Error, quask::BoxButtons::Ok);
    exitProcess(1);
}

BlockHeader* headerOf(void* block) {
    return static_cast<BlockHeader*>(block) - 1;
}

void* rawAllocWithRetry(std::size_t total) {
    for (int attempt = 0;; ++attempt) {
        if (void* raw = g_raw.allocFn(total)) return raw;
        if (attempt == kAllocRetries) return nullptr;
        g_raw.sleepMs(kAllocRetryMs);
    }
}

void* place(void* raw, std::size_t size) {
    auto addr = reinterpret_cast<std::uintptr_t>(raw) + sizeof(BlockHeader);
    addr = (addr + kAlign - 1) & ~(kAlign - 1);
    void* block = reinterpret_cast<void*>(addr);
    *headerOf(block) = BlockHeader{raw, size};
    return block;
}

}  // namespace

RawAllocator defaultRawAllocator() {
    return RawAllocator{std::malloc, std::free, sleepMilliseconds};
}

void setRawAllocator(const RawAllocator& raw) { g_raw = raw; }

void* allocate(std::size_t size) {
    // A size whose overhead would wrap can never be satisfied.
    void* raw = size > SIZE_MAX - kOverhead ? nullptr : rawAllocWithRetry(size + kOverhead);
    if (!raw) outOfMemory("_stdc_malloc => Out of memory.\n", "OOM");
    return place(raw, size);
}

void preferHugePages(void* block, std::size_t size) {
    constexpr std::uintptr_t kHuge = 2u << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    if (!block || size < kHuge || start > UINTPTR_MAX - size) return;
    const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1), end = (start + size) & ~(kHuge - 1);
    if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void* allocateFromSystem(std::size_t size) {
    if (size == 0) size = 1;
    for (int attempt = 0;; ++attempt) {
        if (void* raw = std::malloc(size)) return raw;
        if (attempt == kAllocRetries) outOfMemory("_stdc_malloc => Out of memory.\n", "OOM");
        g_raw.sleepMs(kAllocRetryMs);
    }
}

void* reallocate(void* block, std::size_t size) {
    if (!block) return allocate(size);
    const BlockHeader old = *headerOf(block);
    if (!old.raw) outOfMemory("_stdc_realloc => cant fetch old memblock size", "Mem Err");
    void* raw = size > SIZE_MAX - kOverhead ? nullptr : g_raw.allocFn(size + kOverhead);
    if (!raw) outOfMemory("_stdc_realloc => Out of memory (copy memblock method)", "OOM");
    void* moved = place(raw, size);
    std::memcpy(moved, block, old.size < size ? old.size : size);
    g_raw.freeFn(old.raw);
    return moved;
}

void release(void* block) {
    if (!block) return;
    g_raw.freeFn(headerOf(block)->raw);
}

// --- Exit ---

namespace {

ExitHandler g_handlers[kMaxExitHandlers];
std::atomic<int> g_handlerCount{0};
std::recursive_mutex g_exitLock;
std::atomic<ExitHandler> g_exitFlush{nullptr};

}  // namespace

void registerExitHandler(ExitHandler handler) {
    if (!handler) return;
    std::lock_guard<std::recursive_mutex> lock(g_exitLock);
    int n = g_handlerCount.load();
    if (n >= kMaxExitHandlers) return;
    g_handlers[n] = handler;
    g_handlerCount.store(n + 1);
}

int exitHandlerCount() { return g_handlerCount.load(); }

void setExitFlush(ExitHandler flush) { g_exitFlush.store(flush); }

void ignoreBrokenPipes() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

void exitProcess(int code) {
    // The recursive lock lets a handler that itself fails call exit again: the
    // nested call runs the handlers not yet run and ends the process. Another
    // thread that asks to exit meanwhile waits here until the process is gone.
    g_exitLock.lock();
    for (;;) {
        int n = g_handlerCount.load();
        if (n == 0) break;
        g_handlerCount.store(n - 1);
        g_handlers[n - 1]();
    }
    if (ExitHandler flush = g_exitFlush.load()) flush();
    std::fflush(nullptr);
    _exit(code);
}

// --- Thread priority ---

void setThreadPriority(ThreadPriority priority) {
    // Linux keeps a nice value per thread, addressed by the thread's id.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)),
                        static_cast<int>(priority));
}

}  // namespace velmar
