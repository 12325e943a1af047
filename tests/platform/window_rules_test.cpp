// The window layer's rules that need no display, and its deferred exit.
#include "client/platform/window.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "client/platform/window_dispatch.h"

namespace {

using velmar::extensionListed;

TEST(WindowSize, MissingSidesAreDerivedAtFourToThree) {
    EXPECT_EQ(velmar::windowSizeFor(1024, 0).width, 1024);
    EXPECT_EQ(velmar::windowSizeFor(1024, 0).height, 768);
    EXPECT_EQ(velmar::windowSizeFor(-5, 600).width, 800);
    EXPECT_EQ(velmar::windowSizeFor(-5, 600).height, 600);
    EXPECT_EQ(velmar::windowSizeFor(0, 0).width, 800);
    EXPECT_EQ(velmar::windowSizeFor(0, -1).height, 600);
    EXPECT_EQ(velmar::windowSizeFor(1280, 1024).height, 1024);
    // Derivations of huge settings neither overflow nor go negative.
    EXPECT_EQ(velmar::windowSizeFor(2147483647, 0).height, 1610612735);
    EXPECT_EQ(velmar::windowSizeFor(0, 2147483647).width, 2147483647);
}

TEST(GLVersionText, ReadsMajorMinorRevisionUpToTheVendorText) {
    const velmar::GLVersion v = velmar::parseGLVersion("2.1.2 NVIDIA 260.19");
    EXPECT_EQ(v.major, 2);
    EXPECT_EQ(v.minor, 1);
    EXPECT_EQ(v.revision, 2);
    const velmar::GLVersion mesa = velmar::parseGLVersion("4.5 (Compatibility Profile) Mesa 22.3.6");
    EXPECT_EQ(mesa.major, 4);
    EXPECT_EQ(mesa.minor, 5);
    EXPECT_EQ(mesa.revision, 0);
    EXPECT_EQ(velmar::parseGLVersion(nullptr).major, 0);
    EXPECT_EQ(velmar::parseGLVersion("").major, 0);
    // Endless digits do not overflow.
    EXPECT_GT(velmar::parseGLVersion("99999999999999999999.1").major, 0);
}

TEST(ExtensionList, OnlyWholeBlankSeparatedWordsMatch) {
    const char* list = "GL_ARB_multitexture GL_ARB_texture_compression_rgtc GL_EXT_abgr";
    EXPECT_TRUE(extensionListed(list, "GL_ARB_multitexture"));
    EXPECT_TRUE(extensionListed(list, "GL_EXT_abgr"));
    EXPECT_FALSE(extensionListed(list, "GL_ARB"));                       // a prefix
    EXPECT_FALSE(extensionListed(list, "GL_ARB_texture_compression"));   // a longer name
    EXPECT_FALSE(extensionListed(list, "ARB_multitexture"));             // a suffix
    EXPECT_FALSE(extensionListed(list, "GL_ARB_multitexture "));         // with a blank
    EXPECT_FALSE(extensionListed(list, ""));
    EXPECT_FALSE(extensionListed(nullptr, "GL_EXT_abgr"));
    // A later whole occurrence counts after an earlier partial one.
    EXPECT_TRUE(extensionListed("GL_ARB_texture_compression_rgtc GL_ARB_texture_compression",
                                "GL_ARB_texture_compression"));
}

TEST(SoftwareRenderer, MesaAndGenericSoftwareNamesAreNotAccelerated) {
    EXPECT_TRUE(velmar::isSoftwareRenderer("llvmpipe (LLVM 15.0.6, 256 bits)"));
    EXPECT_TRUE(velmar::isSoftwareRenderer("Gallium 0.4 on softpipe"));
    EXPECT_TRUE(velmar::isSoftwareRenderer("Mesa swrast"));
    EXPECT_TRUE(velmar::isSoftwareRenderer("Mesa DRI Intel(R) Software Rasterizer"));
    EXPECT_FALSE(velmar::isSoftwareRenderer("NVIDIA GeForce GTX 1080/PCIe/SSE2"));
    EXPECT_FALSE(velmar::isSoftwareRenderer(nullptr));
}

TEST(DeferredExitDeathTest, ExitAskedInsideAHandlerWaitsForTheDispatchToEnd) {
    EXPECT_EXIT(
        {
            velmar::beginEventDispatch();
            velmar::windowRequestExit(0);
            std::fprintf(stderr, "rest of the dispatch ran\n");
            velmar::windowRequestExit(5);  // the first code wins
            velmar::endEventDispatch();
            std::fprintf(stderr, "after the dispatch\n");
            std::fflush(stderr);
            std::_Exit(9);
        },
        ::testing::ExitedWithCode(0), "rest of the dispatch ran\n$");
}

TEST(DeferredExitDeathTest, ExitOutsideTheDispatchOrFromAnotherThreadIsAtOnce) {
    EXPECT_EXIT(
        {
            velmar::windowRequestExit(4);
            std::_Exit(9);
        },
        ::testing::ExitedWithCode(4), "");
    EXPECT_EXIT(
        {
            velmar::beginEventDispatch();
            std::thread other([] { velmar::windowRequestExit(6); });
            other.join();
            std::_Exit(9);
        },
        ::testing::ExitedWithCode(6), "");
}

}  // namespace
