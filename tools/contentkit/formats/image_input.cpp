// Source pictures for the writers: stb_image decodes what content authors
// paint in (PNG, TGA, BMP), after BMP and TGA files are measured here.
#include "tools/contentkit/formats/image.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "tools/contentkit/formats/byte_io.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_TGA
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#include <stb/stb_image.h>

namespace contentkit {

namespace {

bool refused(std::string* error) {
    *error = std::string("cannot decode picture: ") + stbi_failure_reason();
    return false;
}

// stb fills whatever a BMP or TGA lacks with zeros and reads a few layouts
// wrongly, so both are measured here first: a short file is refused rather
// than shown with black rows, and what stb would misread is either passed
// on in a form it reads or refused with the reason.
struct Screened {
    const std::uint8_t* data = nullptr;
    std::size_t len = 0;
    std::vector<std::uint8_t> rewritten;  // holds the bytes when data points here
    bool mirrored = false;                // rows stored right to left
    bool tgaAlphaBit = false;             // 16-bit TGA whose top bit is alpha
    std::uint64_t tgaPixels = 0;          // where a TGA's pixel data starts
};

// Little-endian header fields; callers check the length first.
struct Fields {
    const std::uint8_t* data;
    std::uint16_t u16At(std::size_t at) const { return static_cast<std::uint16_t>(data[at] | (data[at + 1] << 8)); }
    std::uint32_t u32At(std::size_t at) const { return u16At(at) | (static_cast<std::uint32_t>(u16At(at + 2)) << 16); }
    std::int32_t i32At(std::size_t at) const { return static_cast<std::int32_t>(u32At(at)); }
};

bool truncated(std::uint64_t need, std::size_t len, std::string* error) {
    if (need <= len) return false;
    *error = "picture data truncated: " + std::to_string(need) + " bytes needed, " + std::to_string(len) + " present";
    return true;
}

// A palette BMP as stb reads it: a 40-byte header and a full palette of
// four-byte entries. An OS/2 header's three-byte entries, or a palette
// shorter than the indices can reach, would leave stb reading colours it
// never filled in.
void widenBmpPalette(const std::uint8_t* data, std::size_t len, std::uint32_t offset, std::uint32_t headerSize,
                     std::uint32_t w, std::uint32_t h, unsigned bpp, Screened* out) {
    const std::size_t entrySize = headerSize == 12 ? 3 : 4;
    const std::size_t paletteStart = 14 + headerSize;
    const std::size_t have = offset > paletteStart ? (offset - paletteStart) / entrySize : 0;
    const std::size_t entries = std::size_t{1} << bpp;
    Bytes& b = out->rewritten;
    ByteWriter wr(&b);
    wr.u8('B');
    wr.u8('M');
    wr.u32(0);
    wr.u32(0);
    wr.u32(static_cast<std::uint32_t>(14 + 40 + entries * 4));
    wr.u32(40);
    wr.u32(w);
    wr.u32(h);
    wr.u16(1);
    wr.u16(static_cast<std::uint16_t>(bpp));
    wr.zeros(6 * 4);
    for (std::size_t i = 0; i < entries; ++i) {
        if (i < have) {
            wr.bytes(data + paletteStart + i * entrySize, 3);
            wr.u8(0);
        } else {
            wr.zeros(4);
        }
    }
    wr.bytes(data + offset, len - offset);
    out->data = b.data();
    out->len = b.size();
}

bool screenBmp(const std::uint8_t* data, std::size_t len, Screened* out, std::string* error) {
    if (len < 26) return !truncated(26, len, error);
    const Fields f{data};
    const std::uint32_t offset = f.u32At(10), headerSize = f.u32At(14);
    const bool core = headerSize == 12;
    if (!core && len < 34) return !truncated(34, len, error);
    const std::uint32_t w = core ? f.u16At(18) : f.u32At(18);
    const std::int32_t rawHeight = core ? f.u16At(20) : f.i32At(22);
    const unsigned bpp = core ? f.u16At(24) : f.u16At(28);
    const std::uint32_t compression = core ? 0 : f.u32At(30);
    if (compression == 1 || compression == 2) {
        *error = std::string("run-length compressed BMP (") + (compression == 1 ? "RLE8" : "RLE4") +
                 ") is not read; save it without compression";
        return false;
    }
    if (compression != 0 && compression != 3) {
        *error = "BMP compression " + std::to_string(compression) +
                 " (JPEG, PNG or alpha bit fields) is not read; save it without compression";
        return false;
    }
    const std::uint64_t h = rawHeight < 0 ? -static_cast<std::int64_t>(rawHeight) : rawHeight;
    const std::uint64_t rowBits = static_cast<std::uint64_t>(w) * bpp;
    const std::uint64_t stride = (rowBits + 31) / 32 * 4;
    // Some writers leave the last row's padding out; nothing is lost then.
    const std::uint64_t need = h == 0 ? offset : offset + stride * (h - 1) + (rowBits + 7) / 8;
    if (truncated(need, len, error)) return false;
    const bool known = core || headerSize == 40 || headerSize == 56 || headerSize == 108 || headerSize == 124;
    if (known && (bpp == 1 || bpp == 4 || bpp == 8)) {
        const std::size_t have = offset > 14 + headerSize ? (offset - 14 - headerSize) / (core ? 3 : 4) : 0;
        if (core || have < (std::size_t{1} << bpp)) {
            widenBmpPalette(data, len, offset, headerSize, w, static_cast<std::uint32_t>(rawHeight), bpp, out);
        }
    }
    return true;
}

// Walks a TGA's pixel values from `pos`, raw or in run-length packets that
// run on across rows, as stb reads them: `visit(value, first, count)` gets
// each value with the stored pixels it covers. Returns where the data ends;
// past `len` when it is cut off, and then nothing is visited past `len`.
template <class Visit>
std::uint64_t walkTgaPixels(const std::uint8_t* data, std::size_t len, std::uint64_t pos, std::uint64_t pixels,
                            unsigned pixelBytes, bool rle, Visit visit) {
    if (!rle) {
        const std::uint64_t end = pos + pixels * pixelBytes;
        if (end > len) return end;
        for (std::uint64_t i = 0; i < pixels; ++i) visit(data + pos + i * pixelBytes, i, 1);
        return end;
    }
    for (std::uint64_t done = 0; done < pixels;) {
        if (pos >= len) return pos + 1;
        const std::uint8_t header = data[pos++];
        const std::uint64_t count = std::min<std::uint64_t>((header & 0x7Fu) + 1u, pixels - done);
        const bool run = (header & 0x80u) != 0;
        const std::uint64_t bytes = run ? pixelBytes : count * pixelBytes;
        if (bytes > len - pos) return pos + bytes;
        for (std::uint64_t k = 0; k < (run ? 1 : count); ++k) visit(data + pos + k * pixelBytes, done + k, run ? count : 1);
        pos += bytes;
        done += count;
    }
    return pos;
}

bool screenTga(const std::uint8_t* data, std::size_t len, Screened* out, std::string* error) {
    if (truncated(18, len, error)) return false;
    const Fields f{data};
    const unsigned type = data[2], depth = data[16];
    const std::uint64_t pixels = static_cast<std::uint64_t>(f.u16At(12)) * f.u16At(14);
    std::uint64_t start = 18u + data[0];
    if (data[1] == 1) {
        if (f.u16At(3) != 0) {
            *error = "TGA colour map starts at entry " + std::to_string(f.u16At(3)) +
                     ", which is not read; save it with a colour map from entry 0";
            return false;
        }
        start += static_cast<std::uint64_t>(f.u16At(5)) * ((data[7] + 7u) / 8u);
    }
    const unsigned pixelBytes = (depth + 7u) / 8u;
    // Raw data is measured, not walked: a depth of 0 would take no bytes per pixel.
    const auto ignore = [](const std::uint8_t*, std::uint64_t, std::uint64_t) {};
    const std::uint64_t end =
        type >= 9 ? walkTgaPixels(data, len, start, pixels, pixelBytes, true, ignore) : start + pixels * pixelBytes;
    if (truncated(end, len, error)) return false;
    // stb shows an index past the colour map as its first entry.
    if (data[1] == 1 && (type == 1 || type == 9) && (pixelBytes == 1 || pixelBytes == 2)) {
        const unsigned entries = f.u16At(5);
        unsigned worst = 0;
        walkTgaPixels(data, len, start, pixels, pixelBytes, type == 9,
                      [&](const std::uint8_t* value, std::uint64_t, std::uint64_t) {
                          worst = std::max<unsigned>(worst, pixelBytes == 1 ? value[0] : value[0] | (value[1] << 8));
                      });
        if (pixels > 0 && worst >= entries) {
            *error = "TGA pixel index " + std::to_string(worst) + " is past its colour map of " +
                     std::to_string(entries) + " entries";
            return false;
        }
    }
    out->mirrored = (data[17] & 0x10u) != 0;
    // stb reads 16-bit colour without its attribute bit, the pixel's alpha.
    out->tgaAlphaBit = (type == 2 || type == 10) && depth == 16 && (data[17] & 0x0Fu) != 0;
    out->tgaPixels = start;
    return true;
}

// The alpha of a 16-bit TGA, from each pixel's top bit, into the picture
// stb decoded from it (rows already top first, not yet turned round).
void restoreTgaAlpha(const Screened& in, Image* image) {
    const std::uint64_t w = static_cast<std::uint64_t>(image->width), h = static_cast<std::uint64_t>(image->height);
    const bool topFirst = (in.data[17] & 0x20u) != 0;
    walkTgaPixels(in.data, in.len, in.tgaPixels, w * h, 2, in.data[2] == 10,
                  [&](const std::uint8_t* value, std::uint64_t first, std::uint64_t count) {
                      const std::uint8_t alpha = (value[1] & 0x80u) ? 255 : 0;
                      for (std::uint64_t i = first; i < first + count; ++i) {
                          const std::uint64_t row = topFirst ? i / w : h - 1 - i / w;
                          image->at(static_cast<int>(i % w), static_cast<int>(row))[3] = alpha;
                      }
                  });
}

std::uint64_t pngChunkLength(const std::uint8_t* data, std::uint64_t at) {
    return (std::uint64_t{data[at]} << 24) | (std::uint64_t{data[at + 1]} << 16) | (std::uint64_t{data[at + 2]} << 8) |
           data[at + 3];
}

// A PNG must reach its IEND chunk: stb names a file cut short by the chunk
// type it finds in the garbage ("unknown PNG chunk type"), or decodes the
// rows it has.
bool screenPng(const std::uint8_t* data, std::size_t len, std::string* error) {
    std::uint64_t at = 8;
    while (at + 8 <= len) {
        const std::uint64_t length = pngChunkLength(data, at);
        const std::uint64_t next = at + 12 + length;
        if (std::memcmp(data + at + 4, "IEND", 4) == 0) return !truncated(next, len, error);
        if (truncated(next, len, error)) return false;
        at = next;
    }
    return !truncated(at + 12, len, error);
}

// A palette PNG whose pixels reach past its PLTE would show colours stb
// never filled in (what its stack held): another picture on every run. stb
// keeps no indices, so they come from a copy whose palette is 256 greys,
// entry i being (i, i, i), decoded to one grey channel: each pixel's value
// is then its index. stb reads past chunk CRCs, so the copy keeps the old
// ones. Runs on a PNG that screenPng passed, whose chunks all fit.
bool checkPngPalette(const std::uint8_t* data, std::size_t len, std::string* error) {
    // The header comes first, colour type 3 at byte 9 of its data.
    if (len < 33 || std::memcmp(data, "\x89PNG\r\n\x1A\n", 8) != 0 || std::memcmp(data + 12, "IHDR", 4) != 0 ||
        data[25] != 3)
        return true;
    unsigned palettes = 0;
    std::uint64_t entries = 0, alphas = 0;
    bool oddPalette = false;
    Bytes copy(data, data + 8);
    for (std::uint64_t at = 8; at + 12 <= len;) {
        const std::uint64_t length = pngChunkLength(data, at), next = at + 12 + length;
        if (next > len) break;
        const std::uint8_t* type = data + at + 4;
        if (std::memcmp(type, "tRNS", 4) == 0) alphas = length;
        if (std::memcmp(type, "PLTE", 4) == 0) {
            // stb takes the last of several; each would grow the copy.
            if (++palettes > 1) {
                *error = "PNG has more than one palette (PLTE chunk)";
                return false;
            }
            entries = length / 3;
            oddPalette = length % 3 != 0 || entries > 256;
            static const std::uint8_t kGreysLength[4] = {0, 0, 3, 0};  // 768, big-endian
            ByteWriter out(&copy);
            out.bytes(kGreysLength, 4);
            out.bytes(type, 4);
            for (unsigned i = 0; i < 256 * 3; ++i) out.u8(static_cast<std::uint8_t>(i / 3));
            out.bytes(data + next - 4, 4);
        } else {
            copy.insert(copy.end(), data + at, data + next);
        }
        if (std::memcmp(type, "IEND", 4) == 0) break;
        at = next;
    }
    // stb refuses these itself; the copy's palette would hide why.
    if (entries == 0 || oddPalette || alphas > entries) return true;
    if (copy.size() > static_cast<std::size_t>(INT_MAX)) {
        *error = "not a picture (empty or too large)";
        return false;
    }
    int w = 0, h = 0, channels = 0;
    stbi_uc* indices = stbi_load_from_memory(copy.data(), static_cast<int>(copy.size()), &w, &h, &channels, 1);
    if (!indices) return refused(error);
    stbi_uc* const end = indices + static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    const stbi_uc* beyond = std::find_if(indices, end, [&](stbi_uc index) { return index >= entries; });
    const bool ok = beyond == end;
    if (!ok) {
        *error = "PNG palette index " + std::to_string(*beyond) + " is beyond the palette's " +
                 std::to_string(entries) + " entries";
    }
    stbi_image_free(indices);
    return ok;
}

// Formats painting programs and exporters also write, which stb would only
// call "not of any known type": the author learns what to save instead.
bool unreadFormat(const std::uint8_t* data, std::size_t len, std::string* error) {
    struct Magic {
        const char* bytes;
        std::size_t at, size;
        const char* name;
    };
    static const Magic kMagics[] = {
        {"\xFF\xD8\xFF", 0, 3, "JPEG"},  {"GIF8", 0, 4, "GIF"},        {"WEBP", 8, 4, "WebP"},
        {"II*\0", 0, 4, "TIFF"},         {"MM\0*", 0, 4, "TIFF"},       {"8BPS", 0, 4, "Photoshop (PSD)"},
        {"gimp xcf", 0, 8, "GIMP (XCF)"}, {"DDS ", 0, 4, "DDS"},          {"\x76\x2F\x31\x01", 0, 4, "OpenEXR"},
    };
    for (const Magic& m : kMagics) {
        if (len >= m.at + m.size && std::memcmp(data + m.at, m.bytes, m.size) == 0) {
            *error = std::string(m.name) + " pictures are not read; save it as PNG, TGA or BMP";
            return true;
        }
    }
    return false;
}

bool screen(const std::uint8_t* data, std::size_t len, Screened* out, std::string* error) {
    out->data = data;
    out->len = len;
    static const std::uint8_t kPngMagic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (len >= 8 && std::memcmp(data, kPngMagic, 8) == 0) return screenPng(data, len, error);
    if (len >= 2 && data[0] == 'B' && data[1] == 'M') return screenBmp(data, len, out, error);
    // What stb takes for a TGA: no magic, a known image and colour map type.
    static const unsigned kTgaTypes[] = {1, 2, 3, 9, 10, 11};
    if (len >= 3 && data[1] <= 1) {
        for (unsigned type : kTgaTypes) {
            if (data[2] == type) return screenTga(data, len, out, error);
        }
    }
    return !unreadFormat(data, len, error);
}

// Turns round each row of `channels` values per pixel.
template <class T>
void mirrorRows(T* values, int width, int height, int channels) {
    for (int y = 0; y < height; ++y) {
        T* row = values + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * channels;
        for (int l = 0, r = width - 1; l < r; ++l, --r) {
            std::swap_ranges(row + l * channels, row + (l + 1) * channels, row + r * channels);
        }
    }
}

bool checkPicture(const std::uint8_t* data, std::size_t len, Screened* in, int* w, int* h, std::string* error) {
    int channels = 0;
    if (len == 0 || len > static_cast<std::size_t>(INT_MAX)) {
        *error = "not a picture (empty or too large)";
        return false;
    }
    if (!screen(data, len, in, error)) return false;
    // A widened palette adds at most 1 KiB; stb takes an int length.
    if (in->len > static_cast<std::size_t>(INT_MAX)) {
        *error = "not a picture (empty or too large)";
        return false;
    }
    // Refuse oversized pictures before stb allocates for them.
    if (!stbi_info_from_memory(in->data, static_cast<int>(in->len), w, h, &channels)) return refused(error);
    // stb reports a BMP stored top row first with the header's negative height.
    if (*h < 0 && *h != INT_MIN && in->data[0] == 'B' && in->data[1] == 'M') *h = -*h;
    if (*w <= 0 || *h <= 0 || *w > kMaxImageEdge || *h > kMaxImageEdge) {
        *error = "picture is " + std::to_string(*w) + "x" + std::to_string(*h) + ", each side must be 1.." +
                 std::to_string(kMaxImageEdge);
        return false;
    }
    return checkPngPalette(in->data, in->len, error);
}

}  // namespace

bool decodeGrey16(const std::uint8_t* data, std::size_t len, GreyImage* out, std::string* error) {
    int w = 0, h = 0, channels = 0;
    Screened in;
    if (!checkPicture(data, len, &in, &w, &h, error)) return false;
    stbi_us* pixels = stbi_load_16_from_memory(in.data, static_cast<int>(in.len), &w, &h, &channels, 1);
    if (!pixels) return refused(error);
    out->width = w;
    out->height = h;
    out->values.assign(pixels, pixels + static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    stbi_image_free(pixels);
    if (in.mirrored) mirrorRows(out->values.data(), w, h, 1);
    return true;
}

bool decodeImage(const std::uint8_t* data, std::size_t len, Image* out, std::string* error) {
    int w = 0, h = 0, channels = 0;
    Screened in;
    if (!checkPicture(data, len, &in, &w, &h, error)) return false;
    stbi_uc* pixels = stbi_load_from_memory(in.data, static_cast<int>(in.len), &w, &h, &channels, 4);
    if (!pixels) return refused(error);
    *out = Image(w, h);
    std::memcpy(out->rgba.data(), pixels, out->rgba.size());
    stbi_image_free(pixels);
    if (in.tgaAlphaBit) restoreTgaAlpha(in, out);
    if (in.mirrored) mirrorRows(out->rgba.data(), w, h, 4);
    return true;
}

}  // namespace contentkit
