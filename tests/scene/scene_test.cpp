// Scene creation from the map and water definitions, activation, the camera
// handlers, the visible set, the cell cursor pick and the click blink.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <fstream>
#include <string>

#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/scene/camera.h"
#include "client/scene/scene.h"
#include "client/scene/visibility.h"
#include "tests/scene/map_builder.h"
#include "tests/support/log_socket.h"
#include "tests/support/temp_dir_test.h"

namespace velmar {
namespace scene {
namespace {

using namespace test;

class SceneTest : public quask_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_NE(::getcwd(m_previous, sizeof m_previous), nullptr);
        ASSERT_EQ(::chdir(m_dir.c_str()), 0);
        ::mkdir("data", 0755);
        ::mkdir("data/map", 0755);
        ::mkdir("data/def", 0755);
        initTrigTables();
        selectMathRoutines(false);
        CLOG::Create(m_dir + "/log", quask_test::quietLogPort());
        writeText("velmar.cfg",
                  "MouseCamRotSensitivity = 1.0\nMouseCamVertSensitivity = 0.0\n"
                  "MouseCamDistSensitivity = 0.0\n");
        CRConf::Create("./velmar.cfg");
    }
    void TearDown() override {
        sceneSetActive(nullptr);
        CRConf::Destroy();
        CLOG::Destroy();
        ASSERT_EQ(::chdir(m_previous), 0);
        TempDirTest::TearDown();
    }
    void writeText(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    void writeMap(const std::string& name, const Bytes& bytes) {
        std::ofstream("data/map/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.b.data()), static_cast<long>(bytes.b.size()));
    }
    std::string log() {
        std::ifstream in(at("log/LastRun.log"));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool logHas(const std::string& text) { return log().find(text) != std::string::npos; }
    std::size_t logCount(const std::string& text) {
        std::string all = log();
        std::size_t count = 0;
        for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++count;
        return count;
    }
    // A valid, active scene of a flat map; R = 1 render cubes set up by hand.
    std::unique_ptr<CScene> activeFlatScene(int cubes, int cellsPerCube, bool water,
                                            const std::function<bool(int, int)>& blocked = nullptr,
                                            const std::string& camera = "") {
        writeMap("flat.rmap", flatMap(cubes, cubes, cellsPerCube, 2, 10.0f, water, blocked));
        writeText("data/map/Flat.ini", "[Scene]\nRMap=flat.rmap\n[Camera]\n" + camera);
        auto scene = createScene("Flat");
        EXPECT_TRUE(scene->valid);
        scene->cubeResolution = 1;
        scene->renderCubesWide = scene->renderCubesHigh = cubes;
        scene->renderCubeCount = cubes * cubes;
        sceneSetActive(scene.get());
        return scene;
    }

    char m_previous[4096];
};

// --- Creation ---

TEST_F(SceneTest, DefinitionFileWithoutRMapLeavesTheSceneInvalid) {
    writeText("data/map/Empty.ini", "[Scene]\nName=Nothing here\n");
    auto scene = createScene("Empty");
    EXPECT_FALSE(scene->valid);
    EXPECT_TRUE(logHas("CScene::CSCene: Definition File for Requested Mapname 'Empty' doesnt "
                       "contain the Required link to RMAP File"));
    auto missing = createScene("NoSuchMap");
    EXPECT_FALSE(missing->valid);
    EXPECT_FALSE(logHas("cannot be read"));
    // One that is there but cannot be read says so before the missing link.
    ASSERT_EQ(::mkdir(at("data/map/Folder.ini").c_str(), 0755), 0);
    EXPECT_FALSE(createScene("Folder")->valid);
    EXPECT_TRUE(logHas("CScene: './data/map/Folder.ini' cannot be read (Is a directory)"));
}

TEST_F(SceneTest, CameraLimitsAreCorrectedAndFlagsReadWithoutCase) {
    writeMap("flat.rmap", flatMap(2, 2, 2, 1, 10.0f, false));
    writeText("data/map/A.ini",
              "[scene]\nrmap=flat.rmap\nMiniMap=true\n[CAMERA]\nDistMin=20\nDistMax=500\n"
              "InitAngle=12.5\nLockAngle=TRUE\n");
    auto a = createScene("A");
    ASSERT_TRUE(a->valid);
    EXPECT_EQ(a->limits.distMin, 35.0f);
    EXPECT_EQ(a->limits.distMax, 300.0f);
    EXPECT_EQ(a->limits.initAngle, 12.5f);
    EXPECT_EQ(a->limits.initDist, 90.0f);
    EXPECT_TRUE(a->miniMap);
    EXPECT_TRUE(a->limits.lockAngle);
    EXPECT_FALSE(a->water);

    writeText("data/map/B.ini", "[Scene]\nRMap=flat.rmap\nMiniMap=yes\n[Camera]\nDistMin=40\n");
    auto b = createScene("B");
    EXPECT_EQ(b->limits.distMin, 40.0f);
    EXPECT_FALSE(b->miniMap);
}

TEST_F(SceneTest, FailedMapLoadLeavesTheSceneInvalid) {
    writeText("data/map/bad.rmap", "RMAP\x07\x00");
    writeText("data/map/Bad.ini", "[Scene]\nRMap=bad.rmap\n");
    auto scene = createScene("Bad");
    EXPECT_FALSE(scene->valid);
    EXPECT_EQ(scene->map, nullptr);
    EXPECT_TRUE(logHas("CScene->LoadRMap: 'bad.rmap' Failed."));
}

TEST_F(SceneTest, WaterTypesUndefinedOrInvalidUseDefaults) {
    writeMap("wet.rmap", flatMap(2, 2, 2, 1, 10.0f, true));  // water type 3
    writeText("data/map/Wet.ini", "[Scene]\nRMap=wet.rmap\n");
    auto undefined = createScene("Wet");
    ASSERT_TRUE(undefined->valid);
    ASSERT_TRUE(undefined->water);
    EXPECT_EQ(undefined->water->frameCount, 1);
    EXPECT_EQ(undefined->water->frameTime, 1000);
    EXPECT_EQ(undefined->water->colour[3], 255);
    EXPECT_EQ(logCount("Water Type '3' seems to be undef - using default values!"), 1u);

    writeText("data/def/Water.ini", "[Water_3]\nFrameCount=0\nFrameTime=0\nFirstVKTexID=40\nA=128\n");
    auto invalid = createScene("Wet");
    EXPECT_EQ(invalid->water->frameCount, 1);
    EXPECT_EQ(invalid->water->frameTime, 1000);
    EXPECT_EQ(invalid->water->firstTexId, 40);
    EXPECT_EQ(invalid->water->colour[3], 128);
    EXPECT_TRUE(logHas("Water Type '3': invalid FrameCount/FrameTime - using default values!"));

    // A count no animation has would allocate frame arrays until memory ran out.
    writeText("data/def/Water.ini", "[Water_3]\nFrameCount=2000000000\nFrameTime=100\n");
    auto huge = createScene("Wet");
    ASSERT_TRUE(huge->water);
    EXPECT_EQ(huge->water->frameCount, 1);
    EXPECT_EQ(huge->water->frameName.size(), 1u);
    EXPECT_EQ(logCount("Water Type '3': invalid FrameCount/FrameTime - using default values!"), 2u);

    // No FrameCount: the section counts as undefined, and its FrameTime of 0
    // must not reach the animation timer either.
    writeText("data/def/Water.ini", "[Water_3]\nFrameTime=0\n");
    auto noCount = createScene("Wet");
    ASSERT_TRUE(noCount->water);
    EXPECT_EQ(noCount->water->frameCount, 1);
    EXPECT_EQ(noCount->water->frameTime, 1000);

    writeText("data/def/Water.ini", "[Water_3]\nFrameCount=4\nFrameTime=120\n");
    auto good = createScene("Wet");
    EXPECT_EQ(good->water->frameCount, 4);
    EXPECT_EQ(good->water->frameName.size(), 4u);
    for (int i = 0; i < 4; ++i) advanceWater(0, good.get(), 0);
    EXPECT_EQ(good->water->currentFrame.load(), 0);
    EXPECT_EQ(good->water->phase.load(), 32.0f);
}

TEST_F(SceneTest, SetActiveTwiceSwitchesAndResetsTheCamera) {
    auto scene = activeFlatScene(4, 2, false, nullptr, "InitDist=100\n");
    EXPECT_TRUE(logHas("sceneSetActive: Set 'flat.rmap' active."));
    scene->distance = 120.0f;
    SetVKCellPos(*scene, 3.0f, 4.0f);
    sceneSetActive(scene.get());
    EXPECT_TRUE(logHas("sceneSetActive: Switched to 'flat.rmap'."));
    EXPECT_EQ(scene->distance, 100.0f);
    EXPECT_EQ(scene->cellX, 1.0f);
    EXPECT_EQ(scene->cellY, 1.0f);
    EXPECT_TRUE(logHas("CScene::SetVKCellLayer: 0 (on flat.rmap)"));
    sceneSetActive(nullptr);
    EXPECT_EQ(activeScene(), nullptr);
    EXPECT_TRUE(logHas("sceneSetActive: Disabled Scene Rendering (no active scene)"));
}

TEST_F(SceneTest, LayerBeyondTheMapEndsTheClient) {
    auto scene = activeFlatScene(2, 2, false);
    EXPECT_EXIT(SetVKCellLayer(*scene, 2), ::testing::ExitedWithCode(1),
                "This Map\\(flat.rmap\\) has only 2 Layer's; tried to set up Layer: 2");
}

// --- Camera ---

TEST_F(SceneTest, DraggingWrapsTheAngleAndLockKeepsItInside) {
    auto scene = activeFlatScene(4, 2, false);
    cameraMouseButton(1, 1);
    cameraMouseMove(100, 100);  // rotation starts from the last position seen
    scene->angle = 350.0f;
    cameraMouseMove(120, 100);
    EXPECT_FLOAT_EQ(scene->angle, 10.0f);
    cameraMouseMove(100, 100);
    EXPECT_FLOAT_EQ(scene->angle, 350.0f);
    scene->limits.lockAngle = true;
    scene->limits.angleMin = 30.0f;
    scene->limits.angleMax = 60.0f;
    scene->angle = 40.0f;
    EXPECT_EQ(cameraMouseMove(140, 100), 1);
    EXPECT_FLOAT_EQ(scene->angle, 60.0f);
    cameraMouseButton(1, 0);
    EXPECT_EQ(cameraMouseMove(150, 100), 0);
    EXPECT_FLOAT_EQ(scene->angle, 60.0f);
}

TEST_F(SceneTest, WheelKeepsTheDistanceInsideItsLimits) {
    auto scene = activeFlatScene(4, 2, false);
    scene->distance = scene->limits.distMax;
    cameraWheel(1);
    EXPECT_EQ(scene->distance, 130.0f);
    cameraWheel(-1);
    EXPECT_EQ(scene->distance, 125.0f);
    cameraWheel(-100);
    EXPECT_EQ(scene->distance, 63.0f);
    EXPECT_TRUE(scene->cameraChanged);
}

TEST_F(SceneTest, RecalculationThresholds) {
    auto scene = activeFlatScene(8, 2, false);
    updateCamera(*scene);
    EXPECT_TRUE(scene->recalc);  // the first update always finds the target moved
    Recalc_ViewableCubes(*scene);
    SetVKCellPos(*scene, 2.0f, 1.0f);  // one cell: five units
    updateCamera(*scene);
    EXPECT_TRUE(scene->recalc);
    Recalc_ViewableCubes(*scene);
    scene->distance -= 24.0f;
    updateCamera(*scene);
    EXPECT_FALSE(scene->recalc);
    scene->distance -= 1.0f;
    updateCamera(*scene);
    EXPECT_TRUE(scene->recalc);
    Recalc_ViewableCubes(*scene);
    scene->distance += 20.0f;
    updateCamera(*scene);
    EXPECT_TRUE(scene->recalc);
}

TEST_F(SceneTest, EyeUsesTwiceTheTargetHeight) {
    auto scene = activeFlatScene(4, 2, false);
    SetVKCellLayer(*scene, 1);  // layer 1 lies at height 10
    scene->angle = 0.0f;
    scene->distance = 100.0f;
    scene->vertical = 4.0f;
    updateCamera(*scene);
    EXPECT_EQ(scene->targetHeight, -10.0f);
    EXPECT_FLOAT_EQ(scene->eyeHeight, 0.5f * 100.0f * 2.0f - 20.0f);
    EXPECT_FLOAT_EQ(scene->eyeX, scene->targetX + 100.0f);
    // Below 0 (a map's VertMin may allow it) the factor counts as 0.
    scene->vertical = -2.0f;
    updateCamera(*scene);
    EXPECT_FLOAT_EQ(scene->eyeHeight, -20.0f);
    for (float m : scene->modelView.m) EXPECT_TRUE(std::isfinite(m));
}

// --- Visible set ---

TEST_F(SceneTest, TargetNearTheCornerStartsAtColumnAndRowZero) {
    auto scene = activeFlatScene(10, 2, true);
    for (int n = 0; n < scene->renderCubeCount; ++n) scene->waterFlags.push_back(n % 2);
    updateCamera(*scene);
    Recalc_ViewableCubes(*scene);
    ASSERT_FALSE(scene->cubeStack.empty());
    EXPECT_EQ(scene->cubeStack.front(), 0u);
    for (std::uint32_t n : scene->waterStack) EXPECT_EQ(n % 2, 1u);
    EXPECT_EQ(scene->stats.cubes, static_cast<int>(scene->cubeStack.size()));
}

TEST_F(SceneTest, FullCubeStackEndsTheScanWithOneWarning) {
    auto scene = activeFlatScene(2, 2, false);
    scene->renderCubesWide = scene->renderCubesHigh = 1000;
    scene->renderCubeCount = 1000 * 1000;
    scene->distance = 1e6f;
    Recalc_ViewableCubes(*scene);
    EXPECT_EQ(scene->cubeStack.size(), 10240u);
    EXPECT_EQ(logCount("Out of Space for CubeStack(List) ! (SZ: 10240)"), 1u);
}

TEST_F(SceneTest, DegenerateHeaderGivesAnEmptyScanInsteadOfACrash) {
    auto scene = activeFlatScene(2, 2, false);
    scene->cubeResolution = 0;  // edge 0: NaN and infinite bounds
    Recalc_ViewableCubes(*scene);
    scene->distance = std::nanf("");
    Recalc_ViewableCubes(*scene);
    EXPECT_LE(scene->cubeStack.size(), 4u);
    EXPECT_EQ(saturatingTrunc(std::nanf("")), 0);
    EXPECT_EQ(saturatingTrunc(1e20f), INT_MAX);
    EXPECT_EQ(saturatingTrunc(-1e20f), INT_MIN);
    EXPECT_EQ(saturatingTrunc(-2.7f), -2);
}

TEST_F(SceneTest, EveryVisibleModelIsListedAndUnresolvedOnesAreSkipped) {
    MapSpec s;
    s.cellsWide = s.cellsHigh = 8;
    s.cubesWide = s.cubesHigh = 4;
    s.modelCount = 600;
    Bytes out = header(s);
    for (int i = 0; i < 600; ++i) model(out, 0.0f, 0.0f, 0.0f, 0.0f, 1);
    writeMap("crowd.rmap", out);
    writeText("data/map/Crowd.ini", "[Scene]\nRMap=crowd.rmap\n");
    auto scene = createScene("Crowd");
    ASSERT_TRUE(scene->valid);
    int resolved = 0;
    for (PlacedModel& placed : scene->map->models()) {
        placed.model = (resolved % 3 == 2) ? nullptr : &placed;  // every third one unknown
        placed.faceCount = 2;
        ++resolved;
    }
    scene->distance = 100.0f;
    Recalc_ViewableCubes(*scene);
    EXPECT_EQ(scene->visibleModels.size(), 400u);
    EXPECT_EQ(scene->stats.models, 400);
    EXPECT_EQ(scene->stats.faces, 800u);
}

TEST(ModelVisibility, EdgesMustLieInsideTheViewSquare) {
    // Scale 0: a single point.
    EXPECT_TRUE(modelInViewSquare(5, 5, 0, 0, 0, 10, 0, 10));
    EXPECT_FALSE(modelInViewSquare(11, 5, 0, 0, 0, 10, 0, 10));
    // A rectangle that holds the whole square but has no edge inside it.
    EXPECT_FALSE(modelInViewSquare(5, 5, 10, 10, 0, 10, 0, 10));
    // Edges 15 units out: inside for a square of +-20.
    EXPECT_TRUE(modelInViewSquare(0, 0, 1, 1, -20, 20, -20, 20));
}

// --- Cell cursor and blink ---

TEST_F(SceneTest, PickFindsCellsSkipsEdgesAndHidesBlockedCells) {
    auto scene = activeFlatScene(8, 2, false, [](int x, int y) { return x == 5 && y == 5; });
    // With an identity view and a projection that scales by 1/80, the
    // normalised window point times 80 is the map point: 16 cells of 5 units.
    scene->groundView = matIdentity();
    float projection[16] = {1.0f / 80.0f, 0, 0, 0, 0, 1.0f / 80.0f, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const float w = 2.0f, h = 2.0f;
    auto pick = [&](float mapX, float mapY) {
        scene->cursorChanged = true;
        float nx = mapX / 80.0f, ny = mapY / 80.0f;
        pickCellAt(*scene, (nx + 1.0f) * w / 2.0f, h - (ny + 1.0f) * h / 2.0f, 0.5f, w, h,
                   projection);
    };
    pick(3 * 5.0f + 1.0f, 2 * 5.0f + 1.0f);
    EXPECT_TRUE(scene->cursor.valid);
    EXPECT_EQ(scene->cursor.column, 3);
    EXPECT_EQ(scene->cursor.row, 2);
    EXPECT_FALSE(scene->cursorChanged);
    EXPECT_FLOAT_EQ(scene->cursor.x0, 15.0f);
    EXPECT_FLOAT_EQ(scene->cursor.vertex[2][1], 15.0f);
    EXPECT_FLOAT_EQ(scene->cursor.height[0], -0.1f);

    pick(5 * 5.0f + 1.0f, 5 * 5.0f + 1.0f);  // the blocked cell
    EXPECT_FALSE(scene->cursor.valid);
    EXPECT_TRUE(scene->cursorChanged);
    pick(3 * 5.0f + 1.0f, 2 * 5.0f + 1.0f);
    EXPECT_TRUE(scene->cursor.valid);

    pick(2.0f, 12.0f);  // column 0 never makes a cursor
    EXPECT_EQ(scene->cursor.column, 3);
    EXPECT_TRUE(scene->cursorChanged);
}

TEST_F(SceneTest, ClickMovesTheTargetAndBlinksSixTimes) {
    auto scene = activeFlatScene(8, 2, false);
    cameraMouseButton(0, 1);  // no valid cursor: nothing
    EXPECT_EQ(scene->cellX, 1.0f);
    EXPECT_FALSE(scene->blink.active);
    scene->cursor.valid = true;
    scene->cursor.column = 6;
    scene->cursor.row = 7;
    cameraMouseButton(0, 1);
    EXPECT_EQ(scene->cellX, 6.0f);
    EXPECT_EQ(scene->cellY, 7.0f);
    ASSERT_TRUE(scene->blink.active);
    int colours[6];
    for (int i = 0; i < 6; ++i) {
        blinkEvent(0, scene.get(), 0);
        colours[i] = scene->blink.colourIndex;
    }
    EXPECT_EQ(std::vector<int>(colours, colours + 6), (std::vector<int>{0, 1, 0, 1, 0, 1}));
    EXPECT_FALSE(scene->blink.active);
    EXPECT_EQ(scene->blink.timerEvent, -1);
}

}  // namespace
}  // namespace scene
}  // namespace velmar
