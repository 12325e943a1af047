// Command parsing and file handling for contentkit.
#include "tools/contentkit/cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "shared/command_line.h"
#include "tools/contentkit/check/info.h"
#include "tools/contentkit/cli_internal.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/authored_path.h"
#include "tools/contentkit/formats/bmp_writer.h"
#include "tools/contentkit/formats/dds_writer.h"
#include "tools/contentkit/formats/rfnt_writer.h"
#include "tools/contentkit/formats/staged_files.h"
#include "tools/contentkit/formats/text.h"
#include "tools/contentkit/formats/tga_writer.h"
#include "tools/contentkit/models/gltf_model.h"
#include "tools/contentkit/models/obj_model.h"

namespace contentkit {

namespace {

quask::ProgramHelp makeHelp() {
    std::string text =
        "Usage: contentkit info FILE...\n"
        "  or:  contentkit dds (IN|--pattern NAME) OUT.dds --format dxt1|dxt3|dxt5 [--no-mips]\n"
        "  or:  contentkit tga (IN|--pattern NAME) OUT.tga [--rle] [--depth 24|32] [--bottom-left]\n"
        "  or:  contentkit bmp (IN|--pattern NAME) OUT.bmp [--no-white-key]\n"
        "  or:  contentkit font [--face regular|bold|PATH.ttf] --size N OUT.dat\n"
        "  or:  contentkit model IN.obj|IN.gltf|IN.glb OUT.rmdl --texture ID|MATERIAL=ID... [--scale S]\n"
        "  or:  contentkit import-tiled MAP.tmx|MAP.tmj GAME_DIR NAME [--lightmap-size N]\n"
        "  or:  contentkit build-demo DIR [--gdf]\n"
        "Writes and checks every content file of the game client. info checks any\n"
        "content file (DDS, TGA, BMP, RFNT, RMDL, RMAP, def, ini; plain or\n"
        "GDF-packed) and prints what it holds; dds, tga and bmp write a picture from\n"
        "IN (a PNG, TGA or BMP picture) or from a generated pattern; font rasterises\n"
        "a bitmap font; model turns a Wavefront OBJ or glTF 2.0 file (y up) into a\n"
        "model; import-tiled turns a Tiled map into GAME_DIR/data/map/NAME.rmap and\n"
        "NAME.ini with baked lightmaps, and the textures and models it needs;\n"
        "build-demo writes the whole demo game's data under DIR, with a progress\n"
        "line on a terminal.\n"
        "\n"
        "Exit status is 0 on success, 1 when a file cannot be read or written or is\n"
        "malformed, and 2 for a malformed command line.\n"
        "\n"
        "Options:\n"
        "      --pattern NAME   a generated picture instead of IN; NAME is one of:\n"
        "                      ";
    for (const std::string& name : patternNames()) text += " " + name;
    text +=
        "\n"
        "      --size WxH       the pattern's size (default 256x256); with font: the\n"
        "                      size in pixels (4 to 64)\n"
        "      --seed N         the pattern's random seed\n"
        "      --frame N        the frame of an animated pattern\n"
        "      --frames N       the frames of an animated pattern\n"
        "      --format F       the DDS compression: dxt1, dxt3 (or dxt5 for alpha)\n"
        "      --no-mips        a DDS file without mipmaps\n"
        "      --rle            a run-length encoded TGA file\n"
        "      --depth 24|32    the TGA file's bits per pixel\n"
        "      --bottom-left    a TGA file stored from the bottom row up (the default\n"
        "                      is top row first)\n"
        "      --no-white-key   a BMP file in which white is not transparent\n"
        "      --face F         the font: regular or bold (DejaVu Sans), or a .ttf path\n"
        "      --texture ID|MATERIAL=ID  the texture of the model, or of one material\n"
        "      --scale S        scales the model\n"
        "      --lightmap-size N  import-tiled: lightmap texels on a side (4 to 32)\n"
        "      --gdf            build-demo: every asset the client loads GDF-packed\n";
    text += quask::kStandardOptionLines;
    return quask::ProgramHelp{"contentkit", text};
}

}  // namespace

namespace {
constexpr long kMaxInputBytes = 1L << 30;
}  // namespace

const quask::ProgramHelp& help() {
    static const quask::ProgramHelp kHelp = makeHelp();
    return kHelp;
}

int usage() { return quask::usageError(help()); }

// A command line that names a wrong value: which one, then the usage.
int usageBecause(const char* command, const std::string& why) {
    std::fprintf(stderr, "contentkit: %s: %s\n", command, why.c_str());
    return usage();
}

std::string quoted(const char* text) { return text ? "'" + std::string(text) + "'" : std::string("nothing"); }

int fail(const std::string& path, const std::string& what) {
    std::fprintf(stderr, "contentkit: %s: %s\n", path.c_str(), what.c_str());
    return 1;
}

// One writer at a time in a game directory: an import reads its def files
// and writes them back with its own entries, so a second one at the same
// time would lose the first one's, and the two would remove each other's
// staged files. patchpub holds the same lock shared while it reads the
// directory as content, so that it never publishes half an import.
const char kGameDirBusy[] =
    "another contentkit is writing to this game directory, or patchpub is publishing it; try again once it has "
    "finished";

// --- Files ---

bool readFile(const std::string& path, Bytes* out, std::string* why) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *why = "a directory, not a file";
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *why = std::string("cannot open file: ") + std::strerror(errno);
        return false;
    }
    out->clear();
    std::uint8_t buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        if (out->size() + n > static_cast<std::size_t>(kMaxInputBytes)) {
            std::fclose(f);
            *why = "file larger than 1 GiB";
            return false;
        }
        out->insert(out->end(), buffer, buffer + n);
    }
    const bool error = std::ferror(f) != 0;
    std::fclose(f);
    if (error) *why = "read error";
    return !error;
}

