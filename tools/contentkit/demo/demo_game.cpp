// The demo game directory: the plan of IDs and files, the pictures behind
// each texture ID, and the writing of every file in a fixed order.
#include "tools/contentkit/demo/demo_game.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "client/assets/def_file.h"
#include "client/storage/gdf.h"
#include "tools/contentkit/demo/demo_models.h"
#include "tools/contentkit/demo/kept_files.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/demo/splash_picture.h"
#include "tools/contentkit/formats/bmp_writer.h"
#include "tools/contentkit/formats/dds_writer.h"
#include "tools/contentkit/formats/def_writer.h"
#include "tools/contentkit/formats/ini_writer.h"
#include "tools/contentkit/formats/rfnt_writer.h"
#include "tools/contentkit/formats/staged_files.h"
#include "tools/contentkit/formats/text.h"
#include "tools/contentkit/formats/tga_writer.h"

namespace contentkit {

namespace {

namespace fs = std::filesystem;

const char* const kGuiGroups[] = {"fonts", "imagesets", "layouts", "looknfeels", "schemes"};

// What the ground textures show, for the texture generator. Planks is known
// to the generator; the current map uses none.
enum class GroundLook { Grass, Rock, Sand, CliffWall, Planks };

// The texture IDs the demo map's ground tileset names.
const std::map<std::int32_t, GroundLook> kGroundLooks = {
    {300, GroundLook::Grass}, {301, GroundLook::Rock}, {302, GroundLook::Sand}, {303, GroundLook::CliffWall}};
// The game's name on the launcher's splash, as the window title shows it.
const char kGameTitle[] = "Quask";
// The water type the demo map names (its map property waterType).
constexpr int kDemoWaterType = 1;

// --- Pictures ---

// Keeps the picture's light and dark but colours it: each channel becomes
// the pixel's brightness scaled by the tint (0..255).
Image tinted(Image image, int r, int g, int b) {
    for (std::size_t i = 0; i + 3 < image.rgba.size(); i += 4) {
        std::uint8_t* p = &image.rgba[i];
        const int lum = (p[0] * 2 + p[1] * 5 + p[2]) / 8;
        const int light = std::min(255, 64 + lum * 3 / 4);
        p[0] = static_cast<std::uint8_t>(light * r / 255);
        p[1] = static_cast<std::uint8_t>(light * g / 255);
        p[2] = static_cast<std::uint8_t>(light * b / 255);
        p[3] = 255;
    }
    return image;
}

// Darkens joints: rows every `course` pixels and, within each course, columns
// every `length` pixels, shifted by half a length on every second course
// (bricks, planks, roof tiles).
Image jointed(Image image, int course, int length, int percent) {
    for (int y = 0; y < image.height; ++y) {
        const int row = y / course;
        const int shift = (row % 2) * (length / 2);
        for (int x = 0; x < image.width; ++x) {
            const bool joint = y % course < 2 || (length > 0 && (x + shift) % length < 2);
            if (!joint) continue;
            std::uint8_t* p = image.at(x, y);
            for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(p[c] * percent / 100);
        }
    }
    return image;
}

// A white square frame on a transparent field; the client colours it.
Image cellCursorPicture(int size) {
    Image image(size, size);
    const int band = std::max(2, size / 10);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const bool edge = x < band || y < band || x >= size - band || y >= size - band;
            std::uint8_t* p = image.at(x, y);
            p[0] = p[1] = p[2] = 255;
            p[3] = edge ? 255 : 0;
        }
    }
    return image;
}

struct DemoTexture {
    std::string name;  // file stem under data/texture/
    Image image;
    DxtFormat format = DxtFormat::Dxt1;
};

DemoTexture groundTexture(std::int32_t id, GroundLook look) {
    const std::uint32_t seed = static_cast<std::uint32_t>(id);
    const std::string stem = "ground_" + std::to_string(id) + "_";
    switch (look) {
        case GroundLook::Grass: return {stem + "grass", makeGrass(256, 256, seed)};
        case GroundLook::Rock: return {stem + "rock", makeRock(256, 256, seed)};
        case GroundLook::Sand: return {stem + "sand", tinted(makeRock(256, 256, seed), 230, 205, 150)};
        case GroundLook::CliffWall:
            return {stem + "cliff", jointed(tinted(makeRock(256, 256, seed), 170, 150, 130), 48, 96, 65)};
        case GroundLook::Planks:
            return {stem + "planks", jointed(tinted(makeRock(256, 256, seed), 170, 120, 70), 32, 0, 55)};
    }
    return {stem + "rock", makeRock(256, 256, seed)};
}

