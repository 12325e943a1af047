// Objects of the map's object layers: placed models (by ID or by model
// file, turned and scaled, blocking the cells they stand on), sound
// effects, effects and lights, with the boxes and lights the bake uses.
#include <cmath>
#include <cstring>

#include "tools/contentkit/import/tiled_import_internal.h"

namespace contentkit {

namespace {

// Where an object stands, in the client's cells (fractions kept; rows run
// up from the map's bottom edge).
struct Spot {
    double col = 0, row = 0;
    int cellX = 0, cellY = 0;
};

std::string objectName(const ImportContext& ctx, const TiledLayer& layer, const TiledObject& o) {
    return ctx.file() + ": layer '" + layer.name + "', object " + std::to_string(o.id) +
           (o.name.empty() ? "" : " '" + o.name + "'");
}

// Where on the tile the editor draws a tile object's x and y lie, as shares
// of its width and height.
void anchorOf(TiledAlignment alignment, double* ax, double* ay) {
    switch (alignment) {
        case TiledAlignment::TopLeft: *ax = 0, *ay = 0; return;
        case TiledAlignment::Top: *ax = 0.5, *ay = 0; return;
        case TiledAlignment::TopRight: *ax = 1, *ay = 0; return;
        case TiledAlignment::Left: *ax = 0, *ay = 0.5; return;
        case TiledAlignment::Center: *ax = 0.5, *ay = 0.5; return;
        case TiledAlignment::Right: *ax = 1, *ay = 0.5; return;
        case TiledAlignment::Bottom: *ax = 0.5, *ay = 1; return;
        case TiledAlignment::BottomRight: *ax = 1, *ay = 1; return;
        case TiledAlignment::Unspecified:  // orthogonal maps' default
        case TiledAlignment::BottomLeft: *ax = 0, *ay = 1; return;
    }
}

// The centre of what the editor draws: a point is where it is; a rectangle
// or ellipse turns about its top-left corner, a tile object about the point
// its tileset's object alignment names (bottom-left unless it says), its
// tileset's tile offset scaled and turned with it (flips leave both as they
// are); the layer's offset moves them all.
bool objectSpot(const ImportContext& ctx, const TiledLayer& layer, const std::string& where, const TiledObject& o,
                Spot* spot, std::string* error) {
    const TiledTileset* set = o.gid != 0 ? ctx.map.tilesetOf(o.gid) : nullptr;
    double ax = 0, ay = 0;
    if (o.gid != 0) anchorOf(set ? set->objectAlignment : TiledAlignment::Unspecified, &ax, &ay);
    double dx = 0, dy = 0;
    if (!o.point) {
        dx = o.width * (0.5 - ax);
        dy = o.height * (0.5 - ay);
    }
    if (set && (set->offsetX != 0 || set->offsetY != 0)) {
        double tw = 0, th = 0;
        tileDrawnSize(*set, o.gid, &tw, &th);
        dx += set->offsetX * (o.width > 0 && tw > 0 ? o.width / tw : 1.0);
        dy += set->offsetY * (o.height > 0 && th > 0 ? o.height / th : 1.0);
    }
    const double r = o.rotation * M_PI / 180.0, c = std::cos(r), s = std::sin(r);
    const double x = o.x + layer.offsetX + (dx * c - dy * s), y = o.y + layer.offsetY + (dx * s + dy * c);
    const double col = x / ctx.map.tileWidth, row = y / ctx.map.tileHeight;
    if (!(col >= 0 && row >= 0 && col < ctx.map.width && row < ctx.map.height)) {
        char text[96];
        std::snprintf(text, sizeof text, "stands at cell (%.2f, %.2f), outside the map of %d x %d cells", col, row,
                      ctx.map.width, ctx.map.height);
        *error = where + ": " + text;
        return false;
    }
    spot->col = col;
    spot->row = ctx.map.height - row;
    spot->cellX = static_cast<int>(col);
    spot->cellY = tiledRow(ctx, static_cast<int>(row));
    return true;
}

double cellMeanElevation(const ImportContext& ctx, int x, int y) {
    const auto& e = ctx.cellElevation[0][static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * ctx.map.width];
    return (e[0] + e[1] + e[2] + e[3]) * 0.25;
}

void blockAround(ImportContext& ctx, const Spot& spot, int radius) {
    for (int y = spot.cellY - radius; y <= spot.cellY + radius; ++y) {
        for (int x = spot.cellX - radius; x <= spot.cellX + radius; ++x) {
            if (x < 0 || y < 0 || x >= ctx.map.width || y >= ctx.map.height) continue;
            for (auto& layer : ctx.walkable) {
                layer[static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * ctx.map.width] = false;
            }
        }
    }
}

bool modelIdOf(ImportContext& ctx, const std::string& where, const TiledObject& o, std::int32_t* id,
               std::string* error) {
    const TiledProperty* file = findTiledProperty(o.properties, "modelFile");
    if (file) return modelFromFile(ctx, where, file->value, o.properties, id, error);
    long long value = -1;
    if (!propertyInt(o.properties, "model", 0, INT32_MAX, where, &value, error)) return false;
    if (value < 0) {
        *error = where + ": the object names no model (property 'model' with a model ID, or 'modelFile')";
        return false;
    }
    if (!ctx.modelFiles.count(static_cast<std::int32_t>(value))) {
        *error = where + ": model " + std::to_string(value) + " is not defined in data/def/model.def";
        return false;
    }
    *id = static_cast<std::int32_t>(value);
    return true;
}

bool placeModel(ImportContext& ctx, const TiledLayer& layer, const TiledObject& o, std::string* error) {
    const std::string where = objectName(ctx, layer, o);
    Spot spot;
    std::int32_t id = 0;
    double scale = 1;
    long long block = 0;
    if (!objectSpot(ctx, layer, where, o, &spot, error) || !modelIdOf(ctx, where, o, &id, error) ||
        !propertyDouble(o.properties, "scale", where, &scale, error) ||
        !propertyInt(o.properties, "block", -1, 64, where, &block, error)) {
        return false;
    }
    if (!(scale > 0 && scale <= 1000)) {
        *error = where + ": property 'scale' must lie above 0 and at most 1000";
        return false;
    }
    const double cell = ctx.cellSize();
    const double ground = cellMeanElevation(ctx, spot.cellX, spot.cellY);
    // The client shifts models into the frame it draws the ground in.
    const double perCube = static_cast<double>(ctx.map.width) / ctx.cubesWide;
    const double ox = ctx.cubesWide * static_cast<double>(ctx.settings.cubeSize) / perCube;
    const double oy = ctx.cubesHigh * static_cast<double>(ctx.settings.cubeSize) / perCube;
    RmapModel m;
    m.position = {static_cast<float>(spot.col * cell - ox), static_cast<float>(0.0 - ground),
                  static_cast<float>(spot.row * cell - oy)};
    // The editor turns clockwise; on the client's screen, which the camera
    // mirrors, so does a turn about y by that much.
    m.rotation = {0.0f, static_cast<float>(o.rotation), 0.0f};
    m.scale = {static_cast<float>(scale), static_cast<float>(scale), static_cast<float>(scale)};
    m.kind = kModelExternal;
    m.modelId = id;
    ctx.rmap.models.push_back(m);
    if (block >= 0) blockAround(ctx, spot, static_cast<int>(block));

    std::array<float, 3> size{};
    std::string why;
    if (!modelBox(ctx, id, &size, &why)) {
        ctx.warn(where + ": model " + std::to_string(id) + " casts no shadow: " + why);
        return true;
    }
    BakeBox box;
    box.x = spot.col * cell;
    box.y = spot.row * cell;
    box.yaw = o.rotation * M_PI / 180.0;
    box.halfX = size[0] * scale / 2;
    box.halfZ = size[2] * scale / 2;
    box.base = ground;
    box.height = size[1] * scale;
    ctx.boxes.push_back(box);
    return true;
}

std::uint8_t channelByte(double v) { return static_cast<std::uint8_t>(std::lround(std::fmin(1.0, std::fmax(0.0, v)) * 255)); }

bool placeSound(ImportContext& ctx, const TiledLayer& layer, const TiledObject& o, std::string* error) {
    const std::string where = objectName(ctx, layer, o);
    Spot spot;
    long long radius = 10, volume = 100;
    bool loop = true;
    const TiledProperty* sound = findTiledProperty(o.properties, "sound");
    if (!objectSpot(ctx, layer, where, o, &spot, error) ||
        !propertyInt(o.properties, "radius", 0, 65535, where, &radius, error) ||
        !propertyInt(o.properties, "volume", 0, 100, where, &volume, error) ||
        !propertyBool(o.properties, "loop", where, &loop, error)) {
        return false;
    }
    RmapSoundEffect s;
    if (!sound || sound->value.empty() || sound->value.size() >= s.head.size()) {
        *error = where + ": property 'sound' must name the sound in 1 to " + std::to_string(s.head.size() - 1) +
                 " characters";
        return false;
    }
    std::memcpy(s.head.data(), sound->value.data(), sound->value.size());
    s.words = {o.id, static_cast<std::uint32_t>(spot.cellX), static_cast<std::uint32_t>(spot.cellY),
               static_cast<std::uint32_t>(radius), static_cast<std::uint32_t>(volume), loop ? 1u : 0u, 0, 0};
    ctx.rmap.soundEffects.push_back(s);
    return true;
}

bool placeEffect(ImportContext& ctx, const TiledLayer& layer, const TiledObject& o, std::string* error) {
    const std::string where = objectName(ctx, layer, o);
    Spot spot;
    long long effect = -1, param = 0;
    if (!objectSpot(ctx, layer, where, o, &spot, error) ||
        !propertyInt(o.properties, "effect", 0, INT32_MAX, where, &effect, error) ||
        !propertyInt(o.properties, "param", INT32_MIN, INT32_MAX, where, &param, error)) {
        return false;
    }
    if (effect < 0) {
        *error = where + ": the object names no effect (property 'effect')";
        return false;
    }
    ctx.rmap.effects.push_back({static_cast<std::uint32_t>(effect), static_cast<std::uint32_t>(spot.cellX),
                                static_cast<std::uint32_t>(spot.cellY), static_cast<std::uint32_t>(param)});
    return true;
}

bool placeLight(ImportContext& ctx, const TiledLayer& layer, const TiledObject& o, std::string* error) {
    const std::string where = objectName(ctx, layer, o);
    Spot spot;
    Rgb colour{1, 1, 1};
    double radius = 30, height = 6, intensity = 1;
    if (!objectSpot(ctx, layer, where, o, &spot, error) || !propertyColour(o.properties, "colour", where, &colour, error) ||
        !propertyDouble(o.properties, "radius", where, &radius, error) ||
        !propertyDouble(o.properties, "height", where, &height, error) ||
        !propertyDouble(o.properties, "intensity", where, &intensity, error)) {
        return false;
    }
    if (!(radius > 0) || !(intensity >= 0)) {
        *error = where + ": a light needs a 'radius' above 0 and an 'intensity' of 0 or more";
        return false;
    }
    ctx.rmap.lights.push_back({o.id, static_cast<std::uint32_t>(spot.cellX), static_cast<std::uint32_t>(spot.cellY),
                               channelByte(colour[0]), channelByte(colour[1]), channelByte(colour[2])});
    BakeLight light;
    light.x = spot.col * ctx.cellSize();
    light.y = spot.row * ctx.cellSize();
    light.z = groundElevation(ctx.rmap, light.x, light.y) + height;
    for (int c = 0; c < 3; ++c) light.colour[static_cast<std::size_t>(c)] = colour[static_cast<std::size_t>(c)] * intensity;
    light.radius = radius;
    ctx.bakeLights.push_back(light);
    return true;
}

using Placer = bool (*)(ImportContext&, const TiledLayer&, const TiledObject&, std::string*);

bool placeAll(ImportContext& ctx, const std::vector<const TiledLayer*>& layers, Placer place, std::string* error) {
    for (const TiledLayer* layer : layers) {
        for (const TiledObject& o : layer->objects) {
            if (!place(ctx, *layer, o, error)) return false;
        }
    }
    return true;
}

}  // namespace

void tileDrawnSize(const TiledTileset& set, std::uint32_t gid, double* w, double* h) {
    *w = set.tileWidth;
    *h = set.tileHeight;
    const TiledTile* tile = set.image.source.empty() ? set.tile((gid & kTiledGidMask) - set.firstGid) : nullptr;
    if (!tile) return;
    if (tile->width > 0 && tile->height > 0) {
        *w = tile->width;
        *h = tile->height;
    } else if (tile->image.width > 0 && tile->image.height > 0) {
        *w = tile->image.width;
        *h = tile->image.height;
    }
}

bool placeObjects(ImportContext& ctx, std::string* error) {
    return placeAll(ctx, ctx.models, placeModel, error) && placeAll(ctx, ctx.sounds, placeSound, error) &&
           placeAll(ctx, ctx.effects, placeEffect, error) && placeAll(ctx, ctx.lights, placeLight, error);
}

}  // namespace contentkit
