// Shared by the model tests: a small RMDL byte builder independent of the
// loader, texture hooks that record every reference, and a log in a
// per-test directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client/assets/model_file.h"
#include "client/core/vmath.h"
#include "tests/support/logged_test.h"

namespace model_test {

using Bytes = std::vector<std::uint8_t>;
using velmar::ModelVec3;

// --- Byte builder ---

struct TSurface {
    std::int32_t texture = 0;
    float v[9] = {};
    float st[6] = {};
    std::uint32_t wordD = 0, wordE = 0;
};

struct TKey {
    std::int32_t time;
    float q[4];
};

struct TMesh {
    std::int32_t tag = 0;
    float matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    ModelVec3 offset{0, 0, 0};
    ModelVec3 position{0, 0, 0};
    float angle = 0;
    ModelVec3 axis{0, 0, 1};
    ModelVec3 scale{1, 1, 1};
    std::vector<TSurface> surfaces;
    std::vector<TKey> keys;
    std::vector<std::uint32_t> children;
    // Counts written in place of the real ones (hostile files).
    std::optional<std::uint32_t> surfaceCount, keyCount, childCount;
};

struct TModel {
    std::uint32_t magic = velmar::kRmdlMagic;
    std::uint16_t version = 1;
    std::uint32_t wordA = 0xA1A2A3A4, root = 0, wordB = 0xB1B2B3B4;
    std::uint8_t byteC = 0xC7;
    ModelVec3 p0{0, 0, 0}, p1{0, 0, 0}, p2{0, 0, 0};
    std::vector<TMesh> meshes;
    std::optional<std::uint32_t> meshCount;
};

class Writer {
public:
    explicit Writer(Bytes* out) : m_out(out) {}
    void u8(std::uint8_t v) { m_out->push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v & 0xFF));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v & 0xFFFF));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void f32(float f) {
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        u32(bits);
    }
    void vec3(const ModelVec3& v) {
        f32(v.x);
        f32(v.y);
        f32(v.z);
    }

private:
    Bytes* m_out;
};

inline Bytes buildModel(const TModel& m) {
    Bytes out;
    Writer w(&out);
    w.u32(m.magic);
    w.u16(m.version);
    w.u32(m.wordA);
    w.u32(m.meshCount.value_or(static_cast<std::uint32_t>(m.meshes.size())));
    w.u32(m.root);
    w.u32(m.wordB);
    w.u8(m.byteC);
    w.vec3(m.p0);
    w.vec3(m.p1);
    w.vec3(m.p2);
    for (const TMesh& mesh : m.meshes) {
        w.u32(static_cast<std::uint32_t>(mesh.tag));
        for (float f : mesh.matrix) w.f32(f);
        w.vec3(mesh.offset);
        w.vec3(mesh.position);
        w.f32(mesh.angle);
        w.vec3(mesh.axis);
        w.vec3(mesh.scale);
        for (int i = 0; i < 9; ++i) w.f32(100.0f + i);
        w.u32(mesh.surfaceCount.value_or(static_cast<std::uint32_t>(mesh.surfaces.size())));
        w.u32(mesh.keyCount.value_or(static_cast<std::uint32_t>(mesh.keys.size())));
        w.u32(mesh.childCount.value_or(static_cast<std::uint32_t>(mesh.children.size())));
        for (const TSurface& s : mesh.surfaces) {
            w.u32(static_cast<std::uint32_t>(s.texture));
            for (float f : s.v) w.f32(f);
            for (float f : s.st) w.f32(f);
            w.u32(s.wordD);
            w.u32(s.wordE);
        }
        for (const TKey& k : mesh.keys) {
            w.u32(static_cast<std::uint32_t>(k.time));
            for (float f : k.q) w.f32(f);
        }
        for (std::uint32_t c : mesh.children) w.u32(c);
    }
    return out;
}

// A triangle whose first vertex is (x, y, z); the other two follow it.
inline TSurface triangle(std::int32_t texture, float x, float y, float z) {
    TSurface s;
    s.texture = texture;
    const float v[9] = {x, y, z, x + 1, y, z, x, y + 1, z};
    std::memcpy(s.v, v, sizeof v);
    const float st[6] = {0, 0, 1, 0, 0, 1};
    std::memcpy(s.st, st, sizeof st);
    return s;
}

// --- Texture references ---

// Texture `id` becomes GL name id + kNameBase; every Get and Free is kept.
class FakeTextures {
public:
    static constexpr std::uint32_t kNameBase = 1000;

    velmar::ModelTextureHooks hooks() {
        velmar::ModelTextureHooks h;
        h.get = [](std::int32_t id, void* self) {
            auto* t = static_cast<FakeTextures*>(self);
            t->gets.push_back(id);
            const std::uint32_t name = static_cast<std::uint32_t>(id) + kNameBase;
            ++t->live[name];
            return name;
        };
        h.free = [](std::uint32_t name, void* self) {
            auto* t = static_cast<FakeTextures*>(self);
            t->frees.push_back(name);
            if (--t->live[name] == 0) t->live.erase(name);
        };
        h.context = this;
        return h;
    }
    // References taken and not given back, by name (negative: too many frees).
    std::map<std::uint32_t, int> live;
    std::vector<std::int32_t> gets;
    std::vector<std::uint32_t> frees;
};

// --- Log ---

class LoggedTest : public quask_test::LoggedTest {
protected:
    void SetUp() override {
        velmar::initTrigTables();
        quask_test::LoggedTest::SetUp();
    }
    std::string log() const { return logText(); }
    // Some line of that level holds `text`.
    bool logged(const std::string& level, const std::string& text) const {
        return lineWith(log(), level, text, false);
    }
    // The newest line is of that level and holds `text`.
    bool loggedLast(const std::string& level, const std::string& text) const {
        return lineWith(log(), level, text, true);
    }
    static bool lineWith(const std::string& log, const std::string& level, const std::string& text,
                         bool lastOnly) {
        const std::string tag = "(" + level + ") ";
        std::size_t begin = 0;
        bool found = false;
        while (begin < log.size()) {
            std::size_t end = log.find("\r\n", begin);
            if (end == std::string::npos) end = log.size();
            const std::string line = log.substr(begin, end - begin);
            const std::size_t at = line.find(tag);
            if (at != std::string::npos) found = line.find(text, at) != std::string::npos || (!lastOnly && found);
            if (found && !lastOnly) return true;
            begin = end + 2;
        }
        return found;
    }
};

}  // namespace model_test
