// The window layer on a real X server (Xvfb with Mesa's software renderer).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "client/core/render_caps.h"
#include "client/gl/gl_ext.h"
#include "client/platform/window.h"
#include "tests/platform/window_fixture.h"

namespace {

using namespace velmar;

using RealWindow = window_test::WindowLayerTest;

TEST_F(RealWindow, QueriesBeforeTheWindowOpensAnswerNotSupported) {
    EXPECT_STREQ(windowGLText(GLText::Version), "");
    EXPECT_FALSE(windowExtensionSupported("GL_ARB_multitexture"));
    EXPECT_EQ(windowProcAddress("glActiveTextureARB"), nullptr);
    EXPECT_FALSE(windowIsAccelerated());
    EXPECT_EQ(windowMaxTextureUnits(), 0);
    EXPECT_EQ(windowGetSize().width, 0);
}

TEST_F(RealWindow, OpensWithTheDerivedSizeAndPassesTheCapabilityCheck) {
    ASSERT_TRUE(windowOpen(1024, 0, WindowMode::Windowed));
    EXPECT_FALSE(windowOpen(640, 480, WindowMode::Windowed));  // one window only
    EXPECT_EQ(windowGetSize().width, 1024);
    EXPECT_EQ(windowGetSize().height, 768);
    const GLVersion version = windowGLVersion();
    EXPECT_TRUE(version.major > 1 || (version.major == 1 && version.minor >= 2))
        << windowGLText(GLText::Version);
    // Xvfb draws on the processor.
    EXPECT_FALSE(windowIsAccelerated()) << windowGLText(GLText::Renderer);
    EXPECT_TRUE(windowExtensionSupported("GL_ARB_texture_compression"));
    EXPECT_FALSE(windowExtensionSupported("GL_ARB"));
    EXPECT_FALSE(windowExtensionSupported("GL_ARB_multitexture "));

    RenderCaps caps;
    GLEntryPoints table;
    const GLDriverQueries driver{windowGLText(GLText::Version), windowExtensionSupported,
                                 windowProcAddress, windowMaxTextureUnits};
    ASSERT_TRUE(GetGLExt(driver, table, caps));
    EXPECT_EQ(caps.multitexture, 1);
    EXPECT_GE(caps.textureUnits, 2);
    ASSERT_NE(table.glActiveTextureARB, nullptr);
    // The entry point really works in this context.
    table.glActiveTextureARB(GL_TEXTURE1_ARB);
    GLint active = 0;
    glGetIntegerv(GL_ACTIVE_TEXTURE_ARB, &active);
    EXPECT_EQ(active, GL_TEXTURE1_ARB);
}

std::vector<int> g_positions;
std::vector<int> g_wheels;

TEST_F(RealWindow, SettingPositionAndWheelHandlersReportTheCurrentState) {
    ASSERT_TRUE(windowOpen(320, 240, WindowMode::Windowed));
    windowSetMousePos(17, 23);
    g_positions.clear();
    g_wheels.clear();
    windowSetMousePosHandler([](int x, int y) {
        g_positions.push_back(x);
        g_positions.push_back(y);
    });
    windowSetMouseWheelHandler([](int position) { g_wheels.push_back(position); });
    EXPECT_EQ(g_positions, (std::vector<int>{17, 23}));
    EXPECT_EQ(g_wheels, (std::vector<int>{0}));
    windowSetMousePosHandler(nullptr);
    windowSetMouseWheelHandler(nullptr);
}

TEST_F(RealWindow, PollAndSwapWithoutAWindowDoNothing) {
    windowPollEvents();
    windowSwapBuffers();
    windowSetTitle("Quask (test)");
    EXPECT_FALSE(windowIsOpen());
}

}  // namespace
