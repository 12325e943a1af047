// TMX maps and TSX tilesets through pugixml. Attributes are read strictly:
// a number that is not a number is an error naming the element, never a 0.
#include <pugixml.hpp>

#include <climits>
#include <cstring>

#include "tools/contentkit/tiled/tiled_layer_data_internal.h"
#include "tools/contentkit/tiled/tiled_parse_internal.h"

namespace contentkit {

namespace {

// The file and what is being read, for messages.
struct Where {
    const std::string& file;
    std::string part;  // "layer 'ground'", "tileset 'cells'", empty at map level
    std::string operator()(const std::string& what) const {
        return file + ": " + (part.empty() ? "" : part + ": ") + what;
    }
};

bool intAttr(const pugi::xml_node& node, const char* name, long long low, long long high, long long fallback,
             const Where& where, long long* out, std::string* error) {
    const pugi::xml_attribute a = node.attribute(name);
    if (!a) {
        *out = fallback;
        return true;
    }
    if (tiledInt(a.value(), low, high, out)) return true;
    *error = where(std::string("<") + node.name() + "> " + name + "=\"" + a.value() + "\" is not a whole number from " +
                   std::to_string(low) + " to " + std::to_string(high));
    return false;
}

bool intAttr(const pugi::xml_node& node, const char* name, int fallback, const Where& where, int* out,
             std::string* error) {
    long long v = 0;
    if (!intAttr(node, name, 0, INT_MAX, fallback, where, &v, error)) return false;
    *out = static_cast<int>(v);
    return true;
}

bool doubleAttr(const pugi::xml_node& node, const char* name, const Where& where, double* out, std::string* error) {
    const pugi::xml_attribute a = node.attribute(name);
    if (!a) {
        *out = 0;
        return true;
    }
    if (tiledDouble(a.value(), out)) return true;
    *error = where(std::string("<") + node.name() + "> " + name + "=\"" + a.value() + "\" is not a number");
    return false;
}

void readProperties(const pugi::xml_node& node, TiledProperties* out) {
    for (const pugi::xml_node& p : node.child("properties").children("property")) {
        TiledProperty property;
        property.name = p.attribute("name").value();
        property.type = p.attribute("type") ? p.attribute("type").value() : "string";
        // Multi-line strings are stored as the element's text.
        property.value = p.attribute("value") ? p.attribute("value").value() : p.text().get();
        out->push_back(std::move(property));
    }
}

bool readImage(const pugi::xml_node& node, const std::string& file, const Where& where, TiledImage* out,
               std::string* error) {
    if (!node) return true;
    const char* source = node.attribute("source").value();
    if (*source == '\0') {
        *error = where("an <image> names no file (embedded image data is not read)");
        return false;
    }
    out->source = joinTiledPath(file, source);
    const pugi::xml_attribute trans = node.attribute("trans");
    if (trans && *trans.value() && !tiledRgb(trans.value(), &out->transparent)) {
        *error = where(std::string("<image> trans=\"") + trans.value() + "\" is not a colour RRGGBB");
        return false;
    }
    return intAttr(node, "width", 0, where, &out->width, error) && intAttr(node, "height", 0, where, &out->height, error);
}

bool loadXml(const std::string& file, const std::uint8_t* data, std::size_t size, pugi::xml_document* doc,
             std::string* error) {
    const pugi::xml_parse_result result = doc->load_buffer(data, size, pugi::parse_default, pugi::encoding_utf8);
    if (result) return true;
    const std::size_t offset = result.offset < 0 ? 0 : static_cast<std::size_t>(result.offset);
    *error = file + ": line " + std::to_string(lineOfOffset(data, size, offset)) + ": not well-formed XML (" +
             result.description() + ")";
    return false;
}

// --- Tilesets ---

bool readTilesetElement(const pugi::xml_node& node, const std::string& file, TiledTileset* t, std::string* error) {
    t->name = node.attribute("name").value();
    const Where where{file, "tileset '" + t->name + "'"};
    if (!intAttr(node, "tilewidth", 0, where, &t->tileWidth, error) ||
        !intAttr(node, "tileheight", 0, where, &t->tileHeight, error) ||
        !intAttr(node, "tilecount", 0, where, &t->tileCount, error) ||
        !intAttr(node, "columns", 0, where, &t->columns, error) ||
        !intAttr(node, "margin", 0, where, &t->margin, error) ||
        !intAttr(node, "spacing", 0, where, &t->spacing, error) ||
        !readImage(node.child("image"), file, where, &t->image, error)) {
        return false;
    }
    long long offsetX = 0, offsetY = 0;
    const pugi::xml_node offset = node.child("tileoffset");
    if (!intAttr(offset, "x", INT_MIN, INT_MAX, 0, where, &offsetX, error) ||
        !intAttr(offset, "y", INT_MIN, INT_MAX, 0, where, &offsetY, error))
        return false;
    t->offsetX = static_cast<int>(offsetX);
    t->offsetY = static_cast<int>(offsetY);
    const char* alignment = node.attribute("objectalignment").value();
    if (!parseTiledAlignment(alignment, &t->objectAlignment)) {
        *error = where(std::string("<tileset> objectalignment=\"") + alignment + "\" is not one of " +
                       kTiledAlignmentNames);
        return false;
    }
    std::string why;
    if (!parseTiledDrawing(node.attribute("tilerendersize").value(), node.attribute("fillmode").value(), t, &why)) {
        *error = where("<tileset> " + why);
        return false;
    }
    for (const pugi::xml_node& n : node.children("tile")) {
        TiledTile tile;
        long long id = 0;
        if (!intAttr(n, "id", 0, kTiledGidMask, -1, where, &id, error)) return false;
        if (id < 0) {
            *error = where("a <tile> has no id");
            return false;
        }
        tile.id = static_cast<std::uint32_t>(id);
        readProperties(n, &tile.properties);
        if (!readImage(n.child("image"), file, where, &tile.image, error) ||
            !intAttr(n, "x", 0, where, &tile.x, error) || !intAttr(n, "y", 0, where, &tile.y, error) ||
            !intAttr(n, "width", 0, where, &tile.width, error) || !intAttr(n, "height", 0, where, &tile.height, error))
            return false;
        if (tile.id >= static_cast<std::uint32_t>(t->tileCount) && t->image.source.empty()) {
            t->tileCount = static_cast<int>(tile.id) + 1;  // collections may leave holes
        }
        t->tiles.push_back(std::move(tile));
    }
    return true;
}

bool readTilesets(const pugi::xml_node& root, TiledFileSource& files, TiledMap* map, std::string* error) {
    const Where where{map->file, ""};
    for (const pugi::xml_node& node : root.children("tileset")) {
        TiledTileset t;
        long long first = 0;
        if (!intAttr(node, "firstgid", 1, kTiledGidMask, 1, where, &first, error)) return false;
        t.firstGid = static_cast<std::uint32_t>(first);
        t.file = map->file;
        const char* source = node.attribute("source").value();
        const bool ok = *source ? readExternalTileset(map->file, source, files, &t, error)
                                : readTilesetElement(node, map->file, &t, error);
        if (!ok) return false;
        map->tilesets.push_back(std::move(t));
    }
    return true;
}

// --- Layers ---

bool readTileData(const pugi::xml_node& data, const TiledMap& map, const Where& where, TiledLayer* layer,
                  std::string* error) {
    const std::size_t count = static_cast<std::size_t>(map.width) * static_cast<std::size_t>(map.height);
    if (data.child("chunk")) {
        *error = where("the data comes in chunks, as only infinite maps store it");
        return false;
    }
    const std::string encoding = data.attribute("encoding").value();
    TiledCompression compression = TiledCompression::None;
    if (!parseTiledCompression(data.attribute("compression").value(), &compression) ||
        (compression != TiledCompression::None && encoding != "base64")) {
        *error = where(std::string("compression '") + data.attribute("compression").value() + "' is not one Tiled writes");
        return false;
    }
    std::string why;
    bool ok = true;
    if (encoding == "csv") {
        ok = decodeTiledCsv(data.text().get(), count, &layer->gids, &why);
    } else if (encoding == "base64") {
        ok = decodeTiledBase64(data.text().get(), compression, count, &layer->gids, &why);
    } else if (encoding.empty()) {
        for (const pugi::xml_node& tile : data.children("tile")) {
            long long gid = 0;
            if (layer->gids.size() == count) {
                why = "holds more than the " + std::to_string(count) + " tiles the layer needs";
                ok = false;
                break;
            }
            if (!intAttr(tile, "gid", 0, 0xFFFFFFFFll, 0, where, &gid, error)) return false;
            layer->gids.push_back(static_cast<std::uint32_t>(gid));
        }
        if (ok && layer->gids.size() != count) {
            why = "holds " + std::to_string(layer->gids.size()) + " tiles, the layer needs " + std::to_string(count);
            ok = false;
        }
    } else {
        why = "encoding '" + encoding + "' is not one Tiled writes";
        ok = false;
    }
    if (!ok) *error = where("data " + why);
    return ok;
}

// A layer's or group's offset added to its groups'.
bool addOffset(const pugi::xml_node& node, const Where& where, double* x, double* y, std::string* error) {
    double dx = 0, dy = 0;
    if (!doubleAttr(node, "offsetx", where, &dx, error) || !doubleAttr(node, "offsety", where, &dy, error)) return false;
    *x += dx;
    *y += dy;
    return true;
}

bool readLayer(const pugi::xml_node& node, const TiledMap& map, TiledLayer* layer, std::string* error) {
    layer->name = node.attribute("name").value();
    readProperties(node, &layer->properties);
    const Where where{map.file, "layer '" + layer->name + "'"};
    if (!addOffset(node, where, &layer->offsetX, &layer->offsetY, error)) return false;
    const std::string kind = node.name();
    if (kind == "layer") {
        layer->kind = TiledLayerKind::Tiles;
        int w = 0, h = 0;
        long long x = 0, y = 0;
        if (!intAttr(node, "width", map.width, where, &w, error) || !intAttr(node, "height", map.height, where, &h, error) ||
            !intAttr(node, "x", INT_MIN, INT_MAX, 0, where, &x, error) ||
            !intAttr(node, "y", INT_MIN, INT_MAX, 0, where, &y, error))
            return false;
        if (!checkLayerStart(x, y, where.part, map, error)) return false;
        if (w != map.width || h != map.height) {
            *error = where("the layer is " + std::to_string(w) + " x " + std::to_string(h) + " tiles, the map " +
                           std::to_string(map.width) + " x " + std::to_string(map.height));
            return false;
        }
        if (!node.child("data")) {
            *error = where("the layer has no <data>");
            return false;
        }
        return readTileData(node.child("data"), map, where, layer, error);
    }
    if (kind == "imagelayer") {
        layer->kind = TiledLayerKind::Image;
        return readImage(node.child("image"), map.file, where, &layer->image, error);
    }
    layer->kind = TiledLayerKind::Objects;
    for (const pugi::xml_node& n : node.children("object")) {
        TiledObject o;
        long long id = 0, gid = 0;
        if (!intAttr(n, "id", 0, UINT32_MAX, 0, where, &id, error)) return false;
        o.id = static_cast<std::uint32_t>(id);
        const Where at{map.file, where.part + ", object " + std::to_string(o.id)};
        if (n.attribute("template")) {
            *error = at("the object comes from a template; export the map with --detach-templates");
            return false;
        }
        o.name = n.attribute("name").value();
        o.type = n.attribute("class") ? n.attribute("class").value() : n.attribute("type").value();
        if (!doubleAttr(n, "x", at, &o.x, error) || !doubleAttr(n, "y", at, &o.y, error) ||
            !doubleAttr(n, "width", at, &o.width, error) || !doubleAttr(n, "height", at, &o.height, error) ||
            !doubleAttr(n, "rotation", at, &o.rotation, error) ||
            !intAttr(n, "gid", 0, 0xFFFFFFFFll, 0, at, &gid, error)) {
            return false;
        }
        o.gid = static_cast<std::uint32_t>(gid);
        o.point = static_cast<bool>(n.child("point"));
        readProperties(n, &o.properties);
        layer->objects.push_back(std::move(o));
    }
    return true;
}

bool readLayers(const pugi::xml_node& parent, TiledMap* map, int depth, double offsetX, double offsetY,
                std::string* error) {
    for (const pugi::xml_node& node : parent.children()) {
        const std::string kind = node.name();
        if (kind == "group") {
            double x = offsetX, y = offsetY;
            const Where where{map->file, std::string("group '") + node.attribute("name").value() + "'"};
            if (!checkGroupDepth(*map, depth, error) || !addOffset(node, where, &x, &y, error) ||
                !readLayers(node, map, depth + 1, x, y, error))
                return false;
            continue;
        }
        if (kind != "layer" && kind != "imagelayer" && kind != "objectgroup") continue;
        TiledLayer layer;
        layer.offsetX = offsetX;
        layer.offsetY = offsetY;
        if (!readLayer(node, *map, &layer, error)) return false;
        map->layers.push_back(std::move(layer));
    }
    return true;
}

}  // namespace

bool parseTmxTileset(const std::string& file, const std::uint8_t* data, std::size_t size, TiledTileset* tileset,
                     std::string* error) {
    pugi::xml_document doc;
    if (!loadXml(file, data, size, &doc, error)) return false;
    const pugi::xml_node root = doc.child("tileset");
    if (!root) {
        *error = file + ": not a TSX tileset (no <tileset> element)";
        return false;
    }
    return readTilesetElement(root, file, tileset, error);
}

bool parseTmxMap(const std::string& file, const std::uint8_t* data, std::size_t size, TiledFileSource& files,
                 TiledMap* map, std::string* error) {
    pugi::xml_document doc;
    if (!loadXml(file, data, size, &doc, error)) return false;
    const pugi::xml_node root = doc.child("map");
    if (!root) {
        *error = file + ": not a TMX map (no <map> element)";
        return false;
    }
    const Where where{file, ""};
    int infinite = 0;
    if (!intAttr(root, "width", 0, where, &map->width, error) || !intAttr(root, "height", 0, where, &map->height, error) ||
        !intAttr(root, "tilewidth", 0, where, &map->tileWidth, error) ||
        !intAttr(root, "tileheight", 0, where, &map->tileHeight, error) ||
        !intAttr(root, "infinite", 0, where, &infinite, error) ||
        !checkTiledMapHeader(root.attribute("orientation").value(), infinite != 0, map, error)) {
        return false;
    }
    readProperties(root, &map->properties);
    return readTilesets(root, files, map, error) && readLayers(root, map, 0, 0, 0, error);
}

}  // namespace contentkit
