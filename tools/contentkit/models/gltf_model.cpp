// glTF to RMDL: tinygltf parses (with our file reader and a picture
// loader that only keeps the bytes); accessors are read here with every
// offset checked against the buffer; nodes become meshes of the tree.
#include "tools/contentkit/models/gltf_model.h"

#include <tiny_gltf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>

#include "tools/contentkit/models/gltf_data_internal.h"
#include "tools/contentkit/models/obj_model.h"

namespace contentkit {

namespace {

using Quat = std::array<double, 4>;  // x, y, z, w
using Mat = std::array<double, 16>;  // column-major
using V3 = std::array<double, 3>;

// --- File access for tinygltf ---

struct Io {
    const GltfModelOptions* options;
    std::string base;  // the model's folder, as tinygltf joins names to it
    std::map<std::string, std::string> meant;  // uriFileNames: tinygltf's name -> the URI's
    // tinygltf's name of a file that could not be read -> why: it goes on
    // without a picture it cannot read, and the message would be lost.
    std::map<std::string, std::string> unread;
};

// The name a model gave, as tinygltf joined it to the model's folder; empty
// when the path is not that folder's.
std::string nameInFolder(const std::string& path, const std::string& base) {
    if (base.empty()) return path;
    if (path.compare(0, base.size(), base) != 0) return {};
    std::string name = path.substr(base.size());
    if (base.back() != '/') {
        if (name.empty() || name[0] != '/') return {};
        name.erase(0, 1);
    }
    return name;
}

bool fileExists(const std::string&, void*) { return true; }
std::string expandPath(const std::string& path, void*) { return path; }
bool readFileInFolder(const Io* io, const std::string& uriPath, std::vector<unsigned char>* out, std::string* err) {
    std::string why = "cannot be read";
    // Backslashes are separators where the model was saved; the reader takes
    // them so, and the folder check below must see them so too.
    std::string path = uriPath;
    std::replace(path.begin(), path.end(), '\\', '/');
    const std::string normal = std::filesystem::path(path).lexically_normal().generic_string();
    // A model brings its files beside it or below; one that names a file
    // elsewhere (an absolute path, a way up) could carry any of the user's
    // files into the model it makes.
    const std::filesystem::path name = std::filesystem::path(nameInFolder(path, io->base)).lexically_normal();
    if (name.empty() || name.has_root_directory() || name.has_root_name() || *name.begin() == "..") {
        *err = (name.empty() ? normal : name.generic_string()) +
               ": outside the model's folder; keep the files a model names beside it or below";
        return false;
    }
    if (io->options->readFile && io->options->readFile(normal, out, &why)) return true;
    *err = normal + ": " + why;
    return false;
}
bool readWholeFile(std::vector<unsigned char>* out, std::string* err, const std::string& path, void* user) {
    Io* io = static_cast<Io*>(user);
    // The file the URI names first ("a+b.png" is that file, not "a b.png");
    // tinygltf's reading of it only when that file cannot be read.
    const std::string given = nameInFolder(path, io->base);
    const auto meant = given.empty() ? io->meant.end() : io->meant.find(given);
    bool read = false;
    if (meant != io->meant.end()) {
        const std::string asMeant = io->base.empty() ? meant->second
                                    : io->base + (io->base.back() == '/' ? "" : "/") + meant->second;
        std::string ignored;
        read = readFileInFolder(io, asMeant, out, err) || readFileInFolder(io, path, out, &ignored);
    } else {
        read = readFileInFolder(io, path, out, err);
    }
    if (!read && !given.empty()) io->unread[given] = *err;
    return read;
}
bool writeWholeFile(std::string* err, const std::string&, const std::vector<unsigned char>&, void*) {
    *err = "writing is not supported";
    return false;
}
// Pictures stay encoded until a material without a texture ID needs one.
bool keepImageBytes(tinygltf::Image* image, const int, std::string*, std::string*, int, int, const unsigned char* bytes,
                    int size, void*) {
    image->image.assign(bytes, bytes + size);
    image->as_is = true;
    return true;
}

// --- Transforms ---

Quat normalised(Quat q) {
    const double l = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(l > 1e-12) || !std::isfinite(l)) return {0, 0, 0, 1};
    for (double& v : q) v /= l;
    return q;
}

Quat quatFromMatrix(const double r[3][3]) {  // r[row][col]
    const double trace = r[0][0] + r[1][1] + r[2][2];
    Quat q{};
    if (trace > 0) {
        const double s = std::sqrt(trace + 1.0) * 2;
        q = {(r[2][1] - r[1][2]) / s, (r[0][2] - r[2][0]) / s, (r[1][0] - r[0][1]) / s, 0.25 * s};
    } else if (r[0][0] > r[1][1] && r[0][0] > r[2][2]) {
        const double s = std::sqrt(1.0 + r[0][0] - r[1][1] - r[2][2]) * 2;
        q = {0.25 * s, (r[0][1] + r[1][0]) / s, (r[0][2] + r[2][0]) / s, (r[2][1] - r[1][2]) / s};
    } else if (r[1][1] > r[2][2]) {
        const double s = std::sqrt(1.0 + r[1][1] - r[0][0] - r[2][2]) * 2;
        q = {(r[0][1] + r[1][0]) / s, 0.25 * s, (r[1][2] + r[2][1]) / s, (r[0][2] - r[2][0]) / s};
    } else {
        const double s = std::sqrt(1.0 + r[2][2] - r[0][0] - r[1][1]) * 2;
        q = {(r[0][2] + r[2][0]) / s, (r[1][2] + r[2][1]) / s, 0.25 * s, (r[1][0] - r[0][1]) / s};
    }
    return normalised(q);
}

struct Trs {
    V3 t{0, 0, 0};
    Quat r{0, 0, 0, 1};
    V3 s{1, 1, 1};
};

bool nodeTrs(const tinygltf::Node& node, Trs* out, std::string* error) {
    if (node.matrix.size() == 16) {
        const auto& m = node.matrix;
        out->t = {m[12], m[13], m[14]};
        V3 col[3];
        for (int c = 0; c < 3; ++c) {
            col[c] = {m[c * 4], m[c * 4 + 1], m[c * 4 + 2]};
            out->s[static_cast<std::size_t>(c)] = std::sqrt(col[c][0] * col[c][0] + col[c][1] * col[c][1] + col[c][2] * col[c][2]);
        }
        const double det = col[0][0] * (col[1][1] * col[2][2] - col[1][2] * col[2][1]) -
                           col[1][0] * (col[0][1] * col[2][2] - col[0][2] * col[2][1]) +
                           col[2][0] * (col[0][1] * col[1][2] - col[0][2] * col[1][1]);
        if (det < 0) out->s[0] = -out->s[0];
        double r[3][3];
        for (int c = 0; c < 3; ++c) {
            if (!(std::fabs(out->s[static_cast<std::size_t>(c)]) > 1e-12)) {
                *error = "node '" + node.name + "' has a matrix that flattens it";
                return false;
            }
            for (int k = 0; k < 3; ++k) r[k][c] = col[c][static_cast<std::size_t>(k)] / out->s[static_cast<std::size_t>(c)];
        }
        for (int a = 0; a < 3; ++a) {
            for (int b = a + 1; b < 3; ++b) {
                if (std::fabs(r[0][a] * r[0][b] + r[1][a] * r[1][b] + r[2][a] * r[2][b]) > 1e-4) {
                    *error = "node '" + node.name + "' has a matrix with shear; a model node holds only translation, "
                             "rotation and scale";
                    return false;
                }
            }
        }
        out->r = quatFromMatrix(r);
        return true;
    }
    if (node.translation.size() == 3) out->t = {node.translation[0], node.translation[1], node.translation[2]};
    if (node.rotation.size() == 4) out->r = normalised({node.rotation[0], node.rotation[1], node.rotation[2], node.rotation[3]});
    if (node.scale.size() == 3) out->s = {node.scale[0], node.scale[1], node.scale[2]};
    return true;
}

Mat trsMatrix(const Trs& n) {
    const double x = n.r[0], y = n.r[1], z = n.r[2], w = n.r[3];
    const double r[9] = {1 - 2 * (y * y + z * z), 2 * (x * y + z * w),     2 * (x * z - y * w),
                         2 * (x * y - z * w),     1 - 2 * (x * x + z * z), 2 * (y * z + x * w),
                         2 * (x * z + y * w),     2 * (y * z - x * w),     1 - 2 * (x * x + y * y)};
    Mat m{};
    for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < 3; ++k) m[static_cast<std::size_t>(c * 4 + k)] = r[c * 3 + k] * n.s[static_cast<std::size_t>(c)];
    }
    m[12] = n.t[0];
    m[13] = n.t[1];
    m[14] = n.t[2];
    m[15] = 1;
    return m;
}

