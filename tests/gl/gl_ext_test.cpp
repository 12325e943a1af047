// The GL driver's text rules, and the capability check against scripted
// drivers: what is required, what is optional, and that addresses are trusted
// only for names the driver reports.
#include "client/gl/gl_ext.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "client/core/log.h"
#include "client/gl/gl_text.h"
#include "tests/support/child_process.h"
#include "tests/support/logged_test.h"

namespace {

using velmar::extensionListed;
using velmar::GLEntryPoints;
using velmar::RenderCaps;

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

// Like GLX, the scripted driver hands out an address for any name unless the
// test makes it missing.
struct ScriptedDriver {
    std::string extensions;
    std::set<std::string> missing;
    std::vector<std::string> asked;
    int units = 8;
};
ScriptedDriver g_driver;
int g_anyFunction;

bool scriptedExtension(const char* name) { return velmar::extensionListed(g_driver.extensions.c_str(), name); }
void* scriptedAddress(const char* name) {
    g_driver.asked.push_back(name);
    return g_driver.missing.count(name) ? nullptr : &g_anyFunction;
}
int scriptedUnits() { return g_driver.units; }

constexpr char kFullExtensions[] =
    "GL_ARB_multitexture GL_ARB_texture_compression GL_ARB_shader_objects GL_ARB_multisample";

class GetGLExtTest : public quask_test::LoggedTest {
protected:
    void SetUp() override {
        g_driver = ScriptedDriver{};
        g_driver.extensions = kFullExtensions;
        LoggedTest::SetUp();
    }
    // Runs the check; `box` gets what the box wrote to standard error.
    bool check(const char* version, std::string* box = nullptr) {
        m_caps = RenderCaps{};
        m_caps.multitexture = 1;  // stale values the check must overwrite
        m_caps.shaderSupport = 1;
        const velmar::GLDriverQueries driver{version, scriptedExtension, scriptedAddress, scriptedUnits};
        ::testing::internal::CaptureStderr();
        const bool ok = velmar::GetGLExt(driver, m_table, m_caps);
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (box) *box = err;
        return ok;
    }
    int countInLog(const std::string& text) const {
        const std::string log = logText();
        int n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }

    GLEntryPoints m_table;
    RenderCaps m_caps;
};

TEST_F(GetGLExtTest, VersionsBelowOnePointTwoFailWithTheOpenGLBox) {
    for (const char* version : {"1.1.0", "1.0", "0.9", ""}) {
        std::string box;
        EXPECT_FALSE(check(version, &box)) << version;
        EXPECT_NE(box.find("Video: OpenGL Support Error: Your Video Hardware does not support "
                           "OpenGL 1.2 or later, please ensure"),
                  std::string::npos)
            << box;
    }
    EXPECT_TRUE(g_driver.asked.empty());
    EXPECT_TRUE(check("1.2"));
}

TEST_F(GetGLExtTest, TextureCompressionIsRequiredEvenWithGLTwo) {
    g_driver.extensions = "GL_ARB_multitexture GL_ARB_shader_objects";
    std::string box;
    EXPECT_FALSE(check("2.1", &box));
    EXPECT_NE(box.find("Video: Error: Your Graphics Adapter lacks support for Texture Compression!\n\n"
                       "Please contact support!"),
              std::string::npos)
        << box;
    // Listed, but one of its entry points is missing: the same failure.
    g_driver.extensions = kFullExtensions;
    g_driver.missing = {"glGetCompressedTexImageARB"};
    EXPECT_FALSE(check("2.1", &box));
    EXPECT_NE(box.find("Video: Error: Your Graphics Adapter lacks support"), std::string::npos);
}

TEST_F(GetGLExtTest, CompleteDriverFillsEveryEntryPointAndReportsUnits) {
    ASSERT_TRUE(check("4.5 (Compatibility Profile) Mesa 22.3.6"));
    EXPECT_EQ(m_caps.multitexture, 1);
    EXPECT_EQ(m_caps.textureUnits, 8);
    EXPECT_EQ(m_caps.shaderSupport, 1);
    EXPECT_NE(m_table.glActiveTextureARB, nullptr);
    EXPECT_NE(m_table.glCompressedTexImage2DARB, nullptr);
    EXPECT_NE(m_table.glGetInfoLogARB, nullptr);
    EXPECT_NE(m_table.glGetUniformiv, nullptr);
    EXPECT_EQ(g_driver.asked.size(), 5u + 7u + 38u);
    // The shader names are asked for in the table's order, after the others.
    EXPECT_EQ(g_driver.asked.at(12), "glCreateProgram");
    EXPECT_EQ(g_driver.asked.back(), "glGetUniformiv");
    EXPECT_EQ(countInLog("GetGLExt: "), 0);
}

TEST_F(GetGLExtTest, GLTwoDriverLackingOneShaderEntryPointLogsItAndHasNoShaders) {
    g_driver.missing = {"glGetUniformiv"};
    ASSERT_TRUE(check("2.0"));
    EXPECT_EQ(m_caps.shaderSupport, 0);
    EXPECT_EQ(countInLog("(INFO) GetGLExt: "), 1);
    EXPECT_EQ(countInLog("(INFO) GetGLExt: glGetUniformiv\r\n"), 1);
    EXPECT_EQ(m_caps.multitexture, 1);
}

TEST_F(GetGLExtTest, AddressesForNamesTheDriverDoesNotReportAreNotTrusted) {
    // The window system answers every name, but no multitexturing and no
    // shader objects are reported, and GL 1.5 has no GL 2.0 shaders.
    g_driver.extensions = "GL_ARB_texture_compression";
    ASSERT_TRUE(check("1.5.0"));
    EXPECT_EQ(m_caps.multitexture, 0);
    EXPECT_EQ(m_caps.textureUnits, 1);
    EXPECT_EQ(m_caps.shaderSupport, 0);
    EXPECT_EQ(m_table.glActiveTextureARB, nullptr);
    EXPECT_EQ(m_table.glCreateProgram, nullptr);
    EXPECT_NE(m_table.glCompressedTexImage2DARB, nullptr);
    EXPECT_EQ(g_driver.asked.size(), 7u);  // only the compression entry points
    // GL 2 brings its shader names, but the info-log query needs the ARB extension.
    ASSERT_TRUE(check("2.1"));
    EXPECT_EQ(m_caps.shaderSupport, 0);
    EXPECT_EQ(m_table.glGetInfoLogARB, nullptr);
    EXPECT_NE(m_table.glCreateProgram, nullptr);
    EXPECT_EQ(countInLog("(INFO) GetGLExt: glGetInfoLogARB\r\n"), 1);
}

TEST_F(GetGLExtTest, MultitexturingWithOneUnitIsReportedAvailable) {
    g_driver.units = 1;
    ASSERT_TRUE(check("1.3"));
    EXPECT_EQ(m_caps.multitexture, 1);
    EXPECT_EQ(m_caps.textureUnits, 1);
    // One missing entry point of the five: not available at all.
    g_driver.missing = {"glMultiTexCoord3fvARB"};
    ASSERT_TRUE(check("1.3"));
    EXPECT_EQ(m_caps.multitexture, 0);
    EXPECT_EQ(m_caps.textureUnits, 1);
}

}  // namespace
