#include "patcher/front/gtk/gtk_ui.h"

#include <gtk/gtk.h>

#include <cmath>

#include "patcher/front/gtk/gtk_thread.h"

namespace quillon {

namespace {

enum class Kind { Button, Notice, Label, Bar };

struct ControlSpec {
    int id;
    Kind kind;
    DialogRect rect;  // dialog units
    const char* text;
    float xalign;
};

// The dialog's template: 322 x 325 units.
constexpr DialogRect kDialogSize{0, 0, 322, 325};
const ControlSpec kControls[] = {
    {kCtlStartGame, Kind::Button, {250, 262, 65, 15}, "Start Game", 0.5f},
    {kCtlFullCheck, Kind::Button, {250, 280, 65, 15}, "Full Check", 0.5f},
    {kCtlExit, Kind::Button, {250, 298, 65, 15}, "Exit", 0.5f},
    {kCtlNotice, Kind::Notice, {14, 24, 295, 227}, "", 0.0f},
    // The template's "&&" shows as one ampersand.
    {kCtlNoticeLabel, Kind::Label, {7, 7, 152, 10}, "Changelog & Update Notices:", 0.0f},
    {kCtlStatus, Kind::Label, {19, 256, 208, 9}, "", 0.5f},
    {kCtlFileBar, Kind::Bar, {15, 268, 216, 9}, "", 0.0f},
    {kCtlStatusTotal, Kind::Label, {18, 281, 210, 8}, "", 0.5f},
    {kCtlTotalBar, Kind::Bar, {15, 292, 216, 9}, "", 0.0f},
    {kCtlSpeed, Kind::Label, {15, 308, 92, 10}, "", 0.0f},
    {kCtlTimeLeft, Kind::Label, {148, 308, 83, 10}, "", 1.0f},  // never filled
};

constexpr int kFirstControl = kCtlStartGame;
constexpr int kControlSlots = kCtlTotalBar - kCtlStartGame + 1;

// A small built-in icon: the launcher has no icon file of its own.
const char* const kIconXpm[] = {
    "16 16 3 1",        " 	c None",           ".	c #1F3A68",       "+	c #E8C15A",
    "                ", "     ......     ", "   ..........   ", "  ....++++....  ",
    " ...++....++... ", " ..++......++.. ", " ..++......++.. ", " ..++......++.. ",
    " ..++....+.++.. ", " ..++.....+++.. ", " ...++....++... ", "  ....++++.++.  ",
    "   ..........++ ", "     ......  ++ ", "                ", "                ",
};

GtkWidget* g_dialogWindow = nullptr;  // the parent of boxes; GTK thread only

DialogBaseUnits fontBaseUnits(GtkWidget* widget) {
    PangoLayout* layout =
        gtk_widget_create_pango_layout(widget, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    int width = 0, height = 0;
    pango_layout_get_pixel_size(layout, &width, &height);
    g_object_unref(layout);
    return baseUnitsFromFont(width, height);
}

GtkWidget* makeControl(const ControlSpec& spec) {
    switch (spec.kind) {
        case Kind::Button: return gtk_button_new_with_label(spec.text);
        case Kind::Notice: {
            GtkWidget* view = gtk_text_view_new();
            gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
            gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
            gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_NONE);
            GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
            gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC,
                                           GTK_POLICY_ALWAYS);
            gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
            // The vertical bar is always there, not only while the mouse is near.
            gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(scroll), FALSE);
            gtk_container_add(GTK_CONTAINER(scroll), view);
            return scroll;
        }
        case Kind::Label: {
            GtkWidget* label = gtk_label_new(spec.text);
            gtk_label_set_xalign(GTK_LABEL(label), spec.xalign);
            // Long texts are cut rather than widening the control.
            gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
            return label;
        }
        case Kind::Bar: return gtk_progress_bar_new();
    }
    return nullptr;
}

GtkTextView* noticeView(GtkWidget* scroll) {
    return GTK_TEXT_VIEW(gtk_bin_get_child(GTK_BIN(scroll)));
}

gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<LauncherWindow*>(self)->command(kCtlClose);
    return TRUE;  // the close handling decides; the window is never destroyed here
}

gboolean onFocusIn(GtkWidget* widget, GdkEvent*, gpointer) {
    gtk_window_set_urgency_hint(GTK_WINDOW(widget), FALSE);  // the flash lasts until then
    return FALSE;
}

struct ButtonBinding {
    LauncherWindow* window;
    int control;
};

void onClicked(GtkButton*, gpointer data) {
    const auto* binding = static_cast<const ButtonBinding*>(data);
    binding->window->command(binding->control);
}

void freeBinding(gpointer data, GClosure*) { delete static_cast<ButtonBinding*>(data); }

}  // namespace

// --- Dialog ---

LauncherWindow::LauncherWindow(LauncherWindowActions actions) : m_actions(std::move(actions)) {
    if (!m_actions.ask) {
        m_actions.ask = [](const std::string& text, const std::string& caption) {
            return quask::showMessageBox(text, caption, quask::BoxIcon::Information,
                                         quask::BoxButtons::YesNo);
        };
    }
}

