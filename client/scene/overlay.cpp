// The statistics overlay: a translucent background, the FPS line and the
// scene statistics, drawn in 2D mode after the mouse cursor.
#include <cstring>

#include "client/core/frame_stats.h"
#include "client/core/perf_clock.h"
#include "client/gl/gl_ext.h"
#include "client/input/mouse.h"
#include "client/scene/draw.h"

namespace velmar::scene::Draw {

namespace {

void drawBackground(int height) {
    const float w = static_cast<float>(overlayWidth(height));
    const float b = static_cast<float>(height);
    glLoadIdentity();
    glDisable(GL_TEXTURE_2D);
    glColor4f(0.0f, 0.0f, 0.0f, 0.6f);
    frameStats().countDrawCall();
    glBegin(GL_QUADS);
    glVertex2f(0.0f, 0.0f);
    glVertex2f(w, 0.0f);
    glVertex2f(w, b);
    glVertex2f(0.0f, b);
    glEnd();
    glEnable(GL_TEXTURE_2D);
}

void setDrawCallColour(int average) {
    switch (drawCallColour(average)) {
    case DrawCallColour::Red: glColor4f(1.0f, 0.0f, 0.0f, 1.0f); break;
    case DrawCallColour::Orange: glColor4ub(255, 102, 0, 255); break;
    case DrawCallColour::White: break;
    }
}

void drawSceneLines(const rFont& font, float y) {
    OverlayReadings readings;
    readings.mouseX = cursorX();
    readings.mouseY = cursorY();
    readings.tick = PerfClock::isCreated() ? PerfClock::seconds() : 0.0;
    readings.drawCallsPerFrame = frameStats().drawCallsPerFrame();
    SceneLines lines;
    formatSceneLines(sceneStats(), readings, &lines);
    for (int i = 0; i < kSceneLines; ++i) {
        y += static_cast<float>(kOverlayLineStep);
        if (i == kSceneLines - 1) setDrawCallColour(readings.drawCallsPerFrame);
        font.drawText(1.0f, y, lines.text[i], lines.length[i]);
    }
}

}  // namespace

void drawOverlay(const rFont& font, OverlaySwitches switches, bool sceneActive) {
    const int height = overlayHeight(switches, sceneActive);
    if (height <= 0) return;
    drawBackground(height);
    float y = 0.0f;
    if (switches.fpsLine) {
        glColor3f(1.0f, 1.0f, 1.0f);
        const FpsText fps = frameStats().fpsText();
        const std::size_t length = strnlen(fps.text, sizeof fps.text);
        font.drawText(1.0f, 1.0f, fps.text, length);
        y = static_cast<float>(kOverlayFpsHeight);
    }
    if (!switches.sceneStats) return;
    glColor3f(1.0f, 1.0f, 1.0f);
    font.drawText(1.0f, y, "======= SCENE ========", 0);
    if (!sceneActive) {
        font.drawText(1.0f, y + static_cast<float>(kOverlayLineStep), " ~ no Active Scene ~ ", 0);
        return;
    }
    drawSceneLines(font, y);
}

}  // namespace velmar::scene::Draw
