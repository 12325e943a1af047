// glTF accessors, texture coordinate mappings and required extensions.
#include "tools/contentkit/models/gltf_data_internal.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tools/contentkit/models/obj_model.h"

namespace contentkit {

namespace {

// An accessor without a buffer view is all zeros; many of them are no model.
constexpr std::size_t kGltfMaxZeroElements = std::size_t{1} << 16;

std::size_t componentBytes(int type) {
    switch (type) {
        case TINYGLTF_COMPONENT_TYPE_BYTE:
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return 1;
        case TINYGLTF_COMPONENT_TYPE_SHORT:
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: return 2;
        case TINYGLTF_COMPONENT_TYPE_INT:
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
        case TINYGLTF_COMPONENT_TYPE_FLOAT: return 4;
        default: return 0;
    }
}

double readComponent(const unsigned char* p, int type, bool normalized) {
    switch (type) {
        case TINYGLTF_COMPONENT_TYPE_FLOAT: {
            float f;
            std::memcpy(&f, p, 4);
            return f;
        }
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return normalized ? p[0] / 255.0 : p[0];
        case TINYGLTF_COMPONENT_TYPE_BYTE: {
            const double v = static_cast<std::int8_t>(p[0]);
            return normalized ? std::max(v / 127.0, -1.0) : v;
        }
        case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
            const double v = p[0] | p[1] << 8;
            return normalized ? v / 65535.0 : v;
        }
        case TINYGLTF_COMPONENT_TYPE_SHORT: {
            const double v = static_cast<std::int16_t>(p[0] | p[1] << 8);
            return normalized ? std::max(v / 32767.0, -1.0) : v;
        }
        default: {
            std::uint32_t u;
            std::memcpy(&u, p, 4);
            return type == TINYGLTF_COMPONENT_TYPE_INT ? static_cast<double>(static_cast<std::int32_t>(u)) : u;
        }
    }
}

// Required extensions whose data the converter reads as plain glTF: integer
// and normalized attributes, and material settings it does not use.
bool extensionUnderstood(const std::string& name) {
    return name == "KHR_mesh_quantization" || name == "KHR_texture_transform" || name.rfind("KHR_materials_", 0) == 0;
}

double numberAt(const tinygltf::Value& v, int index, double fallback) {
    const tinygltf::Value& n = index < 0 ? v : (v.IsArray() && static_cast<int>(v.ArrayLen()) > index ? v.Get(index) : v);
    return n.IsNumber() && std::isfinite(n.GetNumberAsDouble()) ? n.GetNumberAsDouble() : fallback;
}

}  // namespace

bool readAccessor(const tinygltf::Model& m, int index, int width, std::vector<double>* out, std::string* error) {
    const std::string name = "accessor " + std::to_string(index);
    if (index < 0 || static_cast<std::size_t>(index) >= m.accessors.size()) {
        *error = name + " does not exist";
        return false;
    }
    const tinygltf::Accessor& a = m.accessors[static_cast<std::size_t>(index)];
    const std::size_t size = componentBytes(a.componentType);
    const int components = tinygltf::GetNumComponentsInType(static_cast<std::uint32_t>(a.type));
    if (size == 0 || components != width) {
        *error = name + " does not hold " + std::to_string(width) + "-component values";
        return false;
    }
    if (a.sparse.isSparse) {
        *error = name + " is sparse, which the converter does not read";
        return false;
    }
    // More elements than a model's triangles can use; a count is checked
    // against the bytes behind it before anything is made for it.
    if (a.count > 3 * kObjMaxTriangles) {
        *error = name + " holds too many elements";
        return false;
    }
    if (a.bufferView < 0) {
        if (a.count > kGltfMaxZeroElements) {
            *error = name + " holds " + std::to_string(a.count) + " elements and no data";
            return false;
        }
        out->assign(a.count * static_cast<std::size_t>(width), 0.0);
        return true;  // all zeros, as glTF defines it
    }
    if (static_cast<std::size_t>(a.bufferView) >= m.bufferViews.size()) {
        *error = name + " names a buffer view that does not exist";
        return false;
    }
    const tinygltf::BufferView& view = m.bufferViews[static_cast<std::size_t>(a.bufferView)];
    if (view.buffer < 0 || static_cast<std::size_t>(view.buffer) >= m.buffers.size()) {
        *error = name + " names a buffer that does not exist";
        return false;
    }
    const std::vector<unsigned char>& data = m.buffers[static_cast<std::size_t>(view.buffer)].data;
    const std::size_t element = size * static_cast<std::size_t>(width);
    const std::size_t stride = view.byteStride ? view.byteStride : element;
    const std::size_t start = view.byteOffset + a.byteOffset;
    const std::size_t need = a.count == 0 ? 0 : stride * (a.count - 1) + element;
    if (view.byteOffset > data.size() || view.byteLength > data.size() - view.byteOffset ||
        a.byteOffset > view.byteLength || need > view.byteLength - a.byteOffset || stride < element) {
        *error = name + " reaches past the end of its buffer";
        return false;
    }
    out->assign(a.count * static_cast<std::size_t>(width), 0.0);
    for (std::size_t i = 0; i < a.count; ++i) {
        for (int c = 0; c < width; ++c) {
            (*out)[i * static_cast<std::size_t>(width) + static_cast<std::size_t>(c)] =
                readComponent(&data[start + i * stride + static_cast<std::size_t>(c) * size], a.componentType, a.normalized);
        }
    }
    return true;
}

