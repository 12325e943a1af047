// The bake: faces of the cube grid, texel positions on the two triangles
// the client draws, smooth normals from the cube corners, shadow rays
// marched over the ground and tested against the model boxes.
#include "tools/contentkit/import/lightmap_bake.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <thread>

namespace contentkit {

namespace {

using Vec = std::array<double, 3>;

Vec add(const Vec& a, const Vec& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec sub(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec mul(const Vec& a, double k) { return {a[0] * k, a[1] * k, a[2] * k}; }
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec unit(const Vec& a) {
    const double l = std::sqrt(dot(a, a));
    return l > 0 ? mul(a, 1.0 / l) : Vec{0, 0, 1};
}

// Texels sit from 0.125 to 0.875 of the lightmap across the face.
constexpr double kFaceStart = 0.125, kFaceSpan = 0.75;
// Shadow rays start this far off the face, so it cannot shade itself.
constexpr double kRayBias = 0.05;
constexpr double kHitTolerance = 0.01;

// The model boxes by where they stand, so a shadow ray tests the few boxes
// near its path rather than every box of the map: a large map with
// thousands of models otherwise costs texels x boxes tests.
class BoxIndex {
public:
    void build(const std::vector<BakeBox>& boxes, double minCell);
    // Whether a ray from o along d (within maxDistance) hits a box: the
    // same answer as testing every box with `hit`.
    template <typename Hit>
    bool any(const std::vector<BakeBox>& boxes, const Vec& o, const Vec& d, double maxDistance, Hit hit) const;

private:
    static constexpr int kMaxSide = 512;       // cells on a side
    static constexpr int kMaxBoxCells = 256;   // a box over more is tested on every ray
    static constexpr double kMargin = 0.01;    // footprints grow by this against rounding

    int cellX(double x) const { return std::clamp(static_cast<int>(std::floor((x - m_x0) / m_cell)), 0, m_w - 1); }
    int cellY(double y) const { return std::clamp(static_cast<int>(std::floor((y - m_y0) / m_cell)), 0, m_h - 1); }

    double m_x0 = 0, m_y0 = 0, m_cell = 1, m_top = 0;
    int m_w = 0, m_h = 0;
    std::vector<std::vector<std::uint32_t>> m_cells;
    std::vector<std::uint32_t> m_everywhere;
};

void BoxIndex::build(const std::vector<BakeBox>& boxes, double minCell) {
    if (boxes.empty()) return;
    double x0 = std::numeric_limits<double>::infinity(), y0 = x0, x1 = -x0, y1 = -x0;
    m_top = -std::numeric_limits<double>::infinity();
    for (const BakeBox& b : boxes) {
        const double r = std::hypot(b.halfX, b.halfZ) + kMargin;
        x0 = std::min(x0, b.x - r), x1 = std::max(x1, b.x + r);
        y0 = std::min(y0, b.y - r), y1 = std::max(y1, b.y + r);
        m_top = std::max(m_top, b.base + b.height);
    }
    m_x0 = x0, m_y0 = y0;
    m_cell = std::max({minCell, (x1 - x0) / kMaxSide, (y1 - y0) / kMaxSide});
    if (!(m_cell > 0) || !std::isfinite(m_cell) || !std::isfinite(m_top)) {
        m_w = m_h = 0;  // not finite: every ray tests every box
        for (std::uint32_t i = 0; i < boxes.size(); ++i) m_everywhere.push_back(i);
        return;
    }
    m_w = std::min(kMaxSide + 1, static_cast<int>((x1 - x0) / m_cell) + 1);
    m_h = std::min(kMaxSide + 1, static_cast<int>((y1 - y0) / m_cell) + 1);
    m_cells.assign(static_cast<std::size_t>(m_w) * static_cast<std::size_t>(m_h), {});
    for (std::uint32_t i = 0; i < boxes.size(); ++i) {
        const BakeBox& b = boxes[i];
        const double r = std::hypot(b.halfX, b.halfZ) + kMargin;
        const int cx0 = cellX(b.x - r), cx1 = cellX(b.x + r), cy0 = cellY(b.y - r), cy1 = cellY(b.y + r);
        if (static_cast<long long>(cx1 - cx0 + 1) * (cy1 - cy0 + 1) > kMaxBoxCells) {
            m_everywhere.push_back(i);
            continue;
        }
        for (int cy = cy0; cy <= cy1; ++cy)
            for (int cx = cx0; cx <= cx1; ++cx) m_cells[static_cast<std::size_t>(cx + cy * m_w)].push_back(i);
    }
}

template <typename Hit>
bool BoxIndex::any(const std::vector<BakeBox>& boxes, const Vec& o, const Vec& d, double maxDistance, Hit hit) const {
    for (std::uint32_t i : m_everywhere)
        if (hit(boxes[i], o, d, maxDistance)) return true;
    if (m_cells.empty()) return false;
    // A hit lies inside a box, so below the highest top: the ray's part
    // up to there (and a cell more, against rounding) is all that counts.
    double end = maxDistance;
    if (d[2] > 0) end = std::min(end, (m_top - o[2]) / d[2] + m_cell);
    if (end < 0) return false;
    const double across = end * std::hypot(d[0], d[1]);
    const double samples = std::ceil(across / m_cell);
    if (!std::isfinite(samples) || samples > 4.0 * (m_w + m_h)) {
        for (const BakeBox& b : boxes)  // a ray too flat to walk
            if (hit(b, o, d, maxDistance)) return true;
        return false;
    }
    // Samples at most a cell apart: every point of the path lies in a cell
    // next to a sample's, and a box is in every cell its footprint touches.
    const int n = static_cast<int>(samples);
    for (int k = 0; k <= n; ++k) {
        const double t = n == 0 ? 0.0 : end * k / n;
        const int cx = cellX(o[0] + d[0] * t), cy = cellY(o[1] + d[1] * t);
        for (int y = std::max(0, cy - 1); y <= std::min(m_h - 1, cy + 1); ++y)
            for (int x = std::max(0, cx - 1); x <= std::min(m_w - 1, cx + 1); ++x)
                for (std::uint32_t i : m_cells[static_cast<std::size_t>(x + y * m_w)])
                    if (hit(boxes[i], o, d, maxDistance)) return true;
    }
    return false;
}

struct Face {
    std::int32_t tile = 0;
    std::array<Vec, 4> v{};     // first to fourth vertex, as the client emits them
    std::array<Vec, 4> normal{};  // at each vertex
};

class Scene {
public:
    Scene(const RmapMap& map, const std::vector<BakeBox>& boxes, const std::vector<BakeLight>& lights,
          const BakeSettings& s)
        : m_map(map), m_boxes(boxes), m_lights(lights), m_settings(s) {
        m_cs = map.cubeSize;
        m_maxElevation = -std::numeric_limits<double>::infinity();
        for (const RmapCube& c : map.cubes) {
            for (float h : c.heights) m_maxElevation = std::max(m_maxElevation, -double(h));
        }
        for (const BakeBox& b : boxes) m_maxElevation = std::max(m_maxElevation, b.base + b.height);
        for (const BakeLight& l : lights) m_maxElevation = std::max(m_maxElevation, l.z);
        computeCornerNormals();
        m_boxIndex.build(boxes, 2 * m_cs);
    }

    std::vector<Face> faces() const;
    void bakeFace(const Face& face, std::uint8_t* texels) const;

    static double elevation(const RmapMap& map, double x, double y) {
        const double cs = map.cubeSize;
        const double fxAll = x / cs, fyAll = y / cs;
        if (!(fxAll >= 0 && fyAll >= 0 && fxAll < map.cubesWide && fyAll < map.cubesHigh))
            return -std::numeric_limits<double>::infinity();
        const int cx = static_cast<int>(fxAll), cy = static_cast<int>(fyAll);
        const double fx = fxAll - cx, fy = fyAll - cy;
        const auto& h = map.cubes[static_cast<std::size_t>(cx + cy * map.cubesWide)].heights;
        const double e00 = -h[0], e10 = -h[1], e01 = -h[2], e11 = -h[3];
        // (x0,y0)-(x1,y0)-(x1,y1) and (x0,y0)-(x1,y1)-(x0,y1), as GL splits the quad.
        if (fx >= fy) return e00 + fx * (e10 - e00) + fy * (e11 - e10);
        return e00 + fy * (e01 - e00) + fx * (e11 - e01);
    }

private:
    const RmapCube& cube(int x, int y) const { return m_map.cubes[static_cast<std::size_t>(x + y * m_map.cubesWide)]; }
    double e(int x, int y, int corner) const { return -double(cube(x, y).heights[static_cast<std::size_t>(corner)]); }
    void computeCornerNormals();
    bool occluded(const Vec& origin, const Vec& dir, double maxDistance) const;
    bool boxHit(const BakeBox& b, const Vec& o, const Vec& d, double maxDistance) const;
    Rgb light(const Vec& p, const Vec& n) const;

    const RmapMap& m_map;
    const std::vector<BakeBox>& m_boxes;
    const std::vector<BakeLight>& m_lights;
    const BakeSettings& m_settings;
    double m_cs = 10, m_maxElevation = 0;
    std::vector<std::array<Vec, 4>> m_cornerNormals;  // per cube, corner order of the file
    BoxIndex m_boxIndex;
};

// A corner's normal averages the tops that meet there at the same height,
// so hills shade smoothly and cliff edges stay sharp.
void Scene::computeCornerNormals() {
    const int w = m_map.cubesWide, hgt = m_map.cubesHigh;
    std::vector<Vec> faceNormal(m_map.cubes.size());
    for (int y = 0; y < hgt; ++y) {
        for (int x = 0; x < w; ++x) {
            const double gx = ((e(x, y, 1) + e(x, y, 3)) - (e(x, y, 0) + e(x, y, 2))) / (2 * m_cs);
            const double gy = ((e(x, y, 2) + e(x, y, 3)) - (e(x, y, 0) + e(x, y, 1))) / (2 * m_cs);
            faceNormal[static_cast<std::size_t>(x + y * w)] = unit({-gx, -gy, 1.0});
        }
    }
    m_cornerNormals.assign(m_map.cubes.size(), {});
    const int dx[4] = {0, 1, 0, 1}, dy[4] = {0, 0, 1, 1};
    for (int y = 0; y < hgt; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int k = 0; k < 4; ++k) {
                const int px = x + dx[k], py = y + dy[k];
                Vec sum{0, 0, 0};
                for (int m = 0; m < 4; ++m) {
                    const int nx = px - dx[m], ny = py - dy[m];
                    if (nx < 0 || ny < 0 || nx >= w || ny >= hgt) continue;
                    if (std::fabs(e(nx, ny, m) - e(x, y, k)) > kHitTolerance) continue;
                    sum = add(sum, faceNormal[static_cast<std::size_t>(nx + ny * w)]);
                }
                m_cornerNormals[static_cast<std::size_t>(x + y * w)][static_cast<std::size_t>(k)] = unit(sum);
            }
        }
    }
}

std::vector<Face> Scene::faces() const {
    std::vector<Face> out;
    const int w = m_map.cubesWide, hgt = m_map.cubesHigh;
    for (int y = 0; y < hgt; ++y) {
        for (int x = 0; x < w; ++x) {
            const RmapCube& c = cube(x, y);
            const double x0 = x * m_cs, x1 = (x + 1) * m_cs, y0 = y * m_cs, y1 = (y + 1) * m_cs;
            if (c.wallY != kRmapNoTile && y + 1 < hgt) {
                Face f;
                f.tile = c.wallY;
                f.v = {Vec{x0, y1, e(x, y, 2)}, Vec{x1, y1, e(x, y, 3)}, Vec{x1, y1, e(x, y + 1, 1)},
                       Vec{x0, y1, e(x, y + 1, 0)}};
                const bool facesPlus = e(x, y, 2) + e(x, y, 3) > e(x, y + 1, 0) + e(x, y + 1, 1);
                f.normal.fill(Vec{0, facesPlus ? 1.0 : -1.0, 0});
                out.push_back(f);
            }
            if (c.wallX != kRmapNoTile && x + 1 < w) {
                Face f;
                f.tile = c.wallX;
                f.v = {Vec{x1, y1, e(x, y, 3)}, Vec{x1, y0, e(x, y, 1)}, Vec{x1, y0, e(x + 1, y, 0)},
                       Vec{x1, y1, e(x + 1, y, 2)}};
                const bool facesPlus = e(x, y, 1) + e(x, y, 3) > e(x + 1, y, 0) + e(x + 1, y, 2);
                f.normal.fill(Vec{facesPlus ? 1.0 : -1.0, 0, 0});
                out.push_back(f);
            }
            if (c.top != kRmapNoTile) {
                Face f;
                f.tile = c.top;
                f.v = {Vec{x0, y0, e(x, y, 0)}, Vec{x1, y0, e(x, y, 1)}, Vec{x1, y1, e(x, y, 3)},
                       Vec{x0, y1, e(x, y, 2)}};
                const auto& n = m_cornerNormals[static_cast<std::size_t>(x + y * w)];
                f.normal = {n[0], n[1], n[3], n[2]};
                out.push_back(f);
            }
        }
    }
    return out;
}

// Slab test in the box's own frame.
bool Scene::boxHit(const BakeBox& b, const Vec& o, const Vec& d, double maxDistance) const {
    const double c = std::cos(b.yaw), s = std::sin(b.yaw);
    const double ox = o[0] - b.x, oy = o[1] - b.y;
    const double lo[3] = {ox * c - oy * s, ox * s + oy * c, o[2] - b.base};
    const double ld[3] = {d[0] * c - d[1] * s, d[0] * s + d[1] * c, d[2]};
    const double minB[3] = {-b.halfX, -b.halfZ, 0}, maxB[3] = {b.halfX, b.halfZ, b.height};
    double t0 = 0, t1 = maxDistance;
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(ld[i]) < 1e-12) {
            if (lo[i] < minB[i] || lo[i] > maxB[i]) return false;
            continue;
        }
        double a = (minB[i] - lo[i]) / ld[i], z = (maxB[i] - lo[i]) / ld[i];
        if (a > z) std::swap(a, z);
        t0 = std::max(t0, a);
        t1 = std::min(t1, z);
        if (t0 > t1) return false;
    }
    return true;
}

