// What an import makes besides the map: textures from tile pictures,
// models from model files, their IDs (never one the game directory holds
// already), the def files naming them and the load lines pulling those in.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "client/assets/def_file.h"
#include "client/assets/model_file.h"
#include "client/assets/model_pose.h"
#include "client/core/vmath.h"
#include "client/storage/gdf.h"
#include "tools/contentkit/formats/dds_writer.h"
#include "tools/contentkit/formats/def_writer.h"
#include "tools/contentkit/formats/text.h"
#include "tools/contentkit/import/tiled_import_internal.h"
#include "tools/contentkit/models/gltf_model.h"
#include "tools/contentkit/models/obj_model.h"

namespace contentkit {

namespace {

std::string safeName(const std::string& text) {
    std::string out;
    for (char c : text) out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return out.empty() ? std::string("x") : out;
}

std::int32_t freeId(std::int32_t base, const std::set<std::int32_t>& taken, const std::vector<MadeAsset>& made) {
    std::int32_t id = base;
    auto used = [&](std::int32_t v) {
        return taken.count(v) || std::any_of(made.begin(), made.end(), [v](const MadeAsset& a) { return a.id == v; });
    };
    while (used(id) && id < INT32_MAX) ++id;
    return id;
}

const MadeAsset* findMade(const std::vector<MadeAsset>& made, const std::string& key) {
    for (const MadeAsset& a : made) {
        if (a.key == key) return &a;
    }
    return nullptr;
}

// A picture as a texture: DXT5 when it has any transparency, else DXT1.
bool makeTexture(ImportContext& ctx, const std::string& key, const std::string& stem, const Image& picture,
                 const std::string& where, std::int32_t* id, std::string* error) {
    if (const MadeAsset* made = findMade(ctx.madeTextures, key)) {
        *id = made->id;
        return true;
    }
    DdsOptions options;
    for (std::size_t i = 3; i < picture.rgba.size(); i += 4) {
        if (picture.rgba[i] != 255) options.format = DxtFormat::Dxt5;
    }
    MadeAsset asset;
    asset.key = key;
    asset.id = freeId(ctx.settings.textureIdBase, ctx.textureIds, ctx.madeTextures);
    asset.path = "data/texture/" + ctx.options.name + "/" + stem + ".dds";
    // Tilesets of one name, or a model's material named like a tile, must
    // not share a file: the later one gets its ID in its name.
    if (std::any_of(ctx.madeTextures.begin(), ctx.madeTextures.end(),
                    [&](const MadeAsset& a) { return a.path == asset.path; })) {
        asset.path = "data/texture/" + ctx.options.name + "/" + stem + "_" + std::to_string(asset.id) + ".dds";
    }
    if (!writeDds(picture, options, &asset.bytes, error)) {
        *error = where + ": " + *error;
        return false;
    }
    auto pot = [](int v) { return v > 0 && (v & (v - 1)) == 0; };
    if (!pot(picture.width) || !pot(picture.height)) {
        ctx.warn(where + ": the picture is " + std::to_string(picture.width) + " x " + std::to_string(picture.height) +
                 "; older graphics cards show only textures whose sides are powers of two");
    }
    *id = asset.id;
    ctx.madeTextures.push_back(std::move(asset));
    return true;
}

// The picture with the editor's transparent colour made clear, as the
// editor draws it.
bool readPicture(ImportContext& ctx, const TiledImage& image, const std::string& where, Image* out,
                 std::string* error) {
    Bytes bytes;
    std::string why;
    if (!ctx.sources.read(image.source, &bytes, &why) || !decodeImage(bytes.data(), bytes.size(), out, &why)) {
        *error = where + ": " + image.source + ": " + why;
        return false;
    }
    if (image.transparent < 0) return true;
    const std::uint8_t key[3] = {static_cast<std::uint8_t>(image.transparent >> 16),
                                 static_cast<std::uint8_t>(image.transparent >> 8),
                                 static_cast<std::uint8_t>(image.transparent)};
    for (std::size_t i = 0; i + 3 < out->rgba.size(); i += 4) {
        if (std::equal(key, key + 3, &out->rgba[i])) out->rgba[i + 3] = 0;
    }
    return true;
}

Image cut(const Image& from, int x0, int y0, int w, int h) {
    Image out(w, h);
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = from.at(x0, y0 + y);
        std::copy(row, row + static_cast<std::ptrdiff_t>(w) * 4, out.at(0, y));
    }
    return out;
}

// The tile's own picture (or the part of it the tile names), or its cell
// of the tileset's atlas.
bool tilePicture(ImportContext& ctx, const TiledTileset& set, std::uint32_t local, const std::string& where,
                 Image* out, std::string* error) {
    const TiledTile* tile = set.tile(local);
    if (tile && !tile->image.source.empty()) {
        if (!readPicture(ctx, tile->image, where, out, error)) return false;
        if (tile->width == 0 && tile->height == 0 && tile->x == 0 && tile->y == 0) return true;
        const int w = tile->width > 0 ? tile->width : out->width - tile->x;
        const int h = tile->height > 0 ? tile->height : out->height - tile->y;
        if (w < 1 || h < 1 || static_cast<long long>(tile->x) + w > out->width ||
            static_cast<long long>(tile->y) + h > out->height) {
            *error = where + ": the tile's part of " + std::to_string(w) + " x " + std::to_string(h) + " at (" +
                     std::to_string(tile->x) + ", " + std::to_string(tile->y) + ") lies outside its picture " +
                     tile->image.source;
            return false;
        }
        *out = cut(*out, tile->x, tile->y, w, h);
        return true;
    }
    if (set.image.source.empty() || set.columns < 1 || set.tileWidth < 1 || set.tileHeight < 1) {
        *error = where + ": the tile has no property 'texture' and no picture to make a texture from";
        return false;
    }
    Image atlas;
    if (!readPicture(ctx, set.image, where, &atlas, error)) return false;
    const long long col = local % static_cast<std::uint32_t>(set.columns), row = local / static_cast<std::uint32_t>(set.columns);
    const long long x0 = set.margin + col * (set.tileWidth + set.spacing);
    const long long y0 = set.margin + row * (set.tileHeight + set.spacing);
    if (x0 + set.tileWidth > atlas.width || y0 + set.tileHeight > atlas.height) {
        *error = where + ": the tile lies outside its tileset picture " + set.image.source;
        return false;
    }
    *out = cut(atlas, static_cast<int>(x0), static_cast<int>(y0), set.tileWidth, set.tileHeight);
    return true;
}

// Per-material texture IDs given as properties "texture:NAME", or "texture".
bool propertyTexture(const TiledProperties& p, const std::string& material, const std::string& where, bool* found,
                     std::int32_t* id, std::string* error) {
    long long value = -1;
    if (!material.empty() && !propertyInt(p, ("texture:" + material).c_str(), 0, INT32_MAX, where, &value, error))
        return false;
    if (value < 0 && !propertyInt(p, "texture", 0, INT32_MAX, where, &value, error)) return false;
    *found = value >= 0;
    if (*found) *id = static_cast<std::int32_t>(value);
    return true;
}

bool convertModel(ImportContext& ctx, const std::string& where, const std::string& path, const Bytes& bytes,
                  const TiledProperties& p, const std::string& stem, RmdlModel* model, std::string* error) {
    const std::string ext = lowerExtension(path);
    std::string why;
    if (ext == ".obj") {
        ObjModelOptions options;
        bool found = false;
        if (!propertyTexture(p, "", where, &found, &options.defaultTexture, error)) return false;
        options.hasDefaultTexture = found;
        for (const TiledProperty& prop : p) {
            if (prop.name.rfind("texture:", 0) != 0) continue;
            long long id = 0;
            if (!propertyInt(p, prop.name.c_str(), 0, INT32_MAX, where, &id, error)) return false;
            options.materialTextures.emplace_back(prop.name.substr(8), static_cast<std::int32_t>(id));
        }
        ObjModelSummary summary;
        if (objToRmdl(bytes.data(), bytes.size(), options, model, &summary, &why)) return true;
    } else if (ext == ".gltf" || ext == ".glb") {
        GltfModelOptions options;
        options.readFile = [&ctx](const std::string& file, Bytes* out, std::string* w) {
            return ctx.sources.read(file, out, w);
        };
        options.texture = [&](const GltfMaterial& m, std::int32_t* id, std::string* e) {
            bool found = false;
            if (!propertyTexture(p, m.name, where, &found, id, e)) return false;
            if (found) return true;
            if (!m.picture && !m.pictureProblem.empty()) {
                *e = "material '" + m.name + "': " + m.pictureProblem;
                return false;
            }
            if (!m.picture) {
                *e = "material '" + m.name + "' has no picture; give the object a property 'texture' or 'texture:" +
                     m.name + "'";
                return false;
            }
            return makeTexture(ctx, path + "#material" + std::to_string(m.index),
                               stem + "_" + safeName(m.name.empty() ? std::to_string(m.index) : m.name), *m.picture,
                               where, id, e);
        };
        GltfModelSummary summary;
        if (gltfToRmdl(path, bytes.data(), bytes.size(), options, model, &summary, &why)) {
            for (const std::string& note : summary.notes) ctx.warn(where + ": " + path + ": " + note);
            return true;
        }
    } else {
        *error = where + ": " + path + " is not a model file the importer reads (.rmdl, .obj, .gltf, .glb)";
        return false;
    }
    *error = where + ": " + path + ": " + why;
    return false;
}

// --- Model boxes ---

std::uint32_t noTexture(std::int32_t, void*) { return 0; }
void freeNoTexture(std::uint32_t, void*) {}

// The box the client measures at load, in model units.
bool measureModel(const Bytes& file, const std::string& path, std::array<float, 3>* size, std::string* why) {
    Bytes plain;
    const Bytes* bytes = &file;
    if (velmar::gdfHasMagic(file.data(), file.size())) {
        if (velmar::gdfDecode(file.data(), file.size(), &plain) != velmar::GdfStatus::Ok) {
            *why = path + " is a damaged GDF container";
            return false;
        }
        bytes = &plain;
    }
    velmar::initTrigTables();
    velmar::ModelLoadOptions options{};
    options.textures = {noTexture, freeNoTexture, nullptr};
    velmar::ModelData* model = velmar::parseModelData(bytes->data(), bytes->size(), path.c_str(), options);
    if (!model) {
        *why = path + " is not an RMDL model the client loads";
        return false;
    }
    *size = {model->boxMax.x - model->boxMin.x, model->boxMax.y - model->boxMin.y, model->boxMax.z - model->boxMin.z};
    velmar::releaseModelData(model, options.textures);
    return true;
}

std::string pixels(double w, double h) {
    char text[64];
    std::snprintf(text, sizeof text, "%g x %g", w, h);
    return text;
}

// The game lays a ground tile's picture on its cell whatever its size; the
// editor only where it fits the cell, or is fitted to it stretched. Told
// once for each tileset, at its first tile drawn otherwise.
void warnIfDrawnApart(ImportContext& ctx, const TiledTileset& set, std::uint32_t gid, const std::string& where) {
    if (ctx.drawnApart.count(&set)) return;
    double w = 0, h = 0;
    tileDrawnSize(set, gid, &w, &h);
    const double gw = ctx.map.tileWidth, gh = ctx.map.tileHeight;
    const std::string sizes = pixels(w, h) + " pixels";
    const std::string grid = "the map's cells of " + pixels(gw, gh);
    std::string how;
    if (!set.drawnAtGridSize && (w != gw || h != gh)) {
        how = "the editor draws its " + sizes + " from the bottom-left corner of its cell, not on " + grid +
              " as the game lays it; set the tileset's Tile Render Size to Map Grid Size (Tiled 1.9 and later) to "
              "see the ground so";
    } else if (set.drawnAtGridSize && set.keepsAspect && w * gh != h * gw) {
        how = "the editor fits its " + sizes + " into " + grid + " keeping their shape, the game stretches them over "
              "the cell; set the tileset's Fill Mode to Stretch (Tiled 1.9 and later) to see the ground so";
    }
    if (how.empty()) return;
    ctx.drawnApart.insert(&set);
    ctx.warn(where + ": " + how);
}

}  // namespace

