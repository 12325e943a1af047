// TGA writing: header, ID field and the pixel rows, raw or run-length coded.
#include "tools/contentkit/formats/tga_writer.h"

#include <cstring>

namespace contentkit {

namespace {

constexpr int kMaxPacket = 128;

void putPixel(const std::uint8_t* rgba, int depth, ByteWriter* w) {
    w->u8(rgba[2]);
    w->u8(rgba[1]);
    w->u8(rgba[0]);
    if (depth == 32) w->u8(rgba[3]);
}

bool samePixel(const std::uint8_t* a, const std::uint8_t* b, int depth) {
    return std::memcmp(a, b, depth == 32 ? 4 : 3) == 0;
}

// Run packets for two or more equal pixels, raw packets between them.
void encodeRow(const Image& image, int y, int depth, ByteWriter* w) {
    int x = 0;
    while (x < image.width) {
        int run = 1;
        while (x + run < image.width && run < kMaxPacket &&
               samePixel(image.at(x, y), image.at(x + run, y), depth)) {
            ++run;
        }
        if (run >= 2) {
            w->u8(static_cast<std::uint8_t>(0x80 | (run - 1)));
            putPixel(image.at(x, y), depth, w);
            x += run;
            continue;
        }
        int raw = 1;
        while (x + raw < image.width && raw < kMaxPacket &&
               !(x + raw + 1 < image.width &&
                 samePixel(image.at(x + raw, y), image.at(x + raw + 1, y), depth))) {
            ++raw;
        }
        w->u8(static_cast<std::uint8_t>(raw - 1));
        for (int i = 0; i < raw; ++i) putPixel(image.at(x + i, y), depth, w);
        x += raw;
    }
}

}  // namespace

bool writeTga(const Image& image, const TgaOptions& options, Bytes* out, std::string* error) {
    if (!checkImageSize(image, kTgaMaxEdge, "TGA", error)) return false;
    if (options.imageType != 2 && options.imageType != 10) {
        *error = "TGA image type must be 2 or 10";
        return false;
    }
    if (options.depth != 24 && options.depth != 32) {
        *error = "TGA pixel depth must be 24 or 32";
        return false;
    }
    if (options.imageId.size() > 255) {
        *error = "TGA image ID is longer than 255 bytes";
        return false;
    }
    out->clear();
    ByteWriter w(out);
    w.u8(static_cast<std::uint8_t>(options.imageId.size()));
    w.u8(0);  // no colour map
    w.u8(static_cast<std::uint8_t>(options.imageType));
    w.zeros(5);  // colour map fields, unused
    w.u16(0);    // x origin
    w.u16(0);    // y origin
    w.u16(static_cast<std::uint16_t>(image.width));
    w.u16(static_cast<std::uint16_t>(image.height));
    w.u8(static_cast<std::uint8_t>(options.depth));
    const std::uint8_t alphaBits = options.depth == 32 ? 8 : 0;
    w.u8(static_cast<std::uint8_t>(alphaBits | (options.topLeftOrigin ? 0x20 : 0)));
    w.text(options.imageId);

    for (int row = 0; row < image.height; ++row) {
        const int y = options.topLeftOrigin ? row : image.height - 1 - row;
        if (options.imageType == 10) {
            encodeRow(image, y, options.depth, &w);
        } else {
            for (int x = 0; x < image.width; ++x) putPixel(image.at(x, y), options.depth, &w);
        }
    }
    return true;
}

}  // namespace contentkit
