// BMP info: headers, palette and pixel array checked against the file, and
// the count of pure white pixels the launcher's splash shows see-through.
#include <cstring>

#include "client/storage/byte_reader.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

constexpr std::size_t kFileHeader = 14;

struct BmpHeader {
    std::uint32_t infoSize = 0;
    std::int64_t width = 0, height = 0;
    unsigned planes = 0, bpp = 0;
    std::uint32_t compression = 0, coloursUsed = 0;
};

bool readInfoHeader(const std::uint8_t* data, std::size_t len, BmpHeader* h, InfoReport* report) {
    const velmar::ByteReader file(data, len);
    h->infoSize = file.u32At(kFileHeader);
    const std::uint32_t s = h->infoSize;
    if (s != 12 && s != 40 && s != 52 && s != 56 && s != 108 && s != 124) {
        return report->fail(strf("info header size %u is not one of 12, 40, 52, 56, 108, 124", s));
    }
    if (len - kFileHeader < s) return report->fail(strf("info header of %u bytes is truncated", s));
    const std::size_t p = kFileHeader;
    if (s == 12) {
        h->width = file.u16At(p + 4);
        h->height = file.u16At(p + 6);
        h->planes = file.u16At(p + 8);
        h->bpp = file.u16At(p + 10);
        return true;
    }
    h->width = file.i32At(p + 4);
    h->height = file.i32At(p + 8);
    h->planes = file.u16At(p + 12);
    h->bpp = file.u16At(p + 14);
    h->compression = file.u32At(p + 16);
    h->coloursUsed = file.u32At(p + 32);
    return true;
}

// Pure white pixels of a 24- or 32-bit uncompressed picture.
std::uint64_t countWhite(const std::uint8_t* pixels, std::uint64_t stride, const BmpHeader& h,
                         std::uint64_t rows) {
    const std::uint64_t bytesPerPixel = h.bpp / 8;
    std::uint64_t white = 0;
    for (std::uint64_t y = 0; y < rows; ++y) {
        const std::uint8_t* row = pixels + y * stride;
        for (std::int64_t x = 0; x < h.width; ++x) {
            const std::uint8_t* px = row + static_cast<std::uint64_t>(x) * bytesPerPixel;
            if (px[0] == 0xFF && px[1] == 0xFF && px[2] == 0xFF) ++white;
        }
    }
    return white;
}

// Palette or masks, then the pixel rows, against the bytes present.
bool checkPixels(const std::uint8_t* data, std::size_t len, std::uint32_t offset, const BmpHeader& h,
                 InfoReport* report) {
    std::uint64_t tables = 0;
    if (h.bpp <= 8) {
        const std::uint64_t maxColours = 1ull << h.bpp;
        const std::uint64_t colours = h.coloursUsed ? h.coloursUsed : maxColours;
        if (colours > maxColours) {
            return report->fail(strf("palette of %u colours, at most %llu fit %u bits", h.coloursUsed,
                                     static_cast<unsigned long long>(maxColours), h.bpp));
        }
        tables = colours * (h.infoSize == 12 ? 3 : 4);
        report->field("palette", strf("%llu colours", static_cast<unsigned long long>(colours)));
    } else if (h.compression == 3 && h.infoSize == 40) {
        tables = 12;  // three colour masks follow the short header
    }
    const std::uint64_t headersEnd = kFileHeader + h.infoSize + tables;
    if (offset < headersEnd) {
        return report->fail(strf("pixel offset %u lies inside the headers (they end at %llu)", offset,
                                 static_cast<unsigned long long>(headersEnd)));
    }
    const std::uint64_t rows = static_cast<std::uint64_t>(h.height < 0 ? -h.height : h.height);
    const std::uint64_t stride = (static_cast<std::uint64_t>(h.width) * h.bpp + 31) / 32 * 4;
    // stride * rows may pass 2^64 for hostile sizes: compare by division.
    const std::uint64_t available = offset <= len ? len - offset : 0;
    if (offset > len || stride > available / rows) {
        return report->fail(strf("pixel data truncated: %llu rows of %llu bytes from offset %u, the "
                                 "file holds %zu", static_cast<unsigned long long>(rows),
                                 static_cast<unsigned long long>(stride), offset, len));
    }
    if (h.bpp == 24 || (h.bpp == 32 && h.compression == 0)) {
        const std::uint64_t white = countWhite(data + offset, stride, h, rows);
        report->field("white (see-through) pixels",
                      strf("%llu of %llu", static_cast<unsigned long long>(white),
                           static_cast<unsigned long long>(rows * static_cast<std::uint64_t>(h.width))));
        if (white == rows * static_cast<std::uint64_t>(h.width)) {
            report->warn("every pixel is pure white: the splash would be invisible");
        }
    }
    return true;
}

}  // namespace

bool infoBmp(const std::uint8_t* data, std::size_t len, InfoReport* report) {
    report->format = "BMP";
    if (len < kFileHeader + 4) return report->fail(strf("file is %zu bytes, too short for a BMP", len));
    if (data[0] != 'B' || data[1] != 'M') return report->fail("no BMP magic ('BM' at offset 0)");
    const velmar::ByteReader file(data, len);
    const std::uint32_t fileSize = file.u32At(2);
    const std::uint32_t offset = file.u32At(10);
    BmpHeader h;
    if (!readInfoHeader(data, len, &h, report)) return false;
    report->field("file size field", strf("%u", fileSize));
    report->field("pixel offset", strf("%u", offset));
    report->field("info header", strf("%u bytes", h.infoSize));
    report->field("size", strf("%lld x %lld", static_cast<long long>(h.width),
                               static_cast<long long>(h.height < 0 ? -h.height : h.height)));
    report->field("rows", h.height < 0 ? "top-down" : "bottom-up");
    report->field("bits per pixel", strf("%u", h.bpp));
    report->field("compression", strf("%u", h.compression));

    if (fileSize != len) report->warn(strf("file size field %u differs from the %zu bytes present",
                                           fileSize, len));
    if (h.width <= 0 || h.height == 0) return report->fail("width must be positive and height not 0");
    if (h.planes != 1) return report->fail(strf("plane count %u is not 1", h.planes));
    if (h.bpp != 1 && h.bpp != 4 && h.bpp != 8 && h.bpp != 16 && h.bpp != 24 && h.bpp != 32) {
        return report->fail(strf("%u bits per pixel is not a BMP depth", h.bpp));
    }
    if (h.compression != 0 && h.compression != 3) {
        report->warn(strf("compression %u: the pixel data is not checked", h.compression));
        return offset <= len ? true : report->fail("pixel offset lies past the end");
    }
    if (h.compression == 3 && h.bpp != 16 && h.bpp != 32) {
        return report->fail("bit-field compression needs 16 or 32 bits per pixel");
    }
    return checkPixels(data, len, offset, h, report);
}

}  // namespace contentkit