bool tileTexture(ImportContext& ctx, std::uint32_t gid, std::int32_t* id, std::string* error) {
    const TiledTileset* set = ctx.map.tilesetOf(gid);
    const std::uint32_t local = (gid & kTiledGidMask) - set->firstGid;
    const std::string where = set->file + ": tileset '" + set->name + "', tile " + std::to_string(local);
    const TiledTile* tile = set->tile(local);
    if (tile && hasProperty(tile->properties, "texture")) {
        long long value = 0;
        if (!propertyInt(tile->properties, "texture", 0, INT32_MAX, where, &value, error)) return false;
        *id = static_cast<std::int32_t>(value);
        if (!ctx.textureIds.count(*id) && !std::count(ctx.rmap.textures.begin(), ctx.rmap.textures.end(), *id)) {
            ctx.warn(where + ": texture " + std::to_string(*id) +
                     " is not in data/def/Textures.def; the client shows its default texture there");
        }
        return true;
    }
    warnIfDrawnApart(ctx, *set, gid, where);
    // Embedded tilesets share the map's file and may share a name: their
    // first IDs tell them apart.
    const std::string key = set->file + "#" + std::to_string(set->firstGid) + "#" + std::to_string(local);
    if (const MadeAsset* made = findMade(ctx.madeTextures, key)) {
        *id = made->id;
        return true;
    }
    Image picture;
    return tilePicture(ctx, *set, local, where, &picture, error) &&
           makeTexture(ctx, key, safeName(set->name) + "_" + std::to_string(local), picture, where, id, error);
}

