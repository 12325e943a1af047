// bench_world: the world path on the demo map, each figure against a baseline
// measured in the same run. Needs a display (run it under xvfb-run).
//
//   map load:     CRMap::load of the first map  vs  LoadFileData of its file
//                 (plain, and a GDF-packed copy of the same map)
//   preparation:  PrepareMap per 1,000 ground cubes, first scene (textures
//                 loaded from disk) and further scenes (textures cached)
//   visible set:  Recalc_ViewableCubes per call, at the start cell and out
//   frames:       glClear + Draw::DrawFrame + glFinish on the demo map with
//                 lightmaps  vs  the same view without (UseLightmaps off),
//                 split into the draw call and the wait for the driver
//
// --profile N sets everything up, then draws only N frames with callgrind's
// instrumentation on around them (see world_profile.sh), with --unlit those
// of UseLightmaps off; --game DIR uses a
// game directory already built instead of building one in a temp dir.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

#include "client/assets/model.h"
#include "client/assets/texture.h"
#include "client/core/frame_stats.h"
#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/core/runtime.h"
#include "client/core/timer.h"
#include "client/core/vmath.h"
#include "client/gl/gl_ext.h"
#include "client/input/mouse.h"
#include "client/platform/window.h"
#include "client/scene/camera.h"
#include "client/scene/draw.h"
#include "client/scene/prepare.h"
#include "client/scene/scene.h"
#include "client/scene/scene_draw.h"
#include "client/scene/visibility.h"
#include "client/storage/gdf.h"
#include "client/storage/load_file_data.h"
#include "tools/contentkit/demo/demo_game.h"
#include "bench/bench_stats.h"

using namespace velmar;
using bench::Clock;
using bench::median;
using bench::msSince;
using bench::percentile;
namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t kBenchLogPort = 6697;  // nobody listens; the datagrams go nowhere
constexpr char kGdfMapName[] = "LakesideGdf.rmap";

struct Options {
    int frames = 300;
    int profileFrames = 0;  // > 0: callgrind mode
    bool unlit = false;     // callgrind mode: the frames with UseLightmaps off
    std::string gameDir;    // empty: build one
};

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--frames" && hasValue) {
            options->frames = std::atoi(argv[++i]);
        } else if (arg == "--profile" && hasValue) {
            options->profileFrames = std::atoi(argv[++i]);
        } else if (arg == "--unlit") {
            options->unlit = true;
        } else if (arg == "--game" && hasValue) {
            options->gameDir = argv[++i];
        } else {
            return false;
        }
    }
    return options->frames > 0 && options->frames <= 100000 && options->profileFrames >= 0 &&
           options->profileFrames <= 100000;
}

// --- Client set-up (the start-up's order, without launcher and sound) ---

void chooseRenderSettings(CRConf& conf) {
    RenderCaps& caps = renderCaps();
    const bool multitexture = caps.multitexture != 0 && caps.textureUnits >= 2 &&
                              conf.GetBool(RCONF_USEMULTITEXTURE);
    caps.multitexture = multitexture ? 1 : 0;
    if (!multitexture) caps.textureUnits = 1;
    const int detail = conf.GetInt(RCONF_TEXTUREDETAILLEVEL);
    caps.textureDetail = detail >= 0 && detail <= 3 ? detail : 3;
    caps.staticLighting = conf.GetBool(RCONF_USELIGHTMAPS) ? 1 : 0;
    if (!caps.staticLighting) {
        caps.multitexture = 0;
        caps.textureUnits = 1;
    }
    caps.altCellCursor = conf.GetBool(RCONF_ALTERNATEGROUNDCURSORCOLLISION) ? 1 : 0;
}

