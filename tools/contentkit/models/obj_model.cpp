// OBJ text to RMDL meshes: a line parser that resolves indices as it goes,
// then scaling, bounds and the turn into the client's model axes.
#include "tools/contentkit/models/obj_model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <system_error>

#include "tools/contentkit/formats/text.h"

namespace contentkit {

namespace {

using St = std::array<float, 2>;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kMaxLibraryNames = 256;

// A name or token as it may appear in a message: printable, and short.
std::string shown(std::string_view text) {
    constexpr std::size_t kShownLength = 40;
    std::string out = "'";
    for (char c : text.substr(0, kShownLength)) out += c >= 0x20 && c < 0x7F ? c : '?';
    if (text.size() > kShownLength) out += "...";
    return out + "'";
}

// --- Numbers ---

// Empty when `token` is a finite float; otherwise why not.
std::string parseFloat(std::string_view token, float* out) {
    const char* begin = token.data();
    const char* end = begin + token.size();
    // from_chars takes no plus sign, which OBJ writers sometimes emit.
    if (end - begin > 1 && begin[0] == '+' && begin[1] != '-') ++begin;
    const auto [ptr, ec] = std::from_chars(begin, end, *out);
    if (ec == std::errc::result_out_of_range) return shown(token) + " is too large for a float";
    if (ec != std::errc() || ptr != end) return shown(token) + " is not a number";
    if (!std::isfinite(*out)) return shown(token) + " is not a finite number";
    return {};
}

// Empty when `token` is a decimal integer that fits 64 bits.
std::string parseIndex(std::string_view token, long long* out) {
    const auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), *out);
    if (ec == std::errc::result_out_of_range) return "index " + shown(token) + " is out of range";
    if (ec != std::errc() || ptr != token.data() + token.size() || token.empty()) {
        return shown(token) + " is not an index";
    }
    return {};
}

bool parseId(std::string_view text, std::int32_t* out) {
    long long v = 0;
    if (!parseIndex(text, &v).empty() || v < 0 || v > std::numeric_limits<std::int32_t>::max()) return false;
    *out = static_cast<std::int32_t>(v);
    return true;
}

// --- Parser ---

// Faces of one object and material, in the order the file gives them.
struct ObjGroup {
    std::int32_t texture = 0;
    std::vector<RmdlSurface> triangles;
};

struct Corner {
    std::size_t position = 0;
    std::size_t texCoord = kNone;
};

class ObjParser {
public:
    explicit ObjParser(const ObjModelOptions& options) : m_options(options) {}

    bool parse(const std::uint8_t* data, std::size_t size, std::string* error);
    std::vector<ObjGroup>& groups() { return m_groups; }
    const std::set<std::string>& usedMaterials() const { return m_usedMaterials; }
    std::size_t triangles() const { return m_triangles; }
    const std::vector<std::string>& libraries() const { return m_libraries; }

private:
    bool statement(std::string_view text);
    bool position(const std::vector<std::string_view>& tokens);
    bool texCoord(const std::vector<std::string_view>& tokens);
    bool face(const std::vector<std::string_view>& tokens);
    bool triangulate(const std::vector<Corner>& corners, std::vector<std::array<std::size_t, 3>>* out) const;
    bool corner(std::string_view token, Corner* out);
    bool resolve(std::string_view token, std::size_t defined, const char* what, std::size_t* out);
    bool currentGroup(std::size_t* out);
    bool fail(const std::string& what) {
        m_error = "line " + std::to_string(m_line) + ": " + what;
        return false;
    }

    const ObjModelOptions& m_options;
    std::size_t m_line = 0;
    std::string m_error;
    std::vector<Vec3> m_positions;
    std::vector<St> m_texCoords;
    std::string m_object, m_material;
    std::size_t m_group = kNone;  // kNone: look up at the next face
    std::map<std::pair<std::string, std::string>, std::size_t> m_groupIndex;
    std::vector<ObjGroup> m_groups;
    std::set<std::string> m_usedMaterials;
    std::vector<std::string> m_libraries;
    std::size_t m_triangles = 0;
};

