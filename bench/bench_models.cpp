// bench_models: figures for the model path, each against a baseline measured
// in the same run on the same data.
//
//   loading the demo's models (file read + parse + texture grouping + box)
//       vs  LoadFileData of the same files alone
//   node-matrix evaluation of an animated node once per frame, SSE and scalar
//   matrix products, against the cached lookup of a static node
//
// No GL: texture references are counted, display lists are not compiled.
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "client/assets/model_file.h"
#include "client/assets/model_pose.h"
#include "client/core/runtime.h"
#include "client/core/vmath.h"
#include "client/storage/load_file_data.h"
#include "tools/contentkit/demo/demo_models.h"
#include "tools/contentkit/formats/rmdl_writer.h"
#include "bench/bench_stats.h"

using namespace velmar;
using bench::Clock;
using bench::msSince;

namespace {

std::uint32_t g_references = 0;

ModelTextureHooks countingHooks() {
    ModelTextureHooks hooks;
    hooks.get = [](std::int32_t id, void*) {
        ++g_references;
        return static_cast<std::uint32_t>(id);
    };
    hooks.free = [](std::uint32_t, void*) { --g_references; };
    hooks.context = nullptr;
    return hooks;
}

// --- Loading against reading ---

bool writeDemoModels(const std::string& dir, std::vector<std::string>* paths, std::uint64_t* bytes) {
    *bytes = 0;
    for (const contentkit::DemoModelInfo& info : contentkit::demoModelKinds()) {
        contentkit::Bytes out;
        std::string error;
        if (!contentkit::writeRmdl(contentkit::makeDemoModel(info.kind), &out, &error)) {
            std::printf("cannot write the demo model %s: %s\n", info.name, error.c_str());
            return false;
        }
        const std::string path = dir + "/" + info.name + ".rmdl";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
        paths->push_back(path);
        *bytes += out.size();
    }
    return true;
}

void benchLoading(const std::string& dir) {
    std::vector<std::string> paths;
    std::uint64_t bytes = 0;
    if (!writeDemoModels(dir, &paths, &bytes)) return;
    constexpr int kRounds = 2000;
    double bestLoad = 1e30, bestRead = 1e30;
    for (int pass = 0; pass < 5; ++pass) {
        Clock::time_point t0 = Clock::now();
        for (int r = 0; r < kRounds; ++r)
            for (const std::string& path : paths) {
                std::uint32_t size = 0;
                std::uint8_t* data = LoadFileData(path.c_str(), &size);
                release(data);
            }
        bestRead = std::min(bestRead, msSince(t0));
        t0 = Clock::now();
        for (int r = 0; r < kRounds; ++r)
            for (const std::string& path : paths) {
                std::uint32_t size = 0;
                std::uint8_t* data = LoadFileData(path.c_str(), &size);
                const ModelLoadOptions options{true, countingHooks(), ModelClock{1, 0}};
                ModelData* model = parseModelData(data, size, path.c_str(), options);
                release(data);
                if (model == nullptr) std::printf("  LOAD FAILED: %s\n", path.c_str());
                releaseModelData(model, countingHooks());
            }
        bestLoad = std::min(bestLoad, msSince(t0));
    }
    const double per = 1000.0 / (kRounds * static_cast<double>(paths.size()));
    std::printf("Demo models: %zu files, %.1f KiB in all (best of 5, %d rounds, us per model)\n",
                paths.size(), bytes / 1024.0, kRounds);
    std::printf("  load (read + parse + group + box) %8.2f\n", bestLoad * per);
    std::printf("  baseline LoadFileData alone       %8.2f\n", bestRead * per);
    std::printf("  ratio                             %8.3f\n", bestLoad / bestRead);
    if (g_references != 0) std::printf("  TEXTURE REFERENCES LEFT: %u\n", g_references);
    std::printf("\n");
}

// --- Node matrices ---

// One windmill per loop; every animated node is evaluated once per frame.
double nsPerAnimatedNode(int frames, std::uint32_t* animatedNodes, bool staticOnly) {
    contentkit::Bytes bytes;
    std::string error;
    contentkit::writeRmdl(contentkit::makeDemoModel(contentkit::DemoModelKind::Windmill), &bytes, &error);
    const ModelLoadOptions options{false, countingHooks(), ModelClock{1, 0}};
    ModelData* model = parseModelData(bytes.data(), bytes.size(), "windmill", options);
    if (model == nullptr) return 0.0;
    std::vector<std::uint32_t> nodes;
    for (std::uint32_t i = 0; i < model->meshCount; ++i)
        if ((model->meshes[i].keyFrameCount > 0) != staticOnly) nodes.push_back(i);
    *animatedNodes = static_cast<std::uint32_t>(nodes.size());
    float sink = 0.0f;
    const Clock::time_point t0 = Clock::now();
    for (int f = 0; f < frames; ++f) {
        const ModelClock clock{static_cast<std::uint32_t>(f + 2), f * 16};
        for (std::uint32_t n : nodes) sink += meshNodeMatrix(*model, model->meshes[n], clock).m[0];
    }
    const double ms = msSince(t0);
    releaseModelData(model, countingHooks());
    if (sink == 12345.0f) std::printf(" ");
    return nodes.empty() ? 0.0 : ms * 1e6 / (static_cast<double>(frames) * nodes.size());
}

void benchNodeMatrices() {
    constexpr int kFrames = 200000;
    std::uint32_t animated = 0, statics = 0;
    selectMathRoutines(true);
    const double sse = nsPerAnimatedNode(kFrames, &animated, false);
    selectMathRoutines(false);
    const double scalar = nsPerAnimatedNode(kFrames, &animated, false);
    selectMathRoutines(true);
    const double cached = nsPerAnimatedNode(kFrames, &statics, true);
    std::printf("Node matrix per node per frame, windmill (%u animated, %u static nodes, %d frames)\n",
                animated, statics, kFrames);
    std::printf("  animated, SSE products     %8.1f ns\n", sse);
    std::printf("  animated, scalar products  %8.1f ns\n", scalar);
    std::printf("  baseline: static (cached)  %8.1f ns\n", cached);
    std::printf("  ratio animated SSE/static  %8.1f\n\n", cached > 0 ? sse / cached : 0.0);
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

int main() {
    initTrigTables();
    char tmpl[] = "/tmp/bench-models-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    benchLoading(tmpl);
    benchNodeMatrices();
    nftw(tmpl, removeEntry, 8, FTW_DEPTH | FTW_PHYS);
    return 0;
}
