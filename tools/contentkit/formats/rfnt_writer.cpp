// RFNT fonts: FreeType rasterisation, atlas packing and the file layout.
#include "tools/contentkit/formats/rfnt_writer.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

// --- FreeType ---

// One library and face per call, released on every path.
class FreeTypeFace {
public:
    ~FreeTypeFace() {
        if (m_face) FT_Done_Face(m_face);
        if (m_library) FT_Done_FreeType(m_library);
    }
    bool open(const std::string& path, std::string* error) {
        if (FT_Init_FreeType(&m_library) != 0) {
            m_library = nullptr;
            *error = "cannot start FreeType";
            return false;
        }
        const FT_Error status = FT_New_Face(m_library, path.c_str(), 0, &m_face);
        if (status != 0) {
            m_face = nullptr;
            *error = strf("cannot read font face '%s' (FreeType error %d)", path.c_str(), status);
            return false;
        }
        if (!FT_IS_SCALABLE(m_face)) {
            *error = "font face '" + path + "' is not scalable";
            return false;
        }
        // Latin-1 code points are the first 256 Unicode code points.
        if (FT_Select_Charmap(m_face, FT_ENCODING_UNICODE) != 0) {
            *error = "font face '" + path + "' has no Unicode character map";
            return false;
        }
        return true;
    }
    FT_Face face() const { return m_face; }

private:
    FT_Library m_library = nullptr;
    FT_Face m_face = nullptr;
};

// A rendered glyph: its advance and its ink placed in an advance x size cell.
struct Cell {
    int advance = 0;
    std::vector<std::uint8_t> alpha;  // advance * size, rows from the top
    std::uint32_t x = 0, y = 0;       // place in the atlas
};

// Copies the rendered bitmap into the cell with its baseline at `baseline`
// rows from the top. Ink that would stick out left or right is moved inside
// when it fits the advance; what still does not fit is cut, as the quad
// cannot show it.
void placeInk(const FT_GlyphSlot slot, int size, int baseline, Cell* cell) {
    const FT_Bitmap& bitmap = slot->bitmap;
    const int inkWidth = static_cast<int>(bitmap.width);
    const int rows = static_cast<int>(bitmap.rows);
    int left = slot->bitmap_left;
    if (inkWidth <= cell->advance) {
        left = std::clamp(left, 0, cell->advance - inkWidth);
    } else {
        left = (cell->advance - inkWidth) / 2;
    }
    const int top = baseline - slot->bitmap_top;
    const int pitch = bitmap.pitch < 0 ? -bitmap.pitch : bitmap.pitch;
    for (int by = 0; by < rows; ++by) {
        const int y = top + by;
        if (y < 0 || y >= size) continue;
        const int memoryRow = bitmap.pitch < 0 ? rows - 1 - by : by;
        const unsigned char* src = bitmap.buffer + static_cast<std::size_t>(memoryRow) * pitch;
        for (int bx = 0; bx < inkWidth; ++bx) {
            const int x = left + bx;
            if (x < 0 || x >= cell->advance) continue;
            cell->alpha[static_cast<std::size_t>(y) * cell->advance + x] = src[bx];
        }
    }
}

bool renderGlyph(FT_Face face, int code, int size, int baseline, Cell* cell, std::string* error) {
    const FT_UInt index = FT_Get_Char_Index(face, static_cast<FT_ULong>(code));
    // Outlines only: embedded bitmaps would not match the scaled size.
    if (FT_Load_Glyph(face, index, FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP) != 0 ||
        FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) != 0) {
        *error = strf("cannot render the glyph of byte value %d", code);
        return false;
    }
    const FT_GlyphSlot slot = face->glyph;
    const long advance = (slot->advance.x + 32) >> 6;
    if (advance < 0 || advance > 255) {
        *error = strf("byte value %d advances %ld pixels, more than a byte holds", code, advance);
        return false;
    }
    if (slot->bitmap.width > 0 && slot->bitmap.pixel_mode != FT_PIXEL_MODE_GRAY) {
        *error = strf("glyph of byte value %d did not render to 8-bit grey", code);
        return false;
    }
    cell->advance = static_cast<int>(advance);
    cell->alpha.assign(static_cast<std::size_t>(cell->advance) * static_cast<std::size_t>(size), 0);
    placeInk(slot, size, baseline, cell);
    return true;
}

// --- Atlas ---

std::uint32_t nextPowerOfTwo(std::uint64_t v) {
    std::uint64_t p = 1;
    while (p < v) p <<= 1;
    return p > kMaxAtlasEdge ? 0 : static_cast<std::uint32_t>(p);
}

// Shelf packing in byte order with a 1-texel gap; returns the rows needed,
// or 0 when a cell is wider than `width`.
std::uint64_t shelfPack(std::vector<Cell>* cells, std::uint32_t width, int size) {
    std::uint64_t x = 0, y = 0;
    for (Cell& cell : *cells) {
        if (cell.advance == 0) continue;
        if (static_cast<std::uint32_t>(cell.advance) > width) return 0;
        if (x + static_cast<std::uint64_t>(cell.advance) > width) {
            x = 0;
            y += static_cast<std::uint64_t>(size) + 1;
        }
        cell.x = static_cast<std::uint32_t>(x);
        cell.y = static_cast<std::uint32_t>(y);
        x += static_cast<std::uint64_t>(cell.advance) + 1;
    }
    return y + static_cast<std::uint64_t>(size);
}