// A line that ends in a backslash goes on in the next one; the statement is
// named by its first line. A byte order mark would hide the first statement.
bool ObjParser::parse(const std::uint8_t* data, std::size_t size, std::string* error) {
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t at = byteOrderMarkLength(data, size), physical = 0;
    std::string joined;
    bool continued = false;
    while (at < size || continued) {
        std::string_view line;
        if (at < size) {
            ++physical;
            const void* found = std::memchr(text + at, '\n', size - at);
            const std::size_t end = found ? static_cast<std::size_t>(static_cast<const char*>(found) - text) : size;
            line = std::string_view(text + at, end - at);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            at = end + 1;
        }
        if (!continued) m_line = physical;
        const bool goesOn = !line.empty() && line.back() == '\\';
        if (continued || goesOn) {
            joined.append(line.data(), goesOn ? line.size() - 1 : line.size());
            if (goesOn) joined += ' ';
            line = joined;
        }
        if (line.size() > kObjMaxLineLength) {
            *error = "line " + std::to_string(m_line) + " is longer than " + std::to_string(kObjMaxLineLength) +
                     " bytes";
            return false;
        }
        continued = goesOn;
        if (continued) continue;
        if (!statement(line)) {
            *error = m_error;
            return false;
        }
        joined.clear();
    }
    return true;
}

bool ObjParser::statement(std::string_view text) {
    const std::size_t hash = text.find('#');
    if (hash != std::string_view::npos) text = text.substr(0, hash);
    std::vector<std::string_view> tokens;
    constexpr const char* kBlanks = " \t\v\f\r";
    std::size_t at = text.find_first_not_of(kBlanks);
    while (at != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of(kBlanks, at), text.size());
        tokens.push_back(text.substr(at, end - at));
        at = text.find_first_not_of(kBlanks, end);
    }
    if (tokens.empty()) return true;
    const std::string_view keyword = tokens[0];
    if (keyword == "v") return position(tokens);
    if (keyword == "vt") return texCoord(tokens);
    if (keyword == "f") return face(tokens);
    // Normals, groups, smoothing and lines are not drawn.
    if (keyword != "o" && keyword != "usemtl" && keyword != "mtllib") return true;
    // The rest of the line, so names with blanks stay whole.
    std::string name;
    if (tokens.size() > 1) {
        const char* first = tokens[1].data();
        name.assign(first, static_cast<std::size_t>(tokens.back().data() - first) + tokens.back().size());
    }
    if (keyword == "mtllib") {
        // Only listed. Names are blank-separated, but some exporters write
        // one with blanks in it whole: both readings are kept, a bounded
        // number of them.
        if (tokens.size() > 1) m_libraries.push_back(name);
        if (tokens.size() > 2) m_libraries.insert(m_libraries.end(), tokens.begin() + 1, tokens.end());
        if (m_libraries.size() > kMaxLibraryNames) m_libraries.resize(kMaxLibraryNames);
        return true;
    }
    (keyword == "o" ? m_object : m_material) = name;
    m_group = kNone;
    return true;
}

// v x y z [w] or v x y z r g b: only x, y, z are kept.
bool ObjParser::position(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 4 || tokens.size() > 8) return fail("a vertex takes 3 to 7 numbers");
    if (m_positions.size() >= kObjMaxVertices) {
        return fail("more than " + std::to_string(kObjMaxVertices) + " vertices");
    }
    Vec3 v{};
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        float value = 0;
        const std::string why = parseFloat(tokens[i], &value);
        if (!why.empty()) return fail(why);
        if (i <= 3) v[i - 1] = value;
    }
    m_positions.push_back(v);
    return true;
}

// vt u [v [w]]: the picture's v runs upwards, the client's t downwards.
bool ObjParser::texCoord(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 2 || tokens.size() > 4) return fail("a texture coordinate takes 1 to 3 numbers");
    if (m_texCoords.size() >= kObjMaxVertices) {
        return fail("more than " + std::to_string(kObjMaxVertices) + " texture coordinates");
    }
    float uv[3] = {0, 0, 0};
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        const std::string why = parseFloat(tokens[i], &uv[i - 1]);
        if (!why.empty()) return fail(why);
    }
    m_texCoords.push_back({uv[0], 1.0f - uv[1]});
    return true;
}