bool modelFromFile(ImportContext& ctx, const std::string& where, const std::string& file,
                   const TiledProperties& properties, std::int32_t* id, std::string* error) {
    const std::string path = joinTiledPath(ctx.map.file, file);
    if (const MadeAsset* made = findMade(ctx.madeModels, path)) {
        *id = made->id;
        return true;
    }
    Bytes bytes;
    std::string why;
    if (!ctx.sources.read(path, &bytes, &why)) {
        *error = where + ": model file " + path + ": " + why;
        return false;
    }
    const std::string stem = safeName(std::filesystem::path(path).stem().string());
    MadeAsset asset;
    asset.key = path;
    const std::string ext = lowerExtension(path);
    if (ext == ".rmdl") {
        std::array<float, 3> size{};
        if (!measureModel(bytes, path, &size, &why)) {
            *error = where + ": " + why;
            return false;
        }
        asset.bytes = bytes;
    } else {
        RmdlModel model;
        if (!convertModel(ctx, where, path, bytes, properties, stem, &model, error)) return false;
        if (!writeRmdl(model, &asset.bytes, &why)) {
            *error = where + ": " + path + ": " + why;
            return false;
        }
    }
    std::set<std::int32_t> taken;
    for (const auto& kv : ctx.modelFiles) taken.insert(kv.first);
    asset.id = freeId(ctx.settings.modelIdBase, taken, ctx.madeModels);
    asset.path = "data/model/" + ctx.options.name + "/" + stem + ".rmdl";
    for (const MadeAsset& other : ctx.madeModels) {
        if (other.path == asset.path) asset.path = "data/model/" + ctx.options.name + "/" + stem + "_" +
                                                   std::to_string(asset.id) + ".rmdl";
    }
    *id = asset.id;
    ctx.madeModels.push_back(std::move(asset));
    return true;
}

