#include "client/scene/prepare.h"

#include <algorithm>
#include <cstring>

#include "client/assets/model.h"
#include "client/assets/texture.h"
#include "client/core/frame_stats.h"
#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/core/timer.h"
#include "client/gl/gl_ext.h"
#include "client/scene/lightmap_atlas.h"

namespace velmar {
namespace scene {

namespace {

double now() { return PerfClock::isCreated() ? PerfClock::seconds() : 0.0; }

void activeTexture(GLenum unit) {
    if (auto fn = glEntryPoints().glActiveTextureARB) fn(unit);
}

void texCoord(GLenum unit, float s, float t) {
    if (auto fn = glEntryPoints().glMultiTexCoord2fARB)
        fn(unit, s, t);
    else if (unit == GL_TEXTURE0_ARB)
        glTexCoord2f(s, t);
}

// The inner square of a lightmap for vertices 1 to 4; without a place, the
// square of a lightmap drawn alone.
void lightmapCoords(const AtlasPlace* place, float st[4][2]) {
    const float s0 = place ? place->s0 : 0.125f, s1 = place ? place->s1 : 0.875f;
    const float t0 = place ? place->t0 : 0.125f, t1 = place ? place->t1 : 0.875f;
    const float corners[4][2] = {{s0, t0}, {s1, t0}, {s1, t1}, {s0, t1}};
    std::memcpy(st, corners, sizeof corners);
}

// Pages of at most this size: the layout of a large map stays in few pages
// without asking the driver for its largest texture.
constexpr int kAtlasPageMax = 2048;

// --- Ground emission ---

enum class Mode { Ground, Lightmap };

// What the last face bound, so faces sharing a texture share one quad run.
struct Emitter {
    CScene& scene;
    Mode mode;
    bool multitexture;
    std::int64_t textureId = -1;  // ground mode; the atlas page in lightmap mode
    std::int64_t lightmapName = -1;
    std::int64_t lightmapColour = -1;
    bool lightmapUnitActive = false;
    const AtlasPlace* lastPlace = nullptr;

    void reset() {
        textureId = lightmapName = lightmapColour = -1;
        lightmapUnitActive = false;
        lastPlace = nullptr;
    }

    // Null for a tile without lightmap, or one left out of the atlas.
    const AtlasPlace* placeOf(const Tile& tile) const {
        const std::int32_t lightmap = scene.map->lightmapOf(tile);
        if (lightmap < 0 || static_cast<std::size_t>(lightmap) >= scene.lightmapPlaces.size()) return nullptr;
        const AtlasPlace& place = scene.lightmapPlaces[static_cast<std::size_t>(lightmap)];
        return place.page < scene.lightmapNames.size() ? &place : nullptr;
    }

    // False ends the cube's emission (lightmap mode, a face without lightmap).
    bool face(const Tile& tile, const float v[4][3]) {
        if (mode == Mode::Ground) {
            groundFace(tile, v);
            return true;
        }
        return lightmapFace(tile, v);
    }

    void groundFace(const Tile& tile, const float v[4][3]) {
        const GroundTexture& texture = scene.map->textureOf(tile);
        bool textureDiffers = texture.textureId != textureId;
        const AtlasPlace* place = multitexture ? placeOf(tile) : nullptr;
        // A face without lightmap shows the one bound last, as it would
        // with a texture per lightmap.
        if (place) lastPlace = place;
        unsigned lightmap = place ? scene.lightmapNames[place->page] : 0;
        bool lightmapDiffers = lightmap != 0 && lightmap != lightmapName;
        if (textureDiffers || lightmapDiffers) {
            glEnd();
            if (textureDiffers) {
                if (lightmapUnitActive) {
                    activeTexture(GL_TEXTURE0_ARB);
                    lightmapUnitActive = false;
                }
                glBindTexture(GL_TEXTURE_2D, texture.glName);
                textureId = texture.textureId;
            }
            if (lightmapDiffers) {
                if (!lightmapUnitActive) {
                    activeTexture(GL_TEXTURE1_ARB);
                    lightmapUnitActive = true;
                }
                glBindTexture(GL_TEXTURE_2D, lightmap);
                lightmapName = lightmap;
            }
            frameStats().countDrawCall();
            glBegin(GL_QUADS);
        }
        const int uv[4] = {0, 1, 3, 2};  // vertex order to the tile's corner order
        float st[4][2];
        lightmapCoords(lastPlace, st);
        for (int i = 0; i < 4; ++i) {
            texCoord(GL_TEXTURE0_ARB, tile.u(uv[i]), tile.v(uv[i]));
            if (multitexture) texCoord(GL_TEXTURE1_ARB, st[i][0], st[i][1]);
            glVertex3fv(v[i]);
        }
    }

