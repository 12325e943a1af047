// RMDL model checks and layout.
#include "tools/contentkit/formats/rmdl_writer.h"

#include <cmath>
#include <limits>
#include <set>

namespace contentkit {

namespace {

// --- Checks ---

template <std::size_t N>
bool allFinite(const std::array<float, N>& values) {
    for (float v : values) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

bool meshFloatsFinite(const RmdlMesh& mesh) {
    return allFinite(mesh.localMatrix) && allFinite(mesh.localOffset) && allFinite(mesh.position) &&
           std::isfinite(mesh.rotationAngle) && allFinite(mesh.rotationAxis) && allFinite(mesh.scale) &&
           allFinite(mesh.unused);
}

bool checkSurfaces(const RmdlMesh& mesh, std::size_t index, std::string* error) {
    std::set<std::int32_t> textures;
    for (std::size_t s = 0; s < mesh.surfaces.size(); ++s) {
        const RmdlSurface& surface = mesh.surfaces[s];
        bool finite = true;
        for (const Vec3& v : surface.vertices) finite = finite && allFinite(v);
        for (const auto& st : surface.texCoords) finite = finite && allFinite(st);
        if (!finite) {
            *error = "mesh " + std::to_string(index) + " surface " + std::to_string(s) +
                     " has a coordinate that is not a finite number";
            return false;
        }
        textures.insert(surface.textureId);
    }
    if (textures.size() > kRmdlMaxMeshTextures) {
        *error = "mesh " + std::to_string(index) + " uses " + std::to_string(textures.size()) +
                 " textures; the client stops at " + std::to_string(kRmdlMaxMeshTextures + 1);
        return false;
    }
    return true;
}

// The client divides by the time between neighbouring keys and wraps the
// animation time by the last key's time, so both must be positive.
bool checkKeyFrames(const RmdlMesh& mesh, std::size_t index, std::string* error) {
    const std::string where = "mesh " + std::to_string(index) + ": ";
    const auto& keys = mesh.keyFrames;
    if (keys.empty()) return true;
    if (keys.size() == 1) {
        *error = where + "one key frame; an animation needs at least two";
        return false;
    }
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const auto& q = keys[k].rotation;
        if (!allFinite(q) || q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3] < 1e-6f) {
            *error = where + "key frame " + std::to_string(k) + " is not a rotation quaternion";
            return false;
        }
        if (k > 0 && keys[k].time <= keys[k - 1].time) {
            *error = where + "key frame " + std::to_string(k) + " time " + std::to_string(keys[k].time) +
                     " does not come after " + std::to_string(keys[k - 1].time);
            return false;
        }
    }
    if (keys.back().time <= 0) {
        *error = where + "last key frame time must be above 0";
        return false;
    }
    return true;
}

// Every mesh is reached from the root exactly once: no index out of range,
// no second parent, no cycle, nothing left over.
bool checkTree(const RmdlModel& model, std::string* error) {
    const std::size_t count = model.meshes.size();
    if (model.rootMesh >= count) {
        *error = "root mesh " + std::to_string(model.rootMesh) + " is not below the mesh count " +
                 std::to_string(count);
        return false;
    }
    std::vector<std::uint8_t> reached(count, 0);
    std::vector<std::uint32_t> stack{model.rootMesh};
    reached[model.rootMesh] = 1;
    std::size_t reachedCount = 1;
    while (!stack.empty()) {
        const std::uint32_t node = stack.back();
        stack.pop_back();
        for (std::uint32_t child : model.meshes[node].children) {
            if (child >= count) {
                *error = "mesh " + std::to_string(node) + " names child " + std::to_string(child) +
                         ", not below the mesh count " + std::to_string(count);
                return false;
            }
            if (reached[child]) {
                *error = "mesh " + std::to_string(child) + " is reached twice (from mesh " +
                         std::to_string(node) + "); the child lists must form a tree";
                return false;
            }
            reached[child] = 1;
            ++reachedCount;
            stack.push_back(child);
        }
    }
    if (reachedCount != count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!reached[i]) {
                *error = "mesh " + std::to_string(i) + " is not reached from the root mesh";
                return false;
            }
        }
    }
    return true;
}

// --- Layout ---

