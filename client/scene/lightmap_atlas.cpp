#include "client/scene/lightmap_atlas.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "client/scene/rmap_layout.h"

namespace velmar {
namespace scene {

namespace {

int nextPowerOfTwo(int value) {
    int p = 1;
    while (p < value) p *= 2;
    return p;
}

struct Cells {
    int width, height;  // a cell's texels: the image and its gutters
    std::size_t fit(int pageWidth, int pageHeight) const {
        return static_cast<std::size_t>(pageWidth / width) * static_cast<std::size_t>(pageHeight / height);
    }
};

// The page of least area (the squarer of two alike) that holds `wanted`
// cells, or the largest page when none does.
void pageSize(const Cells& cells, std::size_t wanted, int maxSize, int* width, int* height) {
    *width = *height = maxSize;
    std::uint64_t best = 0;
    for (int w = nextPowerOfTwo(cells.width); w <= maxSize; w *= 2) {
        const std::size_t columns = static_cast<std::size_t>(w / cells.width);
        const std::size_t rows = (wanted + columns - 1) / columns;
        if (rows > static_cast<std::size_t>(maxSize / cells.height)) continue;
        const int h = nextPowerOfTwo(static_cast<int>(rows) * cells.height);
        const std::uint64_t area = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
        if (best == 0 || area < best || (area == best && std::max(w, h) < std::max(*width, *height))) {
            best = area;
            *width = w;
            *height = h;
        }
    }
}

void placeGroup(const std::vector<std::uint32_t>& group, LightmapFormat format, int maxSize,
                AtlasLayout* layout) {
    const int gutter = kAtlasGutter;
    const int imageWidth = layout->lightmapWidth * layout->scale, imageHeight = layout->lightmapHeight * layout->scale;
    const Cells cells{imageWidth + 2 * gutter, imageHeight + 2 * gutter};
    const float w = static_cast<float>(imageWidth), h = static_cast<float>(imageHeight);
    for (std::size_t next = 0; next < group.size();) {
        AtlasPage page;
        page.format = format;
        pageSize(cells, group.size() - next, maxSize, &page.width, &page.height);
        const std::size_t take = std::min(cells.fit(page.width, page.height), group.size() - next);
        const std::size_t columns = static_cast<std::size_t>(page.width / cells.width);
        const auto pageIndex = static_cast<std::uint32_t>(layout->pages.size());
        const float pw = static_cast<float>(page.width), ph = static_cast<float>(page.height);
        for (std::size_t k = 0; k < take; ++k) {
            const std::uint32_t lightmap = group[next + k];
            AtlasPlace& place = layout->places[lightmap];
            place.page = pageIndex;
            place.x = static_cast<int>(k % columns) * cells.width + gutter;
            place.y = static_cast<int>(k / columns) * cells.height + gutter;
            place.s0 = (static_cast<float>(place.x) + 0.125f * w) / pw;
            place.s1 = (static_cast<float>(place.x) + 0.875f * w) / pw;
            place.t0 = (static_cast<float>(place.y) + 0.125f * h) / ph;
            place.t1 = (static_cast<float>(place.y) + 0.875f * h) / ph;
            page.lightmaps.push_back(lightmap);
        }
        layout->pages.push_back(std::move(page));
        next += take;
    }
}

}  // namespace

LightmapFormat lightmapFormat(std::uint8_t flag) {
    if (!(flag & kLightmapColour)) return LightmapFormat::Alpha;
    return (flag & kLightmapAlpha) ? LightmapFormat::Rgba : LightmapFormat::Rgb;
}

int lightmapScale(int width, int height) {
    const int side = std::max(width, height);
    return side <= 0 || side > 8 ? 1 : std::min(8, 32 / side);
}

AtlasLayout layoutLightmapAtlas(const std::uint8_t* flags, std::size_t count, int width, int height,
                                int maxSize, int scale) {
    AtlasLayout layout;
    layout.lightmapWidth = width;
    layout.lightmapHeight = height;
    layout.scale = std::max(scale, 1);
    layout.places.resize(count);
    int limit = 1;  // pages are powers of two
    while (limit <= maxSize / 2) limit *= 2;
    maxSize = limit;
    const int gutters = 2 * kAtlasGutter;
    if (width <= 0 || height <= 0 || width * layout.scale > maxSize - gutters ||
        height * layout.scale > maxSize - gutters)
        return layout;
    const LightmapFormat formats[] = {LightmapFormat::Rgba, LightmapFormat::Rgb, LightmapFormat::Alpha};
    for (LightmapFormat format : formats) {
        std::vector<std::uint32_t> group;
        for (std::size_t i = 0; i < count; ++i)
            if (lightmapFormat(flags[i]) == format) group.push_back(static_cast<std::uint32_t>(i));
        placeGroup(group, format, maxSize, &layout);
    }
    return layout;
}

namespace {

// Where an enlarged texel's centre falls among the lightmap's texels: the
// two to blend and the second's weight in 1/256, centres held within the
// outer texel centres (where a linear read of the inner square never goes
// beyond), the gutter included.
struct Blend {
    int first, second, weight;
};

std::vector<Blend> blendsAlong(int texels, int k) {
    const int g = kAtlasGutter;
    std::vector<Blend> out;
    out.reserve(static_cast<std::size_t>(texels * k + 2 * g));
    for (int i = -g; i < texels * k + g; ++i) {
        // Centre (i + 0.5) / k - 0.5 in texels, in 1/256 of a texel.
        const int at = std::clamp(((2 * i + 1) * 128 - 128 * k) / k, 0, (texels - 1) * 256);
        const int first = std::min(at / 256, texels - 1);
        out.push_back({first, std::min(first + 1, texels - 1), at - first * 256});
    }
    return out;
}

// The lightmap `src` (w x h) enlarged into the cell whose image starts at
// `dst` (rows `pageWidth` texels apart): rows blended first, then columns.
void fillEnlarged(const std::uint8_t* src, int w, int h, const std::vector<Blend>& across,
                  const std::vector<Blend>& down, std::uint8_t* dst, std::size_t pageWidth) {
    const int g = kAtlasGutter;
    const std::size_t wide = across.size();
    std::vector<std::uint32_t> rows(wide * static_cast<std::size_t>(h) * 4);
    for (int j = 0; j < h; ++j)
        for (std::size_t i = 0; i < wide; ++i) {
            const Blend& b = across[i];
            const std::uint8_t* a = src + (j * w + b.first) * 4;
            const std::uint8_t* c = src + (j * w + b.second) * 4;
            for (int ch = 0; ch < 4; ++ch)
                rows[(static_cast<std::size_t>(j) * wide + i) * 4 + ch] =
                    static_cast<std::uint32_t>(a[ch] * (256 - b.weight) + c[ch] * b.weight);
        }
    for (std::size_t j = 0; j < down.size(); ++j) {
        const Blend& b = down[j];
        const std::uint32_t* top = &rows[static_cast<std::size_t>(b.first) * wide * 4];
        const std::uint32_t* bottom = &rows[static_cast<std::size_t>(b.second) * wide * 4];
        const auto row = static_cast<std::ptrdiff_t>(j) - g;
        std::uint8_t* out = dst + (row * static_cast<std::ptrdiff_t>(pageWidth) - g) * 4;
        const auto wt = static_cast<std::uint32_t>(b.weight);
        for (std::size_t n = 0; n < wide * 4; ++n)
            out[n] = static_cast<std::uint8_t>((top[n] * (256 - wt) + bottom[n] * wt + 32768) >> 16);
    }
}

}  // namespace

std::vector<std::uint8_t> fillAtlasPage(const AtlasLayout& layout, std::size_t page,
                                        const std::uint8_t* texels) {
    const AtlasPage& p = layout.pages[page];
    const std::size_t pageWidth = static_cast<std::size_t>(p.width);
    std::vector<std::uint8_t> out(pageWidth * static_cast<std::size_t>(p.height) * 4, 0);
    if (layout.scale > 1) {
        const std::size_t image = static_cast<std::size_t>(layout.lightmapWidth) *
                                  static_cast<std::size_t>(layout.lightmapHeight) * 4;
        const std::vector<Blend> across = blendsAlong(layout.lightmapWidth, layout.scale);
        const std::vector<Blend> down = blendsAlong(layout.lightmapHeight, layout.scale);
        for (std::uint32_t lightmap : p.lightmaps) {
            const AtlasPlace& place = layout.places[lightmap];
            const std::size_t at =
                static_cast<std::size_t>(place.y) * pageWidth + static_cast<std::size_t>(place.x);
            fillEnlarged(texels + lightmap * image, layout.lightmapWidth, layout.lightmapHeight, across, down,
                         out.data() + at * 4, pageWidth);
        }
        return out;
    }
    const int w = layout.lightmapWidth, h = layout.lightmapHeight, g = kAtlasGutter;
    const std::size_t image = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4;
    auto wrap = [](int i, int n) { return ((i % n) + n) % n; };
    for (std::uint32_t lightmap : p.lightmaps) {
        const AtlasPlace& place = layout.places[lightmap];
        const std::uint8_t* src = texels + lightmap * image;
        for (int j = -g; j < h + g; ++j) {
            const std::uint8_t* row = src + static_cast<std::size_t>(wrap(j, h) * w) * 4;
            const std::size_t at =
                static_cast<std::size_t>(place.y + j) * pageWidth + static_cast<std::size_t>(place.x);
            std::uint8_t* dst = out.data() + at * 4;
            for (int i = -g; i < 0; ++i) std::memcpy(dst + i * 4, row + wrap(i, w) * 4, 4);
            std::memcpy(dst, row, static_cast<std::size_t>(w) * 4);
            for (int i = w; i < w + g; ++i) std::memcpy(dst + i * 4, row + wrap(i, w) * 4, 4);
        }
    }
    return out;
}

}  // namespace scene
}  // namespace velmar