bool modelBox(ImportContext& ctx, std::int32_t id, std::array<float, 3>* size, std::string* why) {
    for (const MadeAsset& made : ctx.madeModels) {
        if (made.id == id) return measureModel(made.bytes, made.path, size, why);
    }
    const auto found = ctx.modelFiles.find(id);
    if (found == ctx.modelFiles.end()) {
        *why = "it is not in data/def/model.def";
        return false;
    }
    std::string path = found->second;
    std::replace(path.begin(), path.end(), '\\', '/');
    Bytes bytes;
    if (!ctx.game.read(path, &bytes)) {
        *why = "its file " + path + " cannot be read";
        return false;
    }
    return measureModel(bytes, path, size, why);
}

namespace {

class LoadLines : public velmar::DefTextHandler {
public:
    void onDefEntry(std::int32_t, const std::string&) override {}
    void onDefLoad(const std::string& path) override { loads.push_back(path); }
    std::vector<std::string> loads;
};

// Our own def file, and the load line in the top file when it has none.
bool addDefs(ImportContext& ctx, const std::vector<MadeAsset>& made, const std::string& top, const std::string& own,
             const char* what, std::string* error) {
    if (made.empty()) return true;
    DefFile def;
    def.comment(std::string(what) + " made by contentkit import-tiled for map " + ctx.options.name).blank();
    for (const MadeAsset& a : made) def.entry(a.id, a.path);
    ImportedFile file{own, {}};
    if (!writeDef(def, &file.bytes, error)) return false;
    ctx.result->files.push_back(std::move(file));
    ctx.result->report.push_back(own);
    Bytes existing;
    ctx.game.read(top, &existing);
    // An 8-bit load line added to UTF-16 text would spoil the author's file.
    if (const char* why = velmar::defTextEncodingProblem(existing.data(), existing.size())) {
        *error = top + ": " + why;
        return false;
    }
    LoadLines lines;
    velmar::parseDefText(existing.data(), existing.size(), lines);
    for (std::string path : lines.loads) {
        std::replace(path.begin(), path.end(), '\\', '/');
        if (path == own || path == "./" + own) return true;
    }
    // Where the client stops reading early, the load line goes before that
    // line; a last line without a break, which the client does not read
    // either, is ended first.
    const std::size_t stop = defReadStop(existing);
    std::string tail = stop == existing.size() && !existing.empty() && existing.back() != '\n' ? "\r\n" : "";
    tail += "load: " + own + "\r\n";
    existing.insert(existing.begin() + static_cast<std::ptrdiff_t>(stop), tail.begin(), tail.end());
    ctx.result->files.push_back({top, existing});
    ctx.result->report.push_back(top + ": added 'load: " + own + "'");
    return true;
}

}  // namespace

bool addDefinitionFiles(ImportContext& ctx, std::string* error) {
    for (const std::vector<MadeAsset>* list : {&ctx.madeTextures, &ctx.madeModels}) {
        for (const MadeAsset& a : *list) {
            ctx.result->files.push_back({a.path, a.bytes});
            ctx.result->report.push_back(a.path + " (" + (list == &ctx.madeTextures ? "texture " : "model ") +
                                         std::to_string(a.id) + ")");
        }
    }
    const std::string name = ctx.options.name;
    return addDefs(ctx, ctx.madeTextures, "data/def/Textures.def", "data/def/map_" + name + "_textures.def",
                   "Textures", error) &&
           addDefs(ctx, ctx.madeModels, "data/def/model.def", "data/def/map_" + name + "_models.def", "Models", error);
}

}  // namespace contentkit
