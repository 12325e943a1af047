// The demo map generator. Heights are computed as an elevation that grows
// upwards and stored negated: the client draws a map height h at -h on its
// up axis, so rising ground has falling heights. Only + - * / and sqrt are
// used on the terrain, which IEEE arithmetic rounds the same way every run.
#include "tools/contentkit/demo_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

#include "tools/contentkit/info.h"

namespace contentkit {

namespace {

// The RMAP file carries the client's first-map name with ".rmap".
constexpr bool rmapNamedAfterMap() {
    std::size_t i = 0;
    for (; kFirstMapName[i] != '\0'; ++i) {
        if (kFirstMapRmap[i] != kFirstMapName[i]) return false;
    }
    const char ext[] = ".rmap";
    for (std::size_t k = 0; k < sizeof ext; ++k) {
        if (kFirstMapRmap[i + k] != ext[k]) return false;
    }
    return true;
}
static_assert(rmapNamedAfterMap(), "kFirstMapRmap must be kFirstMapName plus .rmap");

constexpr int kCubesWide = 96;
constexpr int kCubesHigh = 112;
constexpr int kCellsPerCube = 2;
constexpr float kCubeSize = 10.0f;
constexpr int kWaterType = 1;
constexpr double kWaterElevation = -4.0;
constexpr int kLightmapEdge = 4;

// Ground texture slots, in the map's texture order.
enum Slot { kGrass, kRock, kSand, kCliff, kSlotCount };
constexpr std::int32_t kGroundTextureIds[kSlotCount] = {300, 301, 302, 303};
constexpr GroundLook kGroundLooks[kSlotCount] = {GroundLook::Grass, GroundLook::Rock, GroundLook::Sand,
                                                 GroundLook::CliffWall};

// Lightmap slots: six slope shades (alpha only), two wall shades, then the
// warm plateau light and the wet shore (colour and alpha).
constexpr int kShadeCount = 6;
constexpr int kWallLitMap = 6, kWallShadowMap = 7, kSunMap = 8, kShoreMap = 9;

constexpr std::int32_t kTree = 1, kHouse = 2, kWindmill = 3, kCrate = 4;

struct Lcg {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    int range(int low, int high) {
        return low + static_cast<int>(next() % static_cast<std::uint32_t>(high - low + 1));
    }
};

struct Bump {
    double x, y, radius, height;
};

// Smooth bump of zero slope at its rim.
double bump(const Bump& b, double x, double y) {
    const double d2 = ((x - b.x) * (x - b.x) + (y - b.y) * (y - b.y)) / (b.radius * b.radius);
    return d2 < 1.0 ? b.height * (1.0 - d2) * (1.0 - d2) : 0.0;
}

const Bump kLake = {66.0, 100.0, 9.0, -12.0};

std::vector<Bump> hills() {
    std::vector<Bump> out = {{20, 20, 14, 16}, {48, 30, 10, 9},  {80, 18, 12, 12},  {14, 70, 16, 18},
                             {40, 62, 9, 7},   {90, 60, 11, 10}, {30, 100, 12, 11}, {58, 84, 6, 3},
                             {92, 90, 7, 5},   {76, 70, 8, 6}};
    Lcg rng{20261208u};
    for (int i = 0; i < 24; ++i) {
        const Bump b = {double(rng.range(0, kCubesWide)), double(rng.range(0, kCubesHigh)),
                        double(rng.range(3, 7)), double(rng.range(1, 5))};
        const double dx = b.x - kLake.x, dy = b.y - kLake.y;
        if (dx * dx + dy * dy < (kLake.radius + b.radius) * (kLake.radius + b.radius)) continue;
        out.push_back(b);
    }
    return out;
}

// --- Terrain ---

struct Terrain {
    std::vector<std::array<double, 4>> corners;  // elevation per cube, corner order of the file
    std::vector<bool> plateau;
};

bool onPlateau(int x, int y) { return x >= 82 && x <= 90 && y >= 98 && y <= 106; }
bool onStoneWall(int x, int y) { return y == 88 && x >= 58 && x <= 73 && x != 65; }

Terrain makeTerrain() {
    const std::vector<Bump> bumps = hills();
    std::vector<double> grid(static_cast<std::size_t>((kCubesWide + 1) * (kCubesHigh + 1)));
    for (int y = 0; y <= kCubesHigh; ++y) {
        for (int x = 0; x <= kCubesWide; ++x) {
            double e = bump(kLake, x, y);
            for (const Bump& b : bumps) e += bump(b, x, y);
            grid[static_cast<std::size_t>(x + y * (kCubesWide + 1))] = e;
        }
    }
    Terrain t;
    t.corners.resize(static_cast<std::size_t>(kCubesWide * kCubesHigh));
    t.plateau.resize(t.corners.size());
    for (int y = 0; y < kCubesHigh; ++y) {
        for (int x = 0; x < kCubesWide; ++x) {
            const std::size_t i = static_cast<std::size_t>(x + y * kCubesWide);
            // Plateau and wall cubes are lifted whole, which opens the gaps the walls close.
            const double lift = onPlateau(x, y) ? 14.0 : onStoneWall(x, y) ? 3.0 : 0.0;
            auto at = [&](int gx, int gy) {
                return grid[static_cast<std::size_t>(gx + gy * (kCubesWide + 1))] + lift;
            };
            t.corners[i] = {at(x, y), at(x + 1, y), at(x, y + 1), at(x + 1, y + 1)};
            t.plateau[i] = onPlateau(x, y);
        }
    }
    return t;
}

const std::array<double, 4>& cornersOf(const Terrain& t, int x, int y) {
    return t.corners[static_cast<std::size_t>(x + y * kCubesWide)];
}

// Stored height of an elevation; 0 - e keeps flat ground at +0.
float heightOf(double elevation) { return static_cast<float>(0.0 - elevation); }

bool edgeDiffers(double a0, double a1, double b0, double b1) {
    return std::fabs(a0 - b0) > 0.01 || std::fabs(a1 - b1) > 0.01;
}

bool hasWallX(const Terrain& t, int x, int y) {
    if (x + 1 >= kCubesWide) return false;
    const auto& c = cornersOf(t, x, y);
    const auto& n = cornersOf(t, x + 1, y);
    return edgeDiffers(c[1], c[3], n[0], n[2]);
}

bool hasWallY(const Terrain& t, int x, int y) {
    if (y + 1 >= kCubesHigh) return false;
    const auto& c = cornersOf(t, x, y);
    const auto& n = cornersOf(t, x, y + 1);
    return edgeDiffers(c[2], c[3], n[0], n[1]);
}

bool touchesWall(const Terrain& t, int x, int y) {
    return hasWallX(t, x, y) || hasWallY(t, x, y) || (x > 0 && hasWallX(t, x - 1, y)) ||
           (y > 0 && hasWallY(t, x, y - 1));
}

bool underWater(const std::array<double, 4>& c) { return *std::min_element(c.begin(), c.end()) < kWaterElevation; }

double relief(const std::array<double, 4>& c) {
    return *std::max_element(c.begin(), c.end()) - *std::min_element(c.begin(), c.end());
}

// Shade class of a top face lit from the north-west, 0 (lit) to kShadeCount - 1.
int shadeOf(const std::array<double, 4>& c) {
    const double gx = ((c[1] + c[3]) - (c[0] + c[2])) / (2.0 * kCubeSize);
    const double gy = ((c[2] + c[3]) - (c[0] + c[1])) / (2.0 * kCubeSize);
    const double lx = -0.5, ly = -0.5, lz = 0.7071067811865476;
    const double lit = (-gx * lx - gy * ly + lz) / std::sqrt(gx * gx + gy * gy + 1.0);
    const double dark = std::clamp((0.95 - lit) * 250.0, 0.0, 110.0);
    return std::min(kShadeCount - 1, static_cast<int>(dark / 22.0 + 0.5));
}

// --- Tiles and cubes ---

class TileTable {
public:
    explicit TileTable(std::vector<RmapTile>* tiles) : m_tiles(tiles) {}