void setRenderState() {
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClearDepth(1.0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glShadeModel(GL_SMOOTH);
    glDisable(GL_DITHER);
    glEnable(GL_TEXTURE_2D);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glAlphaFunc(GL_GREATER, 0.9f);
}

bool startClient(const std::string& dir) {
    if (!PerfClock::Create()) return false;
    fs::create_directories(dir + "/log");
    CLOG::Create(dir + "/log", kBenchLogPort);
    if (!windowInit()) return false;
    CRConf& conf = *CRConf::Create();
    selectMathRoutines(true);
    initTrigTables();
    RenderCaps& caps = renderCaps();
    setRenderSize(caps, conf.GetInt(RCONF_WIDTH), conf.GetInt(RCONF_HEIGHT));
    CTimer::Create();
    if (!windowOpen(caps.width, caps.height, WindowMode::Windowed)) return false;
    const WindowSize size = windowSizeFor(caps.width, caps.height);
    setRenderSize(caps, size.width, size.height);
    if (!GetGLExt()) return false;
    chooseRenderSettings(conf);
    windowSetSwapInterval(0);  // frames are timed, not paced
    setRenderState();
    CTexture::Create();
    CModel::Create();
    scene::Draw::DrawInit();
    if (!MouseInit()) return false;
    scene::setEnable3DHook(scene::Draw::Enable3D);
    scene::Draw::setSceneDraw(scene::drawActiveScene);
    return true;
}

void stopClient() {
    scene::Draw::Shutdown();
    CModel::Destroy();
    CTexture::Destroy();
    DeleteCursors();
    CTimer::Destroy(CTimer::instance());
    CRConf::Destroy();
    CLOG::Destroy();
    PerfClock::Release();
    windowTerminate();
}

// --- Map load against reading the file ---

// A GDF-packed copy of the map next to it, for the loader's unpacking path.
bool writeGdfCopy(const char* mapFile) {
    std::ifstream in(std::string("data/map/") + mapFile, std::ios::binary);
    const std::vector<std::uint8_t> plain((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    if (plain.empty()) return false;
    const std::vector<std::uint8_t> packed =
        gdfPack(plain.data(), plain.size(), true, contentkit::kDemoGdfKeyFactor);
    std::ofstream out(std::string("data/map/") + kGdfMapName, std::ios::binary);
    out.write(reinterpret_cast<const char*>(packed.data()), static_cast<std::streamsize>(packed.size()));
    return out.good();
}

std::size_t logLines() {
    std::ifstream in("log/LastRun.log", std::ios::binary);
    return static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in),
                                               std::istreambuf_iterator<char>(), '\n'));
}

// As many log lines as one load writes, alone: each is a file write and
// the queueing of its three datagrams, which the loader's time includes;
// the log's own thread sends them meanwhile.
double logLinesMs(std::size_t lines) {
    std::vector<double> rounds;
    for (int r = 0; r < 25; ++r) {
        const Clock::time_point t0 = Clock::now();
        for (std::size_t i = 0; i < lines; ++i)
            Message(kLogInfo, "bench_world: log line %d of %d, as long as the loader's", static_cast<int>(i),
                    static_cast<int>(lines));
        rounds.push_back(msSince(t0));
    }
    return *std::min_element(rounds.begin(), rounds.end());
}

bool benchMapLoad(const char* mapFile, const char* label) {
    constexpr int kRounds = 25;
    const std::string path = std::string("data/map/") + mapFile;
    std::vector<double> read, load;
    std::uint32_t bytes = 0;
    std::size_t linesPerLoad = 0;
    for (int r = 0; r < kRounds; ++r) {
        Clock::time_point t0 = Clock::now();
        release(LoadFileData(path.c_str(), &bytes));
        read.push_back(msSince(t0));
        auto map = std::make_unique<scene::CRMap>();
        const std::size_t linesBefore = r == 0 ? logLines() : 0;
        t0 = Clock::now();
        map->load(mapFile);
        load.push_back(msSince(t0));
        if (r == 0) linesPerLoad = logLines() - linesBefore;
        if (!map->loaded()) {
            std::printf("  %s: LOAD FAILED\n", mapFile);
            return false;
        }
    }
    // The best round is the least disturbed by other load on the machine.
    const double readBest = *std::min_element(read.begin(), read.end());
    const double loadBest = *std::min_element(load.begin(), load.end());
    std::printf("Map load, %s: %s, %.2f MiB as read (%d rounds: best, median)\n", label, mapFile,
                bytes / (1024.0 * 1024.0), kRounds);
    std::printf("  baseline LoadFileData alone     %9.2f ms %9.2f ms\n", readBest, median(read));
    std::printf("  CRMap::load (read + parse)      %9.2f ms %9.2f ms\n", loadBest, median(load));
    std::printf("  ratio load / read               %9.2f    %9.2f     (goal: <= 2.00)\n",
                loadBest / readBest, median(load) / median(read));
    const double logMs = logLinesMs(linesPerLoad);
    std::printf("  of the load: its %zu log lines   %9.2f ms; the rest over the read %.2f\n\n", linesPerLoad,
                logMs, (loadBest - logMs) / readBest);
    return true;
}

