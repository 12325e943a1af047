// The library's OpenGL headers bring GLEW, which must come before any other
// GL header.
#include <CEGUI/CEGUI.h>
#include <CEGUI/RendererModules/OpenGL/GLRenderer.h>

#include "client/platform/gui/gui.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <exception>
#include <string>

#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "shared/replacing_file.h"

namespace velmar {

namespace {

struct GuiState {
    CEGUI::OpenGLRenderer* renderer = nullptr;
    CEGUI::System* system = nullptr;
    CEGUI::Window* root = nullptr;
    std::uint8_t ready = 0;
    bool warned = false;
};

GuiState g_gui;

// Resource groups in the order they are set; each lives in the theme's
// directory of the same name.
constexpr const char* kThemeGroups[] = {"schemes", "imagesets", "fonts", "layouts",
                                        "looknfeels"};

std::string themeDirectory(const char* leaf) {
    const char* theme = "default";
    if (CRConf* conf = CRConf::instance()) theme = conf->GetString(RCONF_GUITHEME);
    return std::string("./gui/") + theme + "/" + leaf + "/";
}

// Library failures after start-up cost the event, not the client; the first
// is worth a line, a failure repeated every frame is not.
void warnOnce(const char* call, const char* what) {
    if (g_gui.warned) return;
    g_gui.warned = true;
    Message(kLogWarn, "GUI: %s failed: %s", call, what);
}

template <typename Call>
bool guarded(const char* name, Call call) {
    if (!g_gui.ready) return false;
    try {
        return call(*g_gui.system);
    } catch (const std::exception& e) {
        warnOnce(name, e.what());
    } catch (...) {
        warnOnce(name, "unknown error");
    }
    return false;
}

void destroyAll() {
    g_gui.ready = 0;
    g_gui.root = nullptr;
    try {
        if (g_gui.system) CEGUI::System::destroy();
        // A system that fails half-way made its logger and never frees it;
        // left alive it would keep every later system from opening its log.
        if (!g_gui.system && CEGUI::Logger::getSingletonPtr())
            CEGUI_DELETE_AO CEGUI::Logger::getSingletonPtr();
        if (g_gui.renderer) CEGUI::OpenGLRenderer::destroy(*g_gui.renderer);
    } catch (...) {
        // Nothing sensible is left to do with a library that fails to end.
    }
    g_gui.system = nullptr;
    g_gui.renderer = nullptr;
}

void createAll() {
    // The library's own log records its exceptions; ours gets one line.
    CEGUI::Exception::setStdErrEnabled(false);
    g_gui.renderer = &CEGUI::OpenGLRenderer::create(CEGUI::OpenGLRenderer::TTT_AUTO);
    const RenderCaps& caps = renderCaps();
    g_gui.renderer->setDisplaySize(CEGUI::Sizef(caps.widthF, caps.heightF));
    // The library truncates its log by name, which would cut into the log a
    // second client of the game directory is still writing. It writes a new
    // file of its own instead, which then takes the name over (as the
    // client's own log does); the other one keeps writing to the file it has.
    const std::string logFile = "./log/CEGUI.log";
    quask::removeAbandonedTemporariesBeside(logFile);  // a client killed in between
    const std::string ownLog = "./log/" + quask::ownTemporaryName("gui-log");
    // The library gives up when it cannot open its log, and with it the
    // whole GUI: a log folder the player may not write to (the game's own
    // log is then kept in place) costs the GUI its log only.
    std::string libraryLog = ownLog;
    if (std::FILE* probe = std::fopen(ownLog.c_str(), "w")) {
        std::fclose(probe);
    } else {
        Message(kLogWarn, "GUI: cannot write its log '%s' (%s) - it logs nothing this run", logFile.c_str(),
                std::strerror(errno));
        libraryLog = "/dev/null";
    }
    const auto nameLog = [&] {
        if (libraryLog == ownLog && std::rename(ownLog.c_str(), logFile.c_str()) != 0) std::remove(ownLog.c_str());
    };
    try {
        g_gui.system = &CEGUI::System::create(*g_gui.renderer, nullptr, nullptr, nullptr, nullptr, "", libraryLog);
    } catch (...) {
        nameLog();  // what the library logged of its failure
        throw;
    }
    nameLog();

    auto* provider =
        dynamic_cast<CEGUI::DefaultResourceProvider*>(g_gui.system->getResourceProvider());
    if (!provider)
        CEGUI_THROW(CEGUI::InvalidRequestException("no default resource provider"));
    // GuiTheme is read anew for each group.
    for (const char* group : kThemeGroups)
        provider->setResourceGroupDirectory(group, themeDirectory(group));

    CEGUI::ImageManager::setImagesetDefaultResourceGroup("imagesets");
    CEGUI::Font::setDefaultResourceGroup("fonts");
    CEGUI::Scheme::setDefaultResourceGroup("schemes");
    CEGUI::WidgetLookManager::setDefaultResourceGroup("looknfeels");
    CEGUI::WindowManager::setDefaultResourceGroup("layouts");

    g_gui.root = CEGUI::WindowManager::getSingleton().createWindow("DefaultWindow", "root");
    // The root spans the whole window: where no widget lies, the mouse
    // belongs to the scene, also once content makes the root the sheet.
    g_gui.root->setMousePassThroughEnabled(true);
}

// --- GL state around drawing ---

const GLenum kMatrixModes[] = {GL_PROJECTION, GL_MODELVIEW, GL_TEXTURE};

// Drawing from a colour array leaves the current colour undefined, and some
// drivers let that win over the attribute stack: it is kept by hand.
GLfloat g_callerColour[4];

// The texture matrix is a stack per unit: it is kept and given back on unit
// 0, the one the GUI draws with, whichever unit the caller left active.
void selectFirstUnit() {
    if (glActiveTexture) glActiveTexture(GL_TEXTURE0);
}

void saveGLState() {
    glGetFloatv(GL_CURRENT_COLOR, g_callerColour);
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);
    selectFirstUnit();
    for (GLenum mode : kMatrixModes) {
        glMatrixMode(mode);
        glPushMatrix();
    }
}

void restoreGLState() {
    selectFirstUnit();
    for (GLenum mode : kMatrixModes) {
        glMatrixMode(mode);
        glPopMatrix();
    }
    glPopClientAttrib();
    glPopAttrib();  // also gives back the caller's matrix mode and unit
    glColor4fv(g_callerColour);
}

// The renderer leaves fixed-function state alone: lit, fogged or culled
// drawing turns the GUI black or makes it vanish, GL_REPLACE drops vertex
// colours, a second texture unit left on by the scene would tint it, and a
// texture matrix would move its pictures.
void setNeutralGLState() {
    if (glActiveTexture) {
        GLint units = 1;
        glGetIntegerv(GL_MAX_TEXTURE_UNITS, &units);
        for (GLint unit = units - 1; unit > 0; --unit) {
            glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(unit));
            glDisable(GL_TEXTURE_2D);
        }
        glActiveTexture(GL_TEXTURE0);
        if (glClientActiveTexture) glClientActiveTexture(GL_TEXTURE0);
    }
    glDisable(GL_LIGHTING);
    glDisable(GL_FOG);
    glDisable(GL_ALPHA_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_TEXTURE_GEN_S);
    glDisable(GL_TEXTURE_GEN_T);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    // The renderer sets up projection and modelview itself, never the
    // texture matrix: a caller's would turn or shift every GUI picture.
    glMatrixMode(GL_TEXTURE);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
}