    std::int32_t add(const RmapTile& tile) {
        Bytes key;
        ByteWriter w(&key);
        for (int i = 0; i < 4; ++i) {
            w.f32(tile.u[i]);
            w.f32(tile.v[i]);
        }
        w.i32(tile.texture);
        w.i32(tile.lightmap);
        const auto found = m_index.find(key);
        if (found != m_index.end()) return found->second;
        const std::int32_t index = static_cast<std::int32_t>(m_tiles->size());
        m_tiles->push_back(tile);
        m_index.emplace(key, index);
        return index;
    }

private:
    std::vector<RmapTile>* m_tiles;
    std::map<Bytes, std::int32_t> m_index;
};

RmapTile topTile(const Terrain& t, int x, int y) {
    const auto& c = cornersOf(t, x, y);
    RmapTile tile;
    // The ground textures repeat every two cubes.
    const float u0 = static_cast<float>(x % 2) * 0.5f, v0 = static_cast<float>(y % 2) * 0.5f;
    tile.u = {u0, u0 + 0.5f, u0, u0 + 0.5f};
    tile.v = {v0, v0, v0 + 0.5f, v0 + 0.5f};
    tile.colour = {255, 255, 255, 255};
    const bool plateau = t.plateau[static_cast<std::size_t>(x + y * kCubesWide)];
    const bool shore = *std::min_element(c.begin(), c.end()) < kWaterElevation + 2.0;
    tile.texture = plateau ? kRock : shore ? kSand : relief(c) > 5.0 ? kRock : kGrass;
    tile.lightmap = plateau ? kSunMap : shore ? kShoreMap : shadeOf(c);
    return tile;
}

// A wall from this cube's edge (v 0) down or up to the neighbour's (v by drop).
RmapTile wallTile(double drop, bool facingX) {
    RmapTile tile;
    const float v = static_cast<float>(std::round(std::fabs(drop) * 10.0) / 100.0);
    tile.u = {0.0f, 1.0f, 0.0f, 1.0f};
    tile.v = {0.0f, 0.0f, v, v};
    tile.colour = {200, 200, 200, 255};
    tile.texture = kCliff;
    tile.lightmap = facingX ? kWallLitMap : kWallShadowMap;
    return tile;
}

void addCubes(const Terrain& t, RmapMap* map) {
    TileTable table(&map->tiles);
    map->cubes.resize(static_cast<std::size_t>(kCubesWide * kCubesHigh));
    for (int y = 0; y < kCubesHigh; ++y) {
        for (int x = 0; x < kCubesWide; ++x) {
            const auto& c = cornersOf(t, x, y);
            RmapCube& cube = map->cubes[static_cast<std::size_t>(x + y * kCubesWide)];
            for (int k = 0; k < 4; ++k) cube.heights[k] = heightOf(c[k]);
            cube.water = underWater(c);
            cube.top = table.add(topTile(t, x, y));
            if (hasWallX(t, x, y)) {
                const auto& n = cornersOf(t, x + 1, y);
                cube.wallX = table.add(wallTile(std::max(std::fabs(c[1] - n[0]), std::fabs(c[3] - n[2])), true));
            }
            if (hasWallY(t, x, y)) {
                const auto& n = cornersOf(t, x, y + 1);
                cube.wallY = table.add(wallTile(std::max(std::fabs(c[2] - n[0]), std::fabs(c[3] - n[1])), false));
            }
        }
    }
}

// --- Lightmaps ---

RmapLightmap uniformLightmap(std::uint8_t flags, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
    RmapLightmap lm;
    lm.flags = flags;
    for (int i = 0; i < kLightmapEdge * kLightmapEdge; ++i) lm.texels.insert(lm.texels.end(), {r, g, b, a});
    return lm;
}

void addLightmaps(RmapMap* map) {
    map->lightmapWidth = kLightmapEdge;
    map->lightmapHeight = kLightmapEdge;
    for (int s = 0; s < kShadeCount; ++s) {
        map->lightmaps.push_back(uniformLightmap(0, 0, 0, 0, static_cast<std::uint8_t>(s * 22)));
    }
    map->lightmaps.push_back(uniformLightmap(0, 0, 0, 0, 60));
    map->lightmaps.push_back(uniformLightmap(0, 0, 0, 0, 120));
    const std::uint8_t both = kLightmapColour | kLightmapAlpha;
    map->lightmaps.push_back(uniformLightmap(both, 36, 26, 8, 0));
    map->lightmaps.push_back(uniformLightmap(both, 0, 10, 18, 50));
}

// --- Vk-cells and models ---

constexpr int kCellsWide = kCubesWide * kCellsPerCube;
constexpr int kCellsHigh = kCubesHigh * kCellsPerCube;
constexpr float kCellSize = kCubeSize / kCellsPerCube;

struct CellGrid {
    std::vector<std::array<double, 4>> elevation;  // per cell, corner order of the file
    std::vector<bool> blocked;
    std::vector<bool> wet;
};

CellGrid makeCells(const Terrain& t) {
    CellGrid g;
    const std::size_t count = static_cast<std::size_t>(kCellsWide * kCellsHigh);
    g.elevation.resize(count);
    g.blocked.resize(count);
    g.wet.resize(count);
    for (int b = 0; b < kCellsHigh; ++b) {
        for (int a = 0; a < kCellsWide; ++a) {
            const int x = a / kCellsPerCube, y = b / kCellsPerCube;
            const auto& c = cornersOf(t, x, y);
            auto lerp = [&c](double fx, double fy) {
                return c[0] * (1 - fx) * (1 - fy) + c[1] * fx * (1 - fy) + c[2] * (1 - fx) * fy + c[3] * fx * fy;
            };
            const double x0 = double(a % kCellsPerCube) / kCellsPerCube, x1 = x0 + 1.0 / kCellsPerCube;
            const double y0 = double(b % kCellsPerCube) / kCellsPerCube, y1 = y0 + 1.0 / kCellsPerCube;
            const std::size_t i = static_cast<std::size_t>(a + b * kCellsWide);
            g.elevation[i] = {lerp(x0, y0), lerp(x1, y0), lerp(x0, y1), lerp(x1, y1)};
            const double mean =
                (g.elevation[i][0] + g.elevation[i][1] + g.elevation[i][2] + g.elevation[i][3]) * 0.25;
            g.wet[i] = mean < kWaterElevation;
            g.blocked[i] = g.wet[i] || relief(c) > 7.0 || touchesWall(t, x, y);
        }
    }
    return g;
}

// Claims a square of cells for a model; false when any of them is taken.
bool claim(CellGrid* g, int col, int row, int radius) {
    for (int pass = 0; pass < 2; ++pass) {
        for (int b = row - radius; b <= row + radius; ++b) {
            for (int a = col - radius; a <= col + radius; ++a) {
                if (a < 0 || b < 0 || a >= kCellsWide || b >= kCellsHigh) return false;
                const std::size_t i = static_cast<std::size_t>(a + b * kCellsWide);
                if (pass == 0 && g->blocked[i]) return false;
                if (pass == 1) g->blocked[i] = true;
            }
        }
    }
    return true;
}

void place(RmapMap* map, CellGrid* g, std::int32_t id, int col, int row, int radius, float yaw, float scale) {
    if (!claim(g, col, row, radius)) return;
    const auto& e = g->elevation[static_cast<std::size_t>(col + row * kCellsWide)];
    RmapModel m;
    // Models sit in the frame the client centres the ground in.
    m.position = {(static_cast<float>(col) + 0.5f) * kCellSize - kCubesWide * kCellSize,
                  heightOf((e[0] + e[1] + e[2] + e[3]) * 0.25),
                  (static_cast<float>(row) + 0.5f) * kCellSize - kCubesHigh * kCellSize};
    m.rotation = {0.0f, yaw, 0.0f};
    m.scale = {scale, scale, scale};
    m.modelId = id;
    map->models.push_back(m);
}

void addModels(RmapMap* map, CellGrid* g) {
    place(map, g, kWindmill, 173, 205, 2, 30.0f, 2.0f);
    const int houses[][2] = {{136, 166}, {162, 170}, {146, 196}, {118, 184}};
    for (const auto& h : houses) {
        const std::size_t before = map->models.size();
        place(map, g, kHouse, h[0], h[1], 2, static_cast<float>(h[0] % 4) * 90.0f, 1.5f);
        if (map->models.size() == before) continue;
        place(map, g, kCrate, h[0] + 4, h[1] + 1, 0, 20.0f, 1.0f);
        place(map, g, kCrate, h[0] - 1, h[1] + 4, 0, 65.0f, 1.0f);
    }
    Lcg rng{77001u};
    for (int i = 0; i < 120 && map->models.size() < 48; ++i) {
        // Most trees stand around the start cell, the rest anywhere.
        const bool near = i % 4 != 3;
        const int col = near ? rng.range(110, 190) : rng.range(2, kCellsWide - 3);
        const int row = near ? rng.range(140, 220) : rng.range(2, kCellsHigh - 3);
        place(map, g, kTree, col, row, 1, static_cast<float>(rng.range(0, 23) * 15),
              1.6f + static_cast<float>(rng.range(0, 8)) * 0.1f);
    }
}

void addLayers(const CellGrid& g, RmapMap* map) {
    map->layers.assign(2, std::vector<RmapCell>(g.elevation.size()));
    for (std::size_t i = 0; i < g.elevation.size(); ++i) {
        RmapCell& ground = map->layers[0][i];
        for (int k = 0; k < 4; ++k) ground.heights[k] = heightOf(g.elevation[i][k]);
        ground.walkable = !g.blocked[i];
        // The second layer floats on the lake: boats cross what walkers cannot.
        RmapCell& boat = map->layers[1][i];
        boat = ground;
        if (g.wet[i]) {
            boat.heights.fill(heightOf(kWaterElevation));
            boat.walkable = true;
        }
    }
}

// The lists the client loads and keeps: a marker mesh, ambient sounds, an
// effect and two lights near the start.
void addKeptLists(RmapMap* map) {
    RmapMesh mesh;
    mesh.word = 1;
    mesh.offsetP = {-95.0f, 0.0f, -85.0f};
    RmapFace face;
    face.vertices = {0, 0, 0, 10, 0, 0, 0, 0, 10};
    face.texture = kRock;
    mesh.faces.push_back(face);
    mesh.keys.push_back({0, {0.0f, 0.0f, 0.0f, 1.0f}});
    map->meshes.push_back(mesh);
    RmapSoundEffect birds, water;
    birds.words = {1, 300, 100, 0, 0, 0, 0, 0};
    water.words = {2, 330, 500, 1, 0, 0, 0, 0};
    map->soundEffects = {birds, water};
    map->effects.push_back({1, 153, 185, 0});
    map->lights.push_back({1, 150, 180, 255, 230, 200});
    map->lights.push_back({2, 132, 200, 180, 200, 255});
}

// --- Files ---

bool writeWhole(const std::filesystem::path& path, const Bytes& data, std::string* error) {
    std::FILE* f = std::fopen(path.string().c_str(), "wb");
    if (!f) {
        *error = "cannot create " + path.string();
        return false;
    }
    const bool written = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (std::fclose(f) != 0 || !written) {
        *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

MapIni demoMapIni() {
    MapIni ini;
    ini.rmap = kFirstMapRmap;
    ini.name = kFirstMapName;
    // The start-up camera (angle 85.4, distance 185, vertical 6) must sit inside the limits.
    ini.initAngle = 85.4f;
    ini.initDist = 185.0f;
    ini.initVert = 6.0f;
    ini.distMin = 63.0f;
    ini.distMax = 220.0f;
    ini.vertMin = 1.5f;
    ini.vertMax = 6.0f;
    return ini;
}

}  // namespace

DemoMapContent demoMapContent() {
    DemoMapContent c;
    for (int s = 0; s < kSlotCount; ++s) c.groundTextures.push_back({kGroundTextureIds[s], kGroundLooks[s]});
    c.textureIds.assign(std::begin(kGroundTextureIds), std::end(kGroundTextureIds));
    std::sort(c.textureIds.begin(), c.textureIds.end());
    c.modelIds = {kTree, kHouse, kWindmill, kCrate};
    std::sort(c.modelIds.begin(), c.modelIds.end());
    c.waterTypes = {kWaterType};
    c.rmapPath = std::string("data/map/") + kFirstMapRmap;
    c.iniPath = std::string("data/map/") + kFirstMapName + ".ini";
    return c;
}

RmapMap buildDemoRmap() {
    RmapMap map;
    map.cellsWide = kCellsWide;
    map.cellsHigh = kCellsHigh;
    map.cubesWide = kCubesWide;
    map.cubesHigh = kCubesHigh;
    map.cubeSize = kCubeSize;
    map.hasWater = true;
    map.waterType = kWaterType;
    map.waterLevel = heightOf(kWaterElevation);
    map.sceneTint = {1.0f, 0.98f, 0.94f};
    map.textures.assign(std::begin(kGroundTextureIds), std::end(kGroundTextureIds));
    const Terrain terrain = makeTerrain();
    addLightmaps(&map);
    addCubes(terrain, &map);
    CellGrid cells = makeCells(terrain);
    addModels(&map, &cells);
    addLayers(cells, &map);
    addKeptLists(&map);
    return map;
}

bool buildDemoMapFiles(Bytes* rmap, Bytes* ini, std::string* error) {
    if (!writeRmap(buildDemoRmap(), rmap, error)) return false;
    IniFile file;
    return buildMapIni(demoMapIni(), &file, error) && writeIni(file, ini, error);
}

bool writeDemoMap(const std::string& gameDir, std::string* error) { return writeDemoMap(gameDir, nullptr, error); }

bool writeDemoMap(const std::string& gameDir, DemoMapContent* content, std::string* error) {
    const DemoMapContent c = demoMapContent();
    Bytes rmap, ini;
    if (!buildDemoMapFiles(&rmap, &ini, error)) {
        *error = "demo map: " + *error;
        return false;
    }
    const std::filesystem::path root(gameDir);
    std::error_code ec;
    std::filesystem::create_directories(root / "data" / "map", ec);
    if (ec) {
        *error = "cannot create " + (root / "data" / "map").string() + ": " + ec.message();
        return false;
    }
    if (!writeWhole(root / c.rmapPath, rmap, error) || !writeWhole(root / c.iniPath, ini, error)) return false;
    if (content) *content = c;
    return true;
}

}  // namespace contentkit