LauncherWindow::~LauncherWindow() {
    if (m_window && g_dialogWindow == m_window) g_dialogWindow = nullptr;
    if (m_window) gtk_widget_destroy(m_window);
}

bool LauncherWindow::create() {
    if (m_window || !m_state) return false;
    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    if (!m_window) return false;
    GtkWindow* window = GTK_WINDOW(m_window);
    gtk_window_set_title(window, "Quask Launcher");
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    if (GdkPixbuf* icon = gdk_pixbuf_new_from_xpm_data(const_cast<const char**>(kIconXpm))) {
        gtk_window_set_icon(window, icon);
        g_object_unref(icon);
    } else {
        quask::showMessageBox("Iconification failed (load)", "Warning",
                              quask::BoxIcon::Information, quask::BoxButtons::Ok);
    }

    m_base = fontBaseUnits(m_window);
    GtkWidget* fixed = gtk_fixed_new();
    const DialogRect size = dialogToPixels(kDialogSize, m_base);
    gtk_widget_set_size_request(fixed, size.width, size.height);
    gtk_container_add(GTK_CONTAINER(m_window), fixed);
    for (const ControlSpec& spec : kControls) {
        GtkWidget* widget = makeControl(spec);
        const DialogRect px = dialogToPixels(spec.rect, m_base);
        gtk_widget_set_size_request(widget, px.width, px.height);
        gtk_fixed_put(GTK_FIXED(fixed), widget, px.x, px.y);
        m_controls[spec.id - kFirstControl] = widget;
        if (spec.kind == Kind::Button) {
            g_signal_connect_data(widget, "clicked", G_CALLBACK(onClicked),
                                  new ButtonBinding{this, spec.id}, freeBinding, GConnectFlags(0));
        }
    }
    g_signal_connect(m_window, "delete-event", G_CALLBACK(onDelete), this);
    g_signal_connect(m_window, "focus-in-event", G_CALLBACK(onFocusIn), nullptr);
    gtk_widget_show_all(fixed);

    m_state->EnableStart(false);
    m_state->EnableFullCheck(false);
    m_state->setUpdating(false);
    send(CmdFileProgress, 0);
    gtk_widget_show(m_window);
    g_dialogWindow = m_window;
    return true;
}

GtkWidget* LauncherWindow::control(int id) const {
    if (id < kFirstControl || id >= kFirstControl + kControlSlots) return nullptr;
    return m_controls[id - kFirstControl];
}

void LauncherWindow::setLabel(int id, const std::string& text) {
    if (GtkWidget* label = control(id)) gtk_label_set_text(GTK_LABEL(label), displayText(text).c_str());
}

// --- Commands ---

void LauncherWindow::send(int command, long value) {
    runOnGtkThread([this, command, value] { carryOut(command, value); });
}

void LauncherWindow::carryOut(int command, long value) {
    if (!m_window) return;
    switch (command) {
        case CmdEnableStart:
            gtk_widget_set_sensitive(control(kCtlStartGame), value != 0);
            if (value != 0) gtk_widget_grab_focus(control(kCtlStartGame));
            break;
        case CmdEnableFullCheck: gtk_widget_set_sensitive(control(kCtlFullCheck), value != 0); break;
        case CmdFileProgress:
        case CmdTotalProgress: {
            const int percent = progressBarValue(value);
            GtkWidget* bar = control(command == CmdFileProgress ? kCtlFileBar : kCtlTotalBar);
            gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), percent / 100.0);
            break;
        }
        case CmdFlash: gtk_window_set_urgency_hint(GTK_WINDOW(m_window), TRUE); break;
        case CmdShowNotice: {
            const std::string text = noticeForWindow(displayText(m_state ? m_state->notice() : std::string()));
            GtkTextBuffer* buffer = gtk_text_view_get_buffer(noticeView(control(kCtlNotice)));
            gtk_text_buffer_set_text(buffer, text.data(), static_cast<gint>(text.size()));
            break;
        }
        case CmdShowSpeed: setLabel(kCtlSpeed, speedText(static_cast<unsigned long>(value))); break;
        case CmdShowStatus: setLabel(kCtlStatus, m_state ? m_state->status() : std::string()); break;
        case CmdShowStatusTotal:
            setLabel(kCtlStatusTotal, m_state ? m_state->statusTotal() : std::string());
            break;
        case CmdHideWindow:
            if (value != 0) gtk_widget_hide(m_window);
            else gtk_window_present(GTK_WINDOW(m_window));
            break;
        default: break;
    }
}

// --- Buttons and closing ---

void LauncherWindow::command(int id) {
    if (!m_state) return;
    switch (id) {
        case kCtlStartGame:
            if (m_state->startEnabled() && m_actions.startGame) m_actions.startGame();
            break;
        case kCtlFullCheck:
            if (!m_state->fullCheckEnabled()) break;
            if (m_actions.ask(kFullCheckQuestion, "Question") == quask::BoxResult::Yes &&
                m_actions.fullCheck)
                m_actions.fullCheck();
            break;
        case kCtlExit:
        case kCtlClose: closeHandling(); break;
        default: break;
    }
}