// Indices count from 1; negative ones count back from the last definition
// above the face. Forward references are refused.
bool ObjParser::resolve(std::string_view token, std::size_t defined, const char* what, std::size_t* out) {
    long long index = 0;
    const std::string why = parseIndex(token, &index);
    if (!why.empty()) return fail(why);
    const long long count = static_cast<long long>(defined);
    if (index == 0) return fail(std::string("face names ") + what + " 0; indices start at 1");
    if (index > count || index < -count) {
        return fail(std::string("face names ") + what + " " + std::to_string(index) + " but the file defines " +
                    std::to_string(defined) + " above it");
    }
    *out = static_cast<std::size_t>(index > 0 ? index - 1 : count + index);
    return true;
}

bool ObjParser::corner(std::string_view token, Corner* out) {
    const std::size_t slash = token.find('/');
    if (!resolve(token.substr(0, slash), m_positions.size(), "vertex", &out->position)) return false;
    if (slash == std::string_view::npos) return true;
    const std::string_view rest = token.substr(slash + 1);
    const std::size_t second = rest.find('/');
    const std::string_view tex = rest.substr(0, second);
    if (!tex.empty() && !resolve(tex, m_texCoords.size(), "texture coordinate", &out->texCoord)) return false;
    if (second == std::string_view::npos) return true;
    // The normal is not drawn, but it has to be an index.
    long long normal = 0;
    const std::string why = parseIndex(rest.substr(second + 1), &normal);
    return why.empty() || fail(why);
}

// The group of the current object and material, made at its first face.
bool ObjParser::currentGroup(std::size_t* out) {
    if (m_group == kNone) {
        const auto key = std::make_pair(m_object, m_material);
        const auto found = m_groupIndex.find(key);
        if (found != m_groupIndex.end()) {
            m_group = found->second;
        } else {
            ObjGroup group;
            bool named = false;
            for (const auto& [name, id] : m_options.materialTextures) {
                if (name == m_material) {
                    group.texture = id;
                    named = true;
                }
            }
            if (named) {
                m_usedMaterials.insert(m_material);
            } else if (m_options.hasDefaultTexture) {
                group.texture = m_options.defaultTexture;
            } else {
                const std::string name = shown(m_material);
                return fail("material " + name + " has no texture ID; give --texture " +
                            (m_material.empty() ? std::string("ID") : name.substr(1, name.size() - 2) + "=ID"));
            }
            m_group = m_groups.size();
            m_groupIndex.emplace(key, m_group);
            m_groups.push_back(std::move(group));
        }
    }
    *out = m_group;
    return true;
}

// A convex polygon is fanned from its first corner, as it always was; a
// concave one, which a fan would cover outside its outline, is cut ear by
// ear in the plane it mostly lies in (the dominant axis of its Newell
// normal), keeping its winding. False for a concave polygon too large to cut.
bool ObjParser::triangulate(const std::vector<Corner>& corners, std::vector<std::array<std::size_t, 3>>* out) const {
    const std::size_t n = corners.size();
    out->clear();
    auto fan = [&](const std::vector<std::size_t>& ring) {
        for (std::size_t i = 1; i + 1 < ring.size(); ++i) out->push_back({ring[0], ring[i], ring[i + 1]});
    };
    std::vector<std::size_t> ring(n);
    for (std::size_t i = 0; i < n; ++i) ring[i] = i;
    if (n == 3) {
        fan(ring);
        return true;
    }
    double normal[3] = {0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3& a = m_positions[corners[i].position];
        const Vec3& b = m_positions[corners[(i + 1) % n].position];
        normal[0] += (double(a[1]) - b[1]) * (double(a[2]) + b[2]);
        normal[1] += (double(a[2]) - b[2]) * (double(a[0]) + b[0]);
        normal[2] += (double(a[0]) - b[0]) * (double(a[1]) + b[1]);
    }
    std::size_t axis = 0;
    for (std::size_t c = 1; c < 3; ++c)
        if (std::fabs(normal[c]) > std::fabs(normal[axis])) axis = c;
    const std::size_t ui = (axis + 1) % 3, vi = (axis + 2) % 3;
    const double sign = normal[axis] < 0 ? -1.0 : 1.0;
    std::vector<std::array<double, 2>> p(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3& v = m_positions[corners[i].position];
        p[i] = {v[ui], v[vi]};
    }
    // Twice the signed area of a, b, c, positive when they turn the polygon's way.
    auto turn = [&](std::size_t a, std::size_t b, std::size_t c) {
        return sign * ((p[b][0] - p[a][0]) * (p[c][1] - p[a][1]) - (p[b][1] - p[a][1]) * (p[c][0] - p[a][0]));
    };
    bool convex = normal[axis] != 0;
    for (std::size_t i = 0; i < n && convex; ++i) convex = turn(i, (i + 1) % n, (i + 2) % n) >= 0;
    if (convex) {
        fan(ring);
        return true;
    }
    if (n > kObjMaxConcaveCorners) return false;
    auto inside = [&](std::size_t q, std::size_t a, std::size_t b, std::size_t c) {
        return turn(a, b, q) >= 0 && turn(b, c, q) >= 0 && turn(c, a, q) >= 0;
    };
    std::size_t from = 0;  // where the last ear was cut: the next is mostly near
    while (ring.size() > 3) {
        const std::size_t m = ring.size();
        bool cut = false;
        for (std::size_t step = 0; step < m && !cut; ++step) {
            const std::size_t i = (from + step) % m;
            const std::size_t a = ring[(i + m - 1) % m], b = ring[i], c = ring[(i + 1) % m];
            if (!(turn(a, b, c) > 0)) continue;
            bool empty = true;
            for (std::size_t k = 0; k < m && empty; ++k) {
                const std::size_t q = ring[k];
                if (q == a || q == b || q == c || p[q] == p[a] || p[q] == p[b] || p[q] == p[c]) continue;
                empty = !inside(q, a, b, c);
            }
            if (!empty) continue;
            out->push_back({a, b, c});
            ring.erase(ring.begin() + static_cast<std::ptrdiff_t>(i));
            from = i == 0 ? 0 : i - 1;
            cut = true;
        }
        // No ear: the outline crosses itself or folds flat; the rest is
        // fanned, as before.
        if (!cut) break;
    }
    fan(ring);
    return true;
}

