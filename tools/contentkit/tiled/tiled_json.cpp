// Tiled's JSON maps (.tmj, .json) and tilesets (.tsj) through nlohmann-json.
// The parse itself may throw; nothing else does: every member is looked up
// and type-checked by hand, so a wrong type is a message, not an exception.
#include <nlohmann/json.hpp>

#include <climits>
#include <cmath>

#include "tools/contentkit/tiled/tiled_layer_data_internal.h"
#include "tools/contentkit/tiled/tiled_parse_internal.h"

namespace contentkit {

namespace {

using Json = nlohmann::json;

struct Where {
    const std::string& file;
    std::string part;
    std::string operator()(const std::string& what) const {
        return file + ": " + (part.empty() ? "" : part + ": ") + what;
    }
};

// Elements of the lists below must be objects; `what` names one ("a tile").
bool isObject(const Json& node, const char* what, const Where& where, std::string* error) {
    if (node.is_object()) return true;
    *error = where(std::string(what) + " must be an object");
    return false;
}

bool intMember(const Json& obj, const char* name, long long low, long long high, long long fallback,
               const Where& where, long long* out, std::string* error) {
    const auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) {
        *out = fallback;
        return true;
    }
    if (it->is_number_integer() || it->is_number_unsigned()) {
        const long long v = it->is_number_unsigned() && it->get<std::uint64_t>() > LLONG_MAX ? LLONG_MAX
                                                                                              : it->get<long long>();
        if (v >= low && v <= high) {
            *out = v;
            return true;
        }
    }
    *error = where(std::string("\"") + name + "\" must be a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high));
    return false;
}

bool intMember(const Json& obj, const char* name, int fallback, const Where& where, int* out, std::string* error) {
    long long v = 0;
    if (!intMember(obj, name, 0, INT_MAX, fallback, where, &v, error)) return false;
    *out = static_cast<int>(v);
    return true;
}

bool doubleMember(const Json& obj, const char* name, const Where& where, double* out, std::string* error) {
    const auto it = obj.find(name);
    *out = 0;
    if (it == obj.end() || it->is_null()) return true;
    if (it->is_number() && std::isfinite(it->get<double>())) {
        *out = it->get<double>();
        return true;
    }
    *error = where(std::string("\"") + name + "\" must be a number");
    return false;
}

std::string stringMember(const Json& obj, const char* name) {
    const auto it = obj.find(name);
    return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool arrayMember(const Json& obj, const char* name, const Where& where, const Json** out, std::string* error) {
    static const Json kEmpty = Json::array();
    const auto it = obj.find(name);
    *out = &kEmpty;
    if (it == obj.end() || it->is_null()) return true;
    if (it->is_array()) {
        *out = &*it;
        return true;
    }
    *error = where(std::string("\"") + name + "\" must be an array");
    return false;
}

bool readProperties(const Json& obj, const Where& where, TiledProperties* out, std::string* error) {
    const Json* list = nullptr;
    if (!arrayMember(obj, "properties", where, &list, error)) return false;
    for (const Json& p : *list) {
        if (!isObject(p, "a property", where, error)) return false;
        TiledProperty property;
        property.name = stringMember(p, "name");
        property.type = p.contains("type") ? stringMember(p, "type") : "string";
        const auto value = p.find("value");
        if (value != p.end()) {
            if (value->is_string()) property.value = value->get<std::string>();
            else if (value->is_boolean()) property.value = value->get<bool>() ? "true" : "false";
            else if (value->is_number_integer()) property.value = std::to_string(value->get<long long>());
            else if (value->is_number()) property.value = value->dump();
        }
        out->push_back(std::move(property));
    }
    return true;
}

bool readImage(const Json& obj, const char* key, const std::string& file, const Where& where, TiledImage* out,
               std::string* error) {
    const std::string source = stringMember(obj, key);
    if (source.empty()) return true;
    out->source = joinTiledPath(file, source);
    const std::string trans = stringMember(obj, "transparentcolor");
    if (!trans.empty() && !tiledRgb(trans, &out->transparent)) {
        *error = where("\"transparentcolor\" \"" + trans + "\" is not a colour #RRGGBB");
        return false;
    }
    return intMember(obj, "imagewidth", 0, where, &out->width, error) &&
           intMember(obj, "imageheight", 0, where, &out->height, error);
}

bool loadJson(const std::string& file, const std::uint8_t* data, std::size_t size, Json* out, std::string* error) {
    try {
        *out = Json::parse(data, data + size);
    } catch (const Json::parse_error& e) {
        *error = file + ": line " + std::to_string(lineOfOffset(data, size, e.byte > 0 ? e.byte - 1 : 0)) +
                 ": not valid JSON";
        return false;
    } catch (const Json::exception&) {
        *error = file + ": not valid JSON (a number out of range)";
        return false;
    }
    if (!out->is_object()) {
        *error = file + ": the JSON holds no object";
        return false;
    }
    return true;
}

// --- Tilesets ---

bool readTilesetObject(const Json& obj, const std::string& file, TiledTileset* t, std::string* error) {
    t->name = stringMember(obj, "name");
    const Where where{file, "tileset '" + t->name + "'"};
    const Json* tiles = nullptr;
    if (!intMember(obj, "tilewidth", 0, where, &t->tileWidth, error) ||
        !intMember(obj, "tileheight", 0, where, &t->tileHeight, error) ||
        !intMember(obj, "tilecount", 0, where, &t->tileCount, error) ||
        !intMember(obj, "columns", 0, where, &t->columns, error) ||
        !intMember(obj, "margin", 0, where, &t->margin, error) ||
        !intMember(obj, "spacing", 0, where, &t->spacing, error) ||
        !readImage(obj, "image", file, where, &t->image, error) || !arrayMember(obj, "tiles", where, &tiles, error)) {
        return false;
    }
    const auto offset = obj.find("tileoffset");
    if (offset != obj.end() && !offset->is_null()) {
        long long x = 0, y = 0;
        const Where at{file, where.part + ": \"tileoffset\""};
        if (!isObject(*offset, "\"tileoffset\"", where, error) ||
            !intMember(*offset, "x", INT_MIN, INT_MAX, 0, at, &x, error) ||
            !intMember(*offset, "y", INT_MIN, INT_MAX, 0, at, &y, error))
            return false;
        t->offsetX = static_cast<int>(x);
        t->offsetY = static_cast<int>(y);
    }
    const auto alignment = obj.find("objectalignment");
    if (alignment != obj.end() && !alignment->is_null() &&
        !(alignment->is_string() && parseTiledAlignment(alignment->get<std::string>(), &t->objectAlignment))) {
        *error = where(std::string("\"objectalignment\" must be one of ") + kTiledAlignmentNames);
        return false;
    }
    std::string drawing[2];
    const char* const drawingKeys[2] = {"tilerendersize", "fillmode"};
    for (int i = 0; i < 2; ++i) {
        const auto member = obj.find(drawingKeys[i]);
        if (member == obj.end() || member->is_null()) continue;
        if (!member->is_string()) {
            *error = where(std::string("\"") + drawingKeys[i] + "\" must be a name");
            return false;
        }
        drawing[i] = member->get<std::string>();
    }
    std::string why;
    if (!parseTiledDrawing(drawing[0], drawing[1], t, &why)) {
        *error = where(why);
        return false;
    }
    for (const Json& n : *tiles) {
        long long id = -1;
        if (!isObject(n, "a tile", where, error)) return false;
        if (!intMember(n, "id", 0, kTiledGidMask, -1, where, &id, error)) return false;
        if (id < 0) {
            *error = where("a tile has no \"id\"");
            return false;
        }
        TiledTile tile;
        tile.id = static_cast<std::uint32_t>(id);
        if (!readProperties(n, where, &tile.properties, error) ||
            !readImage(n, "image", file, where, &tile.image, error) || !intMember(n, "x", 0, where, &tile.x, error) ||
            !intMember(n, "y", 0, where, &tile.y, error) || !intMember(n, "width", 0, where, &tile.width, error) ||
            !intMember(n, "height", 0, where, &tile.height, error)) {
            return false;
        }
        if (tile.id >= static_cast<std::uint32_t>(t->tileCount) && t->image.source.empty()) {
            t->tileCount = static_cast<int>(tile.id) + 1;
        }
        t->tiles.push_back(std::move(tile));
    }
    return true;
}

bool readTilesets(const Json& root, TiledFileSource& files, TiledMap* map, std::string* error) {
    const Where where{map->file, ""};
    const Json* list = nullptr;
    if (!arrayMember(root, "tilesets", where, &list, error)) return false;
    for (const Json& node : *list) {
        if (!isObject(node, "a tileset", where, error)) return false;
        TiledTileset t;
        long long first = 0;
        if (!intMember(node, "firstgid", 1, kTiledGidMask, 1, where, &first, error)) return false;
        t.firstGid = static_cast<std::uint32_t>(first);
        t.file = map->file;
        const std::string source = stringMember(node, "source");
        const bool ok = !source.empty() ? readExternalTileset(map->file, source, files, &t, error)
                                        : readTilesetObject(node, map->file, &t, error);
        if (!ok) return false;
        map->tilesets.push_back(std::move(t));
    }
    return true;
}

// --- Layers ---

bool readTileData(const Json& node, const TiledMap& map, const Where& where, TiledLayer* layer, std::string* error) {
    const std::size_t count = static_cast<std::size_t>(map.width) * static_cast<std::size_t>(map.height);
    if (node.contains("chunks")) {
        *error = where("the data comes in chunks, as only infinite maps store it");
        return false;
    }
    const auto data = node.find("data");
    std::string why;
    bool ok = true;
    if (data == node.end() || (!data->is_array() && !data->is_string())) {
        why = "is missing (\"data\" must be an array or a base64 string)";
        ok = false;
    } else if (data->is_array()) {
        if (data->size() != count) {
            why = "holds " + std::to_string(data->size()) + " tiles, the layer needs " + std::to_string(count);
            ok = false;
        }
        for (std::size_t i = 0; ok && i < data->size(); ++i) {
            const Json& v = (*data)[i];
            if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<long long>() >= 0)) ok = false;
            else if (v.get<std::uint64_t>() > 0xFFFFFFFFull) ok = false;
            if (!ok) why = "entry " + std::to_string(i + 1) + " is not a tile ID";
            else layer->gids.push_back(static_cast<std::uint32_t>(v.get<std::uint64_t>()));
        }
    } else {
        TiledCompression compression = TiledCompression::None;
        const std::string encoding = stringMember(node, "encoding");
        if (encoding != "base64" || !parseTiledCompression(stringMember(node, "compression"), &compression)) {
            why = "encoding '" + encoding + "' with compression '" + stringMember(node, "compression") +
                  "' is not one Tiled writes";
            ok = false;
        } else {
            ok = decodeTiledBase64(data->get<std::string>(), compression, count, &layer->gids, &why);
        }
    }
    if (!ok) *error = where("data " + why);
    return ok;
}

bool readObject(const Json& n, const TiledMap& map, const Where& layerWhere, TiledObject* o, std::string* error) {
    long long id = 0, gid = 0;
    if (!n.is_object()) {
        *error = layerWhere("an object must be a JSON object");
        return false;
    }
    if (!intMember(n, "id", 0, UINT32_MAX, 0, layerWhere, &id, error)) return false;
    o->id = static_cast<std::uint32_t>(id);
    const Where at{map.file, layerWhere.part + ", object " + std::to_string(o->id)};
    if (n.contains("template")) {
        *error = at("the object comes from a template; export the map with --detach-templates");
        return false;
    }
    o->name = stringMember(n, "name");
    o->type = n.contains("class") ? stringMember(n, "class") : stringMember(n, "type");
    const auto point = n.find("point");
    o->point = point != n.end() && point->is_boolean() && point->get<bool>();
    if (!doubleMember(n, "x", at, &o->x, error) || !doubleMember(n, "y", at, &o->y, error) ||
        !doubleMember(n, "width", at, &o->width, error) || !doubleMember(n, "height", at, &o->height, error) ||
        !doubleMember(n, "rotation", at, &o->rotation, error) ||
        !intMember(n, "gid", 0, 0xFFFFFFFFll, 0, at, &gid, error)) {
        return false;
    }
    o->gid = static_cast<std::uint32_t>(gid);
    return readProperties(n, at, &o->properties, error);
}

// A layer's or group's offset added to its groups'.
bool addOffset(const Json& node, const Where& where, double* x, double* y, std::string* error) {
    double dx = 0, dy = 0;
    if (!doubleMember(node, "offsetx", where, &dx, error) || !doubleMember(node, "offsety", where, &dy, error))
        return false;
    *x += dx;
    *y += dy;
    return true;
}

bool readLayer(const Json& node, const TiledMap& map, TiledLayer* layer, std::string* error) {
    layer->name = stringMember(node, "name");
    const Where where{map.file, "layer '" + layer->name + "'"};
    if (!readProperties(node, where, &layer->properties, error) ||
        !addOffset(node, where, &layer->offsetX, &layer->offsetY, error))
        return false;
    const std::string type = stringMember(node, "type");
    if (type == "tilelayer") {
        layer->kind = TiledLayerKind::Tiles;
        int w = 0, h = 0;
        long long x = 0, y = 0;
        if (!intMember(node, "width", map.width, where, &w, error) || !intMember(node, "height", map.height, where, &h, error) ||
            !intMember(node, "x", INT_MIN, INT_MAX, 0, where, &x, error) ||
            !intMember(node, "y", INT_MIN, INT_MAX, 0, where, &y, error) ||
            !checkLayerStart(x, y, where.part, map, error))
            return false;
        if (w != map.width || h != map.height) {
            *error = where("the layer is " + std::to_string(w) + " x " + std::to_string(h) + " tiles, the map " +
                           std::to_string(map.width) + " x " + std::to_string(map.height));
            return false;
        }
        return readTileData(node, map, where, layer, error);
    }
    if (type == "imagelayer") {
        layer->kind = TiledLayerKind::Image;
        return readImage(node, "image", map.file, where, &layer->image, error);
    }
    layer->kind = TiledLayerKind::Objects;
    const Json* objects = nullptr;
    if (!arrayMember(node, "objects", where, &objects, error)) return false;
    for (const Json& n : *objects) {
        TiledObject o;
        if (!readObject(n, map, where, &o, error)) return false;
        layer->objects.push_back(std::move(o));
    }
    return true;
}

bool readLayers(const Json& parent, TiledMap* map, int depth, double offsetX, double offsetY, std::string* error) {
    const Where where{map->file, ""};
    const Json* list = nullptr;
    if (!arrayMember(parent, "layers", where, &list, error)) return false;
    for (const Json& node : *list) {
        if (!isObject(node, "a layer", where, error)) return false;
        const std::string type = stringMember(node, "type");
        if (type == "group") {
            double x = offsetX, y = offsetY;
            const Where group{map->file, "group '" + stringMember(node, "name") + "'"};
            if (!checkGroupDepth(*map, depth, error) || !addOffset(node, group, &x, &y, error) ||
                !readLayers(node, map, depth + 1, x, y, error))
                return false;
            continue;
        }
        if (type != "tilelayer" && type != "imagelayer" && type != "objectgroup") {
            *error = where("layer '" + stringMember(node, "name") + "' is of type '" + type +
                           "', which is not a Tiled layer type");
            return false;
        }
        TiledLayer layer;
        layer.offsetX = offsetX;
        layer.offsetY = offsetY;
        if (!readLayer(node, *map, &layer, error)) return false;
        map->layers.push_back(std::move(layer));
    }
    return true;
}

}  // namespace

bool parseJsonTileset(const std::string& file, const std::uint8_t* data, std::size_t size, TiledTileset* tileset,
                      std::string* error) {
    Json root;
    return loadJson(file, data, size, &root, error) && readTilesetObject(root, file, tileset, error);
}

bool parseJsonMap(const std::string& file, const std::uint8_t* data, std::size_t size, TiledFileSource& files,
                  TiledMap* map, std::string* error) {
    Json root;
    if (!loadJson(file, data, size, &root, error)) return false;
    const Where where{file, ""};
    const auto infinite = root.find("infinite");
    const bool isInfinite = infinite != root.end() && infinite->is_boolean() && infinite->get<bool>();
    if (!intMember(root, "width", 0, where, &map->width, error) ||
        !intMember(root, "height", 0, where, &map->height, error) ||
        !intMember(root, "tilewidth", 0, where, &map->tileWidth, error) ||
        !intMember(root, "tileheight", 0, where, &map->tileHeight, error) ||
        !checkTiledMapHeader(stringMember(root, "orientation"), isInfinite, map, error) ||
        !readProperties(root, where, &map->properties, error)) {
        return false;
    }
    return readTilesets(root, files, map, error) && readLayers(root, map, 0, 0, 0, error);
}

}  // namespace contentkit