    // Lightmaps on one page share a quad run; the colour may change inside
    // it. The colour is set after any new glBegin, just before the face's
    // vertices: a list compiled with a colour right before glEnd (or inside
    // an empty quad run) may lose it, and the pass then draws with whatever
    // colour the frame left current.
    bool lightmapFace(const Tile& tile, const float v[4][3]) {
        const std::int32_t lightmap = scene.map->lightmapOf(tile);
        if (lightmap < 0) return false;
        const AtlasPlace* place = placeOf(tile);
        if (!place) return true;  // too large for a page: never uploaded
        if (place->page != textureId) {
            glEnd();
            glBindTexture(GL_TEXTURE_2D, scene.lightmapNames[place->page]);
            textureId = place->page;
            frameStats().countDrawCall();
            glBegin(GL_QUADS);
        }
        std::uint8_t flag = scene.map->lightmapFlags()[static_cast<std::size_t>(lightmap)];
        if (flag != lightmapColour) {
            lightmapColour = flag;
            float c = (flag & kLightmapColour) ? 1.0f : 0.0f;
            glColor4f(c, c, c, 1.0f);
        }
        float st[4][2];
        lightmapCoords(place, st);
        for (int i = 0; i < 4; ++i) {
            glTexCoord2f(st[i][0], st[i][1]);
            glVertex3fv(v[i]);
        }
        return true;
    }