Mat multiply(const Mat& a, const Mat& b) {
    Mat r{};
    for (int c = 0; c < 4; ++c)
        for (int k = 0; k < 4; ++k)
            for (int i = 0; i < 4; ++i) r[static_cast<std::size_t>(c * 4 + k)] += a[static_cast<std::size_t>(i * 4 + k)] * b[static_cast<std::size_t>(c * 4 + i)];
    return r;
}

V3 apply(const Mat& m, const V3& v) {
    return {m[0] * v[0] + m[4] * v[1] + m[8] * v[2] + m[12], m[1] * v[0] + m[5] * v[1] + m[9] * v[2] + m[13],
            m[2] * v[0] + m[6] * v[1] + m[10] * v[2] + m[14]};
}

// The half turn about x that takes y-up space into the client's model space.
Vec3 turned(const V3& v) { return {static_cast<float>(v[0]), static_cast<float>(-v[1]), static_cast<float>(-v[2])}; }
Quat turned(const Quat& q) { return {q[0], -q[1], -q[2], q[3]}; }

void setRotation(const Quat& q, RmdlMesh* mesh) {
    const double angle = 2 * std::acos(std::clamp(q[3], -1.0, 1.0));
    const double s = std::sqrt(std::max(0.0, 1 - q[3] * q[3]));
    mesh->rotationAngle = static_cast<float>(angle);
    mesh->rotationAxis = s < 1e-9 ? Vec3{0, 0, 1}
                                  : Vec3{static_cast<float>(q[0] / s), static_cast<float>(q[1] / s), static_cast<float>(q[2] / s)};
}

