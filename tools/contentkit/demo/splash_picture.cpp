// Title text laid over the splash panel from an RFNT glyph atlas.
#include "tools/contentkit/demo/splash_picture.h"

#include <algorithm>

#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/rfnt_writer.h"

namespace contentkit {

namespace {

// Blends the glyph cells of `text` at (x, y) in `rgb`; alpha from the atlas.
void drawText(const BitmapFont& font, const std::string& text, int x, int y, const int rgb[3], Image* image) {
    for (unsigned char c : text) {
        const GlyphRect& r = font.rects[c];
        const int sx = static_cast<int>(r.s0 * font.width), sy = static_cast<int>(r.t0 * font.height);
        for (int gy = 0; gy < font.size; ++gy) {
            for (int gx = 0; gx < font.advances[c]; ++gx) {
                const int px = x + gx, py = y + gy;
                if (px < 0 || py < 0 || px >= image->width || py >= image->height) continue;
                const int a = font.alpha[static_cast<std::size_t>(sy + gy) * font.width + static_cast<std::size_t>(sx + gx)];
                std::uint8_t* p = image->at(px, py);
                for (int k = 0; k < 3; ++k) p[k] = static_cast<std::uint8_t>((p[k] * (255 - a) + rgb[k] * a) / 255);
            }
        }
        x += font.advances[c];
    }
}

}  // namespace

bool makeTitledSplash(int width, int height, const std::string& title, Image* out, std::string* error) {
    const int size = std::min(64, std::max(8, height / 4));
    BitmapFont font;
    if (!rasteriseFont(dejaVuPath(FontFace::Bold), size, &font, error)) return false;
    int textWidth = 0;
    for (unsigned char c : title) textWidth += font.advances[c];
    const int margin = std::max(1, std::min(width, height) / 16);
    if (textWidth > width - 4 * margin) {
        *error = "the title '" + title + "' does not fit a splash " + std::to_string(width) + " pixels wide";
        return false;
    }
    *out = makeSplash(width, height, 1);
    const int x = (width - textWidth) / 2, y = (height - size) / 2;
    const int shadow[3] = {8, 12, 30}, ink[3] = {240, 226, 180};
    drawText(font, title, x + 2, y + 3, shadow, out);
    drawText(font, title, x, y, ink, out);
    return true;
}

}  // namespace contentkit
