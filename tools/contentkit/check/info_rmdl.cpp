// RMDL info: the header, every mesh record walked the way the client reads
// it (each count checked against the bytes left, in 64-bit arithmetic, before
// anything is read), then the child lists checked for a tree under the root.
#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "client/storage/byte_reader.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/check/info_internal.h"
#include "tools/contentkit/formats/rmdl_writer.h"
#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

using velmar::ByteReader;

std::string vecText(const ByteReader& file, std::size_t at) {
    return strf("(%g, %g, %g)", static_cast<double>(file.f32At(at)), static_cast<double>(file.f32At(at + 4)),
                static_cast<double>(file.f32At(at + 8)));
}

bool finiteRun(const ByteReader& file, std::size_t at, std::size_t floats) {
    for (std::size_t i = 0; i < floats; ++i) {
        if (!std::isfinite(file.f32At(at + i * 4))) return false;
    }
    return true;
}

// --- Mesh records ---

// Where a mesh's child list lies in the file, for the tree check.
struct MeshSpan {
    std::size_t childOffset = 0;
    std::uint32_t childCount = 0;
};

struct RmdlTally {
    std::uint64_t surfaces = 0, keyFrames = 0, children = 0;
    std::uint32_t animated = 0, baseNodes = 0;
    std::set<std::int32_t> textures;
};

bool checkSurfaces(const ByteReader& file, std::size_t at, std::uint32_t count, std::uint32_t mesh,
                   RmdlTally* tally, InfoReport* report) {
    std::set<std::int32_t> meshTextures;
    for (std::uint32_t s = 0; s < count; ++s, at += kRmdlSurfaceBytes) {
        if (!finiteRun(file, at + velmar::kRmdlSurfaceFloatsOffset, velmar::kRmdlSurfaceFloats)) {
            return report->fail(strf("mesh %u surface %u has a vertex or texture coordinate that is "
                                     "not a finite number", mesh, s));
        }
        const std::int32_t id = file.i32At(at);
        meshTextures.insert(id);
        tally->textures.insert(id);
    }
    if (meshTextures.size() > kRmdlMaxMeshTextures) {
        return report->fail(strf("mesh %u uses %zu distinct textures; the client ends the process at "
                                 "%zu", mesh, meshTextures.size(), kRmdlMaxMeshTextures + 1));
    }
    return true;
}

void checkKeyFrames(const ByteReader& file, std::size_t at, std::uint32_t count, std::uint32_t mesh,
                    InfoReport* report) {
    if (count == 0) return;
    if (count == 1) report->warn(strf("mesh %u has a single key frame; it cannot animate", mesh));
    std::int32_t previous = 0;
    for (std::uint32_t k = 0; k < count; ++k, at += kRmdlKeyFrameBytes) {
        const std::int32_t time = file.i32At(at);
        if (k > 0 && time <= previous) {
            report->warn(strf("mesh %u key frame %u time %d does not come after %d", mesh, k, time, previous));
        }
        if (!finiteRun(file, at + velmar::kRmdlKeyFrameRotationOffset, 4)) report->warn(strf("mesh %u key frame %u rotation is not finite", mesh, k));
        previous = time;
    }
    if (previous <= 0) report->warn(strf("mesh %u last key frame time %d is not above 0", mesh, previous));
}

// One mesh record at the reader's position; false with the client's reason
// when a part of it is missing.
bool readMesh(ByteReader* r, std::uint32_t mesh, RmdlTally* tally, MeshSpan* span, InfoReport* report) {
    const ByteReader& file = *r;
    const std::size_t start = r->offset();
    if (r->left() < kRmdlMeshBytes) {
        return report->fail(strf("mesh %u at offset %zu: %zu bytes left, the fixed part needs %zu", mesh,
                                 start, r->left(), kRmdlMeshBytes));
    }
    const std::uint32_t surfaces = file.u32At(start + velmar::kRmdlSurfaceCountOffset);
    const std::uint32_t keys = file.u32At(start + velmar::kRmdlKeyFrameCountOffset);
    const std::uint32_t children = file.u32At(start + velmar::kRmdlChildCountOffset);
    if (!finiteRun(file, start + velmar::kRmdlMeshTransformOffset, velmar::kRmdlMeshTransformFloats)) {
        report->warn(strf("mesh %u has a transform value that is not finite", mesh));
    }
    if (file.i32At(start) == kRmdlBaseNodeTag) ++tally->baseNodes;
    r->skip(kRmdlMeshBytes);

    const struct {
        const char* what;
        std::uint32_t count;
        std::size_t size;
    } parts[] = {{"surfaces", surfaces, kRmdlSurfaceBytes},
                 {"key frames", keys, kRmdlKeyFrameBytes},
                 {"children", children, kRmdlChildBytes}};
    std::size_t partOffset[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t need = static_cast<std::uint64_t>(parts[i].count) * parts[i].size;
        if (need > r->left()) {
            return report->fail(strf("mesh %u: %u %s need %llu bytes at offset %zu, %zu left", mesh,
                                     parts[i].count, parts[i].what, static_cast<unsigned long long>(need),
                                     r->offset(), r->left()));
        }
        partOffset[i] = r->offset();
        r->skip(need);
    }
    if (!checkSurfaces(file, partOffset[0], surfaces, mesh, tally, report)) return false;
    checkKeyFrames(file, partOffset[1], keys, mesh, report);
    tally->surfaces += surfaces;
    tally->keyFrames += keys;
    tally->children += children;
    if (keys > 0) ++tally->animated;
    span->childOffset = partOffset[2];
    span->childCount = children;
    return true;
}

// --- Tree ---

