// RFNT bitmap fonts for the client's engine text: FreeType rasterises the
// byte values 32..255 as Latin-1 code points from a TrueType face into one
// power-of-two alpha atlas, and the writer lays out the file the client's
// font loader reads (size byte, 256 advance widths, 256 glyph rectangles as
// doubles, texture height and width, then the texels).
//
// The client draws glyph i as a quad of advance x size pixels textured with
// its rectangle, (s0, t0) at the top-left corner in a y-down projection. So
// every glyph gets a cell of exactly advance x size texels with the baseline
// at the same row, and control values (no ink, no pen move) get advance 0
// and an empty rectangle.
//
// Output is a pure function of the face file and the size. Functions keep
// no state and may run on any thread (each call has its own FreeType
// library instance).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/assets/rfnt_layout.h"
#include "tools/contentkit/formats/byte_io.h"

namespace contentkit {

using velmar::kRfntAdvanceOffset;
using velmar::kRfntHeaderSize;
using velmar::kRfntHeightOffset;
using velmar::kRfntMagic;
using velmar::kRfntRectBytes;
using velmar::kRfntRectOffset;
using velmar::kRfntSizeOffset;
using velmar::kRfntWidthOffset;

constexpr int kMinFontSize = 4;
constexpr int kMaxFontSize = 64;
constexpr std::uint32_t kMaxAtlasEdge = 4096;

// Texture coordinates of a glyph: left and right edge, top and bottom edge.
struct GlyphRect {
    double s0 = 0, s1 = 0, t0 = 0, t1 = 0;
};

struct BitmapFont {
    int size = 0;                            // glyph quad height in pixels
    std::array<std::uint8_t, 256> advances{};
    std::array<GlyphRect, 256> rects{};
    std::uint32_t width = 0, height = 0;     // atlas size in texels
    Bytes alpha;                             // width * height, rows from the top
};

enum class FontFace { Regular, Bold };

// The DejaVu Sans face installed by fonts-dejavu-core.
std::string dejaVuPath(FontFace face);

// Byte values with no glyph: the C0 and C1 control code points and DEL.
bool isControlByte(int value);

// Rasterises the face at `path` for a glyph quad height of `size` pixels
// (kMinFontSize..kMaxFontSize): the em is scaled so ascender plus descender
// fill the quad. False with a message when the face cannot be read or is not
// scalable, or an advance or the atlas would not fit the format.
bool rasteriseFont(const std::string& path, int size, BitmapFont* font, std::string* error);

// Lays out the file. False with a message when the font is inconsistent:
// size outside 0..255, an empty atlas or alpha of the wrong length, a
// rectangle not finite, outside 0..1 or inverted.
bool writeRfnt(const BitmapFont& font, Bytes* out, std::string* error);

}  // namespace contentkit
