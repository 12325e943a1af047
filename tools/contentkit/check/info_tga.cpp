// TGA info: the checks of the client's cursor decoder, in its order, plus a
// walk over run-length packets that counts them without decoding pixels.
#include <climits>
#include <cstring>

#include "client/storage/byte_reader.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

constexpr std::size_t kHeader = 18;
constexpr std::size_t kFooterSize = 26;

bool hasFooter(const std::uint8_t* data, std::size_t len, std::size_t pixelEnd) {
    return len >= pixelEnd + kFooterSize &&
           std::memcmp(data + len - 18, "TRUEVISION-XFILE.", 18) == 0;
}

void reportTail(const std::uint8_t* data, std::size_t len, std::size_t end, InfoReport* report) {
    if (end == len) return;
    if (hasFooter(data, len, end)) {
        report->field("footer", "TGA 2.0");
    } else {
        report->warn(strf("%zu bytes after the pixel data are never read", len - end));
    }
}

// Walks the packets until every pixel is covered. Packets may run across
// row ends; one that runs past the last pixel or the data is a fault.
bool walkPackets(const std::uint8_t* data, std::size_t len, std::size_t start, std::uint64_t pixels,
                 unsigned width, std::size_t pixelSize, InfoReport* report) {
    std::size_t pos = start;
    std::uint64_t done = 0, runs = 0, raws = 0, crossing = 0;
    while (done < pixels) {
        if (pos >= len) {
            return report->fail(strf("run-length data truncated at offset %zu: %llu of %llu pixels "
                                     "decoded", pos, static_cast<unsigned long long>(done),
                                     static_cast<unsigned long long>(pixels)));
        }
        const std::uint8_t header = data[pos++];
        const unsigned count = (header & 0x7Fu) + 1;
        const std::size_t bytes = (header & 0x80) ? pixelSize : pixelSize * count;
        if (len - pos < bytes) {
            return report->fail(strf("packet at offset %zu needs %zu bytes, %zu remain", pos - 1,
                                     bytes, len - pos));
        }
        if (count > pixels - done) {
            return report->fail(strf("packet at offset %zu covers %u pixels, only %llu are left in "
                                     "the image", pos - 1, count,
                                     static_cast<unsigned long long>(pixels - done)));
        }
        if ((done % width) + count > width) ++crossing;
        if (header & 0x80) ++runs; else ++raws;
        pos += bytes;
        done += count;
    }
    report->field("packets", strf("%llu run, %llu raw", static_cast<unsigned long long>(runs),
                                  static_cast<unsigned long long>(raws)));
    if (crossing > 0) {
        report->warn(strf("%llu packets cross a row end; the client accepts that, some tools do not",
                          static_cast<unsigned long long>(crossing)));
    }
    reportTail(data, len, pos, report);
    return true;
}

}  // namespace

bool infoTga(const std::uint8_t* data, std::size_t len, InfoReport* report) {
    report->format = "TGA";
    if (len < kHeader) return report->fail(strf("header too short: %zu of 18 bytes", len));
    const unsigned idLength = data[0], colourMapType = data[1], type = data[2];
    const velmar::ByteReader file(data, len);
    const unsigned width = file.u16At(12), height = file.u16At(14);
    const unsigned depth = data[16], descriptor = data[17];
    report->field("image type", strf("%u", type));
    report->field("size", strf("%u x %u", width, height));
    report->field("pixel depth", strf("%u", depth));
    report->field("origin", (descriptor & 0x20) ? "top-left" : "bottom-left");
    report->field("alpha bits", strf("%u", descriptor & 0x0Fu));
    report->field("id length", strf("%u", idLength));

    if (type != 2 && type != 3 && type != 10) {
        return report->fail(strf("image type %u: only 2 (RGB), 3 (grey) and 10 (RLE RGB) are read",
                                 type));
    }
    if (colourMapType != 0) return report->fail("colour maps are not supported");
    if (type == 3 ? depth != 8 : (depth != 24 && depth != 32)) {
        return report->fail(strf("pixel depth %u: type %u needs %s", depth, type,
                                 type == 3 ? "8 bits" : "24 or 32 bits"));
    }
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height;
    if (pixels == 0 || pixels * 4 > static_cast<std::uint64_t>(INT_MAX)) {
        return report->fail(strf("invalid image size %u x %u", width, height));
    }
    if (descriptor & 0x10) report->warn("right-to-left bit is set; the client ignores it");
    if (idLength > len - kHeader) {
        return report->fail(strf("image ID field of %u bytes runs past the end", idLength));
    }
    const std::size_t start = kHeader + idLength;
    const std::size_t pixelSize = depth / 8;
    if (type == 10) return walkPackets(data, len, start, pixels, width, pixelSize, report);

    const std::uint64_t need = pixels * pixelSize;
    if (need > len - start) {
        return report->fail(strf("pixel data truncated: %llu bytes needed, %zu present",
                                 static_cast<unsigned long long>(need), len - start));
    }
    reportTail(data, len, start + static_cast<std::size_t>(need), report);
    return true;
}

}  // namespace contentkit
