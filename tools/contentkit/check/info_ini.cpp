// INI info: the profile-file syntax, then the keys of the two documents the
// client reads ([Scene]/[Camera] of a map, [Water_N] of Water.ini) checked
// against the buffer sizes and conversions it uses.
#include <cerrno>
#include <cstdlib>

#include "client/storage/ini_file.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/formats/ini_writer.h"
#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

// --- Syntax ---

struct Section {
    std::string name;
    std::size_t line = 0;
    std::vector<std::pair<std::string, std::string>> keys;
};

std::string trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

const std::string* findKey(const Section& s, const char* key) {
    for (const auto& kv : s.keys) {
        if (lowerText(kv.first) == lowerText(key)) return &kv.second;
    }
    return nullptr;
}

bool parseSections(const std::uint8_t* data, std::size_t len, std::vector<Section>* out,
                   InfoReport* report) {
    std::size_t pos = 0, lineNo = 0;
    while (pos < len) {
        std::size_t end = pos;
        while (end < len && data[end] != '\n') ++end;
        ++lineNo;
        std::string raw(reinterpret_cast<const char*>(data + pos), end - pos);
        pos = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (raw.find('\0') != std::string::npos) return report->fail(strf("line %zu holds a NUL byte", lineNo));
        const std::string line = trim(raw);
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string::npos) return report->fail(strf("line %zu: section header without ']'", lineNo));
            const std::string name = trim(line.substr(1, close - 1));
            if (name.empty()) return report->fail(strf("line %zu: empty section name", lineNo));
            for (const Section& s : *out) {
                if (lowerText(s.name) == lowerText(name)) {
                    report->warn(strf("line %zu: section [%s] again (line %zu); lookups find the first",
                                      lineNo, name.c_str(), s.line));
                }
            }
            out->push_back({name, lineNo, {}});
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) return report->fail(strf("line %zu: no '=' in a key line", lineNo));
        if (out->empty()) return report->fail(strf("line %zu: key before the first section", lineNo));
        const std::string key = trim(line.substr(0, eq));
        if (key.empty()) return report->fail(strf("line %zu: empty key", lineNo));
        if (findKey(out->back(), key.c_str())) {
            report->warn(strf("line %zu: key %s again in [%s]; lookups find the first", lineNo,
                              key.c_str(), out->back().name.c_str()));
        }
        out->back().keys.emplace_back(key, trim(line.substr(eq + 1)));
    }
    return true;
}

// --- Map definition ---

bool checkLength(const Section& s, const char* key, std::size_t buffer, InfoReport* report) {
    const std::string* v = findKey(s, key);
    if (v && v->size() >= buffer) {
        return report->fail(strf("[%s] %s is %zu characters; the client keeps only %zu", s.name.c_str(),
                                 key, v->size(), buffer - 1));
    }
    return true;
}

bool checkBool(const Section& s, const char* key, InfoReport* report) {
    if (!checkLength(s, key, kMapBoolBuffer, report)) return false;
    const std::string* v = findKey(s, key);
    if (v && lowerText(*v) != "true" && lowerText(*v) != "false") {
        report->warn(strf("[%s] %s = '%s' is neither True nor False and counts as false",
                          s.name.c_str(), key, v->c_str()));
    }
    return true;
}

// Float keys: absent means the default; present must be a whole number text.
bool readFloat(const Section* s, const char* key, float fallback, float* out, InfoReport* report) {
    *out = fallback;
    const std::string* v = s ? findKey(*s, key) : nullptr;
    if (!v) return true;
    if (!checkLength(*s, key, kMapFloatBuffer, report)) return false;
    char* end = nullptr;
    errno = 0;
    *out = std::strtof(v->c_str(), &end);
    if (v->empty() || *end != '\0' || errno == ERANGE) {
        return report->fail(strf("[Camera] %s = '%s' is not a number", key, v->c_str()));
    }
    return true;
}

