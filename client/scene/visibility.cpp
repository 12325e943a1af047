#include "client/scene/visibility.h"

#include <algorithm>

#include "client/core/log.h"

namespace velmar {
namespace scene {

bool modelInViewSquare(float x, float z, float sx, float sz, float minX, float maxX, float minY,
                       float maxY) {
    float ax = x - kModelTestExtent * sx, bx = x + kModelTestExtent * sx;
    float ay = z - kModelTestExtent * sz, by = z + kModelTestExtent * sz;
    bool xEdge = (ax >= minX && ax <= maxX) || (bx >= minX && bx <= maxX);
    bool yEdge = (ay >= minY && ay <= maxY) || (by >= minY && by <= maxY);
    return xEdge && yEdge;
}

void Recalc_ViewableCubes(CScene& scene) {
    const MapHeader& h = scene.map->header();
    float d = scene.distance;
    float tx = scene.targetX, ty = -scene.targetZ;
    float edge = static_cast<float>(scene.cubeResolution) * h.cubeSize;
    float ox = static_cast<float>(h.cubesWide) * h.cubeSize / h.cellsPerCubeX;
    float oy = static_cast<float>(h.cubesHigh) * h.cubeSize / h.cellsPerCubeY;

    scene.cubeStack.clear();
    scene.waterStack.clear();
    scene.visibleModels.clear();
    std::uint32_t faces = 0;

    std::vector<PlacedModel>& models = scene.map->models();
    for (std::size_t i = 0; i < models.size(); ++i) {
        const PlacedModel& m = models[i];
        if (!m.model) continue;  // never resolved: neither drawn nor counted
        if (!modelInViewSquare(m.position[0], m.position[2], m.scale[0], m.scale[2], tx - d,
                               tx + d, ty - d, ty + d))
            continue;
        scene.visibleModels.push_back(static_cast<std::uint32_t>(i));
        faces += m.faceCount;
    }

    // Saturating conversions: NaN or infinite extents (a cube size or grid
    // of 0) give an empty or clamped range, never an undefined cast.
    int firstColumn = std::max(0, saturatingTrunc((ox + tx - d) / edge));
    int columnEnd = static_cast<int>(std::min<long long>(
        scene.renderCubesWide, static_cast<long long>(saturatingTrunc((ox + tx + d) / edge)) + 1));
    int firstRow = std::max(0, saturatingTrunc((oy + ty - d) / edge));
    int rowEnd = static_cast<int>(std::min<long long>(
        scene.renderCubesHigh, static_cast<long long>(saturatingTrunc((oy + ty + d) / edge)) + 1));
    bool full = false;
    for (int column = firstColumn; column < columnEnd && !full; ++column) {
        for (int row = firstRow; row < rowEnd; ++row) {
            std::uint32_t n = static_cast<std::uint32_t>(column + row * scene.renderCubesWide);
            scene.cubeStack.push_back(n);
            if (n < scene.waterFlags.size() && scene.waterFlags[n]) {
                if (scene.waterStack.size() < static_cast<std::size_t>(kWaterStackSize))
                    scene.waterStack.push_back(n);
                else
                    Message(kLogWarn, "CScene->Recalc_ViewableCubes: RenderWaterStack overflown.");
            }
            if (scene.cubeStack.size() == static_cast<std::size_t>(kCubeStackSize)) {
                Message(kLogWarn,
                        "CScene->Recalc_ViewableCubes: Out of Space for CubeStack(List) ! (SZ: %d)",
                        kCubeStackSize);
                full = true;
                break;
            }
        }
    }

    scene.lastDistance = scene.distance;
    scene.lastTargetX = scene.targetX;
    scene.lastTargetZ = scene.targetZ;
    scene.lastTargetHeight = scene.targetHeight;
    scene.recalc = false;
    scene.stats.cubes = static_cast<int>(scene.cubeStack.size());
    scene.stats.water = static_cast<int>(scene.waterStack.size());
    scene.stats.models = static_cast<int>(scene.visibleModels.size());
    scene.stats.faces = faces;
}

}  // namespace scene
}  // namespace velmar
