// The demo's first map: a Tiled map (demo_content/ in this folder, built
// into the tool) of 192 x 224 vk-cells in two layers (the ground, and the
// lake's cells walkable at the water surface, for boats): rolling hills, a
// plateau with cliff walls, a low stone wall, a lake whose bed drops at a
// bank so water and ground never lie level, trees, houses, a windmill and
// crates, two lanterns, sounds and an effect. build-demo imports it like any
// author's map, with its lightmaps baked.
//
// importDemoMap needs the game directory's def files in place (the map
// places models 1 to 4 and shows textures 300 to 303); it returns the files
// to write without writing them. Deterministic; stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/scene/first_map.h"
#include "tools/contentkit/import/tiled_import.h"

namespace contentkit {

// The map the client creates its scene for at start-up.
constexpr const char* kFirstMapName = velmar::scene::kFirstMapName;
// The RMAP file the import writes for it: the map name and ".rmap".
constexpr char kFirstMapRmap[] = "Lakeside.rmap";
// The Tiled file of the built-in map, among demoMapFiles().
constexpr const char kDemoMapFile[] = "Lakeside.tmx";

struct EmbeddedFile {
    const char* name;  // relative to demo_content/
    const unsigned char* bytes;
    std::size_t size;
};

// The demo map's files as the build embedded them.
const std::vector<EmbeddedFile>& demoMapFiles();

// A file source over demoMapFiles(), for the importer and the tests.
class EmbeddedDemoSource : public TiledFileSource {
public:
    bool read(const std::string& path, Bytes* out, std::string* why) override;
};

// What the first map uses, for the plan of the demo's files.
struct DemoMapContent {
    std::vector<std::int32_t> textureIds;  // ground textures, ascending
    std::vector<std::int32_t> modelIds;    // placed models, ascending, distinct
    std::vector<int> waterTypes;           // "Water_<n>" sections the map needs
    std::string rmapPath;                  // relative to the game directory
    std::string iniPath;
};

// Imports the built-in map into the game directory `game` reads.
bool importDemoMap(GameDirReader& game, TiledImportResult* result, DemoMapContent* content, std::string* error);

}  // namespace contentkit
