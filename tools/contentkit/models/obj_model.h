// Models from Wavefront OBJ text for `contentkit model`: reads positions
// (v), texture coordinates (vt) and faces (f, in the v, v/vt, v//vn and
// v/vt/vn forms, negative indices counting back from the last definition),
// fans every convex polygon into triangles (a concave one is cut
// into ears) and builds an RmdlModel for writeRmdl.
// Normals, smoothing groups, lines, `g` and material libraries are skipped
// (the libraries' names are listed in the summary). A leading UTF-8 byte
// order mark is skipped too.
//
// Faces of one `o` object and one `usemtl` material make one mesh. A file
// with a single such group becomes a single mesh; several become children
// of an empty root mesh. Each mesh's triangles name one texture ID: the one
// given for its material, else the default ID.
//
// OBJ models are y-up; the client's model space has heights growing towards
// -y, so the model is turned half a turn about x (y and z change sign, the
// winding stays). The root is a base node and P0/P1/P2 hold the highest
// corner, the lowest corner and the centre, so the client centres the model
// over its placement and stands it on its lowest point.
//
// Hostile input (an index out of range, a number that is not finite, an
// over-long line, counts past the limits below) is refused with a message
// naming the line. Pure functions of their arguments; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/contentkit/formats/rmdl_writer.h"

namespace contentkit {

constexpr std::size_t kObjMaxLineLength = 65536;  // bytes, without the line break
constexpr std::size_t kObjMaxVertices = std::size_t{1} << 24;  // each of v and vt
constexpr std::size_t kObjMaxTriangles = std::size_t{1} << 22;
constexpr std::size_t kObjMaxConcaveCorners = 256;  // cutting one costs up to the cube of its corners

struct ObjModelOptions {
    bool hasDefaultTexture = false;
    std::int32_t defaultTexture = 0;
    std::vector<std::pair<std::string, std::int32_t>> materialTextures;  // usemtl name, texture ID
    float scale = 1.0f;                       // applied to every position
    std::size_t maxTriangles = kObjMaxTriangles;
};

// What the author sees after a conversion.
struct ObjModelSummary {
    std::size_t meshes = 0;
    std::size_t triangles = 0;
    std::array<double, 3> size{};  // width, height, depth in model units
    std::vector<std::string> unusedMaterials;  // given a texture but never used by a face
    std::vector<std::string> materialLibraries;  // as mtllib names them; never read
};

// Builds the model from a whole OBJ file's bytes. False with a message
// ("line N: ...") when the text cannot be turned into a model.
bool objToRmdl(const std::uint8_t* data, std::size_t size, const ObjModelOptions& options,
               RmdlModel* model, ObjModelSummary* summary, std::string* error);

// `contentkit model IN.obj OUT.rmdl --texture ID|NAME=ID... [--scale S]`,
// without the command word.
struct ModelCommandArgs {
    std::string input, output;
    ObjModelOptions options;
};

bool parseModelArgs(int argc, char** argv, ModelCommandArgs* args, std::string* error);

}  // namespace contentkit
