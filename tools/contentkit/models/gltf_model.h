// Models from glTF 2.0 (.gltf with its buffers, or one .glb) for
// `contentkit model` and for model files placed on Tiled maps, read with
// tinygltf. The default scene's node tree becomes the mesh tree of an
// RmdlModel under a base root, each node keeping its translation, rotation
// and scale (a node given as a matrix is split into them); every triangle
// primitive's faces become the surfaces of its node, with the texture ID
// the caller gives for the primitive's material and the texture coordinates
// of the set its base colour texture names, moved by KHR_texture_transform.
// A model that requires another extension whose data it cannot read (mesh
// compression) is refused.
//
// glTF is y-up with one unit a metre; the client's model space has heights
// towards -y, so the model is turned half a turn about x as OBJ models are,
// and the root's header vectors centre it and stand it on its lowest point.
// Rotation channels of the first animation become the nodes' key frames
// (linear and step keys; cubic-spline ones by their values); RMDL animates
// nothing else, so translation, scale and weight channels, skins and morph
// targets are left out with a note in the summary.
//
// Nothing is read from disk here: buffers and images outside the file come
// through the caller's reader, and only from the model's folder or below (a
// name that is absolute or leads up out of it is refused). Pure function of the input; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/contentkit/formats/byte_io.h"
#include "tools/contentkit/formats/image.h"
#include "tools/contentkit/formats/rmdl_writer.h"

namespace contentkit {

// Node levels a model's tree may have, its scene's roots being the first.
// Bone chains run long, and the client and RMDL take trees of any depth, but
// the converter walks the tree by recursion, and a hostile chain must not
// exhaust the stack: a level costs under 1 KiB of it, about 11 KiB in a
// sanitized build (2.75 MiB at this depth, of the usual 8 MiB).
constexpr int kGltfMaxNodeDepth = 256;

struct GltfMaterial {
    int index = -1;  // -1: a primitive without material
    std::string name;
    const Image* picture = nullptr;  // the base colour picture, when there is one
    // Why the picture it names could not be taken (picture is null then): a
    // texture given by ID does not need it, one made from it does.
    std::string pictureProblem;
};

struct GltfModelOptions {
    float scale = 1.0f;
    // The texture ID of a material; false with a message refuses the model.
    std::function<bool(const GltfMaterial&, std::int32_t*, std::string*)> texture;
    // A file the model names (a .bin buffer, a picture), by its resolved path.
    std::function<bool(const std::string&, Bytes*, std::string*)> readFile;
};

struct GltfModelSummary {
    std::size_t meshes = 0, triangles = 0, keyFrames = 0;
    std::array<double, 3> size{};     // width, height, depth in model units
    std::vector<std::string> notes;   // what the model holds that RMDL cannot
};

// `file` names the model for messages and as the folder of the files it
// refers to. False with a message for anything that is not a glTF 2.0
// model with triangles, or that the client could not hold.
bool gltfToRmdl(const std::string& file, const std::uint8_t* data, std::size_t size, const GltfModelOptions& options,
                RmdlModel* model, GltfModelSummary* summary, std::string* error);

}  // namespace contentkit
