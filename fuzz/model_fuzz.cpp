// Models: the first byte picks the reader, the rest is the file: even an
// OBJ, odd a glTF (bit 1: a binary .glb, else a .gltf). A glTF may name no
// file of its own (buffers as data: URIs only); every material gets ID 1.
// What a reader accepts is written as RMDL.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/contentkit/formats/rmdl_writer.h"
#include "tools/contentkit/models/gltf_model.h"
#include "tools/contentkit/models/obj_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t pick = data[0];
    ++data;
    --size;
    contentkit::RmdlModel model;
    std::string error;
    bool read = false;
    if ((pick & 1) == 0) {
        contentkit::ObjModelOptions options;
        options.hasDefaultTexture = true;
        options.defaultTexture = 1;
        options.maxTriangles = 20000;
        contentkit::ObjModelSummary summary;
        read = contentkit::objToRmdl(data, size, options, &model, &summary, &error);
    } else {
        contentkit::GltfModelOptions options;
        options.texture = [](const contentkit::GltfMaterial&, std::int32_t* id, std::string*) {
            *id = 1;
            return true;
        };
        options.readFile = [](const std::string& path, contentkit::Bytes*, std::string* why) {
            *why = path + " is missing";
            return false;
        };
        contentkit::GltfModelSummary summary;
        read = contentkit::gltfToRmdl((pick & 2) ? "m.glb" : "m.gltf", data, size, options, &model, &summary,
                                      &error);
    }
    if (read) {
        contentkit::Bytes out;
        contentkit::writeRmdl(model, &out, &error);
    }
    return 0;
}
