// Generators: integer-hashed value noise, periodic over the picture so every
// texture tiles, and simple polygon fills for the cursors.
#include "tools/contentkit/demo/procedural.h"

#include <algorithm>
#include <cmath>

namespace contentkit {

namespace {

std::uint32_t hash3(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    std::uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ seed * 0xC2B2AE3Du;
    h ^= h >> 16;
    h *= 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    h ^= h >> 16;
    return h;
}

float lattice(int x, int y, int period, std::uint32_t seed) {
    const int px = ((x % period) + period) % period;
    const int py = ((y % period) + period) % period;
    return static_cast<float>(hash3(static_cast<std::uint32_t>(px), static_cast<std::uint32_t>(py), seed) >> 8) /
           16777216.0f;
}

float smooth(float t) { return t * t * (3.0f - 2.0f * t); }

// Value noise with `period` lattice cells across one picture; u, v in [0, 1).
float valueNoise(float u, float v, int period, std::uint32_t seed) {
    const float x = u * static_cast<float>(period), y = v * static_cast<float>(period);
    const float fx = std::floor(x), fy = std::floor(y);
    const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
    const float tx = smooth(x - fx), ty = smooth(y - fy);
    const float a = lattice(ix, iy, period, seed), b = lattice(ix + 1, iy, period, seed);
    const float c = lattice(ix, iy + 1, period, seed), d = lattice(ix + 1, iy + 1, period, seed);
    return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
}

// Octaves of periodic noise, normalised to [0, 1].
float fractal(float u, float v, int basePeriod, int octaves, std::uint32_t seed) {
    float sum = 0.0f, amplitude = 1.0f, total = 0.0f;
    for (int o = 0; o < octaves; ++o) {
        sum += amplitude * valueNoise(u, v, basePeriod << o, seed + static_cast<std::uint32_t>(o) * 101u);
        total += amplitude;
        amplitude *= 0.5f;
    }
    return sum / total;
}

std::uint8_t toByte(float v) {
    return static_cast<std::uint8_t>(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f);
}

template <typename Shade>
Image paint(int width, int height, Shade shade) {
    Image image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float u = static_cast<float>(x) / static_cast<float>(width);
            const float v = static_cast<float>(y) / static_cast<float>(height);
            float rgb[3];
            shade(u, v, rgb);
            std::uint8_t* p = image.at(x, y);
            for (int c = 0; c < 3; ++c) p[c] = toByte(rgb[c]);
            p[3] = 255;
        }
    }
    return image;
}

struct Point {
    float x, y;
};

bool inside(const std::vector<Point>& poly, float x, float y) {
    bool in = false;
    for (std::size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++) {
        if ((poly[i].y > y) != (poly[j].y > y) &&
            x < (poly[j].x - poly[i].x) * (y - poly[i].y) / (poly[j].y - poly[i].y) + poly[i].x) {
            in = !in;
        }
    }
    return in;
}

// Shapes on a 16-unit grid, scaled to the cursor size.
std::vector<std::vector<Point>> cursorShapes(CursorKind kind) {
    const std::vector<Point> arrow = {{0, 0}, {0, 13}, {3.5f, 10}, {6, 15.5f}, {8, 14.5f}, {5.5f, 9.5f}, {10, 9.5f}};
    if (kind != CursorKind::Camera) return {arrow};
    // Four arrow heads around a square.
    return {{{8, 0.5f}, {11, 4}, {5, 4}},     {{8, 15.5f}, {5, 12}, {11, 12}},
            {{0.5f, 8}, {4, 5}, {4, 11}},     {{15.5f, 8}, {12, 11}, {12, 5}},
            {{6, 6}, {10, 6}, {10, 10}, {6, 10}}};
}

}  // namespace

// --- Terrain and water ---

Image makeGrass(int width, int height, std::uint32_t seed) {
    return paint(width, height, [seed](float u, float v, float* rgb) {
        const float n = fractal(u, v, 4, 5, seed);
        const float blades = valueNoise(u, v, 64, seed ^ 0xA5A5u);
        const float g = 0.35f + 0.35f * n + 0.15f * blades;
        rgb[0] = g * 0.45f;
        rgb[1] = g;
        rgb[2] = g * 0.25f;
    });
}

Image makeRock(int width, int height, std::uint32_t seed) {
    return paint(width, height, [seed](float u, float v, float* rgb) {
        const float n = fractal(u, v, 3, 6, seed);
        const float cracks = std::fabs(valueNoise(u, v, 8, seed ^ 0x5A5Au) - 0.5f) * 2.0f;
        const float g = 0.3f + 0.45f * n - (cracks < 0.08f ? 0.18f : 0.0f);
        rgb[0] = g;
        rgb[1] = g * 0.96f;
        rgb[2] = g * 0.9f;
    });
}