// A file that a map or model names: only a regular one (links followed),
// as a pipe would wait for a writer for ever and a device never ends; found
// as its author's system finds it.
bool readNamedFile(const std::string& named, Bytes* out, std::string* why) {
    *why = windowsDriveProblem(named);
    if (!why->empty()) return false;
    const std::string path = findAuthoredFile(named);
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
        !std::filesystem::is_directory(status)) {
        *why = "not a regular file";
        return false;
    }
    return readFile(path, out, why);
}

bool parseInt(const char* text, long low, long high, long* out) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    *out = v;
    return true;
}

namespace {

// --- Image sources ---

// A picture command's arguments: the source (file or pattern), the output,
// and the command's own "--name VALUE" options and "--flag" switches.
struct ImageArgs {
    std::string input, output;
    PatternRequest pattern;
    bool usePattern = false;
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::string> flags;

    const std::string* value(const char* name) const {
        for (const auto& kv : values) {
            if (kv.first == name) return &kv.second;
        }
        return nullptr;
    }
    bool flag(const char* name) const {
        for (const std::string& f : flags) {
            if (f == name) return true;
        }
        return false;
    }
};

bool parseSize(const char* text, PatternRequest* p) {
    long w = 0, h = 0;
    const char* x = text ? std::strchr(text, 'x') : nullptr;
    if (!x) return false;
    const std::string left(text, static_cast<std::size_t>(x - text));
    if (!parseInt(left.c_str(), 1, kMaxImageEdge, &w) || !parseInt(x + 1, 1, kMaxImageEdge, &h)) return false;
    p->width = static_cast<int>(w);
    p->height = static_cast<int>(h);
    return true;
}

bool listed(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names) {
        if (n == name) return true;
    }
    return false;
}

bool parsePatternOption(const std::string& arg, const char* next, ImageArgs* a, std::string* why) {
    long v = 0;
    if (arg == "--pattern" && next) {
        a->usePattern = true;
        a->pattern.name = next;
    } else if (arg == "--size") {
        if (parseSize(next, &a->pattern)) return true;
        *why = "--size " + quoted(next) + " is not WIDTHxHEIGHT with sides from 1 to " + std::to_string(kMaxImageEdge);
        return false;
    } else if (arg == "--seed" && parseInt(next, 0, 0xFFFFFFFFL, &v)) {
        a->pattern.seed = static_cast<std::uint32_t>(v);
    } else if (arg == "--frame" && parseInt(next, 0, 1 << 20, &v)) {
        a->pattern.frame = static_cast<int>(v);
    } else if (arg == "--frames" && parseInt(next, 1, 1 << 20, &v)) {
        a->pattern.frameCount = static_cast<int>(v);
    } else {
        const char* range = arg == "--seed" ? "0 to 4294967295" : arg == "--frame" ? "0 to 1048576" : "1 to 1048576";
        *why = arg + " " + quoted(next) + (arg == "--pattern" ? " names no pattern" : std::string(" is not a whole number from ") + range);
        return false;
    }
    return true;
}

