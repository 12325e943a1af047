#include "client/scene/scene.h"

#include <cmath>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/runtime.h"
#include "client/storage/ini_file.h"

namespace velmar {
namespace scene {

namespace {

CScene* g_active = nullptr;
void (*g_enable3D)(bool) = nullptr;

void drawEnable3D(bool on) {
    if (g_enable3D) g_enable3D(on);
}

constexpr char kWaterIni[] = "./data/def/Water.ini";

// A float key: text of at most 29 characters with the default written by %f.
float readFloat(const IniFile& ini, const char* section, const char* key, float fallback) {
    char text[32];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(fallback));
    std::string value = ini.getString(section, key, text, 30);
    return std::strtof(value.c_str(), nullptr);
}

bool readBool(const IniFile& ini, const char* section, const char* key, bool fallback) {
    std::string value = ini.getString(section, key, fallback ? "True" : "False", 10);
    return strcasecmp(value.c_str(), "True") == 0;
}

void readCamera(const IniFile& ini, CameraLimits& c) {
    c.initAngle = readFloat(ini, "Camera", "InitAngle", 0.0f);
    c.initDist = readFloat(ini, "Camera", "InitDist", 90.0f);
    c.initVert = readFloat(ini, "Camera", "InitVert", 4.5f);
    c.distMin = readFloat(ini, "Camera", "DistMin", 63.0f);
    c.distMax = readFloat(ini, "Camera", "DistMax", 130.0f);
    if (c.distMin < 35.0f) c.distMin = 35.0f;
    if (c.distMax > 300.0f) c.distMax = 300.0f;
    c.vertMin = readFloat(ini, "Camera", "VertMin", 1.5f);
    c.vertMax = readFloat(ini, "Camera", "VertMax", 6.0f);
    c.angleMin = readFloat(ini, "Camera", "AngleMin", 0.0f);
    c.angleMax = readFloat(ini, "Camera", "AngleMax", 360.0f);
    c.lockAngle = readBool(ini, "Camera", "LockAngle", false);
    c.lockDist = readBool(ini, "Camera", "LockDist", true);
    c.lockVert = readBool(ini, "Camera", "LockVert", true);
}

constexpr std::int32_t kMaxWaterFrames = 65536;

// A file that is there but cannot be read would otherwise look missing.
void warnIfUnreadable(const IniFile& ini, const char* name) {
    if (!ini.problem().empty()) Message(kLogWarn, "CScene: '%s' cannot be read (%s)", name, ini.problem().c_str());
}

void readWater(CScene& scene) {
    auto water = std::make_unique<Water>();
    int type = scene.map->header().waterType;
    char section[32];
    std::snprintf(section, sizeof section, "Water_%d", type);
    const IniFile ini(kWaterIni);  // once for all its keys
    warnIfUnreadable(ini, kWaterIni);
    water->frameCount = ini.getInt(section, "FrameCount", 1);
    water->frameTime = ini.getInt(section, "FrameTime", 1000);
    water->firstTexId = ini.getInt(section, "FirstVKTexID", 0);
    const char* colourKeys[] = {"R", "G", "B", "A"};
    for (int i = 0; i < 4; ++i)
        water->colour[i] = static_cast<std::uint8_t>(ini.getInt(section, colourKeys[i], 255));
    if (ini.getInt(section, "FrameCount", 15000) == 15000)
        Message(kLogWarn, "Water Type '%d' seems to be undef - using default values!", type);
    // Also for a section without FrameCount: a FrameTime of 0 alone would
    // make the animation a period-0 timer, and no frames leave nothing to draw.
    // A count past any real animation would only allocate (and request
    // textures) until memory runs out.
    if (water->frameCount < 1 || water->frameCount > kMaxWaterFrames || water->frameTime < 1) {
        Message(kLogWarn, "Water Type '%d': invalid FrameCount/FrameTime - using default values!",
                type);
        water->frameCount = 1;
        water->frameTime = 1000;
    }
    std::size_t frames = static_cast<std::size_t>(water->frameCount);
    water->frameName.assign(frames, 0);
    water->frameWidth.assign(frames, 0.0f);
    water->frameHeight.assign(frames, 0.0f);
    water->timerEvent = -1;
    scene.water = std::move(water);
}

}  // namespace

int saturatingTrunc(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0f) return INT_MAX;
    if (value <= -2147483648.0f) return INT_MIN;
    return static_cast<int>(value);
}

