#include "shared/out_of_memory.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace quask {

namespace {

OutOfMemoryReport g_report = nullptr;
const char* g_name = nullptr;
std::terminate_handler g_previous = nullptr;

bool uncaughtIsOutOfMemory() {
    const std::exception_ptr current = std::current_exception();
    if (!current) return false;
    try {
        std::rethrow_exception(current);
    } catch (const std::bad_alloc&) {
        return true;
    } catch (...) {
    }
    return false;
}

void writeAll(const char* text) {
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, left);
        if (n <= 0) return;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Allocates nothing: the heap is what just ran out.
void sayName() {
    writeAll(g_name);
    writeAll(": out of memory\n");
}

[[noreturn]] void onTerminate() {
    if (uncaughtIsOutOfMemory()) {
        // What the program printed so far belongs before the report.
        std::fflush(stdout);
        try {
            if (g_report) g_report();
        } catch (...) {
            // The report itself found no memory; the status still tells.
        }
        ::_exit(1);
    }
    if (g_previous) g_previous();
    std::abort();
}

}  // namespace

void endOnUncaughtOutOfMemory(OutOfMemoryReport report) {
    g_report = report;
    const std::terminate_handler previous = std::set_terminate(onTerminate);
    if (previous != onTerminate) g_previous = previous;
}

void endOnUncaughtOutOfMemory(const char* name) {
    g_name = name;
    endOnUncaughtOutOfMemory(&sayName);
}

}  // namespace quask