bool parseImageArgs(int argc, char** argv, const std::vector<std::string>& valueOptions,
                    const std::vector<std::string>& flagOptions, ImageArgs* a, std::string* why) {
    static const std::vector<std::string> kPatternOptions = {"--pattern", "--size", "--seed",
                                                             "--frame", "--frames"};
    std::vector<std::string> paths;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (listed(kPatternOptions, arg)) {
            if (!parsePatternOption(arg, next, a, why)) return false;
            ++i;
        } else if (listed(valueOptions, arg)) {
            if (!next) return false;
            a->values.emplace_back(arg, next);
            ++i;
        } else if (listed(flagOptions, arg)) {
            a->flags.push_back(arg);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return false;
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != (a->usePattern ? 1u : 2u)) return false;
    if (!a->usePattern) a->input = paths[0];
    a->output = paths.back();
    return true;
}

// Loads the picture or makes the pattern; prints the failure itself and
// returns the exit status, 0 when there is a picture.
int sourceImage(const ImageArgs& a, Image* image) {
    std::string why;
    if (a.usePattern) {
        if (makePattern(a.pattern, image, &why)) return 0;
        fail(a.pattern.name, why);
        // A name the help does not list is a mistyped command line.
        return listed(patternNames(), a.pattern.name) ? 1 : usage();
    }
    Bytes data;
    if (readFile(a.input, &data, &why) && decodeImage(data.data(), data.size(), image, &why)) {
        return 0;
    }
    return fail(a.input, why);
}

// The first of `sources` that `output` names, by device and inode, so that
// a link or another spelling of it counts too; "" when none.
std::string sourceNamedBy(const std::string& output, const std::vector<std::string>& sources) {
    for (const std::string& source : sources) {
        std::error_code ec;
        if (std::filesystem::equivalent(output, source, ec)) return source;
    }
    return {};
}

// Writes the output, unless it is one of the command's sources (a file it
// read, or one its model names): replacing that would leave the author
// without it, and exit 0 would hide the loss.
int store(const std::string& path, const Bytes& data, const std::vector<std::string>& sources) {
    const std::string source = sourceNamedBy(path, sources);
    if (!source.empty())
        return fail(path, "the output names the same file as " + source + ", one of its sources; give another "
                          "output file");
    std::string why;
    return replaceFile(path, data, &why) ? 0 : fail(path, "cannot write file: " + why);
}

// The picture commands' common end: the source picture through `write`
// into the output file.
int writePicture(const ImageArgs& a, const std::function<bool(const Image&, Bytes*, std::string*)>& write) {
    Image image;
    if (const int code = sourceImage(a, &image)) return code;
    Bytes out;
    std::string why;
    if (!write(image, &out, &why)) return fail(a.output, why);
    return store(a.output, out, a.usePattern ? std::vector<std::string>{} : std::vector<std::string>{a.input});
}

// --- Commands ---

int ddsCommand(int argc, char** argv) {
    ImageArgs a;
    DdsOptions options;
    std::string why;
    if (!parseImageArgs(argc, argv, {"--format"}, {"--no-mips"}, &a, &why))
        return why.empty() ? usage() : usageBecause("dds", why);
    const std::string* format = a.value("--format");
    if (!format) return usageBecause("dds", "give the compression with --format dxt1, dxt3 or dxt5");
    if (!parseDxtFormat(*format, &options.format))
        return usageBecause("dds", "--format '" + *format + "' is not dxt1, dxt3 or dxt5");
    options.mipmaps = !a.flag("--no-mips");
    return writePicture(a, [&](const Image& image, Bytes* out, std::string* why) {
        auto powerOfTwo = [](int side) { return side > 0 && (side & (side - 1)) == 0; };
        if (!powerOfTwo(image.width) || !powerOfTwo(image.height)) {
            std::fprintf(stderr,
                         "contentkit: warning: %s: %d x %d pixels: a side that is not a power of two (4, 8, ..., "
                         "256, ...) may show blank on OpenGL 1.2 cards\n",
                         (a.usePattern ? a.pattern.name : a.input).c_str(), image.width, image.height);
        }
        // The DXT1 writer stores every pixel opaque; say so rather than lose the cut-outs unseen.
        std::size_t clear = 0;
        for (std::size_t i = 3; i < image.rgba.size(); i += 4) clear += image.rgba[i] != 255;
        if (options.format == DxtFormat::Dxt1 && clear > 0) {
            std::fprintf(stderr,
                         "contentkit: warning: %s: %zu of %zu pixels are not opaque; DXT1 keeps no transparency "
                         "(--format dxt5 does)\n",
                         (a.usePattern ? a.pattern.name : a.input).c_str(), clear, image.rgba.size() / 4);
        }
        return writeDds(image, options, out, why);
    });
}

