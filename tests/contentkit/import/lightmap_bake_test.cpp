// The lightmap bake on small hand-made maps: a model's box and a raised
// block of ground throw shadows away from the sun, exactly as dark as the
// ambient light leaves them; a light colours ground the sun does not reach.
#include <gtest/gtest.h>

#include "tools/contentkit/import/lightmap_bake.h"

namespace {

using contentkit::RmapMap;

// 8 x 8 cubes of 10 units, flat at elevation 0 except the column of cubes
// x = 4 raised to `step` (with its walls), one tile per face.
RmapMap flatMap(float step) {
    RmapMap map;
    map.cubesWide = map.cubesHigh = 8;
    map.cellsWide = map.cellsHigh = 16;
    map.cubeSize = 10;
    map.textures = {300};
    map.cubes.resize(64);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            contentkit::RmapCube& c = map.cubes[static_cast<std::size_t>(x + y * 8)];
            c.heights.fill(x == 4 ? -step : 0.0f);
            auto tile = [&map] {
                map.tiles.emplace_back();
                return static_cast<std::int32_t>(map.tiles.size() - 1);
            };
            c.top = tile();
            if (step != 0 && (x == 3 || x == 4)) c.wallX = tile();
        }
    }
    return map;
}

contentkit::BakeSettings eastSun() {
    contentkit::BakeSettings s;
    s.sun = {0.70710678, 0, 0.70710678};  // from the east, 45 degrees up
    return s;
}

// The alpha (darkness) of the texel of cube (x, y)'s top at lightmap texel (i, j).
int topAlpha(const RmapMap& map, int x, int y, int i = 1, int j = 1) {
    const auto& tile = map.tiles[static_cast<std::size_t>(map.cubes[static_cast<std::size_t>(x + y * 8)].top)];
    return map.lightmaps[static_cast<std::size_t>(tile.lightmap)].texels[static_cast<std::size_t>((j * 4 + i) * 4 + 3)];
}

// Lit flat ground keeps all of its colour (alpha 0); in shadow the ambient
// light's weakest channel, 0.38, is what remains: alpha 0.62 x 255 = 158,
// in the bake's steps of 8: 160.
constexpr int kLit = 0, kShadow = 160;

TEST(LightmapBake, ModelBoxShadowsTheGroundAwayFromTheSun) {
    RmapMap map = flatMap(0);
    contentkit::BakeBox box;
    box.x = box.y = 45;
    box.halfX = box.halfZ = 5;
    box.height = 20;
    contentkit::BakeStats stats;
    std::string error;
    ASSERT_TRUE(contentkit::bakeLightmaps(&map, {box}, {}, eastSun(), &stats, &error)) << error;
    EXPECT_EQ(stats.faces, 64u);
    EXPECT_EQ(map.lightmapWidth, 4);
    // The box stands on cube (4, 4): 20 high, so its shadow runs 20 units west.
    EXPECT_EQ(topAlpha(map, 3, 4), kShadow);
    EXPECT_EQ(topAlpha(map, 2, 4), kShadow);
    EXPECT_EQ(topAlpha(map, 1, 4), kLit);
    EXPECT_EQ(topAlpha(map, 6, 4), kLit);
    EXPECT_EQ(topAlpha(map, 3, 2), kLit);
    // Faces lit alike share one lightmap.
    const auto lightmapOf = [&map](int x, int y) {
        return map.tiles[static_cast<std::size_t>(map.cubes[static_cast<std::size_t>(x + y * 8)].top)].lightmap;
    };
    EXPECT_EQ(lightmapOf(6, 4), lightmapOf(0, 0));
    EXPECT_NE(lightmapOf(3, 4), lightmapOf(0, 0));
}

