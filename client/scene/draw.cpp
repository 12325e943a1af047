#include "client/scene/draw.h"

#include <cstring>
#include <new>

#include "client/assets/texture.h"
#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/core/runtime.h"
#include "client/gl/gl_ext.h"
#include "client/input/mouse.h"
#include "client/platform/gui/gui.h"

namespace velmar::scene::Draw {

namespace {

constexpr char kRegularFontPath[] = "data/fonts/default_10.dat";
constexpr char kBoldFontPath[] = "data/fonts/default_B_10.dat";

// Process-wide state of the front end; main thread only.
struct FrontEnd {
    bool initialised = false;
    bool mode3D = false;
    GLuint list3D = 0;
    GLuint list2D = 0;
    float* projection3D = nullptr;  // kept for picking
    rFont* regular = nullptr;
    rFont* bold = nullptr;
    OverlaySwitches switches;
    SceneDrawHook sceneDraw = nullptr;
};

FrontEnd& frontEnd() {
    static FrontEnd state;
    return state;
}

rFont* createFont(const char* path) { return new (allocate(sizeof(rFont))) rFont(path); }

void destroyFont(rFont*& font) {
    if (font == nullptr) return;
    font->~rFont();
    release(font);
    font = nullptr;
}

void checkDefaultTexture() {
    CTexture* textures = CTexture::instance();
    if (textures != nullptr && textures->Get(0, nullptr, nullptr, 0) == 1) return;
    Message(kLogCrit, "DrawInit => SysDefault Texture has not GFX-TEX-ID 1 - Fatal.");
    exitProcess(1);
}

void compileProjectionLists(FrontEnd& s) {
    const RenderCaps& caps = renderCaps();
    const Matrix16 perspective = projection3D(caps.widthF, caps.heightF);
    s.projection3D = static_cast<float*>(allocate(sizeof perspective));
    std::memcpy(s.projection3D, perspective.data(), sizeof perspective);
    s.list3D = glGenLists(1);
    glNewList(s.list3D, GL_COMPILE);
    Multisampling(true);
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixf(perspective.data());
    glMatrixMode(GL_MODELVIEW);
    glEndList();

    const Matrix16 pixels = projection2D(caps.widthF, caps.heightF);
    s.list2D = glGenLists(1);
    glNewList(s.list2D, GL_COMPILE);
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixf(pixels.data());
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    Multisampling(false);
    glEndList();
}

OverlaySwitches readOverlaySwitches() {
    OverlaySwitches switches;
    if (CRConf* conf = CRConf::instance()) {
        switches.fpsLine = conf->GetBool(RCONF_STAT_FPS);
        switches.sceneStats = conf->GetBool(RCONF_STAT_SCENE);
    }
    return switches;
}

// --- Fixed render state ---

void setFixedRenderState() {
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClearDepth(1.0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glShadeModel(GL_SMOOTH);
    glDisable(GL_COLOR_LOGIC_OP);
    glDisable(GL_STENCIL_TEST);
    glDisable(GL_DITHER);
    glDisable(GL_TEXTURE_1D);
    glEnable(GL_TEXTURE_2D);
}

void setSmoothing(CRConf& conf) {
    const auto apply = [](GLenum cap, bool on) { on ? glEnable(cap) : glDisable(cap); };
    apply(GL_POINT_SMOOTH, conf.GetBool(RCONF_GL_SMOOTH_POINT));
    apply(GL_LINE_SMOOTH, conf.GetBool(RCONF_GL_SMOOTH_LINE));
    apply(GL_POLYGON_SMOOTH, conf.GetBool(RCONF_GL_SMOOTH_POLYGON));
}

void setQualityHints() {
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    glHint(GL_POINT_SMOOTH_HINT, GL_NICEST);
    glHint(GL_LINE_SMOOTH_HINT, GL_NICEST);
    glHint(GL_POLYGON_SMOOTH_HINT, GL_NICEST);
    glHint(GL_TEXTURE_COMPRESSION_HINT_ARB, GL_NICEST);
}

void setBlending() {
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glAlphaFunc(GL_GREATER, 0.9f);  // the test itself stays off
    glDisable(GL_NORMALIZE);
}

}  // namespace

// --- Life cycle ---

void SetRenderState(CRConf& conf) {
    setFixedRenderState();
    setSmoothing(conf);
    setQualityHints();
    setBlending();
}

void DrawInit() {
    FrontEnd& s = frontEnd();
    checkDefaultTexture();
    // Marked at once: a later fatal step still gives the texture reference
    // back through Shutdown in the exit handler.
    s.initialised = true;
    s.regular = createFont(kRegularFontPath);
    s.bold = createFont(kBoldFontPath);
    if (!InitGUI()) {
        Message(kLogCrit, "Failed to Initialize the UI Subsystem!");
        exitProcess(1);
    }
    compileProjectionLists(s);
    s.mode3D = false;
    glCallList(s.list2D);
    s.switches = readOverlaySwitches();
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    Message(kLogInfo, "Draw::DrawInit => Done, Enabled 2D Only Mode!");
}

void Shutdown() {
    FrontEnd& s = frontEnd();
    if (!s.initialised) return;
    // The GUI is left to the process's end: the exit path may run on any
    // thread, and the library's teardown needs the main thread's GL context.
    destroyFont(s.regular);
    destroyFont(s.bold);
    if (s.list2D != 0) glDeleteLists(s.list2D, 1);
    if (s.list3D != 0) glDeleteLists(s.list3D, 1);
    release(s.projection3D);
    if (CTexture* textures = CTexture::instance()) textures->Free(1);
    // The scene draw hook is the scene's to set and clear.
    const SceneDrawHook hook = s.sceneDraw;
    s = FrontEnd{};
    s.sceneDraw = hook;
}

// --- Modes ---

void Enable3D(bool on) {
    FrontEnd& s = frontEnd();
    if (on) {
        s.mode3D = true;
        Message(kLogInfo, "Draw::Enable3D => Enabled 3D Rendering!");
        return;
    }
    if (!s.mode3D) return;
    s.mode3D = false;
    glCallList(s.list2D);
    Message(kLogInfo, "Draw::Enable3D => Disabled 3D Rendering, set static 2D mode!");
}

bool is3D() { return frontEnd().mode3D; }

void Multisampling(bool on) {
    if (!renderCaps().multisample) return;
    if (on) {
        glEnable(GL_MULTISAMPLE);
    } else {
        glDisable(GL_MULTISAMPLE);
    }
}

const float* projection3DCopy() { return frontEnd().projection3D; }

void setSceneDraw(SceneDrawHook hook) { frontEnd().sceneDraw = hook; }

// --- Frame ---

void DrawFrame() {
    FrontEnd& s = frontEnd();
    if (!s.initialised) return;
    if (s.mode3D) {
        glCallList(s.list3D);
        if (s.sceneDraw != nullptr) s.sceneDraw();
        glCallList(s.list2D);
    }
    RenderGUI();
    DrawCursor();
    drawOverlay(*s.bold, s.switches, s.mode3D);
}

}  // namespace velmar::scene::Draw