// --- Conversion ---

class Converter {
public:
    Converter(const tinygltf::Model& m, const GltfModelOptions& o, const std::map<std::string, std::string>& unread,
              GltfModelSummary* s)
        : m_model(m), m_options(o), m_unread(unread), m_summary(s) {}

    bool run(RmdlModel* out, std::string* error);

private:
    bool node(int index, int depth, const Mat& parent, std::uint32_t* meshIndex, std::string* error);
    bool primitives(const tinygltf::Mesh& mesh, const Mat& world, RmdlMesh* out, std::string* error);
    bool triangles(const tinygltf::Primitive& p, std::vector<std::uint32_t>* order, std::size_t vertices,
                   std::string* error);
    bool materialTexture(int material, std::int32_t* id, std::string* error);
    bool animation(std::string* error);

    const tinygltf::Model& m_model;
    const GltfModelOptions& m_options;
    const std::map<std::string, std::string>& m_unread;  // Io::unread
    GltfModelSummary* m_summary;
    RmdlModel m_out;
    std::map<int, std::uint32_t> m_meshOfNode;
    std::map<int, std::int32_t> m_textureOfMaterial;
    std::map<int, Image> m_pictures;
    V3 m_lo{}, m_hi{};
    bool m_any = false;
};

// How a message names a picture: its file, or its place in the model when
// it is embedded (a data URI would print the whole picture).
std::string pictureName(const tinygltf::Image& image, int index) {
    if (!image.uri.empty() && image.uri.rfind("data:", 0) != 0) return image.uri;
    return "image " + std::to_string(index) + (image.name.empty() ? "" : " '" + image.name + "'") + " (embedded)";
}

