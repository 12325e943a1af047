#include "patcher/front/gtk/gtk_library.h"

#ifndef QUILLON_GTK_LINKED

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// What a slot holds until GTK is loaded: a call before that is a fault of
// ours, and stops the program where a debugger can see it.
[[noreturn]] void calledBeforeLoading() {
    std::fputs("quillon: a GTK function was called before GTK was loaded\n", stderr);
    std::abort();
}

}  // namespace

// One slot per entry point of gtk_entry_points.S.
extern "C" {
#define QUILLON_GTK_FUNCTION(name) __attribute__((visibility("hidden"))) void (*quillon_gtk_slot_##name)() = &calledBeforeLoading;
#include "patcher/front/gtk/gtk_functions.inc"
#undef QUILLON_GTK_FUNCTION
}

namespace quillon {

namespace {

struct Binding {
    const char* name;
    void (**slot)();
};

const Binding kBindings[] = {
#define QUILLON_GTK_FUNCTION(name) {#name, &quillon_gtk_slot_##name},
#include "patcher/front/gtk/gtk_functions.inc"
#undef QUILLON_GTK_FUNCTION
};

}  // namespace

bool loadGtkLibrary(std::string* why) {
    static bool loaded = false;
    if (loaded) return true;
    // Global, as a linked GTK would be: the modules GTK loads itself (input
    // methods, the accessibility bridge) find it where they expect it. GDK,
    // Pango, cairo and GdkPixbuf come with it, and dlsym on its handle
    // searches them too.
    void* gtk = dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_GLOBAL);
    if (!gtk) {
        const char* error = dlerror();
        *why = error ? error : "libgtk-3.so.0 cannot be loaded";
        return false;
    }
    std::vector<void (*)()> found;
    found.reserve(sizeof kBindings / sizeof kBindings[0]);
    for (const Binding& binding : kBindings) {
        void* function = dlsym(gtk, binding.name);
        if (!function) {
            *why = std::string("libgtk-3.so.0 has no ") + binding.name;
            // Left loaded: this program unloads no library (the race
            // checker, for one, stops when a suppressed library goes).
            return false;
        }
        found.push_back(reinterpret_cast<void (*)()>(function));
    }
    // All or nothing: a GTK without one of them is not used at all.
    for (std::size_t i = 0; i < found.size(); ++i) *kBindings[i].slot = found[i];
    loaded = true;
    return true;
}

}  // namespace quillon

#else

namespace quillon {

bool loadGtkLibrary(std::string*) { return true; }

}  // namespace quillon

#endif