    // The cube's faces in order: +y wall, +x wall, top. A wall whose
    // neighbour lies outside the grid is left out.
    void cube(int x, int y) {
        const Cube* c = scene.map->cubeAt(x, y);
        if (!c) return;
        float cs = scene.map->header().cubeSize;
        float x0 = static_cast<float>(x) * cs, x1 = static_cast<float>(x + 1) * cs;
        float y0 = static_cast<float>(y) * cs, y1 = static_cast<float>(y + 1) * cs;
        const float h[4] = {c->height(0), c->height(1), c->height(2), c->height(3)};  // h00, h10, h01, h11
        const CRMap& map = *scene.map;
        if (const Tile* wall = map.tileOf(*c, CubeFace::WallY)) {
            if (const Cube* n = map.cubeAt(x, y + 1)) {
                const float v[4][3] = {{x0, y1, h[2]}, {x1, y1, h[3]}, {x1, y1, n->height(1)},
                                       {x0, y1, n->height(0)}};
                if (!face(*wall, v)) return;
            }
        }
        if (const Tile* wall = map.tileOf(*c, CubeFace::WallX)) {
            if (const Cube* n = map.cubeAt(x + 1, y)) {
                const float v[4][3] = {{x1, y1, h[3]}, {x1, y0, h[1]}, {x1, y0, n->height(0)},
                                       {x1, y1, n->height(2)}};
                if (!face(*wall, v)) return;
            }
        }
        if (const Tile* top = map.tileOf(*c, CubeFace::Top)) {
            const float v[4][3] = {{x0, y0, h[0]}, {x1, y0, h[1]}, {x1, y1, h[3]}, {x0, y1, h[2]}};
            face(*top, v);
        }
    }
};

bool cubeUsesSlot(const CRMap& map, const Cube& c, int slot) {
    for (CubeFace face : {CubeFace::WallY, CubeFace::WallX, CubeFace::Top})
        if (const Tile* tile = map.tileOf(c, face); tile && tile->textureIndex() == slot) return true;
    return false;
}

// Whether any of the first `passes` texture slots emits the cube.
bool cubeInPasses(const CRMap& map, const Cube& c, int passes) {
    for (int t = 0; t < passes; ++t)
        if (cubeUsesSlot(map, c, t)) return true;
    return false;
}

struct CubeRange {
    int x0, x1, y0, y1;  // half-open
};

CubeRange cubesOf(const CScene& scene, int cx, int cy) {
    const MapHeader& h = scene.map->header();
    int r = scene.cubeResolution;
    return {cx * r, std::min((cx + 1) * r, h.cubesWide), cy * r, std::min((cy + 1) * r, h.cubesHigh)};
}

// Rows of a grid `wide` across that `records` records fill, at most `high`:
// the rows past the last record hold nothing. A header whose grid claims far
// more than its file holds would otherwise size lists and loops (and an int
// product that overflows) for cubes or cells that are not there.
std::int64_t rowsHeld(std::int64_t wide, std::int64_t high, std::int64_t records) {
    if (wide <= 0 || high <= 0 || records <= 0) return 0;
    return std::min(high, (records + wide - 1) / wide);
}

void recordWater(CScene& scene, std::size_t n, int x, int y) {
    WaterRecord& record = scene.waterRecords[n];
    if (record.count >= kWaterPositionsMax) {
        Message(kLogWarn, "CScene->PrepareMap: Waterpos per ourCube overflown.");
        return;
    }
    scene.waterFlags[n] = 1;
    record.positions.push_back(x);
    record.positions.push_back(y);
    ++record.count;
}

// --- Phases ---

// The lightmap unit adds a lightmap's colour to the ground before its alpha
// darkens both; the second pass darkens the ground alone and adds the colour
// unweakened, which turned baked shadows bluish. Weakened here by the same
// darkness, the colour makes the pass show the light the unit shows.
void weakenColourByDarkness(std::vector<std::uint8_t>& texels) {
    for (std::size_t i = 0; i + 3 < texels.size(); i += 4) {
        const unsigned keep = 255u - texels[i + 3];
        for (std::size_t c = 0; c < 3; ++c)
            texels[i + c] = static_cast<std::uint8_t>((texels[i + c] * keep + 127u) / 255u);
    }
}

// The lightmaps go up as atlas pages: a render cube's faces then share one
// lightmap texture instead of binding one each.
void prepareLightmaps(CScene& scene, bool secondPass) {
    const MapHeader& h = scene.map->header();
    const Records<std::uint8_t> flags = scene.map->lightmapFlags();
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    const int scale = lightmapScale(h.lightmapWidth, h.lightmapHeight);
    const AtlasLayout layout = layoutLightmapAtlas(flags.data(), flags.size(), h.lightmapWidth, h.lightmapHeight,
                                                   std::min<int>(maxSize, kAtlasPageMax), scale);
    scene.lightmapPlaces = layout.places;
    scene.lightmapNames.assign(layout.pages.size(), 0);
    scene.lightmapBytes = 0;
    if (layout.pages.empty()) return;
    glGenTextures(static_cast<GLsizei>(layout.pages.size()), scene.lightmapNames.data());
    for (std::size_t i = 0; i < layout.pages.size(); ++i) {
        const AtlasPage& page = layout.pages[i];
        // For a software renderer: colour pages are not compressed, as it
        // decodes a compressed texel on every read (the bytes are few, and
        // the baked light stays exact); and the lightmaps filter alike near
        // and far, so it need not choose per pixel (a lightmap is hardly
        // ever smaller on screen than its texels, and then it is smoothed).
        const bool alpha = page.format == LightmapFormat::Alpha;
        GLint format = alpha ? GL_ALPHA4 : page.format == LightmapFormat::Rgba ? GL_RGBA8 : GL_RGB8;
        std::vector<std::uint8_t> texels = fillAtlasPage(layout, i, scene.map->lightmapTexels().data());
        if (secondPass && page.format == LightmapFormat::Rgba) weakenColourByDarkness(texels);
        glBindTexture(GL_TEXTURE_2D, scene.lightmapNames[i]);
        glTexImage2D(GL_TEXTURE_2D, 0, format, page.width, page.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     texels.data());
        const GLint filter = layout.scale > 1 ? GL_NEAREST : GL_LINEAR;  // enlarged: blended already
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
        const std::uint64_t texelCount =
            static_cast<std::uint64_t>(page.width) * static_cast<std::uint64_t>(page.height);
        scene.lightmapBytes += alpha ? texelCount / 2 : texelCount * (format == GL_RGBA8 ? 4 : 3);
    }
    if (CTexture* textures = CTexture::instance())
        textures->addUploaded(scene.lightmapBytes, static_cast<std::uint32_t>(layout.pages.size()));
}

void prepareWater(CScene& scene) {
    Water& water = *scene.water;
    CTexture* textures = CTexture::instance();
    for (std::int32_t i = 0; i < water.frameCount; ++i) {
        std::size_t f = static_cast<std::size_t>(i);
        // Unsigned: a FirstVKTexID near the top of the range wraps, not overflows.
        const std::uint32_t id =
            static_cast<std::uint32_t>(water.firstTexId) + static_cast<std::uint32_t>(i);
        water.frameName[f] =
            textures ? textures->Get(id, &water.frameWidth[f], &water.frameHeight[f], 0) : 0;
    }
    water.currentFrame = 0;
    // Due at FrameTime on the clock's own time line: long past once a map is
    // up, so the first step comes at the worker's next look.
    if (CTimer* timer = CTimer::instance())
        water.timerEvent = timer->Add(water.frameTime, water.frameTime, -1, advanceWater, &scene);
}

void compileGround(CScene& scene, const RenderCaps& caps) {
    const MapHeader& h = scene.map->header();
    bool multitexture = caps.multitexture != 0;
    Emitter emit{scene, Mode::Ground, multitexture};
    std::vector<GroundTexture>& slots = scene.map->textures();
    int passes = std::min<std::int64_t>(std::max(h.groundPassCount, 0), static_cast<std::int64_t>(slots.size()));
    for (int cx = 0; cx < scene.renderCubesWide; ++cx) {
        for (int cy = 0; cy < scene.renderCubesHigh; ++cy) {
            std::size_t n = static_cast<std::size_t>(cx + cy * scene.renderCubesWide);
            if (scene.water) {
                scene.waterFlags[n] = 0;
                scene.waterRecords[n] = WaterRecord();
            }
            emit.reset();
            if (multitexture) activeTexture(GL_TEXTURE0_ARB);
            glNewList(scene.groundListBase + static_cast<unsigned>(n), GL_COMPILE);
            if (multitexture) activeTexture(GL_TEXTURE0_ARB);
            if (caps.staticLighting)
                glColor4f(h.sceneTint[0], h.sceneTint[1], h.sceneTint[2], 1.0f);
            else
                glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
            frameStats().countDrawCall();
            glBegin(GL_QUADS);
            CubeRange range = cubesOf(scene, cx, cy);
            for (int t = 0; t < passes; ++t) {
                for (int x = range.x0; x < range.x1; ++x) {
                    for (int y = range.y0; y < range.y1; ++y) {
                        const Cube* c = scene.map->cubeAt(x, y);
                        if (c && cubeUsesSlot(*scene.map, *c, t)) emit.cube(x, y);
                    }
                }
            }
            glEnd();
            glEndList();
            // Water once per cube, not once per texture slot the cube uses:
            // duplicates would draw the translucent surface several times.
            // Only a cube some pass emits carries its water.
            if (scene.water) {
                for (int x = range.x0; x < range.x1; ++x)
                    for (int y = range.y0; y < range.y1; ++y)
                        if (const Cube* c = scene.map->cubeAt(x, y);
                            c && c->water() && cubeInPasses(*scene.map, *c, passes))
                            recordWater(scene, n, x, y);
            }
        }
    }
}

void compileLightmapPass(CScene& scene) {
    Emitter emit{scene, Mode::Lightmap, false};
    for (int cx = 0; cx < scene.renderCubesWide; ++cx) {
        for (int cy = 0; cy < scene.renderCubesHigh; ++cy) {
            unsigned n = static_cast<unsigned>(cx + cy * scene.renderCubesWide);
            glNewList(scene.lightmapListBase + n, GL_COMPILE);
            emit.reset();
            frameStats().countDrawCall();
            glBegin(GL_QUADS);
            CubeRange range = cubesOf(scene, cx, cy);
            for (int x = range.x0; x < range.x1; ++x)
                for (int y = range.y0; y < range.y1; ++y) emit.cube(x, y);
            glEnd();
            glEndList();
        }
    }
}

void compileCells(CScene& scene) {
    const MapHeader& h = scene.map->header();
    int cw = saturatingTrunc(h.cellsPerCubeX), ch = saturatingTrunc(h.cellsPerCubeY);
    float sx = h.cubeSize / h.cellsPerCubeX, sy = h.cubeSize / h.cellsPerCubeY;
    // Only cells a layer holds are emitted: the loops stop at the grid and
    // at the last row with cells, whatever the cell relation claims.
    const int columns = h.cellsWide;
    const int rows = static_cast<int>(rowsHeld(h.cellsWide, h.cellsHigh, h.cellsPerLayer));
    for (int layer = 0; layer < h.layerCount; ++layer) {
        unsigned base = glGenLists(scene.renderCubeCount);
        scene.cellListBase[layer] = base;
        for (int cx = 0; cx < scene.renderCubesWide; ++cx) {
            for (int cy = 0; cy < scene.renderCubesHigh; ++cy) {
                glNewList(base + static_cast<unsigned>(cx + cy * scene.renderCubesWide), GL_COMPILE);
                frameStats().countDrawCall();
                glBegin(GL_QUADS);
                CubeRange range = cubesOf(scene, cx, cy);
                for (int x = range.x0; x < range.x1; ++x)
                    for (int y = range.y0; y < range.y1; ++y)
                        for (int a = x * cw, aEnd = std::min(a + cw, columns); a < aEnd; ++a)
                            for (int b = y * ch, bEnd = std::min(b + ch, rows); b < bEnd; ++b) {
                                const VKCell* cell = scene.map->cellAt(layer, a, b);
                                if (!cell) continue;
                                float fa = static_cast<float>(a), fb = static_cast<float>(b);
                                glVertex3f(fa * sx, fb * sy, cell->height(0));
                                glVertex3f((fa + 1) * sx, fb * sy, cell->height(1));
                                glVertex3f((fa + 1) * sx, (fb + 1) * sy, cell->height(3));
                                glVertex3f(fa * sx, (fb + 1) * sy, cell->height(2));
                            }
                glEnd();
                glEndList();
            }
        }
    }
}

void compileStateLists(CScene& scene, bool multitexture) {
    scene.lightmapBeginList = glGenLists(1);
    glNewList(scene.lightmapBeginList, GL_COMPILE);
    if (multitexture) {
        glBlendFunc(GL_ONE_MINUS_SRC_ALPHA, GL_ZERO);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
        activeTexture(GL_TEXTURE1_ARB);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_ADD);
        glEnable(GL_TEXTURE_2D);
    }
    glEndList();
    if (!multitexture) return;
    scene.lightmapEndList = glGenLists(1);
    glNewList(scene.lightmapEndList, GL_COMPILE);
    activeTexture(GL_TEXTURE1_ARB);
    glDisable(GL_TEXTURE_2D);
    activeTexture(GL_TEXTURE0_ARB);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glEndList();
}

void resolveModels(CScene& scene) {
    CModel* manager = CModel::instance();
    for (PlacedModel& placed : scene.map->models()) {
        if (placed.kind != 1 || !manager) continue;
        ModelData* model = manager->Get(placed.modelId);
        if (!model) continue;  // unknown: neither drawn nor counted
        placed.model = model;
        std::uint32_t faces = 0;
        for (std::uint32_t i = 0; i < model->meshCount; ++i) faces += model->meshes[i].surfaceCount;
        placed.faceCount = faces;
        Matrix4 shift = matIdentity();
        shift.m[12] = -model->boxCentre.x;
        shift.m[13] = model->boxMin.y;
        shift.m[14] = -model->boxCentre.z;
        Matrix4 moved;
        matMultiply(placed.matrix, shift, moved);
        placed.matrix = moved;
    }
}

}  // namespace

int clampCubeResolution(int setting) { return std::clamp(setting, 1, 50); }

int renderCubesAcross(int cubes, int resolution) {
    if (cubes <= 0) return 0;
    return cubes / resolution + (cubes % resolution ? 1 : 0);
}

// --- PrepareMap ---

int PrepareMap(CScene& scene) {
    if (!scene.map || !scene.map->loaded()) {
        Message(kLogWarn,
                "CScene->PrepareMap: cannot prepare map '%s' (previous map loading routine failed)",
                scene.rmapName.c_str());
        return 0;
    }
    if (scene.prepared) return 1;
    const RenderCaps& caps = renderCaps();
    const MapHeader& h = scene.map->header();
    double t0 = now();
    Message(kLogInfo, "CScene->PrepareMap: Begin of '%s'", scene.rmapName.c_str());

    CTexture* textures = CTexture::instance();
    for (GroundTexture& slot : scene.map->textures())
        if (slot.glName == 0 && textures)
            slot.glName = textures->Get(static_cast<std::uint32_t>(slot.textureId), &slot.width,
                                        &slot.height, 0);
    scene.cursorTexture = textures ? textures->Get(10, nullptr, nullptr, 0) : 0;
    double t1 = now();
    if (caps.staticLighting && h.lightmapCount > 0) prepareLightmaps(scene, !caps.multitexture);
    double t2 = now();
    if (scene.water) prepareWater(scene);
    double t3 = now();

    CRConf* conf = CRConf::instance();
    scene.cubeResolution = clampCubeResolution(conf ? conf->GetInt(RCONF_CUBERESOLUTION) : 8);
    // The render grid covers the cubes the map holds; cube lookups past them
    // find nothing anyway.
    const std::int64_t held = rowsHeld(h.cubesWide, h.cubesHigh, h.cubeCount);
    const int cubesAcross = held > 1 ? h.cubesWide : std::min(h.cubesWide, std::max(h.cubeCount, 0));
    scene.renderCubesWide = renderCubesAcross(cubesAcross, scene.cubeResolution);
    scene.renderCubesHigh = renderCubesAcross(static_cast<int>(held), scene.cubeResolution);
    scene.renderCubeCount = scene.renderCubesWide * scene.renderCubesHigh;
    std::size_t count = static_cast<std::size_t>(scene.renderCubeCount);
    if (scene.water) {
        scene.waterFlags.assign(count, 0);
        scene.waterRecords.assign(count, WaterRecord());
    }
    scene.groundListBase = glGenLists(scene.renderCubeCount);
    bool lightmapPass = caps.staticLighting && !caps.multitexture;
    if (lightmapPass) scene.lightmapListBase = glGenLists(scene.renderCubeCount);
    compileGround(scene, caps);
    if (lightmapPass) compileLightmapPass(scene);
    if (caps.altCellCursor) compileCells(scene);

    // Map point (x, y, h) to (x, -h, y): the rows become depth, heights up.
    Matrix4 axes = matIdentity();
    axes.m[5] = 0.0f;
    axes.m[6] = 1.0f;
    axes.m[9] = -1.0f;
    axes.m[10] = 0.0f;
    Matrix4 shift = matIdentity();
    shift.m[12] = -static_cast<float>(h.cubesWide) * h.cubeSize / h.cellsPerCubeX;
    shift.m[13] = -static_cast<float>(h.cubesHigh) * h.cubeSize / h.cellsPerCubeY;
    matMultiply(axes, shift, scene.world);
    compileStateLists(scene, caps.multitexture != 0);
    double t4 = now();

    resolveModels(scene);
    double t5 = now();
    scene.prepared = true;
    Message(kLogInfo, "CScene->PrepareMap: Finished '%s' (CubeResolution: %d, Count: %d)",
            scene.rmapName.c_str(), scene.cubeResolution, scene.renderCubeCount);
    double t6 = now();
    Message(kLogInfo,
            "CSCene->PrepareMap: took: %f seconds. (Texture: %f, Lightmap: %f, Water: %f, "
            "GroundCompile: %f, Model: %f)",
            t6 - t0, t1 - t0, t2 - t1, t3 - t2, t4 - t3, t5 - t4);
    return 1;
}

}  // namespace scene
}  // namespace velmar