bool ObjParser::face(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 4) return fail("a face needs at least 3 corners");
    std::vector<Corner> corners(tokens.size() - 1);
    for (std::size_t i = 0; i < corners.size(); ++i) {
        if (!corner(tokens[i + 1], &corners[i])) return false;
    }
    const std::size_t added = corners.size() - 2;
    if (added > m_options.maxTriangles - m_triangles) {
        return fail("more than " + std::to_string(m_options.maxTriangles) + " triangles");
    }
    std::vector<std::array<std::size_t, 3>> order;
    if (!triangulate(corners, &order)) {
        return fail("a concave face of more than " + std::to_string(kObjMaxConcaveCorners) +
                    " corners; triangulate it when exporting");
    }
    std::size_t group = 0;
    if (!currentGroup(&group)) return false;
    auto texCoordOf = [this](const Corner& c) { return c.texCoord == kNone ? St{0, 0} : m_texCoords[c.texCoord]; };
    for (const std::array<std::size_t, 3>& t : order) {
        RmdlSurface s;
        s.textureId = m_groups[group].texture;
        const Corner* fan[3] = {&corners[t[0]], &corners[t[1]], &corners[t[2]]};
        for (std::size_t k = 0; k < 3; ++k) {
            s.vertices[k] = m_positions[fan[k]->position];
            s.texCoords[k] = texCoordOf(*fan[k]);
        }
        m_groups[group].triangles.push_back(s);
    }
    m_triangles += added;
    return true;
}

// --- Model ---

Vec3 halfTurnX(const Vec3& v) { return {v[0], -v[1], -v[2]}; }

// Scales every vertex and finds the bounds of what the faces use.
bool scaleAndMeasure(std::vector<ObjGroup>* groups, float scale, Vec3* lo, Vec3* hi, std::string* error) {
    constexpr float kBig = std::numeric_limits<float>::max();
    *lo = {kBig, kBig, kBig};
    *hi = {-kBig, -kBig, -kBig};
    for (ObjGroup& group : *groups) {
        for (RmdlSurface& s : group.triangles) {
            for (Vec3& v : s.vertices) {
                for (std::size_t c = 0; c < 3; ++c) {
                    v[c] *= scale;
                    if (!std::isfinite(v[c])) {
                        char text[32];
                        std::snprintf(text, sizeof text, "%g", static_cast<double>(scale));
                        *error = std::string("a vertex is too far out to scale by ") + text;
                        return false;
                    }
                    (*lo)[c] = std::min((*lo)[c], v[c]);
                    (*hi)[c] = std::max((*hi)[c], v[c]);
                }
                v = halfTurnX(v);
            }
        }
    }
    return true;
}

}  // namespace

