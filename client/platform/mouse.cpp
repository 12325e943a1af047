#include "client/platform/mouse.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "client/assets/tga.h"
#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/core/runtime.h"
#include "client/platform/cursor/cursor_math.h"
#include "client/platform/gl_ext.h"
#include "client/platform/gui/gui.h"
#include "client/platform/window.h"

namespace velmar {

namespace {

struct CursorImage {
    GLuint texture = 0;
    float width = 0.0f, height = 0.0f;
};

const char* const kCursorFiles[] = {"data/cursor/standard.tga", "data/cursor/button.tga",
                                    "data/cursor/cam.tga"};

CursorImage g_images[3];
int g_type = kCursorNone;
SoftCursor g_cursor;
int g_lastWheel = 0;
SceneMouseHooks g_scene;

bool loadImage(int type) {
    const char* path = kCursorFiles[type - 1];
    std::uint32_t w = 0, h = 0;
    std::uint8_t* pixels = tex_LoadTGAFile(path, &w, &h);
    if (!pixels) {
        Message(kLogInfo, "MouseInit: failed to load '%s' cursor texture.", path);
        return false;
    }
    Message(kLogPlain, "%u: %u %u", static_cast<unsigned>(type), w, h);
    CursorImage& image = g_images[type - 1];
    glGenTextures(1, &image.texture);
    glBindTexture(GL_TEXTURE_2D, image.texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, static_cast<GLsizei>(w), static_cast<GLsizei>(h), 0,
                 GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    release(pixels);
    image.width = static_cast<float>(w);
    image.height = static_cast<float>(h);
    return true;
}

void speedChanged(int) {
    if (CRConf* conf = CRConf::instance()) g_cursor.setSpeed(conf->GetFloat(RCONF_MOUSESPEED));
}

CursorBounds windowBounds() {
    CursorBounds b;
    b.width = renderCaps().width;
    b.height = renderCaps().height;
    // The window layer places the system cursor in window coordinates.
    b.left = 0;
    b.top = 0;
    if (CRConf* conf = CRConf::instance())
        b.mayRelease = conf->GetBool(RCONF_WINDOWMODE) && !conf->GetBool(RCONF_MOUSELOCKEDINWINDOW);
    return b;
}

}  // namespace

bool MouseInit() {
    for (int type = kCursorStandard; type <= kCursorCamera; ++type)
        if (!loadImage(type)) return false;
    g_type = kCursorStandard;
    // Centred. The raw baseline is the position the window reported when
    // the handlers were installed, so the first real movement counts.
    g_cursor.setPosition(renderCaps().width >> 1, renderCaps().height >> 1);
    g_cursor.setCaptured(true);
    speedChanged(RCONF_MOUSESPEED);
    if (CRConf* conf = CRConf::instance()) conf->AddObserver(RCONF_MOUSESPEED, speedChanged);
    return true;
}

void DrawCursor() {
    if (g_type == kCursorNone || !g_images[g_type - 1].texture) return;
    const CursorImage& image = g_images[g_type - 1];
    glPushMatrix();
    glTranslatef(g_cursor.drawX(), g_cursor.drawY(), 0.0f);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    glBindTexture(GL_TEXTURE_2D, image.texture);
    // The image's top-left corner is the hot spot.
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(0.0f, 0.0f);
    glTexCoord2f(1.0f, 0.0f);
    glVertex2f(image.width, 0.0f);
    glTexCoord2f(1.0f, 1.0f);
    glVertex2f(image.width, image.height);
    glTexCoord2f(0.0f, 1.0f);
    glVertex2f(0.0f, image.height);
    glEnd();
    glPopMatrix();
}

void DeleteCursors() {
    for (CursorImage& image : g_images) {
        if (image.texture) glDeleteTextures(1, &image.texture);
        image = CursorImage{};
    }
    g_type = kCursorNone;
}

void setCursorType(int type) { g_type = type; }
int cursorType() { return g_type; }
int cursorX() { return g_cursor.x(); }
int cursorY() { return g_cursor.y(); }

// --- Handlers ---

void mousePosHandler(int x, int y) {
    if (!g_cursor.captured()) {
        // Free since a release: only a real way back in takes the mouse,
        // not the pointer's warp back on unlocking.
        if (!g_cursor.mayCapture(x, y, windowBounds())) return;
        int wx = 0, wy = 0;
        windowGetMousePos(&wx, &wy);
        g_cursor.capture(wx, wy);
        windowSetMouseLock(true);
    }
    const CursorMove move = g_cursor.track(x, y, windowBounds());
    if (!move.moved) return;
    if (move.release) {
        windowSetMouseLock(false);
        windowSetMousePos(move.systemX, move.systemY);
    }
    // The GUI sees the cursor where it stood before this movement.
    InjectMousePosition(static_cast<float>(move.guiX), static_cast<float>(move.guiY));
    if (g_scene.takeMovement && g_scene.takeMovement(move.ix, move.iy)) return;
    g_cursor.accept(move);
}

void mouseEnterHandler(bool entered) {
    if (!entered) g_cursor.pointerLeft();
}

void mouseWheelHandler(int position) {
    // Saturated: a wheel turned without end must not overflow the difference.
    const std::int64_t change = std::int64_t{g_lastWheel} - position;
    const int delta = static_cast<int>(std::clamp<std::int64_t>(
        change, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    g_lastWheel = position;
    if (InjectMouseWheelChange(static_cast<float>(delta))) return;
    if (g_scene.zoom) g_scene.zoom(delta);
}

void mouseButtonHandler(int button, int action) {
    if (InjectMouseButton(guiButtonFor(button), action == kActionPress)) return;
    if (g_scene.click) g_scene.click(button, action);
}

void setSceneMouseHooks(const SceneMouseHooks& hooks) { g_scene = hooks; }

int guiButtonFor(int layerButton) {
    // The first five buttons share their numbers; the GUI knows no others.
    return layerButton >= 0 && layerButton <= kGuiButtonExtra2 ? layerButton : kGuiButtonNone;
}

}  // namespace velmar