// The client recurses from the root through the child lists, so an index out
// of range reads outside the mesh array and a cycle never ends.
bool checkTree(const ByteReader& file, const std::vector<MeshSpan>& meshes, std::uint32_t root,
               InfoReport* report) {
    const std::size_t count = meshes.size();
    if (root >= count) {
        return report->fail(strf("root mesh %u is not below the mesh count %zu", root, count));
    }
    constexpr std::uint32_t kNoParent = 0xFFFFFFFFu;
    std::vector<std::uint32_t> parent(count, kNoParent);
    for (std::size_t m = 0; m < count; ++m) {
        for (std::uint32_t c = 0; c < meshes[m].childCount; ++c) {
            const std::uint32_t child = file.u32At(meshes[m].childOffset + c * kRmdlChildBytes);
            if (child >= count) {
                return report->fail(strf("mesh %zu child %u names mesh %u, not below the mesh count %zu", m,
                                         c, child, count));
            }
            if (parent[child] != kNoParent) {
                return report->fail(strf("mesh %u is a child of both mesh %u and mesh %zu; the child lists "
                                         "must form a tree", child, parent[child], m));
            }
            parent[child] = static_cast<std::uint32_t>(m);
        }
    }
    if (parent[root] != kNoParent) {
        return report->fail(strf("root mesh %u is a child of mesh %u: the tree has a cycle", root, parent[root]));
    }
    // With one parent at most, whatever no parentless mesh reaches lies on a cycle.
    std::vector<std::uint8_t> reached(count, 0);
    std::vector<std::uint32_t> stack;
    std::size_t fromRoot = 0;
    for (std::size_t start = 0; start < count; ++start) {
        if (parent[start] != kNoParent) continue;
        stack.push_back(static_cast<std::uint32_t>(start));
        reached[start] = 1;
        while (!stack.empty()) {
            const std::uint32_t m = stack.back();
            stack.pop_back();
            if (start == root) ++fromRoot;
            for (std::uint32_t c = 0; c < meshes[m].childCount; ++c) {
                const std::uint32_t child = file.u32At(meshes[m].childOffset + c * kRmdlChildBytes);
                reached[child] = 1;
                stack.push_back(child);
            }
        }
    }
    for (std::size_t m = 0; m < count; ++m) {
        if (!reached[m]) return report->fail(strf("mesh %zu lies on a cycle of child lists", m));
    }
    report->field("meshes under the root", strf("%zu", fromRoot));
    if (fromRoot != count) {
        report->warn(strf("%zu meshes are not reached from the root and are never drawn", count - fromRoot));
    }
    return true;
}

// --- Report ---

std::string textureList(const std::set<std::int32_t>& ids) {
    std::string out;
    std::size_t shown = 0;
    for (std::int32_t id : ids) {
        if (shown == 16) {
            out += strf(" ... (%zu in all)", ids.size());
            break;
        }
        out += (shown++ ? " " : "") + strf("%d", id);
    }
    return out.empty() ? "none" : out;
}

}  // namespace

bool infoRmdl(const std::uint8_t* data, std::size_t len, InfoReport* report) {
    report->format = "RMDL";
    if (len < 6) return report->fail(strf("file is %zu bytes; magic and version need 6", len));
    ByteReader file(data, len);
    if (!hasMagic(file, kRmdlMagic, report)) return false;
    const std::uint16_t version = file.u16At(velmar::kRmdlVersionOffset);
    report->field("version", strf("%u", version));
    if (version != kRmdlVersion) return report->fail(strf("version %u; the client reads only 1", version));
    if (!holdsHeader(len, kRmdlHeaderBytes, "header", report)) return false;
    const std::uint32_t meshCount = file.u32At(velmar::kRmdlMeshCountOffset);
    const std::uint32_t root = file.u32At(velmar::kRmdlRootMeshOffset);
    report->field("word A", strf("0x%08X", file.u32At(velmar::kRmdlWordAOffset)));
    report->field("meshes", strf("%u", meshCount));
    report->field("root mesh", strf("%u", root));
    report->field("word B", strf("0x%08X", file.u32At(velmar::kRmdlWordBOffset)));
    report->field("byte C", strf("%u", file.u8At(velmar::kRmdlByteCOffset)));
    report->field("P0", vecText(file, velmar::kRmdlP0Offset));
    report->field("P1", vecText(file, velmar::kRmdlP1Offset));
    report->field("P2", vecText(file, velmar::kRmdlP2Offset));
    if (meshCount == 0) return report->fail("mesh count 0; the client refuses a model without meshes");
    const std::uint64_t least = static_cast<std::uint64_t>(meshCount) * kRmdlMeshBytes;
    if (least > len - kRmdlHeaderBytes) {
        return report->fail(strf("%u meshes need at least %llu bytes, %zu left after the header", meshCount,
                                 static_cast<unsigned long long>(least), len - kRmdlHeaderBytes));
    }

    file.seek(kRmdlHeaderBytes);
    RmdlTally tally;
    std::vector<MeshSpan> meshes(meshCount);  // bounded by the file size just checked
    for (std::uint32_t m = 0; m < meshCount; ++m) {
        if (!readMesh(&file, m, &tally, &meshes[m], report)) return false;
    }
    report->field("surfaces", strf("%llu", static_cast<unsigned long long>(tally.surfaces)));
    report->field("key frames", strf("%llu", static_cast<unsigned long long>(tally.keyFrames)));
    report->field("animated meshes", strf("%u", tally.animated));
    report->field("base nodes", strf("%u", tally.baseNodes));
    report->field("texture IDs", textureList(tally.textures));
    if (file.left() > 0) report->warn(strf("%zu bytes after the last mesh are never read", file.left()));
    return checkTree(file, meshes, root, report);
}

}  // namespace contentkit
