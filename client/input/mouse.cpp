#include "client/input/mouse.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "client/assets/tga.h"
#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/core/runtime.h"
#include "client/gl/gl_ext.h"
#include "client/input/cursor_math.h"
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

// Process-wide state of the software cursor; main thread only.
struct CursorState {
    CursorImage images[3];
    int type = kCursorNone;
    SoftCursor cursor;
    int lastWheel = 0;
    SceneMouseHooks scene;
};

CursorState& cursorState() {
    static CursorState state;
    return state;
}

bool loadImage(int type) {
    const char* path = kCursorFiles[type - 1];
    std::uint32_t w = 0, h = 0;
    std::uint8_t* pixels = tex_LoadTGAFile(path, &w, &h);
    if (!pixels) {
        Message(kLogInfo, "MouseInit: failed to load '%s' cursor texture.", path);
        return false;
    }
    Message(kLogPlain, "%u: %u %u", static_cast<unsigned>(type), w, h);
    CursorImage& image = cursorState().images[type - 1];
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
    if (CRConf* conf = CRConf::instance()) cursorState().cursor.setSpeed(conf->GetFloat(RCONF_MOUSESPEED));
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
    CursorState& s = cursorState();
    s.type = kCursorStandard;
    // Centred. The raw baseline is the position the window reported when
    // the handlers were installed, so the first real movement counts.
    s.cursor.setPosition(renderCaps().width >> 1, renderCaps().height >> 1);
    s.cursor.setCaptured(true);
    speedChanged(RCONF_MOUSESPEED);
    if (CRConf* conf = CRConf::instance()) conf->AddObserver(RCONF_MOUSESPEED, speedChanged);
    return true;
}

void DrawCursor() {
    const CursorState& s = cursorState();
    if (s.type == kCursorNone || !s.images[s.type - 1].texture) return;
    const CursorImage& image = s.images[s.type - 1];
    glPushMatrix();
    glTranslatef(s.cursor.drawX(), s.cursor.drawY(), 0.0f);
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
    CursorState& s = cursorState();
    for (CursorImage& image : s.images) {
        if (image.texture) glDeleteTextures(1, &image.texture);
        image = CursorImage{};
    }
    s.type = kCursorNone;
}

void setCursorType(int type) { cursorState().type = type; }
int cursorType() { return cursorState().type; }
int cursorX() { return cursorState().cursor.x(); }
int cursorY() { return cursorState().cursor.y(); }

// --- Handlers ---

void mousePosHandler(int x, int y) {
    CursorState& s = cursorState();
    if (!s.cursor.captured()) {
        // Free since a release: only a real way back in takes the mouse,
        // not the pointer's warp back on unlocking.
        if (!s.cursor.mayCapture(x, y, windowBounds())) return;
        int wx = 0, wy = 0;
        windowGetMousePos(&wx, &wy);
        s.cursor.capture(wx, wy);
        windowSetMouseLock(true);
    }
    const CursorMove move = s.cursor.track(x, y, windowBounds());
    if (!move.moved) return;
    if (move.release) {
        windowSetMouseLock(false);
        windowSetMousePos(move.systemX, move.systemY);
    }
    // The GUI sees the cursor where it stood before this movement.
    InjectMousePosition(static_cast<float>(move.guiX), static_cast<float>(move.guiY));
    if (s.scene.takeMovement && s.scene.takeMovement(move.ix, move.iy)) return;
    s.cursor.accept(move);
}

void mouseEnterHandler(bool entered) {
    if (!entered) cursorState().cursor.pointerLeft();
}

void mouseWheelHandler(int position) {
    CursorState& s = cursorState();
    // Saturated: a wheel turned without end must not overflow the difference.
    const std::int64_t change = std::int64_t{s.lastWheel} - position;
    const int delta = static_cast<int>(std::clamp<std::int64_t>(
        change, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    s.lastWheel = position;
    if (InjectMouseWheelChange(static_cast<float>(delta))) return;
    if (s.scene.zoom) s.scene.zoom(delta);
}

void mouseButtonHandler(int button, int action) {
    if (InjectMouseButton(guiButtonFor(button), action == kActionPress)) return;
    const SceneMouseHooks& scene = cursorState().scene;
    if (scene.click) scene.click(button, action);
}

void setSceneMouseHooks(const SceneMouseHooks& hooks) { cursorState().scene = hooks; }

int guiButtonFor(int layerButton) {
    // The first five buttons share their numbers; the GUI knows no others.
    return layerButton >= 0 && layerButton <= kGuiButtonExtra2 ? layerButton : kGuiButtonNone;
}

}  // namespace velmar
