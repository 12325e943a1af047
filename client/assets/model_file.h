// RMDL models in memory: the version 1 file read from a byte span into a model
// of flat mesh nodes that form a tree through child index lists.
//
// Parsing touches no GL: every surface's texture ID is turned into a texture
// reference through the caller's hooks (the model manager passes CTexture),
// so a fuzzer or a test drives it with plain memory. A failed parse logs its
// WARN line and releases everything it made, texture references included.
// The model and all its arrays come from velmar::allocate(); the caller owns
// the result and hands it back to releaseModelData(). Node matrices and the
// bounding box live in model_pose.h; display lists and drawing in model.h.
// Main thread only, like the texture manager behind the hooks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/assets/rmdl_layout.h"
#include "client/core/vmath.h"

namespace velmar {

// --- In-memory model ---
struct ModelVec3 {
    float x, y, z;
};

// One textured triangle in its file form; `texture` holds the texture ID while
// parsing and the texture reference (GL name) once loaded.
struct ModelSurface {
    std::uint32_t texture;
    float vertices[9];   // three x, y, z
    float texCoords[6];  // three s, t in vertex order
    std::uint32_t wordD;
    std::uint32_t wordE;
};
static_assert(sizeof(ModelSurface) == kRmdlSurfaceBytes, "surface keeps its file form");

struct ModelKeyFrame {
    std::int32_t time;
    float q[4];  // x, y, z, w
};

struct ModelMesh {
    std::int32_t tag;
    float fileMatrix[16];  // the file's local matrix, OpenGL order
    ModelVec3 localOffset;
    ModelVec3 position;
    float angle;  // radians
    ModelVec3 axis;
    ModelVec3 scale;
    float unused[9];
    Matrix4 nodeMatrix;   // cached node matrix
    Matrix4 localMatrix;  // cached local matrix
    std::uint8_t isStatic;
    std::uint8_t localReady;
    std::uint8_t compiled;
    std::uint32_t displayList;
    std::uint32_t surfaceCount;
    std::uint32_t keyFrameCount;
    std::uint32_t childCount;
    std::uint32_t* children;
    std::int32_t animTime;
    std::int32_t frameStamp;  // -1: never evaluated
    ModelKeyFrame* keyFrames;
    ModelSurface* surfaces;
};

struct ModelData {
    std::uint32_t wordA;
    std::uint32_t meshCount;
    std::uint32_t rootMesh;
    std::uint32_t wordB;
    std::uint8_t byteC;
    ModelVec3 p0, p1, p2;
    ModelVec3 boxMin, boxMax, boxCentre;
    float extent;
    ModelMesh* meshes;
};

// Texture references for surfaces: `get` gives the name to bind for a texture
// ID (always one reference), `free` gives one reference back.
struct ModelTextureHooks {
    std::uint32_t (*get)(std::int32_t id, void* context);
    void (*free)(std::uint32_t name, void* context);
    void* context;
};

// The per-frame values node matrices depend on: the main loop's frame counter
// and the timer's elapsed milliseconds (the unit of key frame times).
struct ModelClock {
    std::uint32_t frame;
    std::int32_t elapsed;
};

struct ModelLoadOptions {
    bool optimise;  // group surfaces by texture (CompileAndOptimizeModel)
    ModelTextureHooks textures;
    ModelClock clock;  // for the bounding box walk at load
};

// --- Parsing ---

// Builds the model from a whole file's bytes, computes its bounding box and
// returns it; null after the WARN line naming `path`. Refuses files whose
// counts exceed the bytes present and files that validMeshTree refuses
// ("invalid mesh tree", with the reason). A mesh with kMaxMeshTextureSlots
// distinct textures under `optimise` logs CRIT and ends the process (code 1).
ModelData* parseModelData(const std::uint8_t* data, std::size_t size, const char* path,
                          const ModelLoadOptions& options);

// Gives back every surface's texture reference and frees the arrays and the
// model. Display lists are the caller's (see releaseModel in model.h).
void releaseModelData(ModelData* model, const ModelTextureHooks& textures);

// --- Pieces of the parse, open for tests ---

// Decodes `count` 72-byte surface records into `out`, grouped by texture ID:
// the IDs in order of first appearance, each group in file order. False when
// there are kMaxMeshTextureSlots or more distinct IDs (out is then undefined).
bool groupSurfacesByTexture(const std::uint8_t* records, std::uint32_t count, ModelSurface* out);

// True when the root and every child index lie in the mesh array and the walk
// from the root meets no node twice (no cycle, no node shared by two parents,
// either of which would make the walk endless or grow without bound). Nodes
// the walk never meets may hang anywhere, the root below one of them
// included; trees may be of any depth. Otherwise false, with the reason in
// `why` (`whySize` bytes, may be null).
bool validMeshTree(const ModelData& model, char* why = nullptr, std::size_t whySize = 0);

}  // namespace velmar