bool Converter::materialTexture(int material, std::int32_t* id, std::string* error) {
    const auto known = m_textureOfMaterial.find(material);
    if (known != m_textureOfMaterial.end()) {
        *id = known->second;
        return true;
    }
    GltfMaterial info;
    info.index = material;
    if (material >= 0 && static_cast<std::size_t>(material) < m_model.materials.size()) {
        const tinygltf::Material& mat = m_model.materials[static_cast<std::size_t>(material)];
        info.name = mat.name;
        const int texture = mat.pbrMetallicRoughness.baseColorTexture.index;
        if (texture >= 0 && static_cast<std::size_t>(texture) < m_model.textures.size()) {
            const int source = m_model.textures[static_cast<std::size_t>(texture)].source;
            if (source >= 0 && static_cast<std::size_t>(source) < m_model.images.size()) {
                const tinygltf::Image& image = m_model.images[static_cast<std::size_t>(source)];
                Image& picture = m_pictures[source];
                std::string why;
                const auto unread = image.image.empty() ? m_unread.find(tinygltfFileName(image.uri)) : m_unread.end();
                if (unread != m_unread.end())
                    info.pictureProblem = "its picture " + unread->second;
                else if (!picture.valid() && !decodeImage(image.image.data(), image.image.size(), &picture, &why))
                    info.pictureProblem = "its picture " + pictureName(image, source) + ": " + why;
                else
                    info.picture = &picture;
            }
        }
    }
    if (!m_options.texture || !m_options.texture(info, id, error)) {
        if (!m_options.texture) *error = "no texture ID for material '" + info.name + "'";
        return false;
    }
    m_textureOfMaterial[material] = *id;
    return true;
}

bool Converter::triangles(const tinygltf::Primitive& p, std::vector<std::uint32_t>* order, std::size_t vertices,
                          std::string* error) {
    std::vector<std::uint32_t> index;
    if (p.indices >= 0) {
        // Read as numbers, fractions or a normalized 0..1 would all name
        // vertex 0; glTF has whole unsigned indices only.
        if (static_cast<std::size_t>(p.indices) < m_model.accessors.size()) {
            const tinygltf::Accessor& a = m_model.accessors[static_cast<std::size_t>(p.indices)];
            if (a.normalized || (a.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE &&
                                 a.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT &&
                                 a.componentType != TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT)) {
                *error = "accessor " + std::to_string(p.indices) + " holds indices that are not whole unsigned numbers";
                return false;
            }
        }
        std::vector<double> raw;
        if (!readAccessor(m_model, p.indices, 1, &raw, error)) return false;
        for (double v : raw) {
            if (!(v >= 0 && v < static_cast<double>(vertices))) {
                *error = "an index names vertex " + std::to_string(static_cast<long long>(v)) + " of " +
                         std::to_string(vertices);
                return false;
            }
            index.push_back(static_cast<std::uint32_t>(v));
        }
    } else {
        for (std::size_t i = 0; i < vertices; ++i) index.push_back(static_cast<std::uint32_t>(i));
    }
    order->clear();
    if (p.mode == TINYGLTF_MODE_TRIANGLES || p.mode == -1) {
        for (std::size_t i = 0; i + 2 < index.size(); i += 3) order->insert(order->end(), {index[i], index[i + 1], index[i + 2]});
    } else if (p.mode == TINYGLTF_MODE_TRIANGLE_STRIP) {
        for (std::size_t i = 0; i + 2 < index.size(); ++i) {
            if (i % 2 == 0) order->insert(order->end(), {index[i], index[i + 1], index[i + 2]});
            else order->insert(order->end(), {index[i + 1], index[i], index[i + 2]});
        }
    } else if (p.mode == TINYGLTF_MODE_TRIANGLE_FAN) {
        for (std::size_t i = 1; i + 1 < index.size(); ++i) order->insert(order->end(), {index[0], index[i], index[i + 1]});
    } else if (p.mode >= TINYGLTF_MODE_POINTS && p.mode <= TINYGLTF_MODE_LINE_STRIP) {
        m_summary->notes.push_back("a primitive of points or lines draws nothing and is left out");
    } else {
        *error = "a primitive has mode " + std::to_string(p.mode) + ", which glTF does not define";
        return false;
    }
    return true;
}

