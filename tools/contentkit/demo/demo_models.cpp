// Demo model geometry: boxes, pyramids and blades out of textured triangles.
#include "tools/contentkit/demo/demo_models.h"

#include <utility>

namespace contentkit {

namespace {

using St = std::array<float, 2>;

void addTriangle(RmdlMesh* mesh, std::int32_t texture, const Vec3& a, const Vec3& b, const Vec3& c,
                 const St& sa, const St& sb, const St& sc) {
    RmdlSurface s;
    s.textureId = texture;
    s.vertices = {a, b, c};
    s.texCoords = {sa, sb, sc};
    mesh->surfaces.push_back(s);
}

// Corners counter-clockwise seen from the front; the texture spans
// `repeatS` x `repeatT` times across the quad.
void addQuad(RmdlMesh* mesh, std::int32_t texture, const Vec3& a, const Vec3& b, const Vec3& c,
             const Vec3& d, float repeatS = 1.0f, float repeatT = 1.0f) {
    const St sa{0, repeatT}, sb{repeatS, repeatT}, sc{repeatS, 0}, sd{0, 0};
    addTriangle(mesh, texture, a, b, c, sa, sb, sc);
    addTriangle(mesh, texture, a, c, d, sa, sc, sd);
}

// A box from `lo` to `hi`, optionally with a top narrowed by `taper` on
// each side (0: upright walls), without its bottom face.
void addBox(RmdlMesh* mesh, std::int32_t texture, const Vec3& lo, const Vec3& hi, float taper = 0.0f,
            float repeat = 1.0f) {
    const float x0 = lo[0], y0 = lo[1], z0 = lo[2], x1 = hi[0], y1 = hi[1], z1 = hi[2];
    const float tx0 = x0 + taper, tx1 = x1 - taper, tz0 = z0 + taper, tz1 = z1 - taper;
    addQuad(mesh, texture, {x0, y0, z1}, {x1, y0, z1}, {tx1, y1, tz1}, {tx0, y1, tz1}, repeat, repeat);  // front
    addQuad(mesh, texture, {x1, y0, z0}, {x0, y0, z0}, {tx0, y1, tz0}, {tx1, y1, tz0}, repeat, repeat);  // back
    addQuad(mesh, texture, {x0, y0, z0}, {x0, y0, z1}, {tx0, y1, tz1}, {tx0, y1, tz0}, repeat, repeat);  // left
    addQuad(mesh, texture, {x1, y0, z1}, {x1, y0, z0}, {tx1, y1, tz0}, {tx1, y1, tz1}, repeat, repeat);  // right
    addQuad(mesh, texture, {tx0, y1, tz1}, {tx1, y1, tz1}, {tx1, y1, tz0}, {tx0, y1, tz0});              // top
}

// Four sides from a rectangular base at height `y` up to `apex`.
void addPyramid(RmdlMesh* mesh, std::int32_t texture, float x0, float z0, float x1, float z1, float y,
                const Vec3& apex) {
    const Vec3 corners[4] = {{x0, y, z1}, {x1, y, z1}, {x1, y, z0}, {x0, y, z0}};
    for (int i = 0; i < 4; ++i) {
        addTriangle(mesh, texture, corners[i], corners[(i + 1) % 4], apex, {0, 1}, {1, 1}, {0.5f, 0});
    }
}

// A roof ridge along x: two sloped quads and two gable triangles.
void addGableRoof(RmdlMesh* mesh, std::int32_t roof, std::int32_t gable, const Vec3& lo, const Vec3& hi) {
    const float x0 = lo[0], y0 = lo[1], z0 = lo[2], x1 = hi[0], y1 = hi[1], z1 = hi[2];
    const float zm = (z0 + z1) * 0.5f;
    addQuad(mesh, roof, {x0, y0, z1}, {x1, y0, z1}, {x1, y1, zm}, {x0, y1, zm}, 3.0f, 1.0f);
    addQuad(mesh, roof, {x1, y0, z0}, {x0, y0, z0}, {x0, y1, zm}, {x1, y1, zm}, 3.0f, 1.0f);
    addTriangle(mesh, gable, {x0, y0, z0}, {x0, y0, z1}, {x0, y1, zm}, {0, 1}, {1, 1}, {0.5f, 0});
    addTriangle(mesh, gable, {x1, y0, z1}, {x1, y0, z0}, {x1, y1, zm}, {0, 1}, {1, 1}, {0.5f, 0});
}

// The meshes, mesh 0 the root, with the header vectors of their bounds: P0
// the highest corner, P1 the lowest, P2 the centre.
RmdlModel modelOf(std::vector<RmdlMesh> meshes, const Vec3& lo, const Vec3& hi) {
    RmdlModel model;
    model.meshes = std::move(meshes);
    model.p0 = hi;
    model.p1 = lo;
    model.p2 = {(lo[0] + hi[0]) * 0.5f, (lo[1] + hi[1]) * 0.5f, (lo[2] + hi[2]) * 0.5f};
    return model;
}

RmdlModel makeTree() {
    RmdlMesh trunk;
    addBox(&trunk, kTexBark, {-0.6f, 0, -0.6f}, {0.6f, 5.0f, 0.6f}, 0.15f, 1.0f);
    trunk.children = {1, 2};
    RmdlMesh crown;
    crown.position = {0, 4.0f, 0};
    addPyramid(&crown, kTexLeaves, -3.2f, -3.2f, 3.2f, 3.2f, 0, {0, 6.5f, 0});
    addPyramid(&crown, kTexLeaves, -3.2f, -3.2f, 3.2f, 3.2f, 0, {0, -1.2f, 0});
    RmdlMesh top;  // a smaller cone turned a quarter turn against the crown
    top.position = {0, 8.0f, 0};
    top.rotationAngle = 0.7853982f;
    top.rotationAxis = {0, 1, 0};
    top.scale = {0.6f, 0.8f, 0.6f};
    addPyramid(&top, kTexLeaves, -3.0f, -3.0f, 3.0f, 3.0f, 0, {0, 5.0f, 0});
    return modelOf({trunk, crown, top}, {-3.2f, 0, -3.2f}, {3.2f, 12.0f, 3.2f});
}

RmdlModel makeHouse() {
    RmdlMesh walls;
    addBox(&walls, kTexPlaster, {-5.0f, 0, -3.5f}, {5.0f, 5.0f, 3.5f}, 0, 2.0f);
    walls.children = {1};
    RmdlMesh roof;
    roof.position = {0, 5.0f, 0};
    addGableRoof(&roof, kTexRoof, kTexPlaster, {-5.6f, 0, -4.1f}, {5.6f, 3.5f, 4.1f});
    return modelOf({walls, roof}, {-5.6f, 0, -4.1f}, {5.6f, 8.5f, 4.1f});
}

// Rotor key frames: a quarter turn about z per second, back to the start.
std::vector<RmdlKeyFrame> rotorKeys() {
    constexpr float kHalf = 0.70710678f;
    const std::array<float, 4> poses[5] = {
        {0, 0, 0, 1}, {0, 0, kHalf, kHalf}, {0, 0, 1, 0}, {0, 0, kHalf, -kHalf}, {0, 0, 0, -1}};
    std::vector<RmdlKeyFrame> keys;
    for (int i = 0; i < 5; ++i) keys.push_back({i * (kWindmillTurnMs / 4), poses[i]});
    return keys;
}

RmdlModel makeWindmill() {
    RmdlMesh tower;  // a base node: the client stands it on its lowest point
    tower.tag = kRmdlBaseNodeTag;
    addBox(&tower, kTexPlaster, {-2.5f, 0, -2.5f}, {2.5f, 10.0f, 2.5f}, 0.8f, 2.0f);
    tower.children = {1};
    RmdlMesh cap;
    cap.position = {0, 10.0f, 0};
    addPyramid(&cap, kTexRoof, -2.2f, -2.2f, 2.2f, 2.2f, 0, {0, 3.0f, 0});
    cap.children = {2};
    RmdlMesh rotor;
    rotor.position = {0, -0.5f, 2.3f};
    rotor.keyFrames = rotorKeys();
    addBox(&rotor, kTexBlades, {-0.4f, -0.4f, 0}, {0.4f, 0.4f, 0.6f});
    for (int blade = 0; blade < 4; ++blade) {
        // Each blade lies along one half-axis of the rotor's xy plane.
        const float dx = blade == 0 ? 1.0f : blade == 2 ? -1.0f : 0.0f;
        const float dy = blade == 1 ? 1.0f : blade == 3 ? -1.0f : 0.0f;
        const float px = -dy * 0.5f, py = dx * 0.5f;  // half width across the blade
        const Vec3 a{dx * 0.5f - px, dy * 0.5f - py, 0.3f}, b{dx * 0.5f + px, dy * 0.5f + py, 0.3f};
        const Vec3 c{dx * 6.0f + px * 1.8f, dy * 6.0f + py * 1.8f, 0.3f};
        const Vec3 d{dx * 6.0f - px * 1.8f, dy * 6.0f - py * 1.8f, 0.3f};
        addQuad(&rotor, kTexBlades, a, b, c, d, 1.0f, 4.0f);
    }
    return modelOf({tower, cap, rotor}, {-6.0f, 0, -2.5f}, {6.0f, 15.5f, 2.9f});
}

RmdlModel makeCrate() {
    RmdlMesh box;
    box.rotationAngle = 0.2617994f;  // 15 degrees about y
    box.rotationAxis = {0, 1, 0};
    addBox(&box, kTexCrate, {-1.0f, 0, -1.0f}, {1.0f, 2.0f, 1.0f});
    return modelOf({box}, {-1.4f, 0, -1.4f}, {1.4f, 2.0f, 1.4f});
}

}  // namespace

const std::vector<DemoModelInfo>& demoModelKinds() {
    static const std::vector<DemoModelInfo> kinds = {{DemoModelKind::Tree, "tree"},
                                                     {DemoModelKind::House, "house"},
                                                     {DemoModelKind::Windmill, "windmill"},
                                                     {DemoModelKind::Crate, "crate"}};
    return kinds;
}

DemoModelKind demoModelKindFor(std::int32_t modelId) {
    const auto& kinds = demoModelKinds();
    const std::int64_t n = static_cast<std::int64_t>(kinds.size());
    const std::int64_t index = ((static_cast<std::int64_t>(modelId) - 1) % n + n) % n;
    return kinds[static_cast<std::size_t>(index)].kind;
}

namespace {

// The models are built with +y up; the client's model space has heights
// growing towards -y (it negates y when it places a model), so every model
// is turned half a turn about x on the way out: y and z change sign. A turn,
// not a mirror, keeps the triangles' winding.
Vec3 halfTurnX(const Vec3& v) { return {v[0], -v[1], -v[2]}; }

void toClientAxes(RmdlModel* model) {
    model->p0 = halfTurnX(model->p0);
    model->p1 = halfTurnX(model->p1);
    model->p2 = halfTurnX(model->p2);
    const float sign[4] = {1.0f, -1.0f, -1.0f, 1.0f};
    for (RmdlMesh& mesh : model->meshes) {
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) mesh.localMatrix[static_cast<std::size_t>(c * 4 + r)] *= sign[r] * sign[c];
        mesh.localOffset = halfTurnX(mesh.localOffset);
        mesh.position = halfTurnX(mesh.position);
        mesh.rotationAxis = halfTurnX(mesh.rotationAxis);
        for (RmdlSurface& surface : mesh.surfaces)
            for (Vec3& vertex : surface.vertices) vertex = halfTurnX(vertex);
        for (RmdlKeyFrame& key : mesh.keyFrames) {
            key.rotation[1] = -key.rotation[1];
            key.rotation[2] = -key.rotation[2];
        }
    }
}

RmdlModel makeUpright(DemoModelKind kind) {
    switch (kind) {
        case DemoModelKind::Tree: return makeTree();
        case DemoModelKind::House: return makeHouse();
        case DemoModelKind::Windmill: return makeWindmill();
        case DemoModelKind::Crate: return makeCrate();
    }
    return makeCrate();
}

}  // namespace

RmdlModel makeDemoModel(DemoModelKind kind) {
    RmdlModel model = makeUpright(kind);
    toClientAxes(&model);
    return model;
}

}  // namespace contentkit
