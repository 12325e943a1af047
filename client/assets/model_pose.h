// Node transforms of loaded models: the local matrix of a node's own
// triangles, the node matrix its children inherit (placement, rotation
// animated by key frames, scale), and the bounding box over the node tree.
//
// Pure arithmetic on a ModelData, no GL. Both matrices are cached in the mesh:
// the local one for good, a static node's matrix for good, an animated node's
// once per frame. Sines and cosines come from the engine's table
// (initTrigTables must have run). Main thread only: evaluation writes the
// caches and may flip a stored key frame quaternion's sign.
#pragma once

#include <cstdint>

#include "client/assets/model_file.h"
#include "client/core/vmath.h"

namespace velmar {

struct ModelQuat {
    float x, y, z, w;
};

// --- Rotations ---

// The rotation by `radians` about `axis` as glRotatef builds it; the axis is
// normalised only when its squared length exceeds 1.
Matrix4 axisRotationMatrix(float radians, const ModelVec3& axis);

// The rotation of a unit quaternion.
Matrix4 quaternionMatrix(const ModelQuat& q);

// The unit rotation of `keys` at `time`: spherical interpolation between the
// pair around it. Keys with equal times (and a single key) give the earlier
// key's pose. May negate the later key's stored quaternion so that the pair
// turns the short way. `count` must be at least 1.
ModelQuat keyFrameRotation(ModelKeyFrame* keys, std::uint32_t count, std::int32_t time);

// The timer's elapsed time wrapped into (0, lastKeyTime] as repeated
// subtraction would leave it; unchanged when not above lastKeyTime.
// lastKeyTime must be above 0.
std::int32_t wrapAnimationTime(std::int32_t elapsed, std::int32_t lastKeyTime);

// --- Node matrices ---

const Matrix4& meshLocalMatrix(const ModelData& model, ModelMesh& mesh);
// Computes when needed (see the cache rules above). A node whose last key
// time is 0 or less holds its first key's pose and counts as static.
const Matrix4& meshNodeMatrix(const ModelData& model, ModelMesh& mesh, const ModelClock& clock);

// --- Bounding box ---

// Sets boxMin/boxMax/boxCentre/extent from the triangles of the nodes under
// the root, posed at their current animation time, with the model's Y axis
// flipped. Walks without recursion, at any depth, over a tree that
// validMeshTree accepts.
void computeModelBoundingBox(ModelData& model, const ModelClock& clock);

}  // namespace velmar