void writeVec(ByteWriter* w, const Vec3& v) {
    for (float f : v) w->f32(f);
}

void writeMesh(ByteWriter* w, const RmdlMesh& mesh) {
    w->i32(mesh.tag);
    for (float f : mesh.localMatrix) w->f32(f);
    writeVec(w, mesh.localOffset);
    writeVec(w, mesh.position);
    w->f32(mesh.rotationAngle);
    writeVec(w, mesh.rotationAxis);
    writeVec(w, mesh.scale);
    for (float f : mesh.unused) w->f32(f);
    w->u32(static_cast<std::uint32_t>(mesh.surfaces.size()));
    w->u32(static_cast<std::uint32_t>(mesh.keyFrames.size()));
    w->u32(static_cast<std::uint32_t>(mesh.children.size()));
    for (const RmdlSurface& s : mesh.surfaces) {
        w->i32(s.textureId);
        for (const Vec3& v : s.vertices) writeVec(w, v);
        for (const auto& st : s.texCoords) {
            w->f32(st[0]);
            w->f32(st[1]);
        }
        w->u32(s.wordD);
        w->u32(s.wordE);
    }
    for (const RmdlKeyFrame& k : mesh.keyFrames) {
        w->i32(k.time);
        for (float f : k.rotation) w->f32(f);
    }
    for (std::uint32_t c : mesh.children) w->u32(c);
}

}  // namespace

std::size_t rmdlFileSize(const RmdlModel& model) {
    std::size_t size = kRmdlHeaderBytes;
    for (const RmdlMesh& m : model.meshes) {
        size += kRmdlMeshBytes + m.surfaces.size() * kRmdlSurfaceBytes +
                m.keyFrames.size() * kRmdlKeyFrameBytes + m.children.size() * kRmdlChildBytes;
    }
    return size;
}

bool validateRmdl(const RmdlModel& model, std::string* error) {
    if (model.meshes.empty()) {
        *error = "a model needs at least one mesh";
        return false;
    }
    constexpr std::size_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
    if (model.meshes.size() > kMaxCount) {
        *error = "too many meshes for a 32-bit count";
        return false;
    }
    if (!allFinite(model.p0) || !allFinite(model.p1) || !allFinite(model.p2)) {
        *error = "a header reference vector is not finite";
        return false;
    }
    std::size_t total = kRmdlHeaderBytes;
    for (std::size_t i = 0; i < model.meshes.size(); ++i) {
        const RmdlMesh& mesh = model.meshes[i];
        if (mesh.surfaces.size() > kMaxCount || mesh.keyFrames.size() > kMaxCount ||
            mesh.children.size() > kMaxCount) {
            *error = "mesh " + std::to_string(i) + " has a list too long for a 32-bit count";
            return false;
        }
        if (!meshFloatsFinite(mesh)) {
            *error = "mesh " + std::to_string(i) + " has a transform value that is not finite";
            return false;
        }
        if (!checkSurfaces(mesh, i, error) || !checkKeyFrames(mesh, i, error)) return false;
        total += kRmdlMeshBytes + mesh.surfaces.size() * kRmdlSurfaceBytes +
                 mesh.keyFrames.size() * kRmdlKeyFrameBytes + mesh.children.size() * kRmdlChildBytes;
        // The client reads models through a loader limited to 31-bit sizes.
        if (total > 0x7FFFFFFFu) {
            *error = "model larger than 2 GiB";
            return false;
        }
    }
    return checkTree(model, error);
}

bool writeRmdl(const RmdlModel& model, Bytes* out, std::string* error) {
    if (!validateRmdl(model, error)) return false;
    out->clear();
    out->reserve(rmdlFileSize(model));
    ByteWriter w(out);
    w.u32(kRmdlMagic);
    w.u16(kRmdlVersion);
    w.u32(model.wordA);
    w.u32(static_cast<std::uint32_t>(model.meshes.size()));
    w.u32(model.rootMesh);
    w.u32(model.wordB);
    w.u8(model.byteC);
    writeVec(&w, model.p0);
    writeVec(&w, model.p1);
    writeVec(&w, model.p2);
    for (const RmdlMesh& mesh : model.meshes) writeMesh(&w, mesh);
    return true;
}

}  // namespace contentkit
