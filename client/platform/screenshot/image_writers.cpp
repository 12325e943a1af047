// PNG through libpng (errors come back by longjmp) and plain TGA.
#include "client/platform/screenshot/image_writers_internal.h"

#include <png.h>

#include <csetjmp>
#include <cstddef>
#include <utility>

#include "shared/posix_io.h"

namespace velmar {
namespace {

struct PngSink {
    int fd;
};

[[noreturn]] void pngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void pngWarning(png_structp, png_const_charp) {}

void pngWrite(png_structp png, png_bytep data, png_size_t size) {
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    if (!quask::writeFully(sink->fd, data, size)) png_error(png, "write failed");
}

// Output goes straight to the descriptor; close() is the only flush needed.
void pngFlush(png_structp) {}

// Everything between setjmp and its longjmp: no object with a destructor
// lives here, and nothing set before setjmp changes after it.
bool writePngRows(png_structp png, png_infop info, PngSink* sink, int width, int height,
                  const std::uint8_t* pixels) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, sink, pngWrite, pngFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 9);
    png_write_info(png, info);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    for (std::size_t row = static_cast<std::size_t>(height); row-- > 0;)
        png_write_row(png, pixels + row * stride);
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

EncodeResult encodePng(int fd, int width, int height, const std::uint8_t* pixels) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
    if (!png) return EncodeResult::kPngStruct;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return EncodeResult::kPngInfo;
    }
    PngSink sink{fd};
    const bool ok = writePngRows(png, info, &sink, width, height, pixels);
    png_destroy_write_struct(&png, &info);
    return ok ? EncodeResult::kOk : EncodeResult::kWriteError;
}

EncodeResult encodeTga(int fd, int width, int height, std::uint8_t* pixels) {
    const std::size_t bytes = static_cast<std::size_t>(width) * height * 3;
    for (std::size_t i = 0; i < bytes; i += 3) std::swap(pixels[i], pixels[i + 2]);
    std::uint8_t header[18] = {};
    header[2] = 2;
    header[12] = static_cast<std::uint8_t>(width & 0xFF);
    header[13] = static_cast<std::uint8_t>((width >> 8) & 0xFF);
    header[14] = static_cast<std::uint8_t>(height & 0xFF);
    header[15] = static_cast<std::uint8_t>((height >> 8) & 0xFF);
    header[16] = 24;
    if (!quask::writeFully(fd, header, sizeof header) || !quask::writeFully(fd, pixels, bytes))
        return EncodeResult::kWriteError;
    return EncodeResult::kOk;
}

}  // namespace velmar
