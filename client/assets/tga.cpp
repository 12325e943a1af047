// TGA decoding: header checks, uncompressed and run-length pixel data.
#include "client/assets/tga.h"

#include <algorithm>
#include <cstring>

#include "client/core/log.h"
#include "client/core/runtime.h"
#include "client/storage/disk_file.h"

namespace velmar {
namespace {

constexpr char kTruncated[] = "tex_loadTGA: file truncated / defect";
// A run-length packet covers at most this many pixels.
constexpr std::uint64_t kMaxPacketPixels = 128;
// Largest decodable picture is 0x7FFFFFFF / 4 pixels; stored one raw packet
// per pixel of 4 bytes it takes 5 bytes each. Bytes past that can never be
// used, so the file wrapper does not read them.
constexpr std::uint64_t kMaxTgaFileBytes =
    kTgaHeaderBytes + 255 + (0x7FFFFFFFull / 4) * 5;

// --- Header ---

struct TgaHeader {
    std::uint8_t idLength;
    std::uint8_t colorMapType;
    std::uint8_t imageType;
    std::uint32_t width;
    std::uint32_t height;
    std::uint8_t depth;
    std::uint8_t descriptor;
};

TgaHeader parseHeader(const std::uint8_t* b) {
    TgaHeader h;
    h.idLength = b[0];
    h.colorMapType = b[1];
    h.imageType = b[2];
    h.width = static_cast<std::uint32_t>(b[12] | (b[13] << 8));
    h.height = static_cast<std::uint32_t>(b[14] | (b[15] << 8));
    h.depth = b[16];
    h.descriptor = b[17];
    return h;
}

// --- Pixel data ---

// Fills output rows in the order the file stores them: bottom row first
// unless the picture has its origin at the top left.
class RowWriter {
public:
    RowWriter(std::uint8_t* out, std::uint32_t width, std::uint32_t height, bool topDown)
        : m_out(out), m_width(width), m_height(height), m_topDown(topDown) {
        m_dst = rowStart(0);
    }
    bool done() const { return m_row >= m_height; }
    std::uint64_t pixelsLeft() const {
        return static_cast<std::uint64_t>(m_height - m_row) * m_width - m_col;
    }
    // Callers never put more than pixelsLeft().
    void put(const std::uint8_t rgba[4]) {
        std::memcpy(m_dst, rgba, 4);
        m_dst += 4;
        if (++m_col == m_width) {
            m_col = 0;
            ++m_row;
            m_dst = done() ? nullptr : rowStart(m_row);
        }
    }

private:
    std::uint8_t* rowStart(std::uint32_t stored) const {
        const std::uint32_t row = m_topDown ? stored : m_height - 1 - stored;
        return m_out + static_cast<std::size_t>(row) * m_width * 4;
    }

