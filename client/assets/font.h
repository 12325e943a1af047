// Bitmap fonts for the engine's own text (statistics overlay, debug text).
//
// An RFNT file holds one alpha texture with every glyph, the advance width of
// each byte value and one texture rectangle per glyph. parseRfnt checks a
// file's bytes and describes them without touching GL; rFont turns them into
// one texture and 256 display lists (a textured quad that moves the pen), so a
// string costs one texture bind and one glCallLists over its bytes.
//
// An rFont owns its texture and lists and frees them when destroyed. Fonts
// are made, drawn and destroyed on the main thread with the main rendering
// context current. Blending and the current colour are the caller's.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "client/assets/rfnt_layout.h"

namespace velmar {

constexpr int kFontGlyphs = 256;

// Texture coordinates of a glyph: left and right edge, first and second
// horizontal edge.
struct RfntRect {
    double s0, s1, t0, t1;
};

// A parsed file. `texels` points into the parsed bytes: width x height alpha
// values, rows one after another.
struct RfntData {
    std::uint8_t size;  // glyph quad height in pixels
    std::uint8_t advances[kFontGlyphs];
    RfntRect rects[kFontGlyphs];
    std::uint32_t width;
    std::uint32_t height;
    const std::uint8_t* texels;
};

enum class RfntStatus {
    Ok,
    TooShort,   // fewer than 4 bytes, or fewer than the header plus the texel block
    WrongType,  // the magic is not "RFNT"
};

// Reads `length` bytes at `bytes` into `out`; never reads past the end. An
// atlas whose edge does not fit a GL size is refused as too short, since no
// file can hold its texels. Bytes after the texel block are ignored.
RfntStatus parseRfnt(const std::uint8_t* bytes, std::size_t length, RfntData* out);

// --- Formatted text ---
constexpr std::size_t kFontTextBuffer = 504;

// Formats into `buffer` and returns the length of the text it holds: at most
// kFontTextBuffer - 1 characters, a longer text is cut there. An encoding
// error gives an empty text.
std::size_t formatFontText(char (&buffer)[kFontTextBuffer], const char* format, va_list args);

// --- Font object ---
class rFont {
public:
    // Loads the file through LoadFileData and builds the texture and lists.
    // A missing, too short or mistyped file is logged at the critical level
    // and ends the process with code 1; a texture upload error is only logged.
    explicit rFont(const char* path);
    ~rFont();
    rFont(const rFont&) = delete;
    rFont& operator=(const rFont&) = delete;

    // Draws `length` bytes of `text` with the pen at (x, y), NULs included; a
    // length of 0 draws up to the terminating NUL. Counts one draw call in the
    // frame statistics. The modelview matrix and list base are left as found.
    void drawText(float x, float y, const char* text, std::size_t length) const;
    // Formats as printf does (cut at kFontTextBuffer - 1 characters) and draws.
    void drawTextF(float x, float y, const char* format, ...) const
        __attribute__((format(printf, 4, 5)));

    unsigned texture() const { return m_texture; }
    unsigned listBase() const { return m_listBase; }
    std::uint8_t advance(std::uint8_t byte) const { return m_advances[byte]; }
    std::uint8_t size() const { return m_size; }

private:
    void buildLists(const RfntData& data);
    void buildTexture(const RfntData& data, const char* path);

    unsigned m_texture = 0;
    unsigned m_listBase = 0;
    std::uint8_t m_advances[kFontGlyphs] = {};
    std::uint8_t m_size = 0;
};

}  // namespace velmar
