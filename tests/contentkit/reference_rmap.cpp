// The test-only map reader.
#include "tests/contentkit/reference_rmap.h"

#include <cstring>

namespace reference {

namespace {

// Reads little-endian fields in order; once past the end every read fails.
class Cursor {
public:
    Cursor(const std::vector<std::uint8_t>& file, std::size_t pos) : m_file(file), m_pos(pos) {}

    bool ok() const { return m_ok; }
    std::size_t pos() const { return m_pos; }

    std::uint32_t word(int bytes) {
        if (!m_ok || m_file.size() - m_pos < static_cast<std::size_t>(bytes)) {
            m_ok = false;
            return 0;
        }
        std::uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(m_file[m_pos + i]) << (8 * i);
        m_pos += static_cast<std::size_t>(bytes);
        return v;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(word(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(word(2)); }
    std::int32_t i32() { return static_cast<std::int32_t>(word(4)); }
    float f32() {
        const std::uint32_t bits = word(4);
        float v = 0;
        std::memcpy(&v, &bits, 4);
        return v;
    }
    template <std::size_t N>
    void floats(std::array<float, N>* out) {
        for (float& v : *out) v = f32();
    }
    template <std::size_t N>
    void raw(std::array<std::uint8_t, N>* out) {
        for (std::uint8_t& v : *out) v = u8();
    }

private:
    const std::vector<std::uint8_t>& m_file;
    std::size_t m_pos;
    bool m_ok = true;
};

void readHeader(Cursor* c, RmapFileHeader* h) {
    h->magic = c->word(4);
    h->version = c->u16();
    h->cellsWide = c->u16();
    h->cellsHigh = c->u16();
    h->cubesWide = c->i32();
    h->cubesHigh = c->i32();
    h->cubeSize = c->f32();
    h->waterType = c->u8();
    h->waterLevel = c->f32();
    h->hasWater = c->u8();
    h->reserved1 = c->i32();
    h->reserved2 = c->i32();
    c->floats(&h->reservedColour);
    c->floats(&h->sceneTint);
    h->reservedFactor = c->f32();
    h->layerCount = c->u8();
    for (std::int32_t* v : {&h->cellsPerLayer, &h->lightmapCount, &h->lightmapWidth, &h->lightmapHeight,
                            &h->textureCount, &h->groundPassCount, &h->tileCount, &h->cubeCount, &h->modelCount,
                            &h->soundEffectCount, &h->effectCount, &h->meshCount, &h->lightCount}) {
        *v = c->i32();
    }
}

void readMesh(Cursor* c, RmapFileMesh* m) {
    m->word = c->i32();
    m->flags = c->u8();
    c->floats(&m->kept1);
    c->floats(&m->p);
    c->floats(&m->q);
    m->kept2 = c->f32();
    c->floats(&m->kept3);
    c->floats(&m->kept4);
    m->faceCount = c->i32();
    m->keyCount = c->i32();
    for (std::int32_t f = 0; f < m->faceCount && c->ok(); ++f) {
        std::array<float, 9> v{};
        std::array<std::uint8_t, 36> extra{};
        c->floats(&v);
        c->raw(&extra);
        m->faceVertices.push_back(v);
        m->faceExtra.push_back(extra);
        m->faceTextures.push_back(c->i32());
    }
    for (std::int32_t k = 0; k < m->keyCount && c->ok(); ++k) {
        m->keyWords.push_back(c->i32());
        std::array<float, 4> values{};
        c->floats(&values);
        m->keyValues.push_back(values);
    }
}

}  // namespace

bool readRmap(const std::vector<std::uint8_t>& file, RmapFile* out) {
    Cursor c(file, 0);
    RmapFileHeader& h = out->header;
    readHeader(&c, &h);
    if (!c.ok() || c.pos() != 117) return false;
    for (int l = 0; l < h.layerCount && h.cellsPerLayer > 0 && c.ok(); ++l) {
        out->layers.emplace_back();
        for (std::int32_t i = 0; i < h.cellsPerLayer && c.ok(); ++i) {
            RmapFileCell cell;
            c.floats(&cell.heights);
            cell.walkable = c.u8();
            out->layers.back().push_back(cell);
        }
    }
    for (std::int32_t i = 0; i < h.lightmapCount && c.ok(); ++i) out->lightmapFlags.push_back(c.u8());
    const std::int64_t texels = std::int64_t(h.lightmapCount) * h.lightmapWidth * h.lightmapHeight * 4;
    for (std::int64_t i = 0; i < texels && c.ok(); ++i) out->lightmapTexels.push_back(c.u8());
    for (std::int32_t i = 0; i < h.textureCount && c.ok(); ++i) out->textures.push_back(c.i32());
    for (std::int32_t i = 0; i < h.tileCount && c.ok(); ++i) {
        RmapFileTile t;
        c.floats(&t.u);
        c.floats(&t.v);
        c.raw(&t.colour);
        t.texture = c.i32();
        t.lightmap = c.i32();
        out->tiles.push_back(t);
    }
    for (std::int32_t i = 0; i < h.cubeCount && c.ok(); ++i) {
        RmapFileCube cube;
        c.floats(&cube.heights);
        cube.water = c.u8();
        for (std::int32_t& t : cube.tiles) t = c.i32();
        out->cubes.push_back(cube);
    }
    for (std::int32_t i = 0; i < h.meshCount && c.ok(); ++i) {
        out->meshes.emplace_back();
        readMesh(&c, &out->meshes.back());
    }
    for (std::int32_t i = 0; i < h.modelCount && c.ok(); ++i) {
        RmapFileModel m;
        c.floats(&m.floats);
        m.kind = c.u8();
        m.modelId = c.i32();
        m.unused = c.i32();
        out->models.push_back(m);
    }
    for (std::int32_t i = 0; i < h.soundEffectCount && c.ok(); ++i) {
        out->soundEffects.emplace_back();
        c.raw(&out->soundEffects.back());
    }
    for (std::int32_t i = 0; i < h.effectCount && c.ok(); ++i) {
        out->effects.emplace_back();
        for (std::uint32_t& w : out->effects.back()) w = c.word(4);
    }
    for (std::int32_t i = 0; i < h.lightCount && c.ok(); ++i) {
        out->lights.emplace_back();
        for (std::uint32_t& w : out->lights.back()) w = c.word(4);
    }
    out->end = c.pos();
    return c.ok();
}

}  // namespace reference
