#include "client/assets/model_file.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "client/assets/model_pose.h"
#include "client/core/log.h"
#include "client/core/runtime.h"
#include "client/storage/byte_reader.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "surfaces, key frames and child lists are copied in their file form");
static_assert(sizeof(velmar::ModelKeyFrame) == velmar::kRmdlKeyFrameBytes, "key frame file form");

namespace velmar {

namespace {

// --- Byte reading ---

ModelVec3 readVec3(ByteReader& r) {
    ModelVec3 v;
    v.x = r.f32();
    v.y = r.f32();
    v.z = r.f32();
    return v;
}

template <class T>
T* allocateZeroed(std::size_t count) {
    void* block = allocate(count * sizeof(T));
    std::memset(block, 0, count * sizeof(T));
    return static_cast<T*>(block);
}

// --- Texture grouping table ---

constexpr std::uint32_t kHashSlots = kMaxMeshTextureSlots * 2;
constexpr std::uint32_t kNoGroup = 0xFFFFFFFFu;

// Distinct texture IDs in order of first appearance, found through an
// open-addressed index so that grouping stays linear in the surface count.
struct TextureGroups {
    std::uint32_t ids[kMaxMeshTextureSlots];
    std::uint32_t next[kMaxMeshTextureSlots];  // first free place of each group
    std::uint16_t slots[kHashSlots];           // group + 1; 0 = empty
    std::uint32_t mask;                        // slots in use - 1
    std::uint32_t count = 0;

    // Only as many slots as twice the surfaces are cleared and used: most
    // meshes have a handful of surfaces.
    explicit TextureGroups(std::uint32_t surfaces) {
        std::uint32_t size = 16;
        while (size < kHashSlots && size < surfaces * 2u) size *= 2;
        mask = size - 1;
        std::memset(slots, 0, size * sizeof slots[0]);
    }

