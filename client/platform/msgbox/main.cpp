// quask-msgbox ICON BUTTONS CAPTION TEXT: shows one modal message box and
// answers through the exit code (see shared/message_box_helper.h). Programs
// without a toolkit start it, so their boxes block only the calling thread.
#include <gtk/gtk.h>

#include <cstring>

#include "shared/command_line.h"
#include "shared/message_box_helper.h"
#include "shared/posix_io.h"

namespace {

const quask::ProgramHelp kHelp{"quask-msgbox",
    "Usage: quask-msgbox ICON BUTTONS CAPTION TEXT\n"
    "Shows one modal message box for the game client and the starter, which\n"
    "have no toolkit of their own, and answers through its exit status. ICON is\n"
    "none, error, warning, information or question; BUTTONS is ok or yesno.\n"
    "\n"
    "Exit status is 10 for OK, 11 for Yes, 12 for No (closing a question's\n"
    "window included), 3 when no display can be opened, and 2 for a malformed\n"
    "command line.\n"
    "\n"
    "Options:\n" +
        std::string(quask::kStandardOptionLines)};

namespace p = quask::msgbox_protocol;

int indexOf(const char* word, const char* const* names, int count) {
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(word, names[i]) == 0) return i;
    }
    return -1;
}

GtkMessageType messageType(int icon) {
    switch (static_cast<quask::BoxIcon>(icon)) {
        case quask::BoxIcon::Error: return GTK_MESSAGE_ERROR;
        case quask::BoxIcon::Warning: return GTK_MESSAGE_WARNING;
        case quask::BoxIcon::Information: return GTK_MESSAGE_INFO;
        case quask::BoxIcon::Question: return GTK_MESSAGE_QUESTION;
        case quask::BoxIcon::None: break;
    }
    return GTK_MESSAGE_OTHER;
}

// Our texts are authored as bytes; GTK takes UTF-8 only.
gchar* validText(const char* text) { return g_utf8_make_valid(text, -1); }

}  // namespace

int main(int argc, char** argv) {
    quask::holdStandardDescriptors();
    // Four words are always a box, whatever they say.
    if (argc != p::kArgumentCount) {
        if (const auto end = quask::endsBeforeStart(kHelp, argc, argv)) return *end;
        return quask::usageError(kHelp);
    }
    const int icon = indexOf(argv[1], p::kIconNames, G_N_ELEMENTS(p::kIconNames));
    const int buttons = indexOf(argv[2], p::kButtonNames, G_N_ELEMENTS(p::kButtonNames));
    if (icon < 0 || buttons < 0) return quask::usageError(kHelp);
    const bool yesNo = static_cast<quask::BoxButtons>(buttons) == quask::BoxButtons::YesNo;

    int gtkArgc = 1;
    char** gtkArgv = argv;
    if (!gtk_init_check(&gtkArgc, &gtkArgv)) return p::kExitNoDisplay;

    gchar* caption = validText(argv[3]);
    gchar* text = validText(argv[4]);
    GtkWidget* dialog = gtk_message_dialog_new(
        nullptr, GTK_DIALOG_MODAL, messageType(icon),
        yesNo ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s", text);
    gtk_window_set_title(GTK_WINDOW(dialog), caption);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    // Return takes the first button, as on the system the texts come from.
    gtk_dialog_set_default_response(GTK_DIALOG(dialog),
                                    yesNo ? GTK_RESPONSE_YES : GTK_RESPONSE_OK);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    g_free(text);
    g_free(caption);

    if (!yesNo) return p::kExitOk;
    // Closing a question's window is not a Yes.
    return response == GTK_RESPONSE_YES ? p::kExitYes : p::kExitNo;
}
