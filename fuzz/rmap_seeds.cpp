// Writes the seed maps of the RMAP fuzzer into the folder given: a bare
// 2 x 2 cell map and one that holds a record of every kind, each a few
// hundred bytes, so mutations reach every segment quickly.
#include <cstdio>
#include <string>

#include "tools/contentkit/formats/rmap_writer.h"

namespace {

contentkit::RmapMap bareMap() {
    contentkit::RmapMap map;
    map.cellsWide = 2;
    map.cellsHigh = 2;
    map.cubesWide = 1;
    map.cubesHigh = 1;
    map.layers.assign(1, std::vector<contentkit::RmapCell>(4));
    map.layers[0][3].walkable = false;
    map.layers[0][1].heights = {1.0f, 2.0f, 3.0f, 4.0f};
    map.cubes.resize(1);
    return map;
}

contentkit::RmapMap fullMap() {
    contentkit::RmapMap map = bareMap();
    map.hasWater = true;
    map.waterLevel = 2.5f;
    map.lightmapWidth = 2;
    map.lightmapHeight = 2;
    contentkit::RmapLightmap lightmap;
    lightmap.flags = contentkit::kLightmapColour | contentkit::kLightmapAlpha;
    lightmap.texels.assign(16, 0x7F);
    map.lightmaps.push_back(lightmap);
    map.textures = {300, 301};
    contentkit::RmapTile tile;
    tile.u = {0.0f, 1.0f, 0.0f, 1.0f};
    tile.v = {0.0f, 0.0f, 1.0f, 1.0f};
    tile.colour = {255, 255, 255, 255};
    tile.texture = 1;
    tile.lightmap = 0;
    map.tiles = {tile, tile};
    map.tiles[1].texture = 0;
    map.tiles[1].lightmap = contentkit::kRmapNoLightmap;
    map.cubes[0].top = 0;
    map.cubes[0].water = true;
    contentkit::RmapMesh mesh;
    mesh.word = 7;
    mesh.flagA = true;
    contentkit::RmapFace face;
    face.vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    face.texture = 1;
    mesh.faces = {face};
    contentkit::RmapMeshKey key;
    key.word = 3;
    key.values = {1.0f, 0.0f, 0.0f, 0.5f};
    mesh.keys = {key};
    map.meshes = {mesh};
    contentkit::RmapModel model;
    model.position = {5.0f, 0.0f, 5.0f};
    model.rotation = {0.0f, 90.0f, 0.0f};
    model.modelId = 2;
    map.models = {model};
    map.soundEffects.resize(1);
    map.effects = {{1, 2, 3, 4}};
    map.lights = {{1, 2, 3, 4, 5, 6}};
    return map;
}

bool writeSeed(const std::string& path, const contentkit::RmapMap& map) {
    contentkit::Bytes bytes;
    std::string error;
    if (!contentkit::writeRmap(map, &bytes, &error)) {
        std::fprintf(stderr, "rmap seed %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    return writeSeed(dir + "/bare.rmap", bareMap()) && writeSeed(dir + "/full.rmap", fullMap())
               ? 0
               : 1;
}