std::unique_ptr<CScene> createScene(const char* mapName) {
    auto scene = std::make_unique<CScene>();
    scene->mapName = mapName;
    Message(kLogInfo, "CScene: Creating New Scene '%s'.", mapName);
    const std::string iniName = std::string("./data/map/") + mapName + ".ini";
    const IniFile ini(iniName.c_str());  // once for all its keys
    warnIfUnreadable(ini, iniName.c_str());
    scene->rmapName = ini.getString("Scene", "RMap", "", 20);
    if (scene->rmapName.empty()) {
        Message(kLogWarn,
                "CScene::CSCene: Definition File for Requested Mapname '%s' doesnt contain the "
                "Required link to RMAP File",
                mapName);
        return scene;
    }
    scene->displayName = ini.getString("Scene", "Name", "", 256);
    scene->bgm = ini.getString("Scene", "BGM", "", 20);
    scene->miniMap = strcasecmp(ini.getString("Scene", "MiniMap", "True", 7).c_str(), "True") == 0;
    readCamera(ini, scene->limits);
    scene->cellX = 1.0f;
    scene->cellY = 1.0f;
    scene->layer = 0;

    scene->map = std::make_unique<CRMap>();
    scene->map->load(scene->rmapName.c_str());
    if (!scene->map->loaded()) {
        Message(kLogWarn, "CScene->LoadRMap: '%s' Failed.", scene->rmapName.c_str());
        scene->map.reset();
        return scene;
    }
    const MapHeader& header = scene->map->header();
    if (header.hasWater == 1) readWater(*scene);
    scene->blink.timerEvent = -1;
    scene->valid = true;
    return scene;
}

// --- Activation and the selected cell ---

CScene* activeScene() { return g_active; }

void setEnable3DHook(void (*enable3D)(bool on)) { g_enable3D = enable3D; }

void sceneSetActive(CScene* scene) {
    if (!scene) {
        if (!g_active) return;
        g_active = nullptr;
        drawEnable3D(false);
        Message(kLogInfo, "sceneSetActive: Disabled Scene Rendering (no active scene)");
        return;
    }
    if (!g_active) {
        drawEnable3D(true);
        Message(kLogInfo, "sceneSetActive: Set '%s' active.", scene->rmapName.c_str());
    } else {
        Message(kLogInfo, "sceneSetActive: Switched to '%s'.", scene->rmapName.c_str());
    }
    scene->angle = scene->limits.initAngle;
    scene->distance = scene->limits.initDist;
    scene->vertical = scene->limits.initVert;
    g_active = scene;
    SetVKCellLayer(*scene, 0);
    SetVKCellPos(*scene, 1.0f, 1.0f);
    scene->cameraChanged = true;
}

void SetVKCellLayer(CScene& scene, int layer) {
    int layers = scene.map ? scene.map->header().layerCount : 0;
    if (layer >= layers || layer < 0) {
        Message(kLogCrit,
                "CScene::SetVKCellLayer: This Map(%s) has only %d Layer's; tried to set up Layer: "
                "%d",
                scene.rmapName.c_str(), layers, layer);
        exitProcess(1);
    }
    Message(kLogInfo, "CScene::SetVKCellLayer: %d (on %s)", layer, scene.rmapName.c_str());
    scene.layer = static_cast<std::uint8_t>(layer);
}

void SetVKCellPos(CScene& scene, float x, float y) {
    if (CLOG* log = CLOG::instance())
        log->Trace(false, "scene\\scene", 1708, "velmar::scene::CScene::SetVKCellPos",
                   "set %0.3f %0.3f\n", static_cast<double>(x), static_cast<double>(y));
    scene.cellX = x;
    scene.cellY = y;
    scene.cursorChanged = true;
    scene.cameraChanged = true;
}

void advanceWater(int, void* userData, int) {
    Water* water = static_cast<CScene*>(userData)->water.get();
    if (!water) return;
    std::int32_t next = water->currentFrame.load(std::memory_order_relaxed) + 1;
    water->currentFrame.store(next >= water->frameCount ? 0 : next, std::memory_order_relaxed);
    float phase = water->phase.load(std::memory_order_relaxed) + 8.0f;
    // Kept within one turn so the sine's argument never loses precision.
    water->phase.store(phase >= 360.0f ? phase - 360.0f : phase, std::memory_order_relaxed);
}

}  // namespace scene
}  // namespace velmar
