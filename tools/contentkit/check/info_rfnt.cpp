// RFNT info: the fixed header the client's font loader reads, the texel
// block measured against the texture size, and every glyph rectangle.
#include <cmath>
#include <cstring>

#include "client/storage/byte_reader.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/check/info_internal.h"
#include "tools/contentkit/formats/rfnt_writer.h"
#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

bool isPowerOfTwo(std::int64_t v) { return v > 0 && (v & (v - 1)) == 0; }

// Checks all 256 rectangles; counts those whose texel size is not the quad
// the client draws them on (advance x size), as those glyphs come out scaled.
bool checkRects(const std::uint8_t* data, std::int64_t width, std::int64_t height, InfoReport* report) {
    const int size = data[kRfntSizeOffset];
    int scaled = 0, firstScaled = -1;
    for (int i = 0; i < 256; ++i) {
        const velmar::ByteReader rect(data + kRfntRectOffset + static_cast<std::size_t>(i) * kRfntRectBytes,
                                      kRfntRectBytes);
        const double s0 = rect.f64At(0), s1 = rect.f64At(8), t0 = rect.f64At(16), t1 = rect.f64At(24);
        if (!std::isfinite(s0) || !std::isfinite(s1) || !std::isfinite(t0) || !std::isfinite(t1)) {
            return report->fail(strf("glyph %d rectangle has a coordinate that is not a finite number", i));
        }
        if (s0 < 0 || s1 > 1 || t0 < 0 || t1 > 1 || s1 < 0 || s0 > 1 || t1 < 0 || t0 > 1) {
            return report->fail(strf("glyph %d rectangle (s %g..%g, t %g..%g) lies outside 0..1", i, s0, s1, t0, t1));
        }
        if (s0 > s1 || t0 > t1) {
            return report->fail(strf("glyph %d rectangle (s %g..%g, t %g..%g) is inverted", i, s0, s1, t0, t1));
        }
        const int advance = data[kRfntAdvanceOffset + static_cast<std::size_t>(i)];
        if (advance == 0) continue;
        const double texelsWide = (s1 - s0) * static_cast<double>(width);
        const double texelsHigh = (t1 - t0) * static_cast<double>(height);
        if (std::fabs(texelsWide - advance) > 0.01 || std::fabs(texelsHigh - size) > 0.01) {
            if (firstScaled < 0) firstScaled = i;
            ++scaled;
        }
    }
    if (scaled > 0) {
        report->warn(strf("%d glyph rectangles (the first of byte value %d) are not advance x size "
                          "texels; those glyphs draw scaled", scaled, firstScaled));
    }
    return true;
}

}  // namespace

bool infoRfnt(const std::uint8_t* data, std::size_t len, InfoReport* report) {
    report->format = "RFNT";
    if (len < 4) return report->fail(strf("file is %zu bytes, too short for the RFNT magic", len));
    const velmar::ByteReader file(data, len);
    if (!hasMagic(file, kRfntMagic, report) || !holdsHeader(len, kRfntHeaderSize, "RFNT header", report)) return false;
    const int size = data[kRfntSizeOffset];
    const std::int32_t height = file.i32At(kRfntHeightOffset);
    const std::int32_t width = file.i32At(kRfntWidthOffset);
    const std::size_t texels = len - kRfntHeaderSize;
    int glyphs = 0, widest = 0;
    for (std::size_t i = 0; i < 256; ++i) {
        const int advance = data[kRfntAdvanceOffset + i];
        glyphs += advance > 0;
        if (advance > widest) widest = advance;
    }
    report->field("font size", strf("%d", size));
    report->field("glyphs with an advance", strf("%d of 256", glyphs));
    report->field("widest advance", strf("%d", widest));
    report->field("texture", strf("%d x %d", width, height));
    report->field("texel bytes", strf("%zu", texels));

    if (width <= 0 || height <= 0) {
        return report->fail(strf("texture width and height must be positive, read %d x %d", width, height));
    }
    const std::uint64_t needed = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (needed != texels) {
        return report->fail(strf("texture of %d x %d needs %llu texel bytes, the file holds %zu", width,
                                 height, static_cast<unsigned long long>(needed), texels));
    }
    if (!checkRects(data, width, height, report)) return false;
    if (size == 0) report->warn("font size 0: every glyph quad is flat");
    if (!isPowerOfTwo(width) || !isPowerOfTwo(height)) {
        report->warn(strf("texture of %d x %d is not a power of two on both sides", width, height));
    }
    if (data[4] != 0 || data[5] != 0) report->warn("bytes 4 and 5 are set but never read");
    return true;
}

}  // namespace contentkit
