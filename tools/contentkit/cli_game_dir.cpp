// The commands that write into a game directory: import-tiled and
// build-demo, each holding the directory's lock while it runs.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "shared/command_line.h"
#include "shared/posix_io.h"
#include "shared/progress.h"
#include "tools/contentkit/cli_internal.h"
#include "tools/contentkit/demo/demo_game.h"
#include "tools/contentkit/demo/demo_map.h"
#include "tools/contentkit/formats/staged_files.h"
#include "tools/contentkit/import/tiled_import.h"

namespace contentkit {

namespace {

class DiskSource : public TiledFileSource {
public:
    bool read(const std::string& path, Bytes* out, std::string* why) override { return readNamedFile(path, out, why); }
};

// A run stopped among its moves left the game directory a mix of two
// versions: the files it was moving go into place before this one reads it.
bool finishEarlierRun(const std::string& gameDir) {
    std::string why;
    const long moved = finishPendingMoves(gameDir, &why);
    if (moved < 0) {
        std::fprintf(stderr, "contentkit: %s\n", why.c_str());
        return false;
    }
    if (moved > 0)
        std::fprintf(stderr, "contentkit: %s: moved %ld files into place that an earlier run was stopped before "
                             "moving\n", gameDir.c_str(), moved);
    return true;
}

}  // namespace

int importTiledCommand(int argc, char** argv) {
    std::vector<std::string> paths;
    TiledImportOptions options;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        long size = 0;
        if (arg == "--lightmap-size") {
            const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
            if (!parseInt(next, 4, kMaxLightmapSize, &size))
                return usageBecause("import-tiled", "--lightmap-size " + quoted(next) + " is not a size from 4 to " +
                                                        std::to_string(kMaxLightmapSize));
            options.lightmapSize = static_cast<int>(size);
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return quask::unknownOption(help(), argv[i]);
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 3) return usageBecause("import-tiled", "takes MAP, GAME_DIR and NAME");
    options.name = paths[2];
    // The client opens its first map whatever the letter case of the file.
    options.startCamera = strcasecmp(options.name.c_str(), kFirstMapName) == 0;
    std::error_code ec;
    if (!std::filesystem::is_directory(paths[1], ec)) {
        return fail(paths[1], std::filesystem::exists(paths[1], ec)
                                  ? "not a directory; give the game directory to import into"
                                  : "no such game directory; make it first (build-demo DIR makes one with the "
                                    "demo's files)");
    }
    quask::UniqueFd lock;
    if (quask::lockFolder(paths[1], true, &lock) == quask::FolderLock::Busy) return fail(paths[1], kGameDirBusy);
    if (!finishEarlierRun(paths[1])) return 1;
    DiskSource sources;
    GameDirOnDisk game(paths[1]);
    // The client finds a map whatever the letter case of its name: one
    // differing only so would replace that map under the new spelling,
    // past the checks that map must pass.
    for (const char* ending : {".rmap", ".ini"}) {
        const std::string leaf = options.name + ending;
        const std::string onDisk = game.spelled("data/map/" + leaf);
        const std::string found = std::filesystem::path(onDisk).filename().string();
        if (found != leaf) {
            const std::string name = found.substr(0, found.size() - std::strlen(ending));
            return fail(paths[1], onDisk + " is the map '" + name + "': import it as '" + name +
                                      "' to replace it, or give the new map a name of its own");
        }
    }
    TiledImportResult result;
    std::string why;
    const bool imported = importTiledFile(paths[0], sources, game, options, &result, &why);
    for (const std::string& warning : result.warnings) std::fprintf(stderr, "contentkit: warning: %s\n", warning.c_str());
    if (!imported) {
        std::fprintf(stderr, "contentkit: %s\n", why.c_str());
        return 1;
    }
    std::vector<std::pair<std::string, const Bytes*>> files;
    for (const ImportedFile& f : result.files) files.emplace_back(game.spelled(f.path), &f.bytes);
    bool moved = false;
    if (!writeAllOrNothing(paths[1], files, &why, &moved)) {
        std::fprintf(stderr, "contentkit: %s%s\n", why.c_str(), moved ? "" : "; nothing was imported");
        return 1;
    }
    for (const std::string& line : result.report) std::printf("import-tiled: %s\n", line.c_str());
    return 0;
}

// The whole demo game's data under DIR; --gdf packs what the client's
// whole-file loader reads.
int buildDemoCommand(int argc, char** argv) {
    std::string dir;
    DemoBuildOptions options;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--gdf") {
            options.gdf = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return quask::unknownOption(help(), argv[i]);
        } else if (!dir.empty()) {
            return usageBecause("build-demo", "takes one DIR, not also " + quoted(argv[i]));
        } else {
            dir = arg;
        }
    }
    if (dir.empty()) return usageBecause("build-demo", "DIR is missing");
    // Made here, not in the build, so that a new directory is locked too.
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    quask::UniqueFd lock;
    if (quask::lockFolder(dir, true, &lock) == quask::FolderLock::Busy) return fail(dir, kGameDirBusy);
    if (!finishEarlierRun(dir)) return 1;
    quask::ProgressLine progress;
    if (progress.visible()) {
        options.progress = [&progress](const DemoProgress& p) {
            progress.show("build-demo: " + std::string(p.step) + ": " + std::to_string(p.files) + " files, " +
                          quask::byteSizeText(p.bytes));
        };
    }
    DemoBuildResult result;
    std::string why;
    const bool built = buildDemoGame(dir, options, &result, &why);
    progress.erase();
    for (const std::string& warning : result.warnings) std::fprintf(stderr, "contentkit: warning: %s\n", warning.c_str());
    if (!built) return fail(dir, why);
    for (const std::string& line : result.kept) std::printf("build-demo: %s\n", line.c_str());
    std::printf("build-demo: %zu files, %llu bytes%s in %s\n", result.files.size(),
                static_cast<unsigned long long>(result.bytes), options.gdf ? " (GDF-packed assets)" : "",
                dir.c_str());
    return 0;
}

}  // namespace contentkit
