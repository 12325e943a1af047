// INI writing and the map and water documents.
#include "tools/contentkit/formats/ini_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool outerBlank(const std::string& s) { return !s.empty() && (isBlank(s.front()) || isBlank(s.back())); }

bool checkName(const std::string& what, const std::string& name, const char* forbidden,
               std::string* error) {
    if (name.empty() || hasLineBreak(name) || outerBlank(name) ||
        name.find_first_of(forbidden) != std::string::npos) {
        *error = what + " name '" + name + "' is empty or holds a line break, outer blank or one of " +
                 forbidden;
        return false;
    }
    return true;
}

bool checkSection(const IniSection& section, std::string* error) {
    if (!checkName("section", section.name, "[]", error)) return false;
    for (std::size_t i = 0; i < section.keys.size(); ++i) {
        const auto& [key, value] = section.keys[i];
        if (!checkName("key", key, "=", error)) return false;
        if (key[0] == ';' || key[0] == '[') {
            *error = "key '" + key + "' would read as a comment or section";
            return false;
        }
        if (hasLineBreak(value) || outerBlank(value)) {
            *error = "value of [" + section.name + "] " + key + " holds a line break or outer blank";
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (equalNoCase(section.keys[j].first, key)) {
                *error = "key '" + key + "' appears twice in [" + section.name + "]";
                return false;
            }
        }
    }
    return true;
}

bool addFloat(IniSection* s, const char* key, float value, std::string* error) {
    std::string text;
    if (!formatIniFloat(value, &text) || text.size() >= kMapFloatBuffer) {
        *error = std::string(key) + " has no exact text of at most 29 characters";
        return false;
    }
    s->set(key, text);
    return true;
}

bool checkText(const char* key, const std::string& value, std::size_t buffer, std::string* error) {
    if (value.size() >= buffer) {
        *error = std::string(key) + " is longer than " + std::to_string(buffer - 1) + " characters";
        return false;
    }
    return true;
}

bool checkRange(const char* lowKey, float low, const char* highKey, float high, std::string* error) {
    if (low > high) {
        *error = std::string(lowKey) + " is above " + highKey;
        return false;
    }
    return true;
}

const char* boolText(bool v) { return v ? "True" : "False"; }

}  // namespace

// --- Generic INI ---

IniSection& IniSection::set(const std::string& key, const std::string& value) {
    for (auto& kv : keys) {
        if (equalNoCase(kv.first, key)) {
            kv.second = value;
            return *this;
        }
    }
    keys.emplace_back(key, value);
    return *this;
}

IniSection& IniFile::section(const std::string& name) {
    for (IniSection& s : sections) {
        if (equalNoCase(s.name, name)) return s;
    }
    sections.push_back({name, {}});
    return sections.back();
}

bool writeIni(const IniFile& ini, Bytes* out, std::string* error) {
    const char* eol = ini.crlf ? "\r\n" : "\n";
    std::string text;
    for (std::size_t i = 0; i < ini.sections.size(); ++i) {
        const IniSection& section = ini.sections[i];
        if (!checkSection(section, error)) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (equalNoCase(ini.sections[j].name, section.name)) {
                *error = "section [" + section.name + "] appears twice";
                return false;
            }
        }
        if (i > 0) text += eol;
        text += "[" + section.name + "]" + eol;
        for (const auto& [key, value] : section.keys) text += key + "=" + value + eol;
    }
    out->assign(text.begin(), text.end());
    return true;
}

bool formatIniFloat(float value, std::string* out) {
    if (!std::isfinite(value)) return false;
    char buffer[80];
    for (int digits = 0; digits <= 50; ++digits) {
        std::snprintf(buffer, sizeof buffer, "%.*f", digits, static_cast<double>(value));
        if (std::strtof(buffer, nullptr) == value) {
            *out = buffer;
            if (*out == "-0") *out = "0";
            return true;
        }
    }
    return false;
}

// --- Map and water documents ---

bool buildMapIni(const MapIni& map, IniFile* out, std::string* error) {
    if (map.rmap.empty()) {
        *error = "RMap is required";
        return false;
    }
    if (!checkText("RMap", map.rmap, kMapRMapBuffer, error) ||
        !checkText("Name", map.name, kMapNameBuffer, error) ||
        !checkText("BGM", map.bgm, kMapBgmBuffer, error)) {
        return false;
    }
    if (map.distMin < kCameraDistFloor || map.distMax > kCameraDistCeiling) {
        *error = "DistMin below 35 or DistMax above 300 would be changed by the client";
        return false;
    }
    if (!checkRange("DistMin", map.distMin, "DistMax", map.distMax, error) ||
        !checkRange("VertMin", map.vertMin, "VertMax", map.vertMax, error) ||
        !checkRange("AngleMin", map.angleMin, "AngleMax", map.angleMax, error)) {
        return false;
    }
    *out = IniFile();
    IniSection& scene = out->section("Scene");
    scene.set("RMap", map.rmap);
    if (!map.name.empty()) scene.set("Name", map.name);
    if (!map.bgm.empty()) scene.set("BGM", map.bgm);
    scene.set("MiniMap", boolText(map.miniMap));
    IniSection& cam = out->section("Camera");
    const std::pair<const char*, float> floats[] = {
        {"InitAngle", map.initAngle}, {"InitDist", map.initDist}, {"InitVert", map.initVert},
        {"DistMin", map.distMin},     {"DistMax", map.distMax},   {"VertMin", map.vertMin},
        {"VertMax", map.vertMax},     {"AngleMin", map.angleMin}, {"AngleMax", map.angleMax}};
    for (const auto& [key, value] : floats) {
        if (!addFloat(&cam, key, value, error)) return false;
    }
    cam.set("LockAngle", boolText(map.lockAngle));
    cam.set("LockDist", boolText(map.lockDist));
    cam.set("LockVert", boolText(map.lockVert));
    // Text values may not carry outer blanks or breaks; writeIni reports those.
    Bytes probe;
    return writeIni(*out, &probe, error);
}

bool buildWaterIni(const std::vector<WaterType>& types, IniFile* out, std::string* error) {
    *out = IniFile();
    for (const WaterType& t : types) {
        const std::string name = "Water_" + std::to_string(t.type);
        if (t.type < 0) {
            *error = name + ": water type must not be negative";
            return false;
        }
        if (t.frameCount < 1 || t.frameCount == kWaterUndefinedMarker) {
            *error = name + ": FrameCount must be at least 1 and not 15000";
            return false;
        }
        if (t.frameTime < 1) {
            *error = name + ": FrameTime must be at least 1 ms";
            return false;
        }
        if (t.firstTexId < 0 || t.firstTexId > INT32_MAX - (t.frameCount - 1)) {
            *error = name + ": frame texture IDs run outside 0..2147483647";
            return false;
        }
        for (const IniSection& s : out->sections) {
            if (s.name == name) {
                *error = name + " appears twice";
                return false;
            }
        }
        IniSection& s = out->section(name);
        s.set("FrameCount", std::to_string(t.frameCount));
        s.set("FrameTime", std::to_string(t.frameTime));
        s.set("FirstVKTexID", std::to_string(t.firstTexId));
        s.set("R", std::to_string(t.r));
        s.set("G", std::to_string(t.g));
        s.set("B", std::to_string(t.b));
        s.set("A", std::to_string(t.a));
    }
    return true;
}

}  // namespace contentkit