bool objToRmdl(const std::uint8_t* data, std::size_t size, const ObjModelOptions& options, RmdlModel* model,
               ObjModelSummary* summary, std::string* error) {
    if (!(options.scale > 0.0f) || !std::isfinite(options.scale)) {
        *error = "the scale must be a finite number above 0";
        return false;
    }
    ObjParser parser(options);
    if (!parser.parse(data, size, error)) return false;
    std::vector<ObjGroup>& groups = parser.groups();
    if (groups.empty()) {
        *error = "no faces; the model would draw nothing";
        return false;
    }
    Vec3 lo{}, hi{};
    if (!scaleAndMeasure(&groups, options.scale, &lo, &hi, error)) return false;

    *model = RmdlModel{};
    RmdlMesh root;
    root.tag = kRmdlBaseNodeTag;
    if (groups.size() == 1) {
        root.surfaces = std::move(groups[0].triangles);
        model->meshes.push_back(std::move(root));
    } else {
        model->meshes.push_back(std::move(root));
        for (ObjGroup& group : groups) {
            model->meshes[0].children.push_back(static_cast<std::uint32_t>(model->meshes.size()));
            RmdlMesh mesh;
            mesh.surfaces = std::move(group.triangles);
            model->meshes.push_back(std::move(mesh));
        }
    }
    // Halves first, so the centre of far-out bounds cannot overflow.
    const Vec3 centre{lo[0] * 0.5f + hi[0] * 0.5f, lo[1] * 0.5f + hi[1] * 0.5f, lo[2] * 0.5f + hi[2] * 0.5f};
    model->p0 = halfTurnX(hi);
    model->p1 = halfTurnX(lo);
    model->p2 = halfTurnX(centre);

    *summary = ObjModelSummary{};
    summary->meshes = model->meshes.size();
    summary->triangles = parser.triangles();
    summary->materialLibraries = parser.libraries();
    for (std::size_t c = 0; c < 3; ++c) summary->size[c] = double(hi[c]) - double(lo[c]);
    for (const auto& entry : options.materialTextures) {
        if (!parser.usedMaterials().count(entry.first)) summary->unusedMaterials.push_back(entry.first);
    }
    return true;
}

// --- Command line ---

bool parseModelArgs(int argc, char** argv, ModelCommandArgs* args, std::string* error) {
    std::vector<std::string> paths;
    ObjModelOptions& options = args->options;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--texture" || arg == "--scale") {
            if (!next) {
                *error = arg + " needs a value";
                return false;
            }
            ++i;
        }
        if (arg == "--scale") {
            const std::string why = parseFloat(next, &options.scale);
            if (!why.empty() || !(options.scale > 0.0f)) {
                *error = "--scale takes a number above 0, not " + shown(next);
                return false;
            }
        } else if (arg == "--texture") {
            const std::string value = next;
            const std::size_t eq = value.rfind('=');
            std::int32_t id = 0;
            const std::string name = eq == std::string::npos ? std::string() : value.substr(0, eq);
            if (!parseId(eq == std::string::npos ? value : value.substr(eq + 1), &id) ||
                (eq != std::string::npos && name.empty())) {
                *error = "--texture takes ID or MATERIAL=ID with ID from 0 to 2147483647, not " + shown(value);
                return false;
            }
            bool twice = eq == std::string::npos && options.hasDefaultTexture;
            for (const auto& entry : options.materialTextures) {
                if (eq != std::string::npos && entry.first == name) twice = true;
            }
            if (twice) {
                *error = "--texture " + (name.empty() ? std::string("ID") : shown(name)) + " given twice";
                return false;
            }
            if (eq == std::string::npos) {
                options.hasDefaultTexture = true;
                options.defaultTexture = id;
            } else {
                options.materialTextures.emplace_back(name, id);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option " + shown(arg);
            return false;
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2) {
        *error = "give one model file (Wavefront OBJ, or glTF 2.0 .gltf or .glb) and one RMDL file";
        return false;
    }
    if (!options.hasDefaultTexture && options.materialTextures.empty()) {
        *error = "give the texture with --texture ID (or MATERIAL=ID per material)";
        return false;
    }
    args->input = paths[0];
    args->output = paths[1];
    return true;
}

}  // namespace contentkit