bool Converter::primitives(const tinygltf::Mesh& mesh, const Mat& world, RmdlMesh* out, std::string* error) {
    for (const tinygltf::Primitive& p : mesh.primitives) {
        const auto position = p.attributes.find("POSITION");
        if (position == p.attributes.end()) continue;
        if (!p.targets.empty()) m_summary->notes.push_back("morph targets of mesh '" + mesh.name + "' are left out");
        std::vector<double> pos, uv;
        if (!readAccessor(m_model, position->second, 3, &pos, error)) return false;
        const std::size_t vertices = pos.size() / 3;
        const UvMapping mapping = uvMapping(m_model, p.material);
        const auto texcoord = p.attributes.find("TEXCOORD_" + std::to_string(mapping.set));
        if (texcoord != p.attributes.end() && !readAccessor(m_model, texcoord->second, 2, &uv, error)) return false;
        if (!uv.empty() && uv.size() / 2 != vertices) {
            *error = "mesh '" + mesh.name + "' has " + std::to_string(uv.size() / 2) + " texture coordinates for " +
                     std::to_string(vertices) + " vertices";
            return false;
        }
        std::vector<std::uint32_t> order;
        std::int32_t texture = 0;
        if (!triangles(p, &order, vertices, error)) return false;
        if (!order.empty() && !materialTexture(p.material, &texture, error)) return false;
        if (m_summary->triangles + order.size() / 3 > kObjMaxTriangles) {
            *error = "more than " + std::to_string(kObjMaxTriangles) + " triangles";
            return false;
        }
        for (std::size_t t = 0; t + 2 < order.size(); t += 3) {
            RmdlSurface s;
            s.textureId = texture;
            for (std::size_t k = 0; k < 3; ++k) {
                const std::size_t v = order[t + k];
                const V3 local = {pos[v * 3] * m_options.scale, pos[v * 3 + 1] * m_options.scale,
                                  pos[v * 3 + 2] * m_options.scale};
                s.vertices[k] = turned(local);
                if (!uv.empty()) {
                    const double u = uv[v * 2], t = uv[v * 2 + 1], *mm = mapping.m;
                    s.texCoords[k] = {static_cast<float>(mm[0] * u + mm[1] * t + mm[2]),
                                      static_cast<float>(mm[3] * u + mm[4] * t + mm[5])};
                }
                const V3 w = apply(world, local);
                for (int c = 0; c < 3; ++c) {
                    m_lo[static_cast<std::size_t>(c)] = m_any ? std::min(m_lo[static_cast<std::size_t>(c)], w[static_cast<std::size_t>(c)]) : w[static_cast<std::size_t>(c)];
                    m_hi[static_cast<std::size_t>(c)] = m_any ? std::max(m_hi[static_cast<std::size_t>(c)], w[static_cast<std::size_t>(c)]) : w[static_cast<std::size_t>(c)];
                }
                m_any = true;
            }
            out->surfaces.push_back(s);
        }
        m_summary->triangles += order.size() / 3;
    }
    return true;
}

