// CScene: one map made ready for display. Creation reads the map's
// definition file ("./data/map/<name>.ini"), loads the map, reads its water
// type from "./data/def/Water.ini"; PrepareMap (prepare.h) later turns it
// into GL resources. At most one scene is active: the one the scene draw,
// the camera and the cell cursor act on.
//
// The scene owns its map and every array below. Everything runs on the main
// thread, except the water and blink timer callbacks, which write their few
// fields from the timer thread without a lock (a stale value costs one
// frame).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/core/vmath.h"
#include "client/scene/first_map.h"
#include "client/scene/lightmap_atlas.h"
#include "client/scene/rmap.h"

namespace velmar {
namespace scene {

constexpr int kCubeStackSize = 10240;
constexpr int kWaterStackSize = 512000;
constexpr int kWaterPositionsMax = 2501;

struct WaterRecord {
    std::int32_t count = 0;
    std::vector<std::int32_t> positions;  // column, row pairs
};

struct CameraLimits {
    float initAngle = 0.0f, initDist = 90.0f, initVert = 4.5f;
    float distMin = 63.0f, distMax = 130.0f;
    float vertMin = 1.5f, vertMax = 6.0f;
    float angleMin = 0.0f, angleMax = 360.0f;
    bool lockAngle = false, lockDist = true, lockVert = true;
};

struct Water {
    std::int32_t frameCount = 1, frameTime = 1000, firstTexId = 0;
    std::uint8_t colour[4] = {255, 255, 255, 255};
    std::vector<unsigned> frameName;
    std::vector<float> frameWidth, frameHeight;
    std::atomic<std::int32_t> currentFrame{0};
    std::atomic<float> phase{0.0f};  // degrees
    int timerEvent = -1;
};

struct CellCursor {
    int column = 0, row = 0;  // last picked
    bool valid = false;
    float x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    float height[4] = {};
    float vertex[4][3] = {};
};

struct ClickBlink {
    std::atomic<bool> active{false};
    std::atomic<int> calls{0};
    int limit = 6;
    std::atomic<int> colourIndex{0};
    float colour[2][4] = {{1, 0, 0, 1}, {0.7f, 0.4f, 0, 1}};
    float vertex[4][3] = {};
    std::atomic<int> timerEvent{-1};
};

struct VisibilityStats {
    int cubes = 0, water = 0, models = 0;
    std::uint32_t faces = 0;
};

struct CScene {
    bool valid = false, prepared = false;
    std::string mapName;
    std::string rmapName, displayName, bgm;
    bool miniMap = true;
    std::unique_ptr<CRMap> map;

    CameraLimits limits;
    float angle = 0.0f, distance = 0.0f, vertical = 0.0f;
    float cellX = 1.0f, cellY = 1.0f;
    std::uint8_t layer = 0;
    float targetX = 0.0f, targetZ = 0.0f, targetHeight = 0.0f;
    float eyeX = 0.0f, eyeHeight = 0.0f, eyeZ = 0.0f;
    bool cameraChanged = false, cursorChanged = false, recalc = false;
    float lastTargetX = 0.0f, lastTargetZ = 0.0f, lastTargetHeight = 0.0f, lastDistance = 0.0f;

    Matrix4 world = matIdentity();
    Matrix4 groundView = matIdentity();
    Matrix4 modelView = matIdentity();

    // The lightmaps as atlas pages (present when static lighting is on and
    // the map has lightmaps): one GL name per page, and where each of the
    // map's lightmaps lies on them.
    std::vector<unsigned> lightmapNames;
    std::vector<AtlasPlace> lightmapPlaces;
    std::uint64_t lightmapBytes = 0;
    std::unique_ptr<Water> water;  // present when the map has water

    int cubeResolution = 1;
    int renderCubesWide = 0, renderCubesHigh = 0, renderCubeCount = 0;
    std::vector<std::uint8_t> waterFlags;
    std::vector<WaterRecord> waterRecords;
    unsigned groundListBase = 0, lightmapListBase = 0;
    unsigned cellListBase[kMaxLayers] = {};
    unsigned lightmapBeginList = 0, lightmapEndList = 0;
    unsigned cursorTexture = 0;

    std::vector<std::uint32_t> cubeStack;
    std::vector<std::uint32_t> waterStack;
    std::vector<std::uint32_t> visibleModels;
    VisibilityStats stats;

    CellCursor cursor;
    ClickBlink blink;
};

// Builds the scene of `mapName`; the caller tests `valid`. Never null.
std::unique_ptr<CScene> createScene(const char* mapName);

// The draw front end's 3D switch, told when a scene becomes active or none
// is; unset, nothing is told.
void setEnable3DHook(void (*enable3D)(bool on));

// Makes `scene` the active one, or leaves none with null.
void sceneSetActive(CScene* scene);
CScene* activeScene();

// Ends the process with code 1 for a layer the map does not have.
void SetVKCellLayer(CScene& scene, int layer);
void SetVKCellPos(CScene& scene, float x, float y);

// The water animation's timer event: next frame, wave phase + 8 degrees.
void advanceWater(int id, void* scene, int extra);

// The map's coordinates as integers for indexing: truncation toward zero,
// saturated to the int range, NaN as 0.
int saturatingTrunc(float value);

}  // namespace scene
}  // namespace velmar