int tgaCommand(int argc, char** argv) {
    ImageArgs a;
    TgaOptions options;
    // --top-left, the default, is still taken from older scripts.
    std::string why;
    if (!parseImageArgs(argc, argv, {"--depth"}, {"--rle", "--top-left", "--bottom-left"}, &a, &why))
        return why.empty() ? usage() : usageBecause("tga", why);
    if (a.flag("--top-left") && a.flag("--bottom-left"))
        return usageBecause("tga", "--top-left and --bottom-left exclude each other");
    const std::string* depth = a.value("--depth");
    if (depth && *depth != "24" && *depth != "32") return usageBecause("tga", "--depth '" + *depth + "' is not 24 or 32");
    options.depth = depth && *depth == "24" ? 24 : 32;
    options.imageType = a.flag("--rle") ? 10 : 2;
    options.topLeftOrigin = !a.flag("--bottom-left");
    return writePicture(a, [&](const Image& image, Bytes* out, std::string* why) {
        return writeTga(image, options, out, why);
    });
}

int bmpCommand(int argc, char** argv) {
    ImageArgs a;
    std::string why;
    if (!parseImageArgs(argc, argv, {}, {"--no-white-key"}, &a, &why))
        return why.empty() ? usage() : usageBecause("bmp", why);
    BmpOptions options;
    options.whiteKey = !a.flag("--no-white-key");
    return writePicture(a, [&](const Image& image, Bytes* out, std::string* why) {
        return writeBmp(image, options, out, why);
    });
}

// Face "regular" and "bold" are DejaVu Sans; anything else is a font path.
int fontCommand(int argc, char** argv) {
    std::string face = "regular", output;
    long size = 0;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--face") {
            if (!next) return usageBecause("font", "--face takes a name or a font file");
            face = next;
            ++i;
        } else if (arg == "--size") {
            if (!parseInt(next, kMinFontSize, kMaxFontSize, &size))
                return usageBecause("font", "--size " + quoted(next) + " is not a size from " +
                                                std::to_string(kMinFontSize) + " to " + std::to_string(kMaxFontSize));
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return quask::unknownOption(help(), argv[i]);
        } else if (output.empty()) {
            output = arg;
        } else {
            return usageBecause("font", "takes one OUT.dat, not also " + quoted(argv[i]));
        }
    }
    if (output.empty()) return usageBecause("font", "OUT.dat is missing");
    if (size == 0) return usageBecause("font", "--size is missing");
    if (face.empty()) return usageBecause("font", "--face takes a name or a font file");
    const std::string path = face == "regular" ? dejaVuPath(FontFace::Regular)
                             : face == "bold"  ? dejaVuPath(FontFace::Bold)
                                               : face;
    BitmapFont font;
    Bytes out;
    std::string why;
    if (!rasteriseFont(path, static_cast<int>(size), &font, &why)) return fail(path, why);
    if (!writeRfnt(font, &out, &why)) return fail(output, why);
    return store(output, out, {path});
}

int infoCommand(int argc, char** argv) {
    if (argc < 1) return usageBecause("info", "FILE is missing");
    int result = 0;
    for (int i = 0; i < argc; ++i) {
        Bytes data;
        std::string why;
        if (!readFile(argv[i], &data, &why)) {
            result = fail(argv[i], why);
            continue;
        }
        InfoReport report;
        const bool ok = inspectFile(argv[i], data.data(), data.size(), &report);
        std::fputs(formatReport(argv[i], report).c_str(), stdout);
        std::fflush(stdout);
        if (!ok) result = fail(argv[i], "malformed " + report.format + ": " + report.error);
    }
    return result;
}

