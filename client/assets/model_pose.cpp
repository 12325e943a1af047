#include "client/assets/model_pose.h"

#include <cmath>
#include <vector>

namespace velmar {

namespace {

constexpr float kHalfPi = 1.5707964f;
constexpr float kRadToDeg = 180.0f * 0.31831014f;

inline float& at(Matrix4& m, int row, int col) { return m.m[col * 4 + row]; }

Matrix4 translation(float x, float y, float z) {
    Matrix4 t = matIdentity();
    t.m[12] = x;
    t.m[13] = y;
    t.m[14] = z;
    return t;
}

Matrix4 product(const Matrix4& a, const Matrix4& b) {
    Matrix4 out;
    matMultiply(a, b, out);
    return out;
}

ModelQuat normalised(const ModelQuat& q) {
    const float length = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    // All-zero or broken key data: no turn rather than NaNs in the scene.
    if (!(length > 0.0f) || !std::isfinite(length)) return ModelQuat{0.0f, 0.0f, 0.0f, 1.0f};
    return ModelQuat{q.x / length, q.y / length, q.z / length, q.w / length};
}

ModelQuat quatOf(const ModelKeyFrame& key) { return ModelQuat{key.q[0], key.q[1], key.q[2], key.q[3]}; }

Matrix4 nodeTranslation(const ModelData& model, const ModelMesh& mesh) {
    if (mesh.tag != kRmdlBaseNodeTag) return translation(mesh.position.x, mesh.position.y, mesh.position.z);
    if (mesh.childCount > 0) return translation(-model.p2.x, -model.p1.y, -model.p2.z);
    return translation(0.0f, model.p2.y - model.p1.y, 0.0f);
}

void extendBox(ModelData& model, const ModelMesh& mesh, const Matrix4& full) {
    for (std::uint32_t s = 0; s < mesh.surfaceCount; ++s) {
        const float* v = mesh.surfaces[s].vertices;
        for (int k = 0; k < 3; ++k, v += 3) {
            float p[3];
            for (int row = 0; row < 3; ++row)
                p[row] = full.m[row] * v[0] + full.m[4 + row] * v[1] + full.m[8 + row] * v[2] +
                         full.m[12 + row];
            // Plain comparisons: inlined, and a NaN point moves no corner.
            if (p[0] < model.boxMin.x) model.boxMin.x = p[0];
            if (p[1] < model.boxMin.y) model.boxMin.y = p[1];
            if (p[2] < model.boxMin.z) model.boxMin.z = p[2];
            if (p[0] > model.boxMax.x) model.boxMax.x = p[0];
            if (p[1] > model.boxMax.y) model.boxMax.y = p[1];
            if (p[2] > model.boxMax.z) model.boxMax.z = p[2];
        }
    }
}

}  // namespace

// --- Rotations ---

Matrix4 axisRotationMatrix(float radians, const ModelVec3& axis) {
    const float angle = radians * kRadToDeg * kDegToRad;
    const float s = tableSin(angle);
    const float c = tableCos(angle);
    float x = axis.x, y = axis.y, z = axis.z;
    const float lengthSq = x * x + y * y + z * z;
    if (lengthSq > 1.0f) {
        const float length = std::sqrt(lengthSq);
        x /= length;
        y /= length;
        z /= length;
    }
    const float oneC = 1.0f - c;
    Matrix4 r = matIdentity();
    at(r, 0, 0) = oneC * x * x + c;
    at(r, 0, 1) = oneC * x * y - z * s;
    at(r, 0, 2) = oneC * z * x + y * s;
    at(r, 1, 0) = oneC * x * y + z * s;
    at(r, 1, 1) = oneC * y * y + c;
    at(r, 1, 2) = oneC * y * z - x * s;
    at(r, 2, 0) = oneC * z * x - y * s;
    at(r, 2, 1) = oneC * y * z + x * s;
    at(r, 2, 2) = oneC * z * z + c;
    return r;
}

Matrix4 quaternionMatrix(const ModelQuat& q) {
    Matrix4 r = matIdentity();
    at(r, 0, 0) = 1.0f - 2.0f * (q.y * q.y + q.z * q.z);
    at(r, 0, 1) = 2.0f * (q.x * q.y - q.z * q.w);
    at(r, 0, 2) = 2.0f * (q.x * q.z + q.y * q.w);
    at(r, 1, 0) = 2.0f * (q.x * q.y + q.z * q.w);
    at(r, 1, 1) = 1.0f - 2.0f * (q.x * q.x + q.z * q.z);
    at(r, 1, 2) = 2.0f * (q.y * q.z - q.x * q.w);
    at(r, 2, 0) = 2.0f * (q.x * q.z - q.y * q.w);
    at(r, 2, 1) = 2.0f * (q.y * q.z + q.x * q.w);
    at(r, 2, 2) = 1.0f - 2.0f * (q.x * q.x + q.y * q.y);
    return r;
}

ModelQuat keyFrameRotation(ModelKeyFrame* keys, std::uint32_t count, std::int32_t time) {
    std::uint32_t p = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (keys[i].time > time) {
            p = i == 0 ? 0 : i - 1;
            break;
        }
    }
    const std::uint32_t n = p + 1 < count ? p + 1 : 0;
    const std::int64_t span = std::int64_t{keys[n].time} - keys[p].time;
    const float f = span == 0 ? 0.0f
                              : static_cast<float>(std::int64_t{time} - keys[p].time) /
                                    static_cast<float>(span);

