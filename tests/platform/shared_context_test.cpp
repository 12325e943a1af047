// The window layer's hidden shared contexts for worker threads, on a real X
// server (Xvfb with Mesa's software renderer).
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "client/platform/window.h"
#include "tests/platform/window_fixture.h"

namespace {

using namespace velmar;

using SharedContexts = window_test::WindowLayerTest;

TEST_F(SharedContexts, NeedTheMainWindow) {
    bool refused = true;
    EXPECT_EQ(windowCreateSharedContext(&refused), nullptr);
    EXPECT_FALSE(refused);
}

TEST_F(SharedContexts, SeeTheMainContextsTexturesOnAnotherThread) {
    ASSERT_TRUE(windowOpen(64, 48, WindowMode::Windowed));
    bool refused = true;
    SharedContext* context = windowCreateSharedContext(&refused);
    ASSERT_NE(context, nullptr);
    EXPECT_FALSE(refused);
    // Creating it left the main context current here.
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glFinish();
    ASSERT_NE(texture, 0u);

    bool current = false;
    GLboolean known = GL_FALSE;
    std::thread worker([&] {
        current = windowMakeContextCurrent(context);
        if (current) known = glIsTexture(texture);
        EXPECT_TRUE(windowMakeContextCurrent(nullptr));
    });
    worker.join();
    EXPECT_TRUE(current);
    EXPECT_EQ(known, GL_TRUE);
    windowDestroySharedContext(context);
    EXPECT_EQ(glIsTexture(texture), GL_TRUE);  // the main context still works
}

TEST_F(SharedContexts, GoWithTheLayerAndTheirStaleHandleIsIgnored) {
    ASSERT_TRUE(windowOpen(64, 48, WindowMode::Windowed));
    SharedContext* context = windowCreateSharedContext(nullptr);
    ASSERT_NE(context, nullptr);
    windowTerminate();
    // The handle went with the layer: destroying it again must not touch it.
    windowDestroySharedContext(context);
    EXPECT_EQ(windowCreateSharedContext(nullptr), nullptr);  // no layer, no main window
}

}  // namespace
