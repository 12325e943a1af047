// The entry points of the GTK functions the launcher calls, for a program
// that loads GTK only when it opens a window. Each jumps through its slot,
// which gtk_library.cpp fills once the libraries are open; the program
// itself then never names GTK's libraries, so the console runs start without
// loading them. Hidden: GTK, once loaded, keeps calling its own functions.
// With control-flow protection on, each entry starts with an end-branch
// mark and the object says so: the program keeps its protection.
#include <cet.h>

    .macro quillon_gtk_entry name
    .text
    .globl \name
    .hidden \name
    .type \name, @function
    .p2align 4
\name:
    _CET_ENDBR
    jmp *quillon_gtk_slot_\name(%rip)
    .size \name, . - \name
    .endm

#define QUILLON_GTK_FUNCTION(name) quillon_gtk_entry name
#include "patcher/front/gtk/gtk_functions.inc"

    .section .note.GNU-stack, "", @progbits