bool Scene::occluded(const Vec& origin, const Vec& dir, double maxDistance) const {
    const auto hit = [this](const BakeBox& b, const Vec& o, const Vec& d, double distance) {
        return boxHit(b, o, d, distance);
    };
    if (m_boxIndex.any(m_boxes, origin, dir, maxDistance, hit)) return true;
    const double step = m_cs / 8.0;
    double end = maxDistance;
    if (dir[2] > 1e-9) end = std::min(end, (m_maxElevation - origin[2]) / dir[2]);
    const double width = m_map.cubesWide * m_cs, height = m_map.cubesHigh * m_cs;
    for (double t = step * 0.5; t <= end; t += step) {
        const Vec p = add(origin, mul(dir, t));
        if (p[0] < 0 || p[1] < 0 || p[0] >= width || p[1] >= height) return false;
        if (elevation(m_map, p[0], p[1]) > p[2] + kHitTolerance) return true;
    }
    return false;
}

Rgb Scene::light(const Vec& p, const Vec& n) const {
    Rgb sum = m_settings.ambient;
    const Vec origin = add(p, mul(n, kRayBias));
    const double sun = dot(n, m_settings.sun);
    if (sun > 0 && !occluded(origin, m_settings.sun, std::numeric_limits<double>::infinity())) {
        for (int c = 0; c < 3; ++c) sum[c] += m_settings.sunColour[c] * sun;
    }
    for (const BakeLight& l : m_lights) {
        const Vec toLight = sub(Vec{l.x, l.y, l.z}, origin);
        const double distance = std::sqrt(dot(toLight, toLight));
        if (distance >= l.radius || distance < 1e-6) continue;
        const Vec dir = mul(toLight, 1.0 / distance);
        const double facing = dot(n, dir);
        if (facing <= 0 || occluded(origin, dir, distance)) continue;
        const double fall = (1.0 - distance / l.radius) * (1.0 - distance / l.radius);
        for (int c = 0; c < 3; ++c) sum[c] += l.colour[c] * facing * fall;
    }
    return sum;
}

