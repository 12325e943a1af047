// INI writer for the map definition files ("data/map/NAME.ini") and the water
// types ("data/def/Water.ini"), which the client reads with profile-string
// lookups: "[Section]" headers and "Key=Value" lines, names matched without
// regard to letter case, blanks around values dropped.
//
// IniFile is a generic ordered description; MapIni and WaterType are the two
// documents the client knows, turned into an IniFile with every value checked
// against what the client reads back unchanged (text lengths, float text,
// limits it would silently correct). Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/contentkit/formats/byte_io.h"

namespace contentkit {

struct IniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;

    IniSection& set(const std::string& key, const std::string& value);
};

struct IniFile {
    std::vector<IniSection> sections;
    bool crlf = true;

    // The section of that name (letter case ignored), appended when absent.
    IniSection& section(const std::string& name);
};

// False with a message for an empty or malformed name, a value with a line
// break or outer blanks, or a duplicate section or key (letter case ignored).
bool writeIni(const IniFile& ini, Bytes* out, std::string* error);

// Shortest fixed-point text that reads back as exactly `value`; false for a
// value that is not finite.
bool formatIniFloat(float value, std::string* out);

// Text buffer sizes of the client's reads, terminating NUL included.
constexpr std::size_t kMapRMapBuffer = 20;
constexpr std::size_t kMapNameBuffer = 256;
constexpr std::size_t kMapBgmBuffer = 20;
constexpr std::size_t kMapMiniMapBuffer = 7;
constexpr std::size_t kMapFloatBuffer = 30;
constexpr std::size_t kMapBoolBuffer = 10;
constexpr float kCameraDistFloor = 35.0f;
constexpr float kCameraDistCeiling = 300.0f;
// FrameCount read with this default marks an undefined water type.
constexpr int kWaterUndefinedMarker = 15000;

struct MapIni {
    std::string rmap;  // RMAP file name in data/map/, required
    std::string name;
    std::string bgm;
    bool miniMap = true;
    float initAngle = 0.0f, initDist = 90.0f, initVert = 4.5f;
    float distMin = 63.0f, distMax = 130.0f;
    float vertMin = 1.5f, vertMax = 6.0f;
    float angleMin = 0.0f, angleMax = 360.0f;
    bool lockAngle = false, lockDist = true, lockVert = true;
};

struct WaterType {
    int type = 0;  // section "Water_<type>"
    int frameCount = 1;
    int frameTime = 1000;  // milliseconds per frame
    int firstTexId = 0;
    std::uint8_t r = 255, g = 255, b = 255, a = 255;
};

bool buildMapIni(const MapIni& map, IniFile* out, std::string* error);
bool buildWaterIni(const std::vector<WaterType>& types, IniFile* out, std::string* error);

}  // namespace contentkit