    float* a = keys[p].q;
    float* b = keys[n].q;
    float diff = 0.0f, sum = 0.0f;
    for (int k = 0; k < 4; ++k) {
        diff += (a[k] - b[k]) * (a[k] - b[k]);
        sum += (a[k] + b[k]) * (a[k] + b[k]);
    }
    if (diff > sum)
        for (int k = 0; k < 4; ++k) b[k] = -b[k];
    const float c = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];

    ModelQuat r;
    if (1.0f + c > 1e-8f) {
        float wa = 1.0f - f, wb = f;
        if (1.0f - c > 1e-8f) {
            const float theta = std::acos(c);
            const float sinTheta = tableSin(theta);
            wa = tableSin((1.0f - f) * theta) / sinTheta;
            wb = tableSin(f * theta) / sinTheta;
        }
        r = ModelQuat{wa * a[0] + wb * b[0], wa * a[1] + wb * b[1], wa * a[2] + wb * b[2],
                      wa * a[3] + wb * b[3]};
    } else {
        const float bx = -a[1], by = a[0], bz = -a[3], bw = a[2];
        const float wa = tableSin((1.0f - f) * kHalfPi), wb = tableSin(f * kHalfPi);
        r = ModelQuat{wa * a[0] + wb * bx, wa * a[1] + wb * by, wa * a[2] + wb * bz, bw};
    }
    return normalised(r);
}

std::int32_t wrapAnimationTime(std::int32_t elapsed, std::int32_t lastKeyTime) {
    // After 2^31 ms (some 25 days up) the 32-bit time base turns negative:
    // counted on as unsigned it goes on without a jump, where a negative
    // time would pose the node far outside its keys.
    const auto time = static_cast<std::uint32_t>(elapsed);
    const auto last = static_cast<std::uint32_t>(lastKeyTime);
    if (time <= last) return static_cast<std::int32_t>(time);
    // Repeated subtraction stops at lastKeyTime itself, not at 0.
    return static_cast<std::int32_t>((time - 1) % last + 1);
}

// --- Node matrices ---

const Matrix4& meshLocalMatrix(const ModelData& model, ModelMesh& mesh) {
    if (mesh.localReady) return mesh.localMatrix;
    Matrix4 shift;
    if (mesh.tag == kRmdlBaseNodeTag && mesh.childCount == 0)
        shift = translation(-model.p2.x, -model.p2.y, -model.p2.z);
    else
        shift = translation(mesh.localOffset.x, mesh.localOffset.y, mesh.localOffset.z);
    Matrix4 file;
    for (int i = 0; i < 16; ++i) file.m[i] = mesh.fileMatrix[i];
    mesh.localMatrix = product(shift, file);
    mesh.localReady = 1;
    return mesh.localMatrix;
}

