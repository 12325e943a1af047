// The demo game's data, written in one go into a game directory:
// Textures.def with every texture the map, the models, the water and the
// cell cursor use (IDs 0 and 10 included), model.def and the RMDL models,
// Water.ini with an animated water type, the DDS textures, the first map
// (the built-in Tiled map, imported with its lightmaps baked), both RFNT
// fonts, the three cursors, the GUI theme folders and the launcher's splash
// picture with the game's name.
//
// With `gdf` set every file the client reads through its whole-file loader
// (textures, models, fonts, maps) is stored GDF-packed under its own name;
// definition files, INI files, cursors and the splash stay plain because the
// client and the launcher read those directly.
//
// Output is deterministic: no clock, seeded generators only, files in a
// fixed order, so two builds give byte-identical trees. Single-threaded; the
// caller owns the directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/contentkit/demo/demo_map.h"

namespace contentkit {

// Key factor stored in the headers of the demo's GDF containers.
constexpr std::uint32_t kDemoGdfKeyFactor = 0x00C0FFEE;

// Texture IDs the engine itself asks for.
constexpr std::int32_t kTexDefault = 0;
constexpr std::int32_t kTexCellCursor = 10;
// Water frames: FirstVKTexID and the number of frames of the demo's water.
constexpr std::int32_t kTexWaterFirst = 100;
constexpr int kWaterFrames = 8;
constexpr int kWaterFrameMs = 120;

// How far a build has come: the step at work ("textures") and the files
// and bytes written so far.
struct DemoProgress {
    const char* step;
    std::size_t files;
    std::uint64_t bytes;
};

struct DemoBuildOptions {
    bool gdf = false;
    // Called after each file written, on the calling thread; may be empty.
    std::function<void(const DemoProgress&)> progress;
};

struct DemoBuildResult {
    std::vector<std::string> files;  // paths relative to the game directory, in writing order
    std::uint64_t bytes = 0;         // bytes written in all
    DemoMapContent map;              // what the first map uses
    std::vector<std::string> warnings;  // the map import's, and an author's lines the demo's replaced
    std::vector<std::string> kept;      // what an author added that the build left, a line each
};

// True when the client reads this file (a path relative to the game
// directory) through its whole-file loader, which unwraps GDF containers.
bool isLoaderAsset(const std::string& relativePath);

// Writes the whole tree under `gameDir` (created when missing; the demo's
// files there are replaced). What an author added is kept (kept_files.h):
// their def files' load lines and own IDs, their water types, and a first
// map they imported in place of the demo's. False with a message on the
// first failure, and then nothing under `gameDir` has changed: every file
// is written only once all are made, all or none (staged_files.h).
bool buildDemoGame(const std::string& gameDir, const DemoBuildOptions& options, DemoBuildResult* result,
                   std::string* error);

}  // namespace contentkit