// --- Map preparation ---

// The last timing line of the preparation in this run's log.
std::string lastPrepareLine(const std::string& dir) {
    std::ifstream in(dir + "/log/LastRun.log");
    std::string line, found;
    while (std::getline(in, line))
        if (line.find("CSCene->PrepareMap: took:") != std::string::npos) found = line;
    while (!found.empty() && (found.back() == '\r' || found.back() == '\n')) found.pop_back();
    return found;
}

// Gives back what PrepareMap took for a scene that is never drawn. The scene
// object itself stays alive: a water timer event may be running right now.
void releasePreparedScene(scene::CScene& s) {
    if (s.water && s.water->timerEvent >= 0) CTimer::instance()->Cancel(s.water->timerEvent);
    CTexture* textures = CTexture::instance();
    if (s.water)
        for (unsigned name : s.water->frameName)
            if (name != 0) textures->Free(name);
    for (scene::GroundTexture& slot : s.map->textures())
        if (slot.glName != 0) textures->Free(slot.glName);
    if (s.cursorTexture != 0) textures->Free(s.cursorTexture);
    glDeleteLists(s.groundListBase, s.renderCubeCount);
    if (s.lightmapListBase != 0) glDeleteLists(s.lightmapListBase, s.renderCubeCount);
    for (int layer = 0; layer < s.map->header().layerCount; ++layer)
        if (s.cellListBase[layer] != 0) glDeleteLists(s.cellListBase[layer], s.renderCubeCount);
    if (s.lightmapBeginList != 0) glDeleteLists(s.lightmapBeginList, 1);
    if (s.lightmapEndList != 0) glDeleteLists(s.lightmapEndList, 1);
    if (!s.lightmapNames.empty()) {
        glDeleteTextures(static_cast<GLsizei>(s.lightmapNames.size()), s.lightmapNames.data());
        textures->removeUploaded(s.lightmapBytes, static_cast<std::uint32_t>(s.lightmapNames.size()));
    }
    glFinish();
}

// Prepares the first scene (cold: ground textures and models from disk) and
// then further scenes of the same map while the first holds the textures.
std::unique_ptr<scene::CScene> benchPrepare(const std::string& dir,
                                            std::vector<std::unique_ptr<scene::CScene>>* spent) {
    constexpr int kWarmRounds = 5;
    std::unique_ptr<scene::CScene> first = scene::createScene(scene::kFirstMapName);
    if (!first->valid) return nullptr;
    Clock::time_point t0 = Clock::now();
    const int ok = scene::PrepareMap(*first);
    glFinish();
    const double coldMs = msSince(t0);
    if (!ok) return nullptr;
    const std::string coldLine = lastPrepareLine(dir);

    std::vector<double> warm;
    for (int r = 0; r < kWarmRounds; ++r) {
        std::unique_ptr<scene::CScene> s = scene::createScene(scene::kFirstMapName);
        if (!s->valid) return nullptr;
        t0 = Clock::now();
        scene::PrepareMap(*s);
        glFinish();
        warm.push_back(msSince(t0));
        releasePreparedScene(*s);
        spent->push_back(std::move(s));
    }
    const scene::MapHeader& h = first->map->header();
    const double cubes = static_cast<double>(h.cubesWide) * static_cast<double>(h.cubesHigh);
    const double per = cubes > 0 ? 1000.0 / cubes : 0.0;
    const double warmMs = median(warm);
    std::printf("PrepareMap, %s: %d x %d ground cubes (%.0f), resolution %d, %d render cubes, "
                "%zu lightmaps on %zu atlas page(s), %zu placed models, multitexture %s\n",
                first->rmapName.c_str(), h.cubesWide, h.cubesHigh, cubes, first->cubeResolution,
                first->renderCubeCount, first->lightmapPlaces.size(), first->lightmapNames.size(),
                first->map->models().size(),
                renderCaps().multitexture ? "on" : "off");
    std::printf("  first scene (textures, models from disk) %9.2f ms  = %7.3f ms per 1,000 cubes\n",
                coldMs, coldMs * per);
    std::printf("  further scenes (cached), median of %d    %9.2f ms  = %7.3f ms per 1,000 cubes\n",
                kWarmRounds, warmMs, warmMs * per);
    std::printf("  log, first:  %s\n", coldLine.c_str());
    std::printf("  log, last:   %s\n\n", lastPrepareLine(dir).c_str());
    return first;
}