const Matrix4& meshNodeMatrix(const ModelData& model, ModelMesh& mesh, const ModelClock& clock) {
    if (mesh.isStatic) return mesh.nodeMatrix;
    const bool animated = mesh.keyFrameCount > 0;
    if (animated && mesh.frameStamp == static_cast<std::int32_t>(clock.frame)) return mesh.nodeMatrix;

    const std::int32_t lastTime = animated ? mesh.keyFrames[mesh.keyFrameCount - 1].time : 0;
    const bool frozen = !animated || lastTime <= 0;
    Matrix4 rotation;
    if (!animated)
        rotation = axisRotationMatrix(mesh.angle, mesh.axis);
    else if (lastTime <= 0)
        rotation = quaternionMatrix(normalised(quatOf(mesh.keyFrames[0])));
    else
        rotation = quaternionMatrix(keyFrameRotation(mesh.keyFrames, mesh.keyFrameCount, mesh.animTime));
    const Matrix4 scale = [&mesh] {
        Matrix4 s = matIdentity();
        s.m[0] = mesh.scale.x;
        s.m[5] = mesh.scale.y;
        s.m[10] = mesh.scale.z;
        return s;
    }();
    mesh.nodeMatrix = product(product(nodeTranslation(model, mesh), rotation), scale);

    if (frozen) {
        mesh.isStatic = 1;
    } else {
        mesh.animTime = wrapAnimationTime(clock.elapsed, lastTime);
        mesh.frameStamp = static_cast<std::int32_t>(clock.frame);
    }
    return mesh.nodeMatrix;
}

// --- Bounding box ---

void computeModelBoundingBox(ModelData& model, const ModelClock& clock) {
    model.boxMin = ModelVec3{999999.0f, 999999.0f, 999999.0f};
    model.boxMax = ModelVec3{-999999.0f, -999999.0f, -999999.0f};
    if (model.meshes != nullptr && model.rootMesh < model.meshCount) {
        // A stack of our own, as deep as the tree: no call depth, no cap.
        struct Frame {
            Matrix4 toModel;
            std::uint32_t mesh;
            std::uint32_t nextChild;
        };
        std::vector<Frame> stack;
        Matrix4 flip = matIdentity();
        flip.m[5] = -1.0f;
        auto enter = [&](std::uint32_t index, const Matrix4& parent) {
            ModelMesh& mesh = model.meshes[index];
            const Matrix4 toModel = product(parent, meshNodeMatrix(model, mesh, clock));
            extendBox(model, mesh, product(toModel, meshLocalMatrix(model, mesh)));
            stack.push_back(Frame{toModel, index, 0});
        };
        enter(model.rootMesh, flip);
        while (!stack.empty()) {
            Frame& f = stack.back();
            const ModelMesh& mesh = model.meshes[f.mesh];
            if (f.nextChild < mesh.childCount) {
                const std::uint32_t child = mesh.children[f.nextChild++];
                if (child >= model.meshCount) continue;
                const Matrix4 parent = f.toModel;  // enter may move the stack
                enter(child, parent);
            } else {
                stack.pop_back();
            }
        }
    }
    model.boxCentre = ModelVec3{(model.boxMin.x + model.boxMax.x) * 0.5f,
                                (model.boxMin.y + model.boxMax.y) * 0.5f,
                                (model.boxMin.z + model.boxMax.z) * 0.5f};
    const float ex = std::fmax(-model.boxMin.x, model.boxMax.x);
    const float ey = std::fmax(-model.boxMin.y, model.boxMax.y);
    const float ez = std::fmax(-model.boxMin.z, model.boxMax.z);
    model.extent = std::fmax(ex, std::fmax(ey, ez));
}

}  // namespace velmar