bool checkMap(const std::vector<Section>& sections, const Section& scene, InfoReport* report) {
    const std::string* rmap = findKey(scene, "RMap");
    if (!rmap || rmap->empty()) return report->fail("[Scene] RMap is missing; the client refuses the map");
    report->field("RMap", *rmap);
    if (!checkLength(scene, "RMap", kMapRMapBuffer, report) ||
        !checkLength(scene, "Name", kMapNameBuffer, report) ||
        !checkLength(scene, "BGM", kMapBgmBuffer, report) || !checkBool(scene, "MiniMap", report)) {
        return false;
    }
    const Section* cam = nullptr;
    for (const Section& s : sections) {
        if (lowerText(s.name) == "camera" && !cam) cam = &s;
    }
    const MapIni defaults;
    float distMin = 0, distMax = 0, value = 0;
    if (!readFloat(cam, "DistMin", defaults.distMin, &distMin, report) ||
        !readFloat(cam, "DistMax", defaults.distMax, &distMax, report)) {
        return false;
    }
    for (const char* key : {"InitAngle", "InitDist", "InitVert", "VertMin", "VertMax", "AngleMin", "AngleMax"}) {
        if (!readFloat(cam, key, 0.0f, &value, report)) return false;
    }
    if (distMin < kCameraDistFloor) report->warn("[Camera] DistMin below 35 is raised to 35");
    if (distMax > kCameraDistCeiling) report->warn("[Camera] DistMax above 300 is lowered to 300");
    if (cam) {
        for (const char* key : {"LockAngle", "LockDist", "LockVert"}) {
            if (!checkBool(*cam, key, report)) return false;
        }
    }
    report->field("camera distance", strf("%g .. %g", static_cast<double>(distMin), static_cast<double>(distMax)));
    return true;
}

// --- Water types ---

// The client reads leading digits and drops the rest silently, so the whole
// value must be a number.
bool readInt(const Section& s, const char* key, long long* out, InfoReport* report) {
    const std::string* v = findKey(s, key);
    if (!v) return true;
    char* end = nullptr;
    errno = 0;
    *out = std::strtoll(v->c_str(), &end, 10);
    if (v->empty() || *end != '\0' || errno == ERANGE || *out < INT32_MIN || *out > INT32_MAX) {
        return report->fail(strf("[%s] %s = '%s' is not a 32-bit integer", s.name.c_str(), key, v->c_str()));
    }
    return true;
}

bool checkWater(const Section& s, InfoReport* report) {
    long long frames = 1, time = 1000, first = 0, colour = 255;
    if (!readInt(s, "FrameCount", &frames, report) || !readInt(s, "FrameTime", &time, report) ||
        !readInt(s, "FirstVKTexID", &first, report)) {
        return false;
    }
    if (frames < 1) return report->fail(strf("[%s] FrameCount must be at least 1", s.name.c_str()));
    if (frames == kWaterUndefinedMarker) report->warn(strf("[%s] FrameCount 15000 reads as an undefined type", s.name.c_str()));
    if (time < 1) return report->fail(strf("[%s] FrameTime must be at least 1", s.name.c_str()));
    if (first + frames - 1 > INT32_MAX) return report->fail(strf("[%s] frame texture IDs pass 2^31", s.name.c_str()));
    for (const char* key : {"R", "G", "B", "A"}) {
        colour = 255;
        if (!readInt(s, key, &colour, report)) return false;
        if (colour < 0 || colour > 255) report->warn(strf("[%s] %s = %lld keeps only its low byte", s.name.c_str(), key, colour));
    }
    report->field(s.name, strf("%lld frames of %lld ms, textures %lld .. %lld", frames, time, first, first + frames - 1));
    return true;
}

}  // namespace

// --- Entry ---

bool infoIni(const std::uint8_t* data, std::size_t len, InfoReport* report) {
    report->format = "INI";
    // The byte order marks the client reads past: UTF-8's, and UTF-16 LE's
    // with the text turned into UTF-8.
    if (len >= 2 && data[0] == 0xFE && data[1] == 0xFF)
        return report->fail("UTF-16 big-endian text is not read; save it as UTF-8 or UTF-16 LE");
    if (len >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        const std::string text = velmar::iniUtf8FromUtf16Le(data, len);
        report->field("encoding", "UTF-16 LE");
        return infoIni(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), report);
    }
    if (len >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        data += 3;
        len -= 3;
    }
    std::vector<Section> sections;
    if (!parseSections(data, len, &sections, report)) return false;
    std::size_t keys = 0;
    for (const Section& s : sections) keys += s.keys.size();
    report->field("sections", strf("%zu", sections.size()));
    report->field("keys", strf("%zu", keys));
    if (sections.empty()) return report->fail("no sections");
    bool water = false, scene = false;
    for (const Section& s : sections) {
        const std::string name = lowerText(s.name);
        if (name == "scene" && !scene) {
            scene = true;
            report->field("document", "map definition");
            if (!checkMap(sections, s, report)) return false;
        } else if (name.compare(0, 6, "water_") == 0) {
            water = true;
            if (!checkWater(s, report)) return false;
        }
    }
    if (water) report->field("document", "water types");
    return true;
}

}  // namespace contentkit