// Boxes are found by where they stand: with a thousand more far off, the
// box on the map and one east of its edge still shade the ground west of
// them, and no other ground is shaded.
TEST(LightmapBake, BoxesAmongManyAndOffTheMapStillShade) {
    RmapMap map = flatMap(0);
    std::vector<contentkit::BakeBox> boxes;
    for (int i = 0; i < 1000; ++i) {
        contentkit::BakeBox far;
        far.x = 200 + 20 * (i % 40);
        far.y = 20000 + 20 * (i / 40);
        far.halfX = far.halfZ = 1;
        far.height = 5;
        boxes.push_back(far);
    }
    contentkit::BakeBox onMap, offMap;
    onMap.x = onMap.y = 45;
    onMap.halfX = onMap.halfZ = 5;
    onMap.height = 20;
    offMap.x = 95;  // the map ends at 80
    offMap.y = 15;
    offMap.halfX = offMap.halfZ = 3;
    offMap.height = 40;
    boxes.push_back(onMap);
    boxes.push_back(offMap);
    contentkit::BakeStats stats;
    std::string error;
    ASSERT_TRUE(contentkit::bakeLightmaps(&map, boxes, {}, eastSun(), &stats, &error)) << error;
    EXPECT_EQ(topAlpha(map, 3, 4), kShadow);
    EXPECT_EQ(topAlpha(map, 2, 4), kShadow);
    EXPECT_EQ(topAlpha(map, 1, 4), kLit);
    EXPECT_EQ(topAlpha(map, 7, 1), kShadow);
    EXPECT_EQ(topAlpha(map, 5, 1, 0, 1), kLit);
    for (int y : {0, 3, 6, 7})
        for (int x = 0; x < 8; ++x) EXPECT_EQ(topAlpha(map, x, y), kLit) << x << ", " << y;
}

TEST(LightmapBake, RaisedGroundShadowsTheLowGroundBehindIt) {
    RmapMap map = flatMap(15);
    contentkit::BakeStats stats;
    std::string error;
    ASSERT_TRUE(contentkit::bakeLightmaps(&map, {}, {}, eastSun(), &stats, &error)) << error;
    EXPECT_EQ(stats.faces, 64u + 16u);
    // A block 15 high at x 40..50 shades x 25..40 with the sun at 45 degrees.
    EXPECT_EQ(topAlpha(map, 3, 2), kShadow);
    EXPECT_EQ(topAlpha(map, 2, 2, 3, 1), kShadow);
    EXPECT_EQ(topAlpha(map, 2, 2, 0, 1), kLit);
    EXPECT_EQ(topAlpha(map, 4, 2), kLit);  // the block's own top
    EXPECT_EQ(topAlpha(map, 5, 2), kLit);
    // The block's east wall faces the sun; its west wall lies in its own shade.
    const auto wallAlpha = [&map](int x) {
        const auto& tile = map.tiles[static_cast<std::size_t>(map.cubes[static_cast<std::size_t>(x + 2 * 8)].wallX)];
        return map.lightmaps[static_cast<std::size_t>(tile.lightmap)].texels[(1 * 4 + 1) * 4 + 3];
    };
    EXPECT_EQ(wallAlpha(4), kLit);
    EXPECT_EQ(wallAlpha(3), kShadow);
}

TEST(LightmapBake, LightColoursGroundInShadowAndSharedTilesAreRefused) {
    RmapMap map = flatMap(0);
    contentkit::BakeBox roof;  // shades the whole map
    roof.x = roof.y = 40;
    roof.halfX = roof.halfZ = 100;
    roof.base = 30;
    roof.height = 1;
    contentkit::BakeLight lamp;
    lamp.x = lamp.y = 15;
    lamp.z = 5;
    lamp.colour = {1, 0, 0};
    lamp.radius = 20;
    contentkit::BakeStats stats;
    std::string error;
    ASSERT_TRUE(contentkit::bakeLightmaps(&map, {roof}, {lamp}, eastSun(), &stats, &error)) << error;
    const auto texel = [&map](int x, int y) {
        const auto& tile = map.tiles[static_cast<std::size_t>(map.cubes[static_cast<std::size_t>(x + y * 8)].top)];
        const auto& t = map.lightmaps[static_cast<std::size_t>(tile.lightmap)].texels;
        return std::array<int, 4>{t[0], t[1], t[2], t[3]};
    };
    const auto nearLamp = texel(1, 1), far = texel(6, 6);
    // Far from the lamp only the bluish ambient light: red keeps nothing extra.
    EXPECT_EQ(far[3], kShadow);
    EXPECT_EQ(far[0], 0);
    EXPECT_GT(far[2], far[0]);
    // By the lamp red is added and the ground is lighter.
    EXPECT_GT(nearLamp[0], nearLamp[2]);
    EXPECT_LT(nearLamp[3], far[3]);

    map.cubes[1].top = map.cubes[0].top;
    EXPECT_FALSE(contentkit::bakeLightmaps(&map, {}, {}, eastSun(), &stats, &error));
    EXPECT_EQ(error, "face tile 0 is missing or shared; every face needs a tile of its own");
}

}  // namespace