// --- Visible set ---

void activateFirstScene(scene::CScene& s) {
    scene::sceneSetActive(&s);
    scene::SetVKCellLayer(s, 0);
    scene::SetVKCellPos(s, 153.0f, 185.0f);
    s.angle = 85.4f;
    s.distance = 185.0f;
    s.vertical = 6.0f;
    scene::updateCamera(s);
}

double usPerRecalc(scene::CScene& s, float distance) {
    constexpr int kCalls = 400, kBatches = 7;
    s.distance = distance;
    std::vector<double> batches;
    for (int b = 0; b < kBatches; ++b) {
        const Clock::time_point t0 = Clock::now();
        for (int i = 0; i < kCalls; ++i) scene::Recalc_ViewableCubes(s);
        batches.push_back(msSince(t0) * 1000.0 / kCalls);
    }
    return median(batches);
}

void benchVisibility(scene::CScene& s) {
    const scene::MapHeader& h = s.map->header();
    const float extent = std::max(static_cast<float>(h.cubesWide), static_cast<float>(h.cubesHigh)) *
                         h.cubeSize;
    struct Case {
        const char* what;
        float distance;
    };
    const Case cases[] = {
        {"start cell, start distance", s.distance},
        {"start cell, farthest zoom (DistMax)", s.limits.distMax},
        {"start cell, whole map in the square", extent},
    };
    const float kept = s.distance;
    std::printf("Recalc_ViewableCubes, target (%.1f, %.1f), us per call (median of 7 x 400 calls)\n",
                static_cast<double>(s.targetX), static_cast<double>(s.targetZ));
    for (const Case& c : cases) {
        const double us = usPerRecalc(s, c.distance);
        std::printf("  %-38s D %7.1f %9.2f us   cubes %5d, water %4d, models %3d\n", c.what,
                    static_cast<double>(c.distance), us, s.stats.cubes, s.stats.water, s.stats.models);
    }
    s.distance = kept;
    scene::Recalc_ViewableCubes(s);
    std::printf("\n");
}

// --- Frames ---

struct FrameTimes {
    std::vector<double> total, draw, finish;
    std::uint32_t drawCalls = 0;
};

FrameTimes drawFrames(int frames) {
    FrameTimes t;
    const std::uint32_t calls0 = frameStats().pendingDrawCalls();
    for (int f = 0; f < frames; ++f) {
        const Clock::time_point t0 = Clock::now();
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        scene::Draw::DrawFrame();
        const Clock::time_point t1 = Clock::now();
        glFinish();
        const Clock::time_point t2 = Clock::now();
        t.draw.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        t.finish.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
        t.total.push_back(std::chrono::duration<double, std::milli>(t2 - t0).count());
    }
    t.drawCalls = frameStats().pendingDrawCalls() - calls0;
    return t;
}

// Only these frames are counted under callgrind (started with
// --instr-atstart=no); outside valgrind the requests do nothing.
__attribute__((noinline)) void profiledFrames(int frames) {
    CALLGRIND_START_INSTRUMENTATION;
    CALLGRIND_ZERO_STATS;
    drawFrames(frames);
    CALLGRIND_DUMP_STATS_AT("frames");
    CALLGRIND_STOP_INSTRUMENTATION;
}

// The lighting switches of the render settings: as configured, or
// UseLightmaps off (which turns multitexturing off too, as the start-up does).
struct Lighting {
    std::int32_t staticLighting, multitexture, textureUnits;
};

