// What build-demo keeps of a game directory's def files and Water.ini: the
// same bytes as a Textures.def and as a Water.ini that an author left there,
// merged into the demo's own.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/contentkit/demo/kept_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const contentkit::Bytes before(data, data + size);
    contentkit::DefFile demo;
    demo.comment("demo").entry(0, "data/texture/default.dds").entry(300, "data/texture/grass.dds");
    contentkit::KeptReport report;
    contentkit::Bytes written;
    std::string error;
    contentkit::writeDef(demo, &written, &error);
    const contentkit::Bytes out = contentkit::keepAuthorDefLines("data/def/Textures.def", written, demo, &before, &report);
    // What it keeps, kept again, is the same file.
    contentkit::KeptReport again;
    if (contentkit::keepAuthorDefLines("data/def/Textures.def", written, demo, &out, &again) != out) __builtin_trap();
    const std::string water = "[Water_1]\r\nFrameCount=8\r\n";
    contentkit::keepAuthorWaterTypes(contentkit::Bytes(water.begin(), water.end()), &before, {1}, &report);
    contentkit::isAuthorsFirstMap(&before);
    return 0;
}