struct DemoPlan {
    std::map<std::int32_t, GroundLook> ground;  // the map's ground textures
    std::set<std::int32_t> textureIds;
    std::set<std::int32_t> modelIds;
    std::set<int> waterTypes;
};

// The picture behind a texture ID of the plan.
DemoTexture demoTexture(const DemoPlan& plan, std::int32_t id) {
    const auto ground = plan.ground.find(id);
    if (ground != plan.ground.end()) return groundTexture(id, ground->second);
    if (id == kTexCellCursor) return {"cellcursor", cellCursorPicture(64), DxtFormat::Dxt5};
    if (id >= kTexWaterFirst && id < kTexWaterFirst + kWaterFrames) {
        const int frame = id - kTexWaterFirst;
        char name[16];
        std::snprintf(name, sizeof name, "water_%02d", frame);
        return {name, makeWaterFrame(128, 128, 5, frame, kWaterFrames)};
    }
    switch (id) {
        case kTexBark: return {"bark", jointed(tinted(makeRock(128, 128, 21), 120, 85, 55), 128, 12, 70)};
        case kTexLeaves: return {"leaves", tinted(makeGrass(128, 128, 22), 70, 150, 60)};
        case kTexPlaster: return {"plaster", tinted(makeRock(128, 128, 23), 235, 225, 200)};
        case kTexRoof: return {"roof", jointed(tinted(makeRock(128, 128, 24), 170, 60, 45), 16, 16, 60)};
        case kTexBlades: return {"blades", jointed(tinted(makeRock(128, 128, 25), 200, 170, 120), 128, 32, 75)};
        case kTexCrate: return {"crate", jointed(tinted(makeRock(128, 128, 26), 180, 130, 70), 32, 0, 60)};
        default: return {"default", makeChecker(64, 64, 8)};
    }
}

// --- Plan ---

// The engine's, the water's, the models' and the ground's textures.
DemoPlan makePlan() {
    DemoPlan plan;
    plan.textureIds = {kTexDefault, kTexCellCursor, kTexBark, kTexLeaves, kTexPlaster, kTexRoof, kTexBlades, kTexCrate};
    for (int i = 0; i < kWaterFrames; ++i) plan.textureIds.insert(kTexWaterFirst + i);
    for (const auto& [id, look] : kGroundLooks) {
        plan.ground[id] = look;
        plan.textureIds.insert(id);
    }
    for (std::int32_t id = 1; id <= static_cast<std::int32_t>(demoModelKinds().size()); ++id) plan.modelIds.insert(id);
    plan.waterTypes.insert(kDemoWaterType);
    return plan;
}

// The map may only use what the plan wrote.
bool checkMapAgainstPlan(const DemoMapContent& map, const DemoPlan& plan, std::string* error) {
    for (std::int32_t id : map.textureIds) {
        if (plan.ground.count(id) == 0) {
            *error = "the map uses texture ID " + std::to_string(id) + " without saying what it shows";
            return false;
        }
    }
    for (std::int32_t id : map.modelIds) {
        if (plan.modelIds.count(id) == 0) {
            *error = "the map places model " + std::to_string(id) + ", which the demo does not make";
            return false;
        }
    }
    for (int type : map.waterTypes) {
        if (plan.waterTypes.count(type) == 0) {
            *error = "the map uses water type " + std::to_string(type) + ", which Water.ini does not define";
            return false;
        }
    }
    return true;
}

std::string texturePath(const std::string& name) {
    return "data/texture/" + name + ".dds";
}

std::string modelPath(DemoModelKind kind) {
    for (const DemoModelInfo& info : demoModelKinds()) {
        if (info.kind == kind) return std::string("data/model/") + info.name + ".rmdl";
    }
    return std::string();
}

// --- Writing ---

// The files of one build are held until every one is made, then written all
// or nothing: a full disk in the middle of a rebuild leaves the tree as it
// was, an author's files included. Reading sees the tree as it will be, so
// the map import finds the definitions written before it.
class TreeWriter : public GameDirReader {
public:
    TreeWriter(const std::string& root, const DemoBuildOptions& options, DemoBuildResult* result)
        : m_root(root), m_disk(root), m_options(options), m_result(result) {}

    // Adds one file, GDF-packed when asked and the client's loader reads it.
    bool put(const std::string& relative, const Bytes& content, std::string* error) {
        Bytes data = content;
        if (m_options.gdf && isLoaderAsset(relative)) {
            data = velmar::gdfPack(content.data(), content.size(), true, kDemoGdfKeyFactor);
            if (data.empty()) return failWith(relative, "cannot be GDF-packed", error);
        }
        m_result->bytes += data.size();
        // Made again, the later bytes are the file's, as when it was written twice.
        const auto [it, added] = m_files.insert_or_assign(relative, std::move(data));
        if (added) m_order.push_back(&*it);
        m_result->files.push_back(relative);
        if (m_options.progress) m_options.progress(DemoProgress{m_step, m_result->files.size(), m_result->bytes});
        return true;
    }