bool Converter::node(int index, int depth, const Mat& parent, std::uint32_t* meshIndex, std::string* error) {
    if (index < 0 || static_cast<std::size_t>(index) >= m_model.nodes.size()) {
        *error = "node " + std::to_string(index) + " does not exist";
        return false;
    }
    if (m_meshOfNode.count(index)) {
        *error = "node " + std::to_string(index) + " appears twice in the scene";
        return false;
    }
    // The walk recurses: a chain as long as a hostile file likes would
    // overflow the stack.
    if (depth > kGltfMaxNodeDepth) {
        *error = "node " + std::to_string(index) + " nests deeper than " + std::to_string(kGltfMaxNodeDepth) +
                 " levels below the scene";
        return false;
    }
    const tinygltf::Node& n = m_model.nodes[static_cast<std::size_t>(index)];
    Trs trs;
    if (!nodeTrs(n, &trs, error)) return false;
    for (double& t : trs.t) t *= m_options.scale;
    const Mat world = multiply(parent, trsMatrix(trs));
    *meshIndex = static_cast<std::uint32_t>(m_out.meshes.size());
    m_meshOfNode[index] = *meshIndex;
    m_out.meshes.emplace_back();
    {
        RmdlMesh& mesh = m_out.meshes.back();
        mesh.position = turned(trs.t);
        setRotation(turned(trs.r), &mesh);
        mesh.scale = {static_cast<float>(trs.s[0]), static_cast<float>(trs.s[1]), static_cast<float>(trs.s[2])};
    }
    if (n.skin >= 0) m_summary->notes.push_back("the skin of node '" + n.name + "' is left out");
    if (n.mesh >= 0) {
        if (static_cast<std::size_t>(n.mesh) >= m_model.meshes.size()) {
            *error = "node '" + n.name + "' names a mesh that does not exist";
            return false;
        }
        RmdlMesh surfaces;
        if (!primitives(m_model.meshes[static_cast<std::size_t>(n.mesh)], world, &surfaces, error)) return false;
        m_out.meshes[*meshIndex].surfaces = std::move(surfaces.surfaces);
    }
    for (int child : n.children) {
        std::uint32_t c = 0;
        if (!node(child, depth + 1, world, &c, error)) return false;
        m_out.meshes[*meshIndex].children.push_back(c);
    }
    return true;
}

bool Converter::animation(std::string* error) {
    if (m_model.animations.empty()) return true;
    if (m_model.animations.size() > 1) {
        m_summary->notes.push_back("only the first of " + std::to_string(m_model.animations.size()) +
                                   " animations is kept");
    }
    const tinygltf::Animation& a = m_model.animations[0];
    for (const tinygltf::AnimationChannel& ch : a.channels) {
        if (ch.target_path != "rotation") {
            m_summary->notes.push_back("animation '" + a.name + "': a " + ch.target_path +
                                       " channel is left out (model files animate rotations only)");
            continue;
        }
        const auto mesh = m_meshOfNode.find(ch.target_node);
        if (mesh == m_meshOfNode.end() || ch.sampler < 0 || static_cast<std::size_t>(ch.sampler) >= a.samplers.size())
            continue;
        const tinygltf::AnimationSampler& s = a.samplers[static_cast<std::size_t>(ch.sampler)];
        std::vector<double> times, values;
        if (!readAccessor(m_model, s.input, 1, &times, error) || !readAccessor(m_model, s.output, 4, &values, error)) {
            *error = "animation '" + a.name + "': " + *error;
            return false;
        }
        const bool cubic = s.interpolation == "CUBICSPLINE";
        const std::size_t per = cubic ? 3 : 1;
        if (values.size() / 4 != times.size() * per) {
            *error = "animation '" + a.name + "': " + std::to_string(times.size()) + " key times for " +
                     std::to_string(values.size() / 4) + " rotations";
            return false;
        }
        if (cubic) m_summary->notes.push_back("animation '" + a.name + "': cubic-spline keys turn linearly between their values");
        std::vector<RmdlKeyFrame>& keys = m_out.meshes[mesh->second].keyFrames;
        keys.clear();
        for (std::size_t i = 0; i < times.size(); ++i) {
            const std::size_t v = (i * per + (cubic ? 1 : 0)) * 4;
            const Quat q = turned(normalised({values[v], values[v + 1], values[v + 2], values[v + 3]}));
            const double ms = std::round(times[i] * 1000.0);
            if (!(ms >= 0 && ms < 2e9) || (!keys.empty() && ms <= keys.back().time)) continue;
            if (s.interpolation == "STEP" && !keys.empty() && ms - 1 > keys.back().time) {
                RmdlKeyFrame hold = keys.back();
                hold.time = static_cast<std::int32_t>(ms - 1);
                keys.push_back(hold);
            }
            RmdlKeyFrame k;
            k.time = static_cast<std::int32_t>(ms);
            k.rotation = {static_cast<float>(q[0]), static_cast<float>(q[1]), static_cast<float>(q[2]), static_cast<float>(q[3])};
            keys.push_back(k);
        }
        if (keys.size() < 2) keys.clear();
        m_summary->keyFrames += keys.size();
    }
    return true;
}