Lighting currentLighting() {
    const RenderCaps& caps = renderCaps();
    return {caps.staticLighting, caps.multitexture, caps.textureUnits};
}

void setLighting(const Lighting& l) {
    RenderCaps& caps = renderCaps();
    caps.staticLighting = l.staticLighting;
    caps.multitexture = l.multitexture;
    caps.textureUnits = l.textureUnits;
}

constexpr Lighting kUnlit{0, 0, 1};

// The first map once more, prepared without lightmaps: the baseline of the
// frame with lightmaps, on the same map in the same run.
std::unique_ptr<scene::CScene> prepareUnlitScene() {
    const Lighting configured = currentLighting();
    setLighting(kUnlit);
    std::unique_ptr<scene::CScene> s = scene::createScene(scene::kFirstMapName);
    const bool ok = s->valid && scene::PrepareMap(*s);
    setLighting(configured);
    if (!ok) return nullptr;
    return s;
}

struct FrameSummary {
    double median, mean, p95, draw, finish, drawCalls;
};

FrameSummary summarise(const FrameTimes& t, int frames) {
    double sum = 0.0;
    for (double v : t.total) sum += v;
    return {median(t.total), sum / frames, percentile(t.total, 0.95), median(t.draw), median(t.finish),
            static_cast<double>(t.drawCalls) / frames};
}

void append(FrameTimes* to, const FrameTimes& from) {
    to->total.insert(to->total.end(), from.total.begin(), from.total.end());
    to->draw.insert(to->draw.end(), from.draw.begin(), from.draw.end());
    to->finish.insert(to->finish.end(), from.finish.begin(), from.finish.end());
    to->drawCalls += from.drawCalls;
}

// The same view with lightmaps and without, in short alternating batches so
// that a change in the machine's load falls on both alike; the ratio of each
// pair of neighbouring batches shows it least disturbed.
void benchFrames(scene::CScene& lit, scene::CScene& unlit, int frames) {
    constexpr int kBatches = 20;
    const Lighting configured = currentLighting();
    const int perBatch = std::max(1, frames / kBatches);
    FrameTimes withLight, without;
    std::vector<double> pairRatios;
    auto show = [&](scene::CScene& s, const Lighting& l, int settle) {
        setLighting(l);
        activateFirstScene(s);
        drawFrames(settle);  // the visible set, the pick; first time: the driver's programs
    };
    show(lit, configured, 10);
    show(unlit, kUnlit, 10);
    for (int b = 0; b < kBatches; ++b) {
        const bool litFirst = b % 2 == 0;
        double pair[2] = {0.0, 0.0};  // batch medians: with, without
        for (int turn = 0; turn < 2; ++turn) {
            const bool useLit = (turn == 0) == litFirst;
            show(useLit ? lit : unlit, useLit ? configured : kUnlit, 2);
            const FrameTimes batch = drawFrames(perBatch);
            append(useLit ? &withLight : &without, batch);
            pair[useLit ? 0 : 1] = median(batch.total);
        }
        pairRatios.push_back(pair[0] / pair[1]);
    }
    show(lit, configured, 1);
    const int n = perBatch * kBatches;
    const FrameSummary a = summarise(withLight, n), b = summarise(without, n);
    const RenderCaps& caps = renderCaps();
    std::printf("Frames on %s, %dx%d, %s: 2 x %d frames of glClear + DrawFrame + glFinish\n"
                "  (the same view with lightmaps and without, in %d alternating batches of %d)\n",
                lit.rmapName.c_str(), caps.width, caps.height, windowGLText(GLText::Renderer), n, kBatches,
                perBatch);
    std::printf("  visible: cubes %d, water %d, models %d (%u faces)\n", lit.stats.cubes, lit.stats.water,
                lit.stats.models, lit.stats.faces);
    std::printf("%35s%s\n", "", "median      mean       p95  DrawFrame  glFinish  draw calls");
    auto row = [](const char* what, const FrameSummary& s) {
        std::printf("  %-30s %7.2f ms %7.2f ms %7.2f ms %7.2f ms %7.2f ms %8.1f\n", what, s.median, s.mean,
                    s.p95, s.draw, s.finish, s.drawCalls);
    };
    row(configured.staticLighting ? (configured.multitexture ? "with lightmaps (multitexture)"
                                                             : "with lightmaps (second pass)")
                                  : "configured: UseLightmaps off",
        a);
    row("baseline: UseLightmaps off", b);
    std::printf("  %-30s %7.2f    %7.2f\n", "ratio with / without", a.median / b.median, a.mean / b.mean);
    std::printf("  %-30s %7.2f    (goal: <= 1.10)\n", "ratio, median of batch pairs", median(pairRatios));
    std::printf("  DrawFrame is the client code and the driver taking the commands, glFinish the\n"
                "  driver rendering; the client's own share of the instructions comes from\n"
                "  bench/world_profile.sh (callgrind)\n");
}

