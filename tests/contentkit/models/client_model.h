// Shared by the model converter tests: a converted model written and loaded
// back by the client's own model parser (texture IDs kept as GL names).
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "client/assets/model_file.h"
#include "client/core/vmath.h"
#include "tools/contentkit/formats/rmdl_writer.h"

namespace cktest {

// What the client's loader and bounding box walk make of the written file.
inline velmar::ModelData* loadInClient(const contentkit::RmdlModel& model, contentkit::Bytes* bytes) {
    velmar::initTrigTables();  // start-up fills them; node rotations read them
    std::string error;
    EXPECT_TRUE(contentkit::writeRmdl(model, bytes, &error)) << error;
    velmar::ModelTextureHooks hooks{[](std::int32_t id, void*) { return static_cast<std::uint32_t>(id); },
                                    [](std::uint32_t, void*) {}, nullptr};
    const velmar::ModelLoadOptions options{false, hooks, velmar::ModelClock{1, 0}};
    return velmar::parseModelData(bytes->data(), bytes->size(), "model.rmdl", options);
}

}  // namespace cktest