    bool read(const std::string& relative, Bytes* out) override {
        const auto it = m_files.find(relative);
        if (it == m_files.end()) return m_disk.read(relative, out);
        *out = it->second;
        return true;
    }

    // Writes every file added, or none (but for a rename the file system refuses).
    bool commit(std::string* error) {
        std::vector<std::pair<std::string, const Bytes*>> files;
        // A file there in another letter case (a tree copied from Windows)
        // is the one the game reads, so it is the one replaced.
        for (const auto* f : m_order) files.emplace_back(m_disk.spelled(f->first), &f->second);
        bool moved = false;
        if (writeAllOrNothing(m_root, files, error, &moved)) return true;
        if (!moved) *error += "; nothing was written";
        return false;
    }

    // Runs one step; the files it writes are reported under its name.
    template <typename Step>
    bool step(const char* what, Step run) {
        m_step = what;
        return run();
    }

private:
    static bool failWith(const std::string& relative, const std::string& why, std::string* error) {
        *error = relative + ": " + why;
        return false;
    }

    std::string m_root;
    GameDirOnDisk m_disk;
    std::map<std::string, Bytes> m_files;
    std::vector<const std::pair<const std::string, Bytes>*> m_order;  // as they were made
    const DemoBuildOptions& m_options;
    DemoBuildResult* m_result;
    const char* m_step = "";
};

// The file of the game directory as it was; null when it is not there.
const Bytes* existing(const std::string& gameDir, const std::string& relative, Bytes* bytes) {
    GameDirOnDisk game(gameDir);
    return game.read(relative, bytes) ? bytes : nullptr;
}

bool writeDefinitions(TreeWriter* out, const std::string& gameDir, const DemoPlan& plan, DemoBuildResult* result,
                      std::string* error) {
    DefFile textures;
    textures.comment("Texture IDs of the demo game: ID: DDS file").blank();
    for (std::int32_t id : plan.textureIds) textures.entry(id, texturePath(demoTexture(plan, id).name));
    DefFile models;
    models.comment("Model IDs of the demo game: ID: RMDL file").blank();
    for (std::int32_t id : plan.modelIds) models.entry(id, modelPath(demoModelKindFor(id)));
    std::vector<WaterType> types;
    for (int type : plan.waterTypes) {
        WaterType t;
        t.type = type;
        t.frameCount = kWaterFrames;
        t.frameTime = kWaterFrameMs;
        t.firstTexId = kTexWaterFirst;
        t.r = 90;
        t.g = 140;
        t.b = 210;
        t.a = 170;
        types.push_back(t);
    }
    IniFile water;
    Bytes bytes, before;
    KeptReport report;
    const char* defs[] = {"data/def/Textures.def", "data/def/model.def"};
    const DefFile* demos[] = {&textures, &models};
    Bytes authored[2];
    const Bytes* texts[2];
    for (int i = 0; i < 2; ++i) {
        // Its lines cannot be read to be kept, and the rewrite would lose them.
        texts[i] = existing(gameDir, defs[i], &authored[i]);
        if (const char* why = texts[i] ? velmar::defTextEncodingProblem(texts[i]->data(), texts[i]->size()) : nullptr) {
            *error = std::string(defs[i]) + ": " + why;
            return false;
        }
    }
    for (int i = 0; i < 2; ++i)
        if (!writeDef(*demos[i], &bytes, error) ||
            !out->put(defs[i], keepAuthorDefLines(defs[i], bytes, *demos[i], texts[i], &report), error))
            return false;
    if (!buildWaterIni(types, &water, error) || !writeIni(water, &bytes, error)) return false;
    bytes = keepAuthorWaterTypes(bytes, existing(gameDir, "data/def/Water.ini", &before), plan.waterTypes, &report);
    result->kept.insert(result->kept.end(), report.kept.begin(), report.kept.end());
    result->warnings.insert(result->warnings.end(), report.warnings.begin(), report.warnings.end());
    return out->put("data/def/Water.ini", bytes, error);
}

bool writeTextures(TreeWriter* out, const DemoPlan& plan, std::string* error) {
    for (std::int32_t id : plan.textureIds) {
        const DemoTexture texture = demoTexture(plan, id);
        DdsOptions options;
        options.format = texture.format;
        Bytes bytes;
        if (!writeDds(texture.image, options, &bytes, error)) return false;
        if (!out->put(texturePath(texture.name), bytes, error)) return false;
    }
    return true;
}