// Texels in steps of 8 of 255: finer than the client's compressed lightmaps
// keep anyway, and coarse enough that neighbouring faces often come out
// equal, share one lightmap and spare the ground's display lists a texture
// switch each (a third of the lightmaps of the demo map, frames 1.2 ms
// faster in the draw).
constexpr long kTexelStep = 8;

std::uint8_t toByte(double v) {
    const long q = std::lround(std::clamp(v, 0.0, 1.0) * 255.0 / kTexelStep) * kTexelStep;
    return static_cast<std::uint8_t>(std::min(255L, q));
}

void Scene::bakeFace(const Face& face, std::uint8_t* texels) const {
    const int n = m_settings.size;
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            const double a = std::clamp(((i + 0.5) / n - kFaceStart) / kFaceSpan, 0.0, 1.0);
            const double b = std::clamp(((j + 0.5) / n - kFaceStart) / kFaceSpan, 0.0, 1.0);
            const Vec p = a >= b ? add(face.v[0], add(mul(sub(face.v[1], face.v[0]), a), mul(sub(face.v[2], face.v[1]), b)))
                                 : add(face.v[0], add(mul(sub(face.v[3], face.v[0]), b), mul(sub(face.v[2], face.v[3]), a)));
            const Vec normal = unit(add(add(mul(face.normal[0], (1 - a) * (1 - b)), mul(face.normal[1], a * (1 - b))),
                                        add(mul(face.normal[2], a * b), mul(face.normal[3], (1 - a) * b))));
            const Rgb l = light(p, normal);
            // What the client can show: darkness in alpha, the colour on top.
            const double keep = std::min(1.0, std::min({l[0], l[1], l[2]}));
            std::uint8_t* t = texels + (static_cast<std::size_t>(j) * n + i) * 4;
            for (int c = 0; c < 3; ++c) {
                t[c] = keep > 1e-3 ? toByte(m_settings.groundLevel * (l[c] / keep - 1.0)) : 0;
            }
            t[3] = toByte(1.0 - keep);
        }
    }
}

}  // namespace