// A glTF model: materials take their IDs as OBJ materials do. The files it
// reads besides the model (buffers, pictures) are added to `sources`.
bool gltfModel(const ModelCommandArgs& args, const Bytes& data, RmdlModel* model, ObjModelSummary* summary,
               std::vector<std::string>* notes, std::vector<std::string>* sources, std::string* why) {
    GltfModelOptions options;
    options.scale = args.options.scale;
    std::vector<std::string> used;
    options.readFile = [sources](const std::string& path, Bytes* out, std::string* w) {
        if (!readNamedFile(path, out, w)) return false;
        sources->push_back(findAuthoredFile(path));
        return true;
    };
    options.texture = [&](const GltfMaterial& m, std::int32_t* id, std::string* e) {
        for (const auto& [name, value] : args.options.materialTextures) {
            if (name == m.name) {
                used.push_back(name);
                *id = value;
                return true;
            }
        }
        if (args.options.hasDefaultTexture) {
            *id = args.options.defaultTexture;
            return true;
        }
        *e = "material '" + m.name + "' has no texture ID; give --texture " + (m.name.empty() ? "ID" : m.name + "=ID");
        return false;
    };
    GltfModelSummary s;
    if (!gltfToRmdl(args.input, data.data(), data.size(), options, model, &s, why)) return false;
    summary->meshes = s.meshes;
    summary->triangles = s.triangles;
    summary->size = s.size;
    for (const auto& entry : args.options.materialTextures) {
        if (std::find(used.begin(), used.end(), entry.first) == used.end()) summary->unusedMaterials.push_back(entry.first);
    }
    *notes = s.notes;
    if (s.keyFrames > 0) notes->push_back(std::to_string(s.keyFrames) + " rotation key frames kept");
    return true;
}

// A model from a Wavefront OBJ or glTF file; the size printed is in model units.
int modelCommand(int argc, char** argv) {
    ModelCommandArgs args;
    std::string why;
    if (!parseModelArgs(argc, argv, &args, &why)) {
        std::fprintf(stderr, "contentkit: model: %s\n", why.c_str());
        return usage();
    }
    Bytes data, out;
    if (!readFile(args.input, &data, &why)) return fail(args.input, why);
    RmdlModel model;
    ObjModelSummary summary;
    std::vector<std::string> notes;
    const std::string ext = lowerExtension(args.input);
    const bool gltf = ext == ".gltf" || ext == ".glb";
    std::vector<std::string> sources{args.input};
    const bool built = gltf ? gltfModel(args, data, &model, &summary, &notes, &sources, &why)
                            : objToRmdl(data.data(), data.size(), args.options, &model, &summary, &why);
    if (!built) return fail(args.input, why);
    // An OBJ's material libraries are not read, but they are the author's.
    const std::filesystem::path folder = std::filesystem::path(args.input).parent_path();
    for (const std::string& library : summary.materialLibraries)
        sources.push_back(findAuthoredFile((folder / library).string()));
    if (!writeRmdl(model, &out, &why)) return fail(args.output, why);
    if (const int code = store(args.output, out, sources)) return code;
    for (const std::string& name : summary.unusedMaterials) {
        std::fprintf(stderr, "contentkit: %s: warning: no face uses material '%s'\n", args.input.c_str(),
                     name.c_str());
    }
    for (const std::string& note : notes) std::fprintf(stderr, "contentkit: %s: note: %s\n", args.input.c_str(), note.c_str());
    std::printf("model: %zu meshes, %zu triangles, %g x %g x %g (width x height x depth)\n", summary.meshes,
                summary.triangles, summary.size[0], summary.size[1], summary.size[2]);
    return 0;
}

}  // namespace

int runContentkit(int argc, char** argv) {
    const quask::StandardOption standard = quask::findStandardOption(argc, argv);
    if (standard != quask::StandardOption::None) return quask::answerStandardOption(help(), standard);
    if (argc < 2) return usage();
    const std::string command = argv[1];
    if (command == "info") return infoCommand(argc - 2, argv + 2);
    if (command == "import-tiled") return importTiledCommand(argc - 2, argv + 2);
    if (command == "dds") return ddsCommand(argc - 2, argv + 2);
    if (command == "tga") return tgaCommand(argc - 2, argv + 2);
    if (command == "bmp") return bmpCommand(argc - 2, argv + 2);
    if (command == "font") return fontCommand(argc - 2, argv + 2);
    if (command == "model") return modelCommand(argc - 2, argv + 2);
    if (command == "build-demo") return buildDemoCommand(argc - 2, argv + 2);
    if (quask::isOptionWord(argv[1])) return quask::unknownOption(help(), argv[1]);
    return usageBecause(argv[1], "unknown command");
}

}  // namespace contentkit