bool writeModels(TreeWriter* out, std::string* error) {
    for (const DemoModelInfo& info : demoModelKinds()) {
        Bytes bytes;
        if (!writeRmdl(makeDemoModel(info.kind), &bytes, error)) {
            *error = std::string(info.name) + ": " + *error;
            return false;
        }
        if (!out->put(modelPath(info.kind), bytes, error)) return false;
    }
    return true;
}

bool writeFonts(TreeWriter* out, std::string* error) {
    const struct {
        FontFace face;
        const char* path;
    } fonts[] = {{FontFace::Regular, "data/fonts/default_10.dat"}, {FontFace::Bold, "data/fonts/default_B_10.dat"}};
    for (const auto& f : fonts) {
        BitmapFont font;
        Bytes bytes;
        if (!rasteriseFont(dejaVuPath(f.face), 10, &font, error) || !writeRfnt(font, &bytes, error) ||
            !out->put(f.path, bytes, error)) {
            return false;
        }
    }
    return true;
}

bool writeLooks(TreeWriter* out, std::string* error) {
    const struct {
        CursorKind kind;
        const char* path;
    } cursors[] = {{CursorKind::Standard, "data/cursor/standard.tga"},
                   {CursorKind::Button, "data/cursor/button.tga"},
                   {CursorKind::Camera, "data/cursor/cam.tga"}};
    Bytes bytes;
    for (const auto& c : cursors) {
        if (!writeTga(makeCursor(c.kind, 32), TgaOptions(), &bytes, error) || !out->put(c.path, bytes, error)) {
            return false;
        }
    }
    // The theme's resource groups; the GUI loads nothing from them yet.
    for (const char* group : kGuiGroups) {
        if (!out->put(std::string("gui/default/") + group + "/.keep", Bytes(), error)) return false;
    }
    Image splash;
    return makeTitledSplash(400, 240, kGameTitle, &splash, error) && writeBmp(splash, BmpOptions(), &bytes, error) &&
           out->put("gui/QuaskLoadingSplash.bmp", bytes, error);
}

// The demo map, imported into the game directory made so far.
bool writeMap(TreeWriter* out, const std::string& gameDir, const DemoPlan& plan, DemoBuildResult* result,
              std::string* error) {
    TiledImportResult imported;
    if (!importDemoMap(*out, &imported, &result->map, error) || !checkMapAgainstPlan(result->map, plan, error)) {
        *error = "demo map: " + *error;
        return false;
    }
    result->warnings.insert(result->warnings.end(), imported.warnings.begin(), imported.warnings.end());
    Bytes before;
    const bool authors = isAuthorsFirstMap(existing(gameDir, result->map.iniPath, &before));
    if (authors) {
        result->kept.push_back(result->map.iniPath + ", " + result->map.rmapPath +
                               ": left as they are: a first map that build-demo did not write (an author's "
                               "import-tiled; delete both for the demo's map)");
    }
    for (const ImportedFile& f : imported.files) {
        if (authors && (f.path == result->map.iniPath || f.path == result->map.rmapPath)) continue;
        if (!out->put(f.path, f.bytes, error)) return false;
    }
    return true;
}

}  // namespace

bool isLoaderAsset(const std::string& relativePath) {
    const std::string ext = lowerExtension(relativePath);
    if (ext == ".dds" || ext == ".rmdl" || ext == ".rmap") return true;
    return ext == ".dat" && lowerText(relativePath).rfind("data/fonts/", 0) == 0;
}

bool buildDemoGame(const std::string& gameDir, const DemoBuildOptions& options, DemoBuildResult* result,
                   std::string* error) {
    *result = DemoBuildResult();
    std::error_code ec;
    fs::create_directories(gameDir, ec);
    if (ec) {
        *error = "cannot make the game directory: " + ec.message();  // the caller names it
        return false;
    }
    TreeWriter out(gameDir, options, result);
    const DemoPlan plan = makePlan();
    return out.step("definitions", [&] { return writeDefinitions(&out, gameDir, plan, result, error); }) &&
           out.step("textures", [&] { return writeTextures(&out, plan, error); }) &&
           out.step("models", [&] { return writeModels(&out, error); }) &&
           out.step("map", [&] { return writeMap(&out, gameDir, plan, result, error); }) &&
           out.step("fonts", [&] { return writeFonts(&out, error); }) &&
           out.step("cursors, GUI and splash", [&] { return writeLooks(&out, error); }) && out.commit(error);
}

}  // namespace contentkit