double groundElevation(const RmapMap& map, double x, double y) { return Scene::elevation(map, x, y); }

bool bakeLightmaps(RmapMap* map, const std::vector<BakeBox>& boxes, const std::vector<BakeLight>& lights,
                   const BakeSettings& settings, BakeStats* stats, std::string* error) {
    if (settings.size < 4 || settings.size > 32) {
        *error = "a lightmap of " + std::to_string(settings.size) + " texels a side is not one the bake makes (4 to 32)";
        return false;
    }
    if (!(settings.sun[2] > 0)) {
        *error = "the sun must stand above the horizon";
        return false;
    }
    if (map->cubes.size() != static_cast<std::size_t>(map->cubesWide) * static_cast<std::size_t>(map->cubesHigh)) {
        *error = "the cube grid does not match its size";
        return false;
    }
    const Scene scene(*map, boxes, lights, settings);
    const std::vector<Face> faces = scene.faces();
    std::vector<bool> seen(map->tiles.size(), false);
    for (const Face& f : faces) {
        if (f.tile < 0 || static_cast<std::size_t>(f.tile) >= map->tiles.size() || seen[static_cast<std::size_t>(f.tile)]) {
            *error = "face tile " + std::to_string(f.tile) + " is missing or shared; every face needs a tile of its own";
            return false;
        }
        seen[static_cast<std::size_t>(f.tile)] = true;
    }
    const std::size_t bytes = static_cast<std::size_t>(settings.size) * settings.size * 4;
    std::vector<std::uint8_t> texels(faces.size() * bytes);
    const unsigned threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < threads; ++w) {
        workers.emplace_back([&, w] {
            for (std::size_t i = w; i < faces.size(); i += threads) scene.bakeFace(faces[i], &texels[i * bytes]);
        });
    }
    for (std::thread& t : workers) t.join();

    map->lightmaps.clear();
    map->lightmapWidth = map->lightmapHeight = settings.size;
    std::map<Bytes, std::int32_t> shared;
    for (std::size_t i = 0; i < faces.size(); ++i) {
        Bytes key(texels.begin() + static_cast<std::ptrdiff_t>(i * bytes),
                  texels.begin() + static_cast<std::ptrdiff_t>((i + 1) * bytes));
        auto found = shared.find(key);
        if (found == shared.end()) {
            found = shared.emplace(key, static_cast<std::int32_t>(map->lightmaps.size())).first;
            map->lightmaps.push_back({static_cast<std::uint8_t>(kLightmapColour | kLightmapAlpha), key});
        }
        map->tiles[static_cast<std::size_t>(faces[i].tile)].lightmap = found->second;
    }
    stats->faces = faces.size();
    stats->lightmaps = map->lightmaps.size();
    return true;
}

}  // namespace contentkit
