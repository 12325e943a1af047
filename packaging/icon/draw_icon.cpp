// quask-icon SIZE OUT.png: draws the game's menu icon, SIZE pixels square,
// as an RGBA PNG. The build runs it once per hicolor size, so every size is
// drawn at its own resolution instead of being scaled from one picture.
//
// The picture: a lake at the foot of a hill under a sky with a sun, on a
// rounded square; transparent outside it. Edges are smoothed by sampling each
// pixel 4 x 4 times.
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Rgba {
    float r, g, b, a;
};

constexpr int kSamples = 4;

Rgba mix(Rgba a, Rgba b, float t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, a.a + (b.a - a.a) * t};
}

// Inside the rounded square with corners of radius `r` (unit coordinates).
bool insideTile(float x, float y, float r) {
    const float cx = std::fmin(std::fmax(x, r), 1.0f - r);
    const float cy = std::fmin(std::fmax(y, r), 1.0f - r);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

// The colour at unit point (x, y), y growing downwards.
Rgba colourAt(float x, float y) {
    if (!insideTile(x, y, 0.2f)) return {0, 0, 0, 0};
    const float sunX = x - 0.7f, sunY = y - 0.3f;
    const float hill = 0.62f - 0.28f * std::exp(-(x - 0.35f) * (x - 0.35f) / 0.06f);
    if (y > 0.68f) {  // the lake, with a bright ripple
        const bool ripple = std::fabs(y - 0.8f - 0.02f * std::sin(x * 18.0f)) < 0.025f && x > 0.2f && x < 0.8f;
        return ripple ? Rgba{0.75f, 0.88f, 0.97f, 1} : mix({0.16f, 0.42f, 0.72f, 1}, {0.08f, 0.25f, 0.5f, 1}, y);
    }
    if (y > hill) return mix({0.3f, 0.62f, 0.24f, 1}, {0.18f, 0.42f, 0.16f, 1}, (y - hill) / 0.3f);
    if (sunX * sunX + sunY * sunY < 0.014f) return {1.0f, 0.84f, 0.3f, 1};
    return mix({0.3f, 0.55f, 0.88f, 1}, {0.72f, 0.86f, 0.97f, 1}, y / 0.68f);
}

std::vector<png_byte> draw(int size) {
    std::vector<png_byte> pixels(static_cast<std::size_t>(size) * size * 4);
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            Rgba sum{0, 0, 0, 0};
            for (int s = 0; s < kSamples * kSamples; ++s) {
                const float x = (px + (s % kSamples + 0.5f) / kSamples) / size;
                const float y = (py + (s / kSamples + 0.5f) / kSamples) / size;
                const Rgba c = colourAt(x, y);
                // Premultiplied, so a half-covered edge pixel keeps its colour.
                sum = {sum.r + c.r * c.a, sum.g + c.g * c.a, sum.b + c.b * c.a, sum.a + c.a};
            }
            png_byte* out = &pixels[(static_cast<std::size_t>(py) * size + px) * 4];
            const float n = kSamples * kSamples;
            const float alpha = sum.a / n;
            const auto channel = [&](float premultiplied) {
                return static_cast<png_byte>(alpha > 0 ? std::lround(255.0f * premultiplied / sum.a) : 0);
            };
            out[0] = channel(sum.r);
            out[1] = channel(sum.g);
            out[2] = channel(sum.b);
            out[3] = static_cast<png_byte>(std::lround(255.0f * alpha));
        }
    }
    return pixels;
}

bool writePng(const char* path, int size, std::vector<png_byte>& pixels) {
    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, size, size, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < size; ++y) png_write_row(png, &pixels[static_cast<std::size_t>(y) * size * 4]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int size = argc == 3 ? std::atoi(argv[1]) : 0;
    if (size < 8 || size > 1024) {
        std::fprintf(stderr, "usage: quask-icon SIZE OUT.png (SIZE 8 to 1024)\n");
        return 2;
    }
    std::vector<png_byte> pixels = draw(size);
    if (!writePng(argv[2], size, pixels)) {
        std::fprintf(stderr, "quask-icon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