UvMapping uvMapping(const tinygltf::Model& model, int material) {
    UvMapping out;
    if (material < 0 || static_cast<std::size_t>(material) >= model.materials.size()) return out;
    const tinygltf::TextureInfo& info = model.materials[static_cast<std::size_t>(material)].pbrMetallicRoughness.baseColorTexture;
    out.set = std::max(0, info.texCoord);
    const auto ext = info.extensions.find("KHR_texture_transform");
    if (ext == info.extensions.end() || !ext->second.IsObject()) return out;
    const tinygltf::Value& t = ext->second;
    const tinygltf::Value none;
    auto member = [&](const char* key) -> const tinygltf::Value& { return t.Has(key) ? t.Get(key) : none; };
    if (member("texCoord").IsNumber()) out.set = std::max(0, static_cast<int>(numberAt(member("texCoord"), -1, 0)));
    const double r = numberAt(member("rotation"), -1, 0), c = std::cos(r), sn = std::sin(r);
    const double sx = numberAt(member("scale"), 0, 1), sy = numberAt(member("scale"), 1, 1);
    const double m[6] = {c * sx, sn * sy, numberAt(member("offset"), 0, 0), -sn * sx, c * sy, numberAt(member("offset"), 1, 0)};
    std::copy(m, m + 6, out.m);
    return out;
}

namespace {

// The JSON of a .gltf, or of a .glb's first chunk; discarded when malformed.
nlohmann::json modelJson(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* text = data;
    std::size_t length = size;
    if (size >= 20 && std::memcmp(data, "glTF", 4) == 0 && std::memcmp(data + 16, "JSON", 4) == 0) {
        const std::uint32_t chunk = static_cast<std::uint32_t>(data[12] | data[13] << 8 | data[14] << 16) |
                                    static_cast<std::uint32_t>(data[15]) << 24;
        text = data + 20;
        length = std::min<std::size_t>(chunk, size - 20);
    }
    return nlohmann::json::parse(text, text + length, nullptr, false);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// `uri` decoded as tinygltf decodes it (`asTinygltf`), or as a URI's path.
std::string decodeUri(const std::string& uri, bool asTinygltf) {
    std::string out;
    for (std::size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '+' && asTinygltf) {
            out += ' ';
        } else if (uri[i] == '%' && i + 2 < uri.size() &&
                   (asTinygltf || (hexValue(uri[i + 1]) >= 0 && hexValue(uri[i + 2]) >= 0))) {
            const int high = std::max(hexValue(uri[i + 1]), 0), low = std::max(hexValue(uri[i + 2]), 0);
            out += static_cast<char>(high << 4 | low);
            i += 2;
        } else {
            out += uri[i];
        }
    }
    return out;
}

}  // namespace

std::string tinygltfFileName(const std::string& uri) { return decodeUri(uri, true); }

std::map<std::string, std::string> uriFileNames(const std::uint8_t* data, std::size_t size) {
    std::map<std::string, std::string> names;
    const nlohmann::json j = modelJson(data, size);
    if (!j.is_object()) return names;
    for (const char* list : {"images", "buffers"}) {
        if (!j.contains(list) || !j[list].is_array()) continue;
        for (const nlohmann::json& item : j[list]) {
            if (!item.is_object() || !item.contains("uri") || !item["uri"].is_string()) continue;
            const std::string uri = item["uri"].get<std::string>();
            if (uri.rfind("data:", 0) == 0) continue;
            const std::string read = decodeUri(uri, true), meant = decodeUri(uri, false);
            if (read != meant) names.emplace(read, meant);
        }
    }
    return names;
}

bool checkRequiredExtensions(const std::uint8_t* data, std::size_t size, std::string* error) {
    const nlohmann::json j = modelJson(data, size);
    if (!j.is_object() || !j.contains("extensionsRequired") || !j["extensionsRequired"].is_array()) return true;
    for (const nlohmann::json& name : j["extensionsRequired"]) {
        if (!name.is_string() || extensionUnderstood(name.get<std::string>())) continue;
        *error = "the model needs the glTF extension " + name.get<std::string>() +
                 ", which the converter does not read; export it without (no compression)";
        return false;
    }
    return true;
}

bool checkBuffers(const tinygltf::Model& model, bool binary, std::string* error) {
    for (std::size_t i = 0; i < model.buffers.size(); ++i) {
        const tinygltf::Buffer& b = model.buffers[i];
        if (!b.uri.empty()) continue;
        for (const char* name : {"EXT_meshopt_compression", "KHR_meshopt_compression"}) {
            const auto ext = b.extensions.find(name);
            if (ext == b.extensions.end() || !ext->second.IsObject() || !ext->second.Has("fallback") ||
                !ext->second.Get("fallback").IsBool() || !ext->second.Get("fallback").Get<bool>())
                continue;
            *error = "buffer " + std::to_string(i) + " stands in for data compressed with " + name +
                     " and holds none; export it without compression";
            return false;
        }
        if (binary && i > 0) {
            *error = "buffer " + std::to_string(i) + " names no file, and only the first buffer of a .glb lives in it";
            return false;
        }
    }
    return true;
}

}  // namespace contentkit
