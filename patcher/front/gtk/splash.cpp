#include "patcher/front/gtk/splash.h"

#include <gtk/gtk.h>

#include "patcher/front/gtk/gtk_thread.h"

namespace quillon {

namespace {

void setWaitCursor(GtkWidget* widget, gpointer) {
    GdkWindow* window = gtk_widget_get_window(widget);
    if (!window) return;
    GdkCursor* cursor = gdk_cursor_new_for_display(gdk_window_get_display(window), GDK_WATCH);
    gdk_window_set_cursor(window, cursor);
    if (cursor) g_object_unref(cursor);
}

GdkRectangle screenWorkArea(GtkWidget* widget) {
    GdkDisplay* display = gtk_widget_get_display(widget);
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor) monitor = gdk_display_get_monitor(display, 0);  // no primary without a desktop
    GdkRectangle area{0, 0, 0, 0};
    if (monitor) gdk_monitor_get_workarea(monitor, &area);
    return area;
}

}  // namespace

cairo_region_t* shapeWithoutWhite(GdkPixbuf* picture) {
    const int w = gdk_pixbuf_get_width(picture), h = gdk_pixbuf_get_height(picture);
    const int channels = gdk_pixbuf_get_n_channels(picture);
    const int stride = gdk_pixbuf_get_rowstride(picture);
    const guchar* pixels = gdk_pixbuf_read_pixels(picture);
    cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
    cairo_surface_flush(mask);
    unsigned char* out = cairo_image_surface_get_data(mask);
    const int outStride = cairo_image_surface_get_stride(mask);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const guchar* p = pixels + static_cast<long>(y) * stride + x * channels;
            const bool white = p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF;
            out[static_cast<long>(y) * outStride + x] = white ? 0 : 0xFF;
        }
    }
    cairo_surface_mark_dirty(mask);
    cairo_region_t* region = gdk_cairo_region_create_from_surface(mask);
    cairo_surface_destroy(mask);
    return region;
}

GtkSplash::GtkSplash(const std::string& picturePath) {
    m_picture = gdk_pixbuf_new_from_file(picturePath.c_str(), nullptr);
    if (!m_picture) return;
    m_width = gdk_pixbuf_get_width(m_picture);
    m_height = gdk_pixbuf_get_height(m_picture);
}

GtkSplash::~GtkSplash() {
    if (m_window) runOnGtkThread([this] { destroyWindow(); });
    if (m_picture) g_object_unref(m_picture);
}

void GtkSplash::show() {
    if (m_picture) runOnGtkThread([this] { build(); });
}

void GtkSplash::takeDown() {
    runOnGtkThread([this] { destroyWindow(); });
}

void GtkSplash::build() {
    if (m_window) return;
    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* window = GTK_WINDOW(m_window);
    gtk_window_set_title(window, "Banner");
    gtk_window_set_decorated(window, FALSE);
    gtk_window_set_keep_above(window, TRUE);
    gtk_window_set_skip_taskbar_hint(window, TRUE);
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_SPLASHSCREEN);
    gtk_window_set_resizable(window, FALSE);
    gtk_container_add(GTK_CONTAINER(m_window), gtk_image_new_from_pixbuf(m_picture));
    gtk_widget_set_size_request(m_window, m_width, m_height);

    const GdkRectangle area = screenWorkArea(m_window);
    m_left = area.x + (area.width - m_width) / 2;
    m_top = area.y + (area.height - m_height) / 2;
    gtk_window_move(window, m_left, m_top);

    m_shape = shapeWithoutWhite(m_picture);
    gtk_widget_shape_combine_region(m_window, m_shape);
    g_signal_connect(m_window, "realize", G_CALLBACK(setWaitCursor), nullptr);
    gtk_widget_show_all(m_window);
}

void GtkSplash::destroyWindow() {
    if (m_window) gtk_widget_destroy(m_window);
    m_window = nullptr;
    if (m_shape) cairo_region_destroy(m_shape);
    m_shape = nullptr;
}

bool GtkSplash::isShown() const { return m_window && gtk_widget_get_visible(m_window); }

bool GtkSplash::shapeContains(int x, int y) const {
    return m_shape && cairo_region_contains_point(m_shape, x, y);
}

}  // namespace quillon
