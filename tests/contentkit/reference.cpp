// Test-only readers (see reference.h).
#include "tests/contentkit/reference.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace reference {

namespace {

std::uint32_t u32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

void expand565(unsigned c, int rgb[3]) {
    const int r = (c >> 11) & 31, g = (c >> 5) & 63, b = c & 31;
    rgb[0] = (r << 3) | (r >> 2);
    rgb[1] = (g << 2) | (g >> 4);
    rgb[2] = (b << 3) | (b >> 2);
}

void decodeColour(const std::uint8_t* b, bool dxt1, std::uint8_t out[16][4]) {
    const unsigned c0 = b[0] | (b[1] << 8), c1 = b[2] | (b[3] << 8);
    int p[4][4];
    expand565(c0, p[0]);
    expand565(c1, p[1]);
    p[0][3] = p[1][3] = p[2][3] = p[3][3] = 255;
    for (int c = 0; c < 3; ++c) {
        if (!dxt1 || c0 > c1) {
            p[2][c] = (2 * p[0][c] + p[1][c]) / 3;
            p[3][c] = (p[0][c] + 2 * p[1][c]) / 3;
        } else {
            p[2][c] = (p[0][c] + p[1][c]) / 2;
            p[3][c] = 0;
        }
    }
    if (dxt1 && c0 <= c1) p[3][3] = 0;
    const std::uint32_t bits = b[4] | (b[5] << 8) | (b[6] << 16) | (static_cast<std::uint32_t>(b[7]) << 24);
    for (int i = 0; i < 16; ++i) {
        const int idx = (bits >> (2 * i)) & 3;
        for (int c = 0; c < 4; ++c) out[i][c] = static_cast<std::uint8_t>(p[idx][c]);
    }
}

void decodeDxt5Alpha(const std::uint8_t* b, std::uint8_t out[16][4]) {
    int a[8];
    a[0] = b[0];
    a[1] = b[1];
    if (a[0] > a[1]) {
        for (int i = 1; i < 7; ++i) a[i + 1] = ((7 - i) * a[0] + i * a[1]) / 7;
    } else {
        for (int i = 1; i < 5; ++i) a[i + 1] = ((5 - i) * a[0] + i * a[1]) / 5;
        a[6] = 0;
        a[7] = 255;
    }
    std::uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits |= static_cast<std::uint64_t>(b[2 + i]) << (8 * i);
    for (int i = 0; i < 16; ++i) out[i][3] = static_cast<std::uint8_t>(a[(bits >> (3 * i)) & 7]);
}

}  // namespace

// --- DDS ---

bool readDdsFields(const Bytes& f, DdsFields* out) {
    if (f.size() < 128) return false;
    out->magic = u32(f, 0);
    out->headerSize = u32(f, 4);
    out->flags = u32(f, 8);
    out->height = static_cast<std::int32_t>(u32(f, 12));
    out->width = static_cast<std::int32_t>(u32(f, 16));
    out->linearSize = u32(f, 20);
    out->depth = u32(f, 24);
    out->mipCount = u32(f, 28);
    out->pfSize = u32(f, 76);
    out->pfFlags = u32(f, 80);
    out->fourCC.assign(reinterpret_cast<const char*>(&f[84]), 4);
    out->caps = u32(f, 108);
    return true;
}

std::size_t dxtLevelSize(int width, int height, const std::string& fourCC) {
    const std::size_t block = fourCC == "DXT1" ? 8 : 16;
    return static_cast<std::size_t>((width + 3) / 4) * static_cast<std::size_t>((height + 3) / 4) * block;
}

contentkit::Image decodeDxt(const std::uint8_t* data, const std::string& fourCC, int width, int height) {
    contentkit::Image image(width, height);
    const bool dxt1 = fourCC == "DXT1";
    const std::size_t block = dxt1 ? 8 : 16;
    const int blocksWide = (width + 3) / 4;
    for (int by = 0; by < (height + 3) / 4; ++by) {
        for (int bx = 0; bx < blocksWide; ++bx) {
            const std::uint8_t* b = data + (static_cast<std::size_t>(by) * blocksWide + bx) * block;
            std::uint8_t px[16][4];
            decodeColour(dxt1 ? b : b + 8, dxt1, px);
            if (fourCC == "DXT3") {
                for (int i = 0; i < 16; ++i) px[i][3] = static_cast<std::uint8_t>(((b[i / 2] >> (4 * (i % 2))) & 15) * 17);
            } else if (fourCC == "DXT5") {
                decodeDxt5Alpha(b, px);
            }
            for (int i = 0; i < 16; ++i) {
                const int x = bx * 4 + i % 4, y = by * 4 + i / 4;
                if (x < width && y < height) std::memcpy(image.at(x, y), px[i], 4);
            }
        }
    }
    return image;
}

// --- TGA, BMP ---

