// The test-only RMDL reader.
#include "tests/contentkit/reference_rmdl.h"

#include <cstring>

namespace reference {

namespace {

std::uint32_t u32At(const std::vector<std::uint8_t>& f, std::size_t at) {
    return static_cast<std::uint32_t>(f[at]) | static_cast<std::uint32_t>(f[at + 1]) << 8 |
           static_cast<std::uint32_t>(f[at + 2]) << 16 | static_cast<std::uint32_t>(f[at + 3]) << 24;
}

float f32At(const std::vector<std::uint8_t>& f, std::size_t at) {
    const std::uint32_t bits = u32At(f, at);
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

template <std::size_t N>
void floatsAt(const std::vector<std::uint8_t>& f, std::size_t at, std::array<float, N>* out) {
    for (std::size_t i = 0; i < N; ++i) (*out)[i] = f32At(f, at + 4 * i);
}

bool has(const std::vector<std::uint8_t>& f, std::size_t at, unsigned long long bytes) {
    return at <= f.size() && bytes <= f.size() - at;
}

bool readMesh(const std::vector<std::uint8_t>& f, std::size_t* at, RmdlMeshFields* m, std::string* why) {
    std::size_t p = *at;
    if (!has(f, p, 168)) return *why = "mesh record cut", false;
    m->offset = p;
    m->tag = static_cast<std::int32_t>(u32At(f, p));
    floatsAt(f, p + 4, &m->localMatrix);
    floatsAt(f, p + 68, &m->localOffset);
    floatsAt(f, p + 80, &m->position);
    m->rotationAngle = f32At(f, p + 92);
    floatsAt(f, p + 96, &m->rotationAxis);
    floatsAt(f, p + 108, &m->scale);
    floatsAt(f, p + 120, &m->unused);
    const std::uint32_t surfaces = u32At(f, p + 156), keys = u32At(f, p + 160), children = u32At(f, p + 164);
    p += 168;
    if (!has(f, p, 72ull * surfaces)) return *why = "surfaces cut", false;
    for (std::uint32_t i = 0; i < surfaces; ++i, p += 72) {
        RmdlSurfaceFields s;
        s.texture = static_cast<std::int32_t>(u32At(f, p));
        floatsAt(f, p + 4, &s.vertices);
        floatsAt(f, p + 40, &s.texCoords);
        s.wordD = u32At(f, p + 64);
        s.wordE = u32At(f, p + 68);
        m->surfaces.push_back(s);
    }
    if (!has(f, p, 20ull * keys)) return *why = "key frames cut", false;
    for (std::uint32_t i = 0; i < keys; ++i, p += 20) {
        RmdlKeyFields k;
        k.time = static_cast<std::int32_t>(u32At(f, p));
        floatsAt(f, p + 4, &k.rotation);
        m->keys.push_back(k);
    }
    if (!has(f, p, 4ull * children)) return *why = "children cut", false;
    m->childOffset = p;
    for (std::uint32_t i = 0; i < children; ++i, p += 4) m->children.push_back(u32At(f, p));
    *at = p;
    return true;
}

}  // namespace

bool readRmdl(const std::vector<std::uint8_t>& file, RmdlFields* out, std::string* why) {
    *out = RmdlFields();
    if (file.size() < 59) return *why = "shorter than the header", false;
    if (std::memcmp(file.data(), "RMDL", 4) != 0) return *why = "no magic", false;
    out->version = static_cast<std::uint16_t>(file[4] | file[5] << 8);
    if (out->version != 1) return *why = "not version 1", false;
    out->wordA = u32At(file, 6);
    out->meshCount = u32At(file, 10);
    out->root = u32At(file, 14);
    out->wordB = u32At(file, 18);
    out->byteC = file[22];
    floatsAt(file, 23, &out->p0);
    floatsAt(file, 35, &out->p1);
    floatsAt(file, 47, &out->p2);
    std::size_t at = 59;
    for (std::uint32_t i = 0; i < out->meshCount; ++i) {
        RmdlMeshFields mesh;
        if (!readMesh(file, &at, &mesh, why)) return false;
        out->meshes.push_back(std::move(mesh));
    }
    out->endOffset = at;
    return true;
}

void patchU32(std::vector<std::uint8_t>* file, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) (*file)[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace reference
