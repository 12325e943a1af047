// Not part of the launcher: a program that names every GTK function the
// launcher loads when it opens its window. The player package's
// dependencies are computed over the programs' libraries, and the launcher
// itself names none of GTK's; this one makes the package ask for GTK,
// Pango, cairo and GdkPixbuf versions that have all of them.
#include <gtk/gtk.h>

#define QUILLON_GTK_FUNCTION(name) reinterpret_cast<void (*)()>(&name),
extern void (*const quillonGtkNeeded[])();
__attribute__((used)) void (*const quillonGtkNeeded[])() = {
#include "patcher/front/gtk/gtk_functions.inc"
};
#undef QUILLON_GTK_FUNCTION

int main() { return 0; }