CEGUI::MouseButton libraryButton(int button) {
    switch (button) {
        case kGuiButtonLeft: return CEGUI::LeftButton;
        case kGuiButtonRight: return CEGUI::RightButton;
        case kGuiButtonMiddle: return CEGUI::MiddleButton;
        case kGuiButtonExtra1: return CEGUI::X1Button;
        case kGuiButtonExtra2: return CEGUI::X2Button;
        default: return CEGUI::NoButton;
    }
}

}  // namespace

// --- Bridge ---

bool InitGUI() {
    if (g_gui.ready) return true;
    try {
        createAll();
    } catch (const std::exception& e) {
        Message(kLogWarn, "GUI: %s", e.what());
        destroyAll();
        return false;
    } catch (...) {
        destroyAll();
        return false;
    }
    g_gui.warned = false;
    g_gui.ready = 1;
    return true;
}

void RenderGUI() {
    if (!g_gui.ready) return;
    saveGLState();
    setNeutralGLState();
    guarded("RenderGUI", [](CEGUI::System& system) {
        system.renderAllGUIContexts();
        return true;
    });
    restoreGLState();
}

bool InjectMousePosition(float x, float y) {
    return guarded("InjectMousePosition", [x, y](CEGUI::System& system) {
        return system.getDefaultGUIContext().injectMousePosition(x, y);
    });
}

bool InjectMouseWheelChange(float delta) {
    return guarded("InjectMouseWheelChange", [delta](CEGUI::System& system) {
        return system.getDefaultGUIContext().injectMouseWheelChange(delta);
    });
}

bool InjectMouseButton(int button, bool pressed) {
    const CEGUI::MouseButton which = libraryButton(button);
    return guarded("InjectMouseButton", [which, pressed](CEGUI::System& system) {
        CEGUI::GUIContext& context = system.getDefaultGUIContext();
        return pressed ? context.injectMouseButtonDown(which)
                       : context.injectMouseButtonUp(which);
    });
}

void ShutdownGUI() { destroyAll(); }

bool guiReady() { return g_gui.ready != 0; }

CEGUI::Window* guiRootWindow() { return g_gui.ready ? g_gui.root : nullptr; }

}  // namespace velmar
