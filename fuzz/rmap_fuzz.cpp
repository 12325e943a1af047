// RMAP maps: the loader, then every lookup the scene makes through the
// header's sizes, which must stay inside what was loaded.
#include <cstddef>
#include <cstdint>

#include "client/scene/rmap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmar::scene::CRMap map;
    map.loadBytes("fuzz.rmap", data, size);
    if (!map.loaded()) return 0;
    const velmar::scene::MapHeader& h = map.header();
    volatile float sink = 0.0f;
    for (int layer = 0; layer < h.layerCount && layer < 2; ++layer) {
        for (int y = -1; y <= h.cellsHigh && y < 64; ++y) {
            for (int x = -1; x <= h.cellsWide && x < 64; ++x) {
                const velmar::scene::VKCell* cell = map.cellAt(layer, x, y);
                if (cell) sink = sink + cell->height(3);
            }
        }
    }
    for (int y = -1; y <= h.cubesHigh && y < 64; ++y) {
        for (int x = -1; x <= h.cubesWide && x < 64; ++x) {
            const velmar::scene::Cube* cube = map.cubeAt(x, y);
            if (!cube) continue;
            sink = sink + cube->height(0);
            using velmar::scene::CubeFace;
            using velmar::scene::Tile;
            if (const Tile* top = map.tileOf(*cube, CubeFace::Top))
                sink = sink + map.textureOf(*top).width + static_cast<float>(map.lightmapOf(*top));
            if (const Tile* wall = map.tileOf(*cube, CubeFace::WallX)) sink = sink + wall->u(0);
            if (const Tile* wall = map.tileOf(*cube, CubeFace::WallY)) sink = sink + wall->v(3);
        }
    }
    for (const velmar::scene::Mesh& mesh : map.meshes()) {
        for (const velmar::scene::MeshFace& face : mesh.faces)
            if (face.texture) sink = sink + face.texture->height;
    }
    return 0;
}