    std::uint8_t* m_out;
    std::uint8_t* m_dst = nullptr;
    std::uint32_t m_width, m_height;
    std::uint32_t m_row = 0, m_col = 0;
    bool m_topDown;
};

// Depth is 8, 24 or 32 here.
void toRgba(const std::uint8_t* src, unsigned depth, std::uint8_t rgba[4]) {
    if (depth == 8) {
        rgba[0] = rgba[1] = rgba[2] = src[0];
        rgba[3] = 255;
        return;
    }
    rgba[0] = src[2];
    rgba[1] = src[1];
    rgba[2] = src[0];
    rgba[3] = depth == 32 ? src[3] : 255;
}

bool isPixelDepth(unsigned depth) { return depth == 8 || depth == 24 || depth == 32; }

// Types 2 and 3; the data length was checked before allocating.
bool decodeUncompressed(const std::uint8_t* data, unsigned depth, RowWriter& rows) {
    if (!isPixelDepth(depth)) {
        Message(kLogWarn, "tex_loadTGA: illegal pixel_size '%d'\n", static_cast<int>(depth));
        return false;
    }
    const unsigned step = depth / 8;
    std::uint8_t rgba[4];
    while (!rows.done()) {
        toRgba(data, depth, rgba);
        rows.put(rgba);
        data += step;
    }
    return true;
}

// Type 10. Packets run on across row ends; one that reaches past the last
// pixel is cut to the pixels left rather than written past the block.
bool decodeRunLength(const std::uint8_t* data, std::size_t size, unsigned depth,
                     RowWriter& rows) {
    const std::size_t step = depth / 8;
    std::size_t pos = 0;
    std::uint8_t rgba[4];
    while (!rows.done()) {
        if (pos >= size) {
            Message(kLogWarn, "%s", kTruncated);
            return false;
        }
        const std::uint8_t packet = data[pos++];
        const std::uint64_t count =
            std::min<std::uint64_t>((packet & 0x7Fu) + 1u, rows.pixelsLeft());
        const std::uint64_t need = (packet & 0x80u) ? step : count * step;
        if (need > size - pos) {
            Message(kLogWarn, "%s", kTruncated);
            return false;
        }
        if (packet & 0x80u) {
            toRgba(data + pos, depth, rgba);
            for (std::uint64_t i = 0; i < count; ++i) rows.put(rgba);
        } else {
            for (std::uint64_t i = 0; i < count; ++i) {
                toRgba(data + pos + i * step, depth, rgba);
                rows.put(rgba);
            }
        }
        pos += need;
    }
    return true;
}

// --- Checks ---

// The header checks, in the order their messages take precedence.
bool checkHeader(const TgaHeader& h, std::size_t length) {
    if (h.imageType != 2 && h.imageType != 3 && h.imageType != 10) {
        Message(kLogWarn, "tex_LoadTGA: Only type 2 (RGB), 3 (gray), and 10 (RGB) TGA images supported");
        return false;
    }
    if (h.colorMapType != 0) {
        Message(kLogWarn, "tex_LoadTGA: Color Maps are not supported");
        return false;
    }
    if (h.imageType != 3 && h.depth != 24 && h.depth != 32) {
        Message(kLogWarn, "tex_LoadTGA: Only 32 or 24 bit images supported (no colormaps)");
        return false;
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(h.width) * h.height * 4;
    if (bytes == 0 || bytes > 0x7FFFFFFFull) {
        Message(kLogWarn, "tex_LoadTGA: invalid image size!");
        return false;
    }
    if (h.idLength > length - kTgaHeaderBytes) {
        Message(kLogWarn, "tex_LoadTGA: header too short @ id_lengh");
        return false;
    }
    return true;
}

// The fewest data bytes the picture can be stored in. Checked before the
// output is allocated, so a tiny hostile file cannot ask for gigabytes.
std::uint64_t minimumDataBytes(const TgaHeader& h) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(h.width) * h.height;
    if (h.imageType != 10) return pixels * h.depth / 8;
    const std::uint64_t packets = (pixels + kMaxPacketPixels - 1) / kMaxPacketPixels;
    return packets * (1 + h.depth / 8);
}

}  // namespace

// --- Entry points ---

std::uint8_t* tex_LoadTGA(std::size_t length, const std::uint8_t* bytes,
                          std::uint32_t* width, std::uint32_t* height) {
    if (width) *width = 0;
    if (height) *height = 0;
    if (!bytes || length < kTgaHeaderBytes) {
        Message(kLogWarn, "tex_LoadTGA: header too short!");
        return nullptr;
    }
    const TgaHeader h = parseHeader(bytes);
    if (!checkHeader(h, length)) return nullptr;

    const std::uint8_t* data = bytes + kTgaHeaderBytes + h.idLength;
    const std::size_t dataSize = length - kTgaHeaderBytes - h.idLength;
    if (minimumDataBytes(h) > dataSize) {
        Message(kLogWarn, "%s", kTruncated);
        return nullptr;
    }

    const std::size_t outBytes = static_cast<std::size_t>(h.width) * h.height * 4;
    auto* out = static_cast<std::uint8_t*>(allocate(outBytes));
    RowWriter rows(out, h.width, h.height, (h.descriptor & 0x20u) != 0);
    const bool ok = h.imageType == 10 ? decodeRunLength(data, dataSize, h.depth, rows)
                                      : decodeUncompressed(data, h.depth, rows);
    if (!ok) {
        release(out);
        return nullptr;
    }
    if (width) *width = h.width;
    if (height) *height = h.height;
    return out;
}

std::uint8_t* tex_LoadTGAFile(const char* path, std::uint32_t* width,
                              std::uint32_t* height) {
    if (width) *width = 0;
    if (height) *height = 0;
    DiskFile file;
    file.Open(path, kFileReadOnly);
    if (!file.isOpen()) {
        Message(kLogWarn, "tex_LoadTGA: (by File) '%s' IO Open Error.", path ? path : "");
        return nullptr;
    }
    const std::uint64_t size = std::min(file.GetSize(), kMaxTgaFileBytes);
    auto* bytes = static_cast<std::uint8_t*>(allocate(size ? static_cast<std::size_t>(size) : 1));
    const std::size_t got = file.Read(bytes, static_cast<std::size_t>(size));
    file.Close();
    std::uint8_t* image = tex_LoadTGA(got, bytes, width, height);
    release(bytes);
    return image;
}

}  // namespace velmar