// The power-of-two width and height of least area (squarer on ties).
bool packAtlas(std::vector<Cell>* cells, int size, std::uint32_t* width, std::uint32_t* height) {
    std::uint64_t bestArea = 0;
    for (std::uint32_t w = 8; w <= kMaxAtlasEdge; w <<= 1) {
        const std::uint64_t rows = shelfPack(cells, w, size);
        const std::uint32_t h = rows == 0 ? 0 : nextPowerOfTwo(rows);
        if (h == 0) continue;
        const std::uint64_t area = static_cast<std::uint64_t>(w) * h;
        if (bestArea == 0 || area < bestArea || (area == bestArea && std::max(w, h) < std::max(*width, *height))) {
            bestArea = area;
            *width = w;
            *height = h;
        }
    }
    if (bestArea == 0) return false;
    shelfPack(cells, *width, size);
    return true;
}

void fillAtlas(const std::vector<Cell>& cells, int size, BitmapFont* font) {
    font->alpha.assign(static_cast<std::size_t>(font->width) * font->height, 0);
    const double w = font->width, h = font->height;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const Cell& cell = cells[i];
        font->advances[i] = static_cast<std::uint8_t>(cell.advance);
        if (cell.advance == 0) continue;
        for (int y = 0; y < size; ++y) {
            std::memcpy(&font->alpha[(static_cast<std::size_t>(cell.y) + y) * font->width + cell.x],
                        &cell.alpha[static_cast<std::size_t>(y) * cell.advance],
                        static_cast<std::size_t>(cell.advance));
        }
        // Texel edges over a power of two: exact in a double.
        GlyphRect& r = font->rects[i];
        r.s0 = cell.x / w;
        r.s1 = (cell.x + static_cast<double>(cell.advance)) / w;
        r.t0 = cell.y / h;
        r.t1 = (cell.y + static_cast<double>(size)) / h;
    }
}

bool validRect(const GlyphRect& r) {
    for (double v : {r.s0, r.s1, r.t0, r.t1}) {
        if (!std::isfinite(v) || v < 0.0 || v > 1.0) return false;
    }
    return r.s0 <= r.s1 && r.t0 <= r.t1;
}

void putDouble(ByteWriter* w, double v) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    w->u32(static_cast<std::uint32_t>(bits));
    w->u32(static_cast<std::uint32_t>(bits >> 32));
}

}  // namespace

// --- Public ---

std::string dejaVuPath(FontFace face) {
    return face == FontFace::Bold ? "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
                                  : "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
}

bool isControlByte(int value) { return value < 32 || (value >= 127 && value < 160); }

bool rasteriseFont(const std::string& path, int size, BitmapFont* font, std::string* error) {
    if (size < kMinFontSize || size > kMaxFontSize) {
        *error = strf("font size %d outside %d..%d", size, kMinFontSize, kMaxFontSize);
        return false;
    }
    FreeTypeFace ft;
    if (!ft.open(path, error)) return false;
    const FT_Face face = ft.face();
    const std::int64_t ascender = face->ascender, extent = face->ascender - face->descender;
    if (ascender <= 0 || extent <= 0 || face->units_per_EM == 0) {
        *error = "font face '" + path + "' has no usable vertical metrics";
        return false;
    }
    // Em height in 26.6 pixels so that ascender plus descender span `size`.
    const std::int64_t charHeight = size * 64 * static_cast<std::int64_t>(face->units_per_EM) / extent;
    if (FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(charHeight), 72, 72) != 0) {
        *error = strf("cannot scale font face '%s' to %d pixels", path.c_str(), size);
        return false;
    }
    const int baseline = static_cast<int>((2 * size * ascender + extent) / (2 * extent));

    std::vector<Cell> cells(256);
    for (int code = 0; code < 256; ++code) {
        if (isControlByte(code)) continue;
        if (!renderGlyph(face, code, size, baseline, &cells[static_cast<std::size_t>(code)], error)) return false;
    }
    *font = BitmapFont();
    font->size = size;
    if (!packAtlas(&cells, size, &font->width, &font->height)) {
        *error = strf("glyphs of size %d do not fit a %u x %u atlas", size, kMaxAtlasEdge, kMaxAtlasEdge);
        return false;
    }
    fillAtlas(cells, size, font);
    return true;
}

bool writeRfnt(const BitmapFont& font, Bytes* out, std::string* error) {
    if (font.size < 0 || font.size > 255) {
        *error = strf("font size %d does not fit a byte", font.size);
        return false;
    }
    if (font.width == 0 || font.height == 0 || font.width > kMaxAtlasEdge || font.height > kMaxAtlasEdge ||
        font.alpha.size() != static_cast<std::size_t>(font.width) * font.height) {
        *error = strf("atlas of %u x %u with %zu texels is inconsistent", font.width, font.height,
                      font.alpha.size());
        return false;
    }
    for (std::size_t i = 0; i < font.rects.size(); ++i) {
        if (!validRect(font.rects[i])) {
            *error = strf("glyph %zu has a rectangle that is not finite, outside 0..1 or inverted", i);
            return false;
        }
    }
    out->clear();
    out->reserve(kRfntHeaderSize + font.alpha.size());
    ByteWriter w(out);
    w.u32(kRfntMagic);
    w.zeros(2);  // never read by the client
    w.u8(static_cast<std::uint8_t>(font.size));
    w.bytes(font.advances.data(), font.advances.size());
    for (const GlyphRect& r : font.rects) {
        putDouble(&w, r.s0);
        putDouble(&w, r.s1);
        putDouble(&w, r.t0);
        putDouble(&w, r.t1);
    }
    w.u32(font.height);
    w.u32(font.width);
    w.bytes(font.alpha.data(), font.alpha.size());
    return true;
}

}  // namespace contentkit
