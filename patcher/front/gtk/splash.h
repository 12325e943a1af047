// The splash picture shown while the game starts: an undecorated, centred,
// keep-above window titled "Banner" that shows the picture 1:1, with its
// white pixels cut out by a shape mask (no compositor needed) and a wait
// cursor. A picture that cannot be loaded means no window; the game starts
// all the same.
//
// The picture is loaded where the object is made (any thread); show() and
// takeDown() put the window up and down on the GTK thread and may be called
// from any thread. The inspection calls are for the GTK thread.
#pragma once

#include <string>

#include "patcher/front/game_start.h"

typedef struct _GdkPixbuf GdkPixbuf;
typedef struct _GtkWidget GtkWidget;
typedef struct _cairo_region cairo_region_t;

namespace quillon {

class GtkSplash : public SplashScreen {
public:
    explicit GtkSplash(const std::string& picturePath);
    ~GtkSplash() override;
    GtkSplash(const GtkSplash&) = delete;
    GtkSplash& operator=(const GtkSplash&) = delete;

    void show() override;
    void takeDown() override;

    bool hasPicture() const { return m_picture != nullptr; }
    // The colour made transparent: 0xFFFFFF once a picture is loaded, else 0.
    unsigned colourKey() const { return m_picture ? 0xFFFFFFu : 0u; }
    int width() const { return m_width; }
    int height() const { return m_height; }

    bool isShown() const;
    // Where the window was placed on the screen.
    int left() const { return m_left; }
    int top() const { return m_top; }
    // True when the pixel at (x, y) of the picture is part of the window's shape.
    bool shapeContains(int x, int y) const;

private:
    void build();
    void destroyWindow();

    GdkPixbuf* m_picture = nullptr;
    int m_width = 0, m_height = 0;
    int m_left = 0, m_top = 0;
    GtkWidget* m_window = nullptr;
    cairo_region_t* m_shape = nullptr;
};

// The shape of a picture without its pure white pixels (RGB 0xFFFFFF).
cairo_region_t* shapeWithoutWhite(GdkPixbuf* picture);

}  // namespace quillon