Image makeWaterFrame(int width, int height, std::uint32_t seed, int frame, int frameCount) {
    if (frameCount < 1) frameCount = 1;
    // Two periodic fields drift a whole period over the loop: the frame after
    // the last equals the first.
    const float phase = static_cast<float>(((frame % frameCount) + frameCount) % frameCount) /
                        static_cast<float>(frameCount);
    return paint(width, height, [seed, phase](float u, float v, float* rgb) {
        float a = fractal(u + phase, v, 4, 4, seed);
        float b = fractal(u, v + phase, 4, 4, seed ^ 0x3C3Cu);
        const float w = 0.5f * (a + b);
        rgb[0] = 0.05f + 0.2f * w;
        rgb[1] = 0.25f + 0.35f * w;
        rgb[2] = 0.55f + 0.4f * w;
    });
}

Image makeChecker(int width, int height, int cell) {
    if (cell < 1) cell = 1;
    Image image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool dark = ((x / cell) + (y / cell)) % 2 != 0;
            std::uint8_t* p = image.at(x, y);
            p[0] = dark ? 40 : 230;
            p[1] = dark ? 40 : 40;
            p[2] = dark ? 40 : 230;
            p[3] = 255;
        }
    }
    return image;
}

// --- Cursors and splash ---

Image makeCursor(CursorKind kind, int size) {
    Image image(size, size);
    const float scale = 16.0f / static_cast<float>(size);
    const auto shapes = cursorShapes(kind);
    auto covered = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= size || y >= size) return false;
        const float gx = (static_cast<float>(x) + 0.5f) * scale, gy = (static_cast<float>(y) + 0.5f) * scale;
        for (const auto& shape : shapes) {
            if (inside(shape, gx, gy)) return true;
        }
        return false;
    };
    const std::uint8_t fill[3][3] = {{255, 255, 255}, {255, 210, 60}, {120, 220, 255}};
    const std::uint8_t* colour = fill[static_cast<int>(kind)];
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            std::uint8_t* p = image.at(x, y);
            if (covered(x, y)) {
                const bool edge = !covered(x - 1, y) || !covered(x + 1, y) || !covered(x, y - 1) ||
                                  !covered(x, y + 1);
                for (int c = 0; c < 3; ++c) p[c] = edge ? 0 : colour[c];
                p[3] = 255;
            }
        }
    }
    return image;
}

Image makeSplash(int width, int height, std::uint32_t seed) {
    Image image(width, height);
    const int margin = std::max(1, std::min(width, height) / 16);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = image.at(x, y);
            const bool panel = x >= margin && y >= margin && x < width - margin && y < height - margin;
            if (!panel) {
                p[0] = p[1] = p[2] = 255;
                p[3] = 0;
                continue;
            }
            const float u = static_cast<float>(x) / static_cast<float>(width);
            const float v = static_cast<float>(y) / static_cast<float>(height);
            const float n = fractal(u, v, 4, 4, seed);
            p[0] = toByte(0.08f + 0.1f * n);
            p[1] = toByte(0.12f + 0.15f * n + 0.2f * v);
            p[2] = toByte(0.3f + 0.3f * n);
            p[3] = 255;
        }
    }
    return image;
}

// --- Pattern names ---

const std::vector<std::string>& patternNames() {
    static const std::vector<std::string> names = {"grass", "rock", "water", "checker", "splash",
                                                   "cursor-standard", "cursor-button", "cursor-cam"};
    return names;
}

bool makePattern(const PatternRequest& r, Image* out, std::string* error) {
    if (r.width < 1 || r.height < 1 || r.width > kMaxImageEdge || r.height > kMaxImageEdge) {
        *error = "pattern size must be 1.." + std::to_string(kMaxImageEdge) + " on each side";
        return false;
    }
    const bool square = r.width == r.height;
    if (r.name == "grass") *out = makeGrass(r.width, r.height, r.seed);
    else if (r.name == "rock") *out = makeRock(r.width, r.height, r.seed);
    else if (r.name == "water") *out = makeWaterFrame(r.width, r.height, r.seed, r.frame, r.frameCount);
    else if (r.name == "checker") *out = makeChecker(r.width, r.height, std::max(1, r.width / 8));
    else if (r.name == "splash") *out = makeSplash(r.width, r.height, r.seed);
    else if (r.name.compare(0, 7, "cursor-") == 0 && !square) {
        *error = "cursor patterns are square";
        return false;
    } else if (r.name == "cursor-standard") *out = makeCursor(CursorKind::Standard, r.width);
    else if (r.name == "cursor-button") *out = makeCursor(CursorKind::Button, r.width);
    else if (r.name == "cursor-cam") *out = makeCursor(CursorKind::Camera, r.width);
    else {
        *error = "unknown pattern '" + r.name + "'";
        return false;
    }
    return true;
}

}  // namespace contentkit
