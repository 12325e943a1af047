// RMDL models with texture hooks that hand out no GL names. Surfaces are
// read in file order: grouping them by texture ends the process on a model
// with too many textures, which the fuzzer would report as a crash.
#include <cstddef>
#include <cstdint>

#include "client/assets/model_file.h"

namespace {
std::uint32_t noTexture(std::int32_t, void*) { return 0; }
void freeNothing(std::uint32_t, void*) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velmar::ModelLoadOptions options{};
    options.optimise = false;
    options.textures = {noTexture, freeNothing, nullptr};
    options.clock = {1, 0};
    velmar::ModelData* model = velmar::parseModelData(data, size, "fuzz.rmdl", options);
    if (model) velmar::releaseModelData(model, options.textures);
    return 0;
}