bool Converter::run(RmdlModel* out, std::string* error) {
    std::vector<int> roots;
    if (!m_model.scenes.empty()) {
        const int scene = m_model.defaultScene >= 0 ? m_model.defaultScene : 0;
        if (static_cast<std::size_t>(scene) >= m_model.scenes.size()) {
            *error = "the default scene does not exist";
            return false;
        }
        roots = m_model.scenes[static_cast<std::size_t>(scene)].nodes;
    } else {
        std::vector<bool> child(m_model.nodes.size(), false);
        for (const tinygltf::Node& n : m_model.nodes)
            for (int c : n.children)
                if (c >= 0 && static_cast<std::size_t>(c) < child.size()) child[static_cast<std::size_t>(c)] = true;
        for (std::size_t i = 0; i < child.size(); ++i)
            if (!child[i]) roots.push_back(static_cast<int>(i));
    }
    RmdlMesh root;
    root.tag = kRmdlBaseNodeTag;
    m_out.meshes.push_back(root);
    Mat identity{};
    identity[0] = identity[5] = identity[10] = identity[15] = 1;
    for (int r : roots) {
        std::uint32_t index = 0;
        if (!node(r, 1, identity, &index, error)) return false;
        m_out.meshes[0].children.push_back(index);
    }
    if (!m_any) {
        *error = "no triangles in the scene; the model would draw nothing";
        return false;
    }
    if (!animation(error)) return false;
    const V3 centre{(m_lo[0] + m_hi[0]) / 2, (m_lo[1] + m_hi[1]) / 2, (m_lo[2] + m_hi[2]) / 2};
    m_out.p0 = turned(m_hi);
    m_out.p1 = turned(m_lo);
    m_out.p2 = turned(centre);
    m_summary->meshes = m_out.meshes.size();
    for (int c = 0; c < 3; ++c) m_summary->size[static_cast<std::size_t>(c)] = m_hi[static_cast<std::size_t>(c)] - m_lo[static_cast<std::size_t>(c)];
    *out = std::move(m_out);
    return true;
}

}  // namespace

bool gltfToRmdl(const std::string& file, const std::uint8_t* data, std::size_t size, const GltfModelOptions& options,
                RmdlModel* model, GltfModelSummary* summary, std::string* error) {
    *summary = GltfModelSummary();
    if (!(options.scale > 0.0f) || !std::isfinite(options.scale)) {
        *error = "the scale must be a finite number above 0";
        return false;
    }
    if (size > static_cast<std::size_t>(std::numeric_limits<unsigned int>::max())) {
        *error = "the file is too large";
        return false;
    }
    if (!checkRequiredExtensions(data, size, error)) return false;
    tinygltf::TinyGLTF loader;
    const std::string base = std::filesystem::path(file).parent_path().generic_string();
    Io io{&options, base, uriFileNames(data, size), {}};
    loader.SetFsCallbacks({fileExists, expandPath, readWholeFile, writeWholeFile, &io});
    loader.SetImageLoader(keepImageBytes, nullptr);
    tinygltf::Model m;
    std::string err, warn;
    const bool binary = size >= 4 && std::memcmp(data, "glTF", 4) == 0;
    const bool loaded =
        binary ? loader.LoadBinaryFromMemory(&m, &err, &warn, data, static_cast<unsigned int>(size), base)
               : loader.LoadASCIIFromString(&m, &err, &warn, reinterpret_cast<const char*>(data),
                                            static_cast<unsigned int>(size), base);
    if (!loaded) {
        while (!err.empty() && (err.back() == '\n' || err.back() == ' ')) err.pop_back();
        *error = "not a glTF 2.0 model it can read: " + (err.empty() ? std::string("unknown error") : err);
        return false;
    }
    if (!checkBuffers(m, binary, error)) return false;
    Converter converter(m, options, io.unread, summary);
    return converter.run(model, error);
}

}  // namespace contentkit