void LauncherWindow::requestClose() {
    runOnGtkThread([this] { closeHandling(); });
}

void LauncherWindow::closeHandling() {
    const bool updating = m_state && m_state->updating();
    CloseAction action = closeAction(updating, nullptr);
    if (action == CloseAction::Ask) {
        const quask::BoxResult answer = m_actions.ask(kCloseQuestion, "Warning");
        action = closeAction(updating, &answer);
    }
    if (action == CloseAction::Quit && m_actions.quit) m_actions.quit();
}

// --- Inspection ---

std::string LauncherWindow::controlText(int id) const {
    GtkWidget* widget = control(id);
    if (!widget) return {};
    if (GTK_IS_LABEL(widget)) return gtk_label_get_text(GTK_LABEL(widget));
    if (GTK_IS_BUTTON(widget)) return gtk_button_get_label(GTK_BUTTON(widget));
    if (id != kCtlNotice) return {};
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(noticeView(widget));
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

int LauncherWindow::barValue(int id) const {
    GtkWidget* widget = control(id);
    if (!widget || !GTK_IS_PROGRESS_BAR(widget)) return -1;
    const double fraction = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(widget));
    return static_cast<int>(std::lround(fraction * 100.0));
}

bool LauncherWindow::controlEnabled(int id) const {
    GtkWidget* widget = control(id);
    return widget && gtk_widget_get_sensitive(widget);
}

bool LauncherWindow::hasFocus(int id) const {
    GtkWidget* widget = control(id);
    return widget && m_window && gtk_window_get_focus(GTK_WINDOW(m_window)) == widget;
}

bool LauncherWindow::isShown() const { return m_window && gtk_widget_get_visible(m_window); }

bool LauncherWindow::isFlashing() const {
    return m_window && gtk_window_get_urgency_hint(GTK_WINDOW(m_window));
}

DialogRect LauncherWindow::controlRect(int id) const {
    GtkWidget* widget = control(id);
    if (!widget) return DialogRect{0, 0, 0, 0};
    GtkAllocation a;
    gtk_widget_get_allocation(widget, &a);
    return DialogRect{a.x, a.y, a.width, a.height};
}

// --- Message boxes ---

namespace {

GtkMessageType messageType(quask::BoxIcon icon) {
    switch (icon) {
        case quask::BoxIcon::Error: return GTK_MESSAGE_ERROR;
        case quask::BoxIcon::Warning: return GTK_MESSAGE_WARNING;
        case quask::BoxIcon::Information: return GTK_MESSAGE_INFO;
        case quask::BoxIcon::Question: return GTK_MESSAGE_QUESTION;
        case quask::BoxIcon::None: break;
    }
    return GTK_MESSAGE_OTHER;
}

// A file name in a box may be one long word: break it anywhere rather than
// let the box grow past the screen with the rest of its text cut off, and
// add no hyphen a name does not have.
void breakLongWords(GtkWidget* box) {
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(box));
    GList* children = gtk_container_get_children(GTK_CONTAINER(area));
    for (GList* c = children; c; c = c->next) {
        if (!GTK_IS_LABEL(c->data)) continue;
        GtkLabel* label = GTK_LABEL(c->data);
        gtk_label_set_line_wrap(label, TRUE);
        gtk_label_set_line_wrap_mode(label, PANGO_WRAP_WORD_CHAR);
        PangoAttrList* attributes = pango_attr_list_new();
        pango_attr_list_insert(attributes, pango_attr_insert_hyphens_new(FALSE));
        gtk_label_set_attributes(label, attributes);
        pango_attr_list_unref(attributes);
    }
    g_list_free(children);
}

quask::BoxResult showGtkBox(const std::string& text, const std::string& caption,
                            quask::BoxIcon icon, quask::BoxButtons buttons) {
    const bool yesNo = buttons == quask::BoxButtons::YesNo;
    quask::BoxResult result = quask::defaultAnswer(buttons);
    runOnGtkThread([&] {
        GtkWindow* parent = nullptr;
        if (g_dialogWindow && gtk_widget_get_visible(g_dialogWindow))
            parent = GTK_WINDOW(g_dialogWindow);
        GtkWidget* box = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, messageType(icon),
                                                yesNo ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s",
                                                displayText(text).c_str());
        breakLongWords(box);
        gtk_window_set_title(GTK_WINDOW(box), displayText(caption).c_str());
        gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
        gtk_window_set_keep_above(GTK_WINDOW(box), TRUE);
        gtk_dialog_set_default_response(GTK_DIALOG(box), yesNo ? GTK_RESPONSE_YES : GTK_RESPONSE_OK);
        const gint response = gtk_dialog_run(GTK_DIALOG(box));
        gtk_widget_destroy(box);
        // Closing a question's window is not a Yes.
        if (yesNo) result = response == GTK_RESPONSE_YES ? quask::BoxResult::Yes : quask::BoxResult::No;
    });
    return result;
}

}  // namespace

void installGtkMessageBoxes() { quask::setMessageBoxBackend(showGtkBox); }

}  // namespace quillon