bool decodeTga(const Bytes& f, contentkit::Image* out) {
    if (f.size() < 18) return false;
    const int type = f[2], depth = f[16];
    const int width = f[12] | (f[13] << 8), height = f[14] | (f[15] << 8);
    if ((type != 2 && type != 3 && type != 10) || f[1] != 0) return false;
    if (type != 3 && depth != 24 && depth != 32) return false;
    if (width == 0 || height == 0) return false;
    std::size_t pos = 18 + f[0];
    if (pos > f.size()) return false;
    const std::size_t pixelSize = static_cast<std::size_t>(depth / 8);
    contentkit::Image image(width, height);
    auto convert = [&](std::size_t at, std::uint8_t* dst) {
        if (depth == 8) {
            dst[0] = dst[1] = dst[2] = f[at];
            dst[3] = 255;
        } else {
            dst[0] = f[at + 2];
            dst[1] = f[at + 1];
            dst[2] = f[at];
            dst[3] = depth == 32 ? f[at + 3] : 255;
        }
    };
    const std::size_t total = static_cast<std::size_t>(width) * height;
    // Pixel i of the stored order goes to output row height-1-i/width.
    auto target = [&](std::size_t i) { return image.at(static_cast<int>(i % width), height - 1 - static_cast<int>(i / width)); };
    if (type != 10) {
        if (f.size() - pos < total * pixelSize) return false;
        for (std::size_t i = 0; i < total; ++i) convert(pos + i * pixelSize, target(i));
    } else {
        std::size_t done = 0;
        while (done < total) {
            if (pos >= f.size()) return false;
            const int header = f[pos++];
            const std::size_t count = (header & 0x7F) + 1;
            const bool run = (header & 0x80) != 0;
            if (f.size() - pos < (run ? pixelSize : pixelSize * count) || count > total - done) return false;
            for (std::size_t k = 0; k < count; ++k) convert(run ? pos : pos + k * pixelSize, target(done + k));
            pos += run ? pixelSize : pixelSize * count;
            done += count;
        }
    }
    if (f[17] & 0x20) {
        for (int y = 0; y < height / 2; ++y) {
            for (int x = 0; x < width; ++x) std::swap_ranges(image.at(x, y), image.at(x, y) + 4, image.at(x, height - 1 - y));
        }
    }
    *out = image;
    return true;
}

bool decodeBmp24(const Bytes& f, contentkit::Image* out) {
    if (f.size() < 54 || f[0] != 'B' || f[1] != 'M') return false;
    const std::uint32_t offset = u32(f, 10);
    const int width = static_cast<std::int32_t>(u32(f, 18));
    const int rawHeight = static_cast<std::int32_t>(u32(f, 22));
    if (u32(f, 14) < 40 || (f[28] | (f[29] << 8)) != 24 || u32(f, 30) != 0 || width <= 0 || rawHeight == 0) return false;
    const int height = rawHeight < 0 ? -rawHeight : rawHeight;
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
    if (offset > f.size() || f.size() - offset < stride * height) return false;
    contentkit::Image image(width, height);
    for (int row = 0; row < height; ++row) {
        const int y = rawHeight > 0 ? height - 1 - row : row;
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = &f[offset + row * stride + x * 3];
            std::uint8_t* d = image.at(x, y);
            d[0] = p[2];
            d[1] = p[1];
            d[2] = p[0];
            d[3] = 255;
        }
    }
    *out = image;
    return true;
}

// --- Definition files, gdk-pixbuf ---

DefContents parseDef(const std::string& text) {
    DefContents out;
    std::size_t i = 0;
    const std::size_t n = text.find('\0') == std::string::npos ? text.size() : text.find('\0');
    auto isEol = [](char c) { return c == '\r' || c == '\n'; };
    while (true) {
        while (i < n && (text[i] == ' ' || text[i] == '\t' || isEol(text[i]))) ++i;
        if (i >= n) break;
        if (text[i] == ';' || text.compare(i, 2, "//") == 0) {
            while (i < n && !isEol(text[i])) ++i;
            continue;
        }
        const std::size_t colon = text.find(':', i);
        if (colon == std::string::npos || colon >= n) break;
        const std::string key = text.substr(i, colon - i);
        std::size_t v = colon + 1;
        if (key != "load") ++v;  // ID lines drop one character
        while (v < n && (text[v] == ' ' || text[v] == '\t')) ++v;
        std::size_t end = v;
        while (end < n && !isEol(text[end])) ++end;
        if (end >= n) break;  // no line break: ignored, parsing stops
        const std::string value = text.substr(v, end - v);
        if (key == "load") {
            out.loads.push_back(value);
        } else {
            std::size_t k = 0;
            while (k < key.size() && !(key[k] >= '0' && key[k] <= '9') && key[k] != '+' && key[k] != '-') ++k;
            const int id = k < key.size() ? std::atoi(key.c_str() + k) : 0;
            out.entries[id] = value;
        }
        i = end;
    }
    return out;
}

bool loadWithPixbuf(const std::string& path, contentkit::Image* out, std::string* error) {
    GError* err = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(path.c_str(), &err);
    if (!pixbuf) {
        *error = err ? err->message : "unknown error";
        if (err) g_error_free(err);
        return false;
    }
    const int w = gdk_pixbuf_get_width(pixbuf), h = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    contentkit::Image image(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const guchar* p = pixels + y * stride + x * channels;
            std::uint8_t* d = image.at(x, y);
            d[0] = p[0];
            d[1] = p[1];
            d[2] = p[2];
            d[3] = channels == 4 ? p[3] : 255;
        }
    }
    g_object_unref(pixbuf);
    *out = image;
    return true;
}

}  // namespace reference