    // The group of `id`, made when new; kNoGroup when the table is full.
    std::uint32_t find(std::uint32_t id, bool add) {
        std::uint32_t at = ((id * 2654435761u) >> 16) & mask;
        while (slots[at] != 0) {
            const std::uint32_t group = slots[at] - 1u;
            if (ids[group] == id) return group;
            at = (at + 1) & mask;
        }
        if (!add || count + 1 >= kMaxMeshTextureSlots) return kNoGroup;
        ids[count] = id;
        next[count] = 0;
        slots[at] = static_cast<std::uint16_t>(count + 1);
        return count++;
    }
};
static_assert(kMaxMeshTextureSlots < 0xFFFF, "group numbers fit the hash slots");

std::uint32_t recordTexture(const std::uint8_t* record) {
    return ByteReader(record, kRmdlSurfaceBytes).u32At(0);
}

// --- Mesh records ---

void readFixedPart(ByteReader& r, ModelMesh& mesh) {
    mesh.tag = static_cast<std::int32_t>(r.u32());
    for (float& f : mesh.fileMatrix) f = r.f32();
    mesh.localOffset = readVec3(r);
    mesh.position = readVec3(r);
    mesh.angle = r.f32();
    mesh.axis = readVec3(r);
    mesh.scale = readVec3(r);
    for (float& f : mesh.unused) f = r.f32();
    mesh.surfaceCount = r.u32();
    mesh.keyFrameCount = r.u32();
    mesh.childCount = r.u32();
    mesh.isStatic = 0;
    mesh.localReady = 0;
    mesh.compiled = 0;
    mesh.animTime = 0;
    mesh.frameStamp = -1;
}

bool readSurfaces(ByteReader& r, ModelMesh& mesh, const char* path, const ModelLoadOptions& options) {
    const std::uint32_t count = mesh.surfaceCount;
    if (count == 0) return true;
    if (!r.has(std::uint64_t{count} * kRmdlSurfaceBytes)) {
        if (options.optimise)
            Message(kLogWarn, "CModel => LoadModelData: EOF before all data read; (OPTIMIZE READ) "
                              "expected surface .. (corrupted file?) (%s)", path);
        else
            Message(kLogWarn, "CModel => LoadModelData: EOF before all data read; expected "
                              "surface .. (corrupted file?) (%s)", path);
        return false;
    }
    const std::uint8_t* records = r.take(std::size_t{count} * kRmdlSurfaceBytes);
    ModelSurface* surfaces = allocateZeroed<ModelSurface>(count);
    if (!options.optimise) {
        std::memcpy(surfaces, records, std::size_t{count} * kRmdlSurfaceBytes);
    } else if (!groupSurfacesByTexture(records, count, surfaces)) {
        Message(kLogCrit, "CModel => LoadModelData and Optimize: Model has too many Textures - "
                          "please report. (%s).", path);
        exitProcess(1);
    }
    const ModelTextureHooks& hooks = options.textures;
    for (std::uint32_t i = 0; i < count; ++i)
        surfaces[i].texture = hooks.get(static_cast<std::int32_t>(surfaces[i].texture), hooks.context);
    mesh.surfaces = surfaces;
    return true;
}

bool readKeyFramesAndChildren(ByteReader& r, ModelMesh& mesh, const char* path) {
    if (mesh.keyFrameCount > 0) {
        if (!r.has(std::uint64_t{mesh.keyFrameCount} * kRmdlKeyFrameBytes)) {
            Message(kLogWarn, "CModel => LoadModelData: EOF before all data read; expected "
                              "animation .. (corrupted file?) (%s)", path);
            return false;
        }
        const std::size_t bytes = std::size_t{mesh.keyFrameCount} * kRmdlKeyFrameBytes;
        mesh.keyFrames = allocateZeroed<ModelKeyFrame>(mesh.keyFrameCount);
        std::memcpy(mesh.keyFrames, r.take(bytes), bytes);
    }
    if (mesh.childCount > 0) {
        if (!r.has(std::uint64_t{mesh.childCount} * kRmdlChildBytes)) {
            Message(kLogWarn, "CModel => LoadModelData: EOF before all data read; expected "
                              "children array .. (corrupted file?) (%s)", path);
            return false;
        }
        const std::size_t bytes = std::size_t{mesh.childCount} * kRmdlChildBytes;
        mesh.children = allocateZeroed<std::uint32_t>(mesh.childCount);
        std::memcpy(mesh.children, r.take(bytes), bytes);
    }
    return true;
}

bool readMeshes(ByteReader& r, ModelData& model, std::uint32_t meshCount, const char* path,
                const ModelLoadOptions& options) {
    // Every record needs its fixed part, so no more records than that can be
    // present are allocated; a file that claims more fails in the walk with
    // the message of the part it lacks.
    const std::uint64_t fit = r.left() / kRmdlMeshBytes;
    model.meshCount = static_cast<std::uint32_t>(fit < meshCount ? fit : meshCount);
    if (model.meshCount > 0) model.meshes = allocateZeroed<ModelMesh>(model.meshCount);
    for (std::uint32_t m = 0; m < meshCount; ++m) {
        if (m >= model.meshCount || !r.has(kRmdlMeshBytes)) {
            Message(kLogWarn, "CModel => LoadModelData: EOF before all expected data read "
                              "(meshes) (file corrupted?) (%s)", path);
            return false;
        }
        ModelMesh& mesh = model.meshes[m];
        readFixedPart(r, mesh);
        if (!readSurfaces(r, mesh, path, options)) return false;
        if (!readKeyFramesAndChildren(r, mesh, path)) return false;
    }
    return true;
}

void readHeader(ByteReader& r, ModelData& model) {
    model.wordA = r.u32();
    model.meshCount = r.u32();
    model.rootMesh = r.u32();
    model.wordB = r.u32();
    model.byteC = r.u8();
    model.p0 = readVec3(r);
    model.p1 = readVec3(r);
    model.p2 = readVec3(r);
}

}  // namespace

// --- Parsing ---

ModelData* parseModelData(const std::uint8_t* data, std::size_t size, const char* path,
                          const ModelLoadOptions& options) {
    if (size < 6) {
        Message(kLogWarn, "CModel => LoadModelData: Error (corrupted file) '%s'", path);
        return nullptr;
    }
    ByteReader r(data, size);
    if (r.u32() != kRmdlMagic) {
        Message(kLogWarn, "CModel => LoadModelData: Error - Not Header (%s)", path);
        return nullptr;
    }
    const unsigned version = r.u16();
    if (version != kRmdlVersion) {
        Message(kLogWarn, "CModel => LoadModelData: Error, unsupported version (%s) => Ver:%u",
                path, version);
        return nullptr;
    }
    if (!r.has(kRmdlHeaderBytes - r.offset())) {
        Message(kLogWarn, "CModel => LoadModelData: Error, data header missign / file corrupted "
                          "(too small) %s\n", path);
        return nullptr;
    }
    ModelData* model = allocateZeroed<ModelData>(1);
    readHeader(r, *model);
    if (model->meshCount == 0) {
        Message(kLogWarn, "CModel => LoadModelData: Error, model has no meshes. (%s)", path);
        releaseModelData(model, options.textures);
        return nullptr;
    }
    const std::uint32_t meshCount = model->meshCount;
    if (!readMeshes(r, *model, meshCount, path, options)) {
        releaseModelData(model, options.textures);
        return nullptr;
    }
    char why[128];
    if (!validMeshTree(*model, why, sizeof why)) {
        Message(kLogWarn, "CModel => LoadModelData: Error, invalid mesh tree (%s): %s", path, why);
        releaseModelData(model, options.textures);
        return nullptr;
    }
    computeModelBoundingBox(*model, options.clock);
    return model;
}

void releaseModelData(ModelData* model, const ModelTextureHooks& textures) {
    if (model == nullptr) return;
    if (model->meshes != nullptr) {
        for (std::uint32_t m = 0; m < model->meshCount; ++m) {
            ModelMesh& mesh = model->meshes[m];
            if (mesh.surfaces != nullptr) {
                for (std::uint32_t i = 0; i < mesh.surfaceCount; ++i)
                    textures.free(mesh.surfaces[i].texture, textures.context);
                release(mesh.surfaces);
            }
            release(mesh.keyFrames);
            release(mesh.children);
        }
        release(model->meshes);
    }
    release(model);
}

// --- Grouping and tree check ---

bool groupSurfacesByTexture(const std::uint8_t* records, std::uint32_t count, ModelSurface* out) {
    // About 100 KiB on the stack: no heap traffic per mesh.
    TextureGroups groups(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t g = groups.find(recordTexture(records + std::size_t{i} * kRmdlSurfaceBytes), true);
        if (g == kNoGroup) return false;
        ++groups.next[g];
    }
    std::uint32_t start = 0;
    for (std::uint32_t g = 0; g < groups.count; ++g) {
        const std::uint32_t size = groups.next[g];
        groups.next[g] = start;
        start += size;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* record = records + std::size_t{i} * kRmdlSurfaceBytes;
        const std::uint32_t g = groups.find(recordTexture(record), false);
        std::memcpy(&out[groups.next[g]++], record, kRmdlSurfaceBytes);
    }
    return true;
}

namespace {

// Writes the reason a tree is refused; always false.
__attribute__((format(printf, 3, 4))) bool refuseTree(char* why, std::size_t size,
                                                     const char* format, ...) {
    if (!why || size == 0) return false;
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, size, format, args);
    va_end(args);
    return false;
}

}  // namespace

