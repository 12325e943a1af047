#include "client/startup.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "client/assets/model.h"
#include "client/assets/texture.h"
#include "client/core/cpu_info.h"
#include "client/core/frame_stats.h"
#include "client/core/log.h"
#include "client/core/os_check.h"
#include "client/core/perf_clock.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/core/runtime.h"
#include "client/core/timer.h"
#include "client/core/version.h"
#include "client/core/vmath.h"
#include "client/gl/gl_ext.h"
#include "client/input/input.h"
#include "client/input/mouse.h"
#include "client/platform/async_worker.h"
#include "client/platform/screenshot/screenshot.h"
#include "client/platform/screenshot/screenshot_gl.h"
#include "client/platform/sound/sound.h"
#include "client/platform/window.h"
#include "client/scene/camera.h"
#include "client/scene/draw.h"
#include "client/scene/prepare.h"
#include "client/scene/scene.h"
#include "client/scene/scene_draw.h"
#include "shared/message_box.h"
#include "shared/message_box_helper.h"
#include "shared/start_handshake.h"

namespace velmar {

namespace {

const char* yesNo(bool flag) { return flag ? "Yes" : "No"; }
const char* trueFalse(bool flag) { return flag ? "True" : "False"; }

// --- Before the window ---

void createClock() {
    if (PerfClock::Create()) return;
    quask::showMessageBox(
        "Your Systems lacks support of Performance Counters.\nPlease contact support.\n",
        "Error", quask::BoxIcon::Error, quask::BoxButtons::Ok);
    exitProcess(0);
}

void openSplashEvent() {
    if (quask::openClientSplashEvent()) return;
    Message(kLogPlain, "Not Started by Launcher / Splash Event not Found.");
    exitProcess(1);
}

void logCpuBlock() {
    const CpuInfo& cpu = cpuInfo();
    Message(kLogPlain, "~ ~ ~ ~ ~ CPU  INFO ~ ~ ~ ~ ~");
    Message(kLogPlain, "Vendor: %s", cpu.vendor);
    Message(kLogPlain, "Model: %s", cpu.brand);
    Message(kLogPlain, "MMX: %s, 3DNOW: %s", yesNo(cpu.mmx), yesNo(cpu.amd3dnow));
    Message(kLogPlain, "SSE: %s, SSE2: %s", yesNo(cpu.sse), yesNo(cpu.sse2));
    Message(kLogPlain, "CMOV: %s, FCMOV: %s", yesNo(cpu.cmov), yesNo(cpu.fcmov));
    Message(kLogPlain, "RDTSC: %s", yesNo(cpu.rdtsc));
    Message(kLogPlain, "~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~ ~");
}

void checkColourDepth(CRConf& conf) {
    const int bpp = conf.GetInt(RCONF_BPP);
    Message(kLogPlain, "RConf->iGetVar(RCONF_BPP): %d", bpp);
    if (bpp == 32) return;
    Message(kLogCrit, "Video: Only 32 Bit's color is supported.");
    exitProcess(1);
}

// --- Window and GL checks ---

void openWindow(CRConf& conf) {
    WindowHints hints;
    hints.resizable = false;
    hints.refreshRate = conf.GetInt(RCONF_REFRESHRATE);
    hints.samples = conf.GetInt(RCONF_MULTISAMPLE);
    windowSetHints(hints);
    RenderCaps& caps = renderCaps();
    const WindowMode mode = conf.GetBool(RCONF_WINDOWMODE) ? WindowMode::Windowed : WindowMode::FullScreen;
    if (!windowOpen(caps.width, caps.height, mode)) {
        windowTerminate();
        quask::showMessageBox("Window Creation Failed.", "Video: Initialization Error",
                              quask::BoxIcon::Error, quask::BoxButtons::Ok);
        Message(kLogInfo, "failed OpenWindow / cannot create Rendering Surface");
        exitProcess(1);
    }
    // Drawing needs the size the window really got: a 0 setting is derived,
    // and a full screen may get a larger video mode than asked for.
    WindowSize size = windowGetSize();
    if (size.width <= 0 || size.height <= 0) size = windowSizeFor(caps.width, caps.height);
    setRenderSize(caps, size.width, size.height);
}

void logVideoBlock() {
    Message(kLogInfo, "OpenWindow: OK ~ Got Rendering Surface");
    Message(kLogPlain, "* * * * * * VIDEO  CARD * * * * * *");
    Message(kLogPlain, "Vendor: %s", windowGLText(GLText::Vendor));
    Message(kLogPlain, "Renderer: %s", windowGLText(GLText::Renderer));
    Message(kLogPlain, "GL Version: %s", windowGLText(GLText::Version));
    Message(kLogPlain, "Video Memory: %0.2f MByte", 0.0);
    Message(kLogPlain, "* * * * * * * * * * * * * * * * * *");
}

void checkAcceleration() {
    if (windowIsAccelerated()) return;
    Message(kLogPlain, "Hardware Accelleration Disabled - (Driver Problem?)");
    const quask::BoxResult answer = quask::showMessageBox(
        "It seems that your Video Hardware is not capable to support Harware Accelerated "
        "Rendering.\n\nPlease check your Driver Settings and / or install the latest Driver for "
        "your Video Card.\n\n\nDo you want to start in Software mode (not guaranteed to work!) ?\n",
        "Video Card Hardware Acceleration Error", quask::BoxIcon::Information,
        quask::BoxButtons::YesNo);
    if (answer == quask::BoxResult::Yes) return;
    Message(kLogInfo, "No HWAccel found - user choiced to abort.");
    exitProcess(1);
}

void checkGLCapabilities() {
    if (!GetGLExt()) {
        Message(kLogInfo, "GL Extension check done / FAILED");
        exitProcess(1);
    }
    Message(kLogInfo, "GL Extension check done / OK");
    if (renderCaps().shaderSupport) {
        Message(kLogInfo, "GL (2.0+) Shader Support: yes");
        Message(kLogInfo, "HW Shader Version: %s", windowGLText(GLText::ShadingLanguage));
    } else {
        Message(kLogInfo, "GL (2.0+) Shader Support: no");
    }
}

void chooseMultisampling(CRConf& conf) {
    RenderCaps& caps = renderCaps();
    caps.multisample = 0;
    if (!windowExtensionSupported("WGL_ARB_multisample") &&
        !windowExtensionSupported("GL_ARB_multisample")) {
        Message(kLogInfo, "Multisampling not Supported");
        return;
    }
    const int samples = conf.GetInt(RCONF_MULTISAMPLE);
    if (samples > 0) {
        Message(kLogInfo, "Multisampling Supported & Enabled @ %d", samples);
        caps.multisample = 1;
    } else {
        Message(kLogInfo, "Multisampling Supported but Disabled");
    }
}

void chooseMultitexturing(CRConf& conf) {
    RenderCaps& caps = renderCaps();
    const bool found = caps.multitexture != 0;
    caps.multitexture = 0;
    if (!found) {
        Message(kLogInfo, "MutliTexturing NOT Supported.\n");
    } else {
        Message(kLogInfo, "MultiTexturing Supported. Avialable Texture Units: %d\n", caps.textureUnits);
        if (caps.textureUnits < 2) {
            Message(kLogInfo, "MultiTexturing DISABLED due to lack of Texture units.\n");
        } else if (!conf.GetBool(RCONF_USEMULTITEXTURE)) {
            Message(kLogInfo, "MultiTexturing DISABLED by Configuration.\n");
        } else {
            Message(kLogInfo, "MultiTexturing Enabled.\n");
            caps.multitexture = 1;
            return;
        }
    }
    caps.textureUnits = 1;
}

void setWindowTitle() {
    char title[64];
    std::snprintf(title, sizeof title, "Quask (%s)", versionText());
    windowSetTitle(title);
}

bool closeHandler() {
    windowRequestExit(1);
    return true;
}

// --- Render settings ---

void chooseTextureDetail(CRConf& conf) {
    static const char* const kNames[] = {"Lowest", "Low", "Normal", "High"};
    int level = conf.GetInt(RCONF_TEXTUREDETAILLEVEL);
    if (level < 0 || level > 3) {
        Message(kLogWarn, "Texture Detail Level Configuration has unknown value; Using 3 (High)");
        level = 3;
    } else {
        Message(kLogInfo, "Texture Detail Level: %s", kNames[level]);
    }
    renderCaps().textureDetail = level;
}

void chooseLighting(CRConf& conf) {
    RenderCaps& caps = renderCaps();
    if (conf.GetBool(RCONF_USELIGHTMAPS)) {
        caps.staticLighting = 1;
        Message(kLogInfo, "Lighting: Static (Lightmaps) Enabled.");
        return;
    }
    caps.staticLighting = 0;
    if (caps.multitexture) {
        Message(kLogInfo, "Multitexture DISABLED - due to disabled Static Lightmaps.");
        caps.multitexture = 0;
        caps.textureUnits = 1;
    }
}

void chooseCellCursorDetection(CRConf& conf) {
    const bool alternate = conf.GetBool(RCONF_ALTERNATEGROUNDCURSORCOLLISION);
    renderCaps().altCellCursor = alternate ? 1 : 0;
    if (alternate) Message(kLogInfo, "Alternate Cell Cursor Detection Enabled.");
}

void logLoadOptions(CRConf& conf) {
    Message(kLogInfo, "Compress Font: %s", trueFalse(conf.GetBool(RCONF_COMPRESSFONT)));
    Message(kLogInfo, "Compile & Optimize model: %s",
            trueFalse(conf.GetBool(RCONF_COMPILEANDOPTIMIZEMODEL)));
}

// --- Main loop ---

void registerFrameStatistics() {
    // Due one second after the clock began, not after this call.
    CTimer::instance()->Add(1000, 1000, -1, frameStatsCallback, &frameStats());
}

[[noreturn]] void mainLoop() {
    FrameStats& stats = frameStats();
    for (;;) {
        stats.countFrame();
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        scene::Draw::DrawFrame();
        windowPollEvents();  // an Escape or a close ends the process once it returns
        if (takeScreenshotRequest()) {
            const RenderCaps& caps = renderCaps();
            requestScreenshot(caps.width, caps.height, readFrameGL);
        }
        windowSwapBuffers();
    }
}

// The scene lives to the end of the process: timer events and the input
// handlers refer to it.
scene::CScene* g_firstScene = nullptr;

bool takeCameraMovement(std::int64_t x, std::int64_t y) {
    auto toInt = [](std::int64_t v) {
        return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
    };
    return scene::cameraMouseMove(toInt(x), toInt(y)) != 0;
}

void createFirstScene() {
    scene::setEnable3DHook(scene::Draw::Enable3D);
    scene::Draw::setSceneDraw(scene::drawActiveScene);
    g_firstScene = scene::createScene(scene::kFirstMapName).release();
    if (!g_firstScene->valid || !scene::PrepareMap(*g_firstScene)) {
        Message(kLogCrit, "CScene: Cannot load the first map '%s'.", scene::kFirstMapName);
        exitProcess(1);
    }
    scene::sceneSetActive(g_firstScene);
    scene::SetVKCellLayer(*g_firstScene, 0);
    scene::SetVKCellPos(*g_firstScene, 153.0f, 185.0f);
    g_firstScene->angle = 85.4f;
    g_firstScene->distance = 185.0f;
    g_firstScene->vertical = 6.0f;
    SceneMouseHooks hooks;
    hooks.takeMovement = takeCameraMovement;
    hooks.zoom = scene::cameraWheel;
    hooks.click = scene::cameraMouseButton;
    setSceneMouseHooks(hooks);
}

}  // namespace

// --- Shutdown ---

void shutdownHandler() {
    scene::Draw::Shutdown();
    windowHide();                 // a screenshot still being written is waited for off screen
    releaseScreenshotSettings();
    CModel::Destroy();
    Sound::Release();
    CTexture::Destroy();
    DeleteCursors();
    AsyncWorker::stop();
    CTimer::Destroy(CTimer::instance());
    CRConf::Destroy();  // rewrites the configuration file when that is due
    CLOG::Destroy();
    PerfClock::Release();
    windowTerminate();
}

// The display went away under the game: what needs no window comes first,
// the rest of the exit follows as far as it gets without one.
void displayLostHandler() {
    releaseScreenshotSettings();  // a screenshot being written is finished
    CRConf::Destroy();
    CLOG::Destroy();
}

// --- Start-up ---

void runClient() {
    // The early checks (clock, log, processor, operating system) end with
    // code 0; the starter and the launcher tell a failed start by the splash
    // event, which is then never signalled.
    ignoreBrokenPipes();
    registerExitHandler(shutdownHandler);             // 2
    quask::installHelperMessageBoxBackend();  // boxes through our GTK helper when installed
    createClock();                                    // 3
    CLOG::Create();                                   // 4
    openSplashEvent();                                // 5
    if (!runCpuCheck()) exitProcess(0);               // 6
    if (!runOsCheck()) exitProcess(0);                // 7
    windowInit();                                     // 8: a failure shows when the window opens
    windowExitOnTerminationSignals();
    windowSetDisplayLostHandler(displayLostHandler);
    CRConf& conf = *CRConf::Create();                 // 9
    Message(kLogInfo, "Pre Startup Checks okay.");    // 10
    selectMathRoutines(cpuInfo().sse != 0);           // 11
    initTrigTables();
    logCpuBlock();                                    // 12
    RenderCaps& caps = renderCaps();                  // 14 (before 13: see below)
    setRenderSize(caps, conf.GetInt(RCONF_WIDTH), conf.GetInt(RCONF_HEIGHT));
    checkColourDepth(conf);                           // 15
    CTimer::Create();                                 // 16
    if (!conf.GetBool(RCONF_WINDOWMODE)) quask::signalClientSplashEvent();  // 17
    openWindow(conf);                                 // 18, 19
    logVideoBlock();                                  // 20
    checkAcceleration();                              // 21
    checkGLCapabilities();                            // 22, 23
    chooseMultisampling(conf);                        // 24
    chooseMultitexturing(conf);                       // 25
    setWindowTitle();                                 // 26
    windowSetCloseHandler(closeHandler);              // 27
    chooseTextureDetail(conf);                        // 28
    chooseLighting(conf);                             // 29
    chooseCellCursorDetection(conf);                  // 30
    windowSetSwapInterval(conf.GetBool(RCONF_VSYNC) ? 1 : 0);  // 31
    logLoadOptions(conf);                             // 32
    installInputHandlers();                           // 33
    scene::Draw::SetRenderState(conf);                // 34 to 37
    AsyncWorker::start();                             // 38
    // 13: threads start with their creator's priority, and an unprivileged
    // process cannot raise one again: the main thread steps down only once
    // the timer's worker and the Task worker (which stays normal) run.
    setThreadPriority(ThreadPriority::Lowest);
    CTexture::Create();                               // 39
    CModel::Create();                                 // 40
    Sound::Create();                                  // 41
    createScreenshotSettings();                       // 42
    scene::Draw::DrawInit();                          // 43
    if (!MouseInit()) {                               // 44
        Message(kLogCrit, "Mouse Subsystem initialization failed.");
        exitProcess(1);
    }
    createFirstScene();                               // 45
    quask::signalClientSplashEvent();                 // 46
    registerFrameStatistics();                        // 47
    Message(kLogInfo, "Entering Main Loop");          // 48
    frameStats().reset();                             // 49
    mainLoop();                                       // 50
}

}  // namespace velmar
