// BMP writing: file header, info header and padded bottom-up BGR rows.
#include "tools/contentkit/formats/bmp_writer.h"

namespace contentkit {

namespace {

constexpr std::uint32_t kPixelsPerMetre = 2835;  // 72 dots per inch

void keyedColour(const std::uint8_t* rgba, const BmpOptions& options, std::uint8_t bgr[3]) {
    bgr[0] = rgba[2];
    bgr[1] = rgba[1];
    bgr[2] = rgba[0];
    if (!options.whiteKey) return;
    if (rgba[3] < options.alphaThreshold) {
        bgr[0] = bgr[1] = bgr[2] = kBmpKeyLevel;
    } else if (bgr[0] == kBmpKeyLevel && bgr[1] == kBmpKeyLevel && bgr[2] == kBmpKeyLevel) {
        bgr[0] = bgr[1] = bgr[2] = kBmpNudgedWhite;
    }
}

}  // namespace

bool writeBmp(const Image& image, const BmpOptions& options, Bytes* out, std::string* error) {
    if (!checkImageSize(image, kMaxImageEdge, "image", error)) return false;
    const std::size_t stride = (static_cast<std::size_t>(image.width) * 3 + 3) & ~std::size_t{3};
    const std::size_t pixelBytes = stride * static_cast<std::size_t>(image.height);
    const std::size_t offset = kBmpFileHeaderSize + kBmpInfoHeaderSize;

    out->clear();
    ByteWriter w(out);
    w.u8('B');
    w.u8('M');
    w.u32(static_cast<std::uint32_t>(offset + pixelBytes));
    w.u32(0);  // reserved
    w.u32(static_cast<std::uint32_t>(offset));
    w.u32(kBmpInfoHeaderSize);
    w.i32(image.width);
    w.i32(image.height);  // positive: bottom-up rows
    w.u16(1);             // planes
    w.u16(24);
    w.u32(0);  // BI_RGB
    w.u32(static_cast<std::uint32_t>(pixelBytes));
    w.u32(kPixelsPerMetre);
    w.u32(kPixelsPerMetre);
    w.u32(0);  // palette colours
    w.u32(0);  // important colours
    for (int y = image.height - 1; y >= 0; --y) {
        for (int x = 0; x < image.width; ++x) {
            std::uint8_t bgr[3];
            keyedColour(image.at(x, y), options, bgr);
            w.bytes(bgr, 3);
        }
        w.zeros(stride - static_cast<std::size_t>(image.width) * 3);
    }
    return true;
}

}  // namespace contentkit