bool validMeshTree(const ModelData& model, char* why, std::size_t whySize) {
    const auto refuse = [why, whySize](const char* text) { return refuseTree(why, whySize, "%s", text); };
    const std::uint32_t count = model.meshCount;
    if (count == 0 || model.meshes == nullptr) return refuse("no meshes");
    if (model.rootMesh >= count)
        return refuseTree(why, whySize, "root mesh %u of %u meshes", model.rootMesh, count);
    for (std::uint32_t m = 0; m < count; ++m) {
        const ModelMesh& mesh = model.meshes[m];
        for (std::uint32_t c = 0; c < mesh.childCount; ++c)
            if (mesh.children[c] >= count)
                return refuseTree(why, whySize, "mesh %u lists child %u of %u meshes", m,
                                  mesh.children[c], count);
    }
    // Depth first from the root on a stack of our own: a chain of any length
    // costs no call depth. Every index is pushed when first met, so the stack
    // never holds more than the mesh count.
    auto* met = static_cast<std::uint8_t*>(allocate(count));
    auto* stack = static_cast<std::uint32_t*>(allocate(std::size_t{count} * 4));
    std::memset(met, 0, count);
    std::uint32_t top = 0;
    stack[top++] = model.rootMesh;
    met[model.rootMesh] = 1;
    bool ok = true;
    while (top > 0 && ok) {
        const ModelMesh& mesh = model.meshes[stack[--top]];
        for (std::uint32_t c = 0; c < mesh.childCount; ++c) {
            const std::uint32_t child = mesh.children[c];
            if (met[child]) {
                ok = refuseTree(why, whySize, "mesh %u is reached twice from the root", child);
                break;
            }
            met[child] = 1;
            stack[top++] = child;
        }
    }
    release(stack);
    release(met);
    return ok;
}

}  // namespace velmar
