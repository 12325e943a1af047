// The map's lightmaps packed into a few large textures (pages), so that a
// ground list binds one lightmap texture for many faces instead of one per
// face, and the driver draws a render cube's ground in a few runs.
//
// Every lightmap sits in a cell with a gutter of one texel on each side,
// filled with the lightmap itself repeated, as GL_REPEAT wraps a lightmap in
// a texture of its own: linear filtering at a lightmap's edge reads what it
// read before, never a neighbour. Lightmaps of different upload formats go
// on different pages. No GL; any thread.
//
// Small lightmaps go up enlarged: each texel of the enlarged image holds the
// bilinear blend of the lightmap at its centre, so that a nearest read shows
// within a small step what a linear read of the lightmap shows, for a
// fraction of what a software renderer spends on the linear read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmar {
namespace scene {

constexpr int kAtlasGutter = 1;
constexpr std::uint32_t kNoAtlasPage = 0xFFFFFFFFu;

// The upload format of a lightmap, from its flag byte.
enum class LightmapFormat { Alpha, Rgb, Rgba };
LightmapFormat lightmapFormat(std::uint8_t flag);

// Where a lightmap lies: its page, the texel origin of its image there, and
// the texture coordinates of the image's inner square (0.125 to 0.875 of a
// lightmap drawn alone) on the page.
struct AtlasPlace {
    std::uint32_t page = kNoAtlasPage;  // none: the lightmap is larger than a page may be
    int x = 0, y = 0;
    float s0 = 0, t0 = 0, s1 = 0, t1 = 0;
};

struct AtlasPage {
    LightmapFormat format = LightmapFormat::Rgba;
    int width = 0, height = 0;  // texels, powers of two
    std::vector<std::uint32_t> lightmaps;  // the lightmaps on it, in index order
};

struct AtlasLayout {
    int lightmapWidth = 0, lightmapHeight = 0;
    int scale = 1;  // enlargement of each lightmap on its page
    std::vector<AtlasPage> pages;
    std::vector<AtlasPlace> places;  // one per lightmap
};

// How much lightmaps of width x height texels are enlarged: 8 times for
// 4 x 4, to 32 texels a side at most; 1 (drawn with linear filtering) for
// those of more than 8 texels a side.
int lightmapScale(int width, int height);

// Lays out `count` lightmaps of width x height texels, enlarged `scale`
// times, with the flag bytes `flags` on pages of at most maxSize texels a
// side, each page as small as its lightmaps allow. A lightmap whose cell
// exceeds maxSize gets no page.
AtlasLayout layoutLightmapAtlas(const std::uint8_t* flags, std::size_t count, int width, int height,
                                int maxSize, int scale = 1);

// The RGBA texels of one page (rows from t = 0), from the map's texels
// (the lightmaps one after the other, rows in order); texels outside every
// cell are 0. Enlarged, a cell's gutter repeats the image's edge.
std::vector<std::uint8_t> fillAtlasPage(const AtlasLayout& layout, std::size_t page,
                                        const std::uint8_t* texels);

}  // namespace scene
}  // namespace velmar