// Everything but the frames under callgrind; the scenes stay alive until
// the timer is gone (their water events may still run).
int runBenchmarks(const std::string& dir, int frames,
                  std::vector<std::unique_ptr<scene::CScene>>* scenes) {
    const std::string rmap = contentkit::kFirstMapRmap;
    if (!benchMapLoad(rmap.c_str(), "plain") || !writeGdfCopy(rmap.c_str()) ||
        !benchMapLoad(kGdfMapName, "GDF-packed copy"))
        return 1;
    std::unique_ptr<scene::CScene> first = benchPrepare(dir, scenes);
    if (!first) return 1;
    activateFirstScene(*first);
    drawFrames(1);  // camera, pick and visible set as the first frame leaves them
    benchVisibility(*first);
    std::unique_ptr<scene::CScene> unlit = prepareUnlitScene();
    if (!unlit) return 1;
    benchFrames(*first, *unlit, frames);
    scenes->push_back(std::move(first));
    scenes->push_back(std::move(unlit));
    return 0;
}

int runProfile(int frames, bool unlit, std::vector<std::unique_ptr<scene::CScene>>* scenes) {
    if (unlit) setLighting(kUnlit);
    std::unique_ptr<scene::CScene> first = scene::createScene(scene::kFirstMapName);
    const bool ready = first->valid && scene::PrepareMap(*first);
    scenes->push_back(std::move(first));
    if (!ready) return 1;
    activateFirstScene(*scenes->back());
    drawFrames(5);
    profiledFrames(frames);
    std::printf("profiled %d frames\n", frames);
    return 0;
}

// The demo game in a new temp dir; empty on failure.
std::string buildGameDir() {
    char tmpl[] = "/tmp/bench-world-XXXXXX";
    if (!mkdtemp(tmpl)) return {};
    const std::string dir = tmpl;
    contentkit::DemoBuildResult built;
    std::string error;
    const Clock::time_point t0 = Clock::now();
    if (!contentkit::buildDemoGame(dir, contentkit::DemoBuildOptions{}, &built, &error)) {
        std::fprintf(stderr, "bench_world: cannot build the demo game: %s\n", error.c_str());
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        return {};
    }
    std::printf("Demo game built in %.1f s (%zu files, %.1f MiB) under %s\n\n", msSince(t0) / 1000.0,
                built.files.size(), built.bytes / (1024.0 * 1024.0), dir.c_str());
    return dir;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: bench_world [--frames N] [--profile N [--unlit]] [--game DIR]\n");
        return 2;
    }
    const bool ownDir = options.gameDir.empty();
    std::string dir = ownDir ? buildGameDir() : options.gameDir;
    if (dir.empty()) return 1;
    dir = fs::absolute(dir).string();
    if (chdir(dir.c_str()) != 0) return 1;
    if (!startClient(dir)) {
        std::fprintf(stderr, "bench_world: client set-up failed (needs a display, e.g. xvfb-run)\n");
        return 2;
    }
    std::vector<std::unique_ptr<scene::CScene>> scenes;
    int rc = options.profileFrames > 0 ? runProfile(options.profileFrames, options.unlit, &scenes)
                                       : runBenchmarks(dir, options.frames, &scenes);
    scene::sceneSetActive(nullptr);
    stopClient();
    scenes.clear();
    if (ownDir) {
        if (chdir("/") != 0) rc = 1;
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    return rc;
}
