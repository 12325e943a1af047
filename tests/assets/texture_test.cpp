// CTexture on a real GL context (Xvfb with Mesa's software renderer), with
// DDS files made by the content tool's writer in a game directory of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include "client/assets/texture.h"
#include "client/core/log.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/gl/gl_ext.h"
#include "client/platform/window.h"
#include "tests/support/child_process.h"
#include "tests/support/log_socket.h"
#include "tests/support/xvfb_suite.h"
#include "tools/contentkit/demo/procedural.h"
#include "tools/contentkit/formats/dds_writer.h"
#include "tools/contentkit/formats/tga_writer.h"

namespace {

using namespace velmar;
using contentkit::Bytes;
using contentkit::DxtFormat;

constexpr std::uint32_t kChainBytes = 8192 + 2048 + 512 + 128 + 32 + 16 + 8 + 8 + 8;

using quask_test::writeBytes;

Bytes ddsBytes(int width, int height, DxtFormat format, bool mipmaps) {
    contentkit::DdsOptions options;
    options.format = format;
    options.mipmaps = mipmaps;
    options.highQuality = false;
    Bytes out;
    std::string error;
    EXPECT_TRUE(contentkit::writeDds(contentkit::makeGrass(width, height, 3), options, &out, &error))
        << error;
    return out;
}

GLint textureParameter(unsigned name, GLenum parameter) {
    glBindTexture(GL_TEXTURE_2D, name);
    GLint value = -1;
    glGetTexParameteriv(GL_TEXTURE_2D, parameter, &value);
    return value;
}

class TextureManager : public quask_test::OnXvfb<> {
protected:

    void SetUp() override {
        OnXvfb::SetUp();
        if (IsSkipped()) return;
        m_dir = quask_test::makeTempDir("texture-test-");
        ASSERT_FALSE(m_dir.empty());
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        m_oldCwd = cwd;
        ASSERT_EQ(chdir(m_dir.c_str()), 0);
        for (const char* dir : {"data", "data/def", "data/tex"}) ASSERT_EQ(mkdir(dir, 0755), 0);
        CLOG::Create(m_dir + "/log", quask_test::quietLogPort());
        ASSERT_TRUE(windowInit());
        ASSERT_TRUE(windowOpen(64, 48, WindowMode::Windowed));
        ASSERT_TRUE(GetGLExt());
        renderCaps().textureDetail = 3;

        writeBytes("data/tex/default.dds", ddsBytes(32, 32, DxtFormat::Dxt1, true));
        writeBytes("data/tex/ground.dds", ddsBytes(256, 64, DxtFormat::Dxt1, true));
        writeBytes("data/tex/small.dds", ddsBytes(64, 64, DxtFormat::Dxt5, true));
        Bytes tga;
        std::string error;
        ASSERT_TRUE(contentkit::writeTga(contentkit::makeChecker(8, 8, 2), {}, &tga, &error));
        writeBytes("data/tex/cursor.tga", tga);
    }

    void TearDown() override {
        CTexture::Destroy();
        CRConf::Destroy();
        windowTerminate();
        CLOG::Destroy();
        if (!m_oldCwd.empty()) {
            EXPECT_EQ(chdir(m_oldCwd.c_str()), 0);
        }
        if (!m_dir.empty()) quask_test::removeTree(m_dir);
    }

    void writeDef(const std::string& text, const std::string& path = kTextureDefPath) {
        std::ofstream(path, std::ios::binary) << text;
    }
    // The usual set: the default, a 256 x 64 chain and a file that is no DDS.
    CTexture* createWithDefaults() {
        writeDef("0: data/tex/default.dds\n5: data/tex/ground.dds\n6: data/tex/cursor.tga\n");
        return CTexture::Create();
    }
    std::string log() const { return quask_test::readFile(m_dir + "/log/LastRun.log"); }
    // Offset of the line "(TAG) text", npos when absent.
    std::size_t lineAt(const char* tag, const std::string& text, std::size_t from = 0) const {
        return log().find(std::string(tag) + " " + text + "\r\n", from);
    }
    int countOf(const std::string& text) const {
        const std::string all = log();
        int n = 0;
        for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }

    std::string m_dir;
    std::string m_oldCwd;
};

// --- Creation and destruction ---

TEST_F(TextureManager, CreationReadsTheDefinitionsWithTheirLoadsAndReportsTheLimit) {
    writeDef("8: data/tex/small.dds\n", "data/def/more.def");
    writeDef("0: data/tex/default.dds\nload: data/def/more.def\n5: data/tex/ground.dds\n");
    CTexture* textures = CTexture::Create();
    ASSERT_NE(textures, nullptr);
    EXPECT_EQ(CTexture::Create(), textures);
    const std::size_t call = lineAt("(INFO)", "CTexture::CTexture call");
    const std::size_t inner = lineAt("(INFO)", "CTexture: DefFile 'data/def/more.def' Loaded => 1 Entrys");
    const std::size_t outer =
        lineAt("(INFO)", "CTexture: DefFile 'data/def/Textures.def' Loaded => 2 Entrys");
    GLint limit = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &limit);
    ASSERT_GT(limit, 0);
    EXPECT_EQ(textures->maxTextureSize(), limit);
    const std::string limitLine = "CTexture: Hardware TexRes. Limit: " + std::to_string(limit) +
                                  " x " + std::to_string(limit);
    const std::size_t limitAt = lineAt("(INFO)", limitLine);
    ASSERT_NE(call, std::string::npos);
    ASSERT_NE(limitAt, std::string::npos);
    EXPECT_LT(call, inner);
    EXPECT_LT(inner, outer);
    EXPECT_LT(outer, limitAt);
    // The loaded file's texture is known.
    float width = 0.0f;
    textures->Get(8, &width, nullptr, 0);
    EXPECT_EQ(width, 64.0f);
    EXPECT_EQ(countOf("redirecting"), 0);
}

TEST_F(TextureManager, MissingDefinitionFileLogsBothWarnings) {
    CTexture::Create();
    EXPECT_NE(lineAt("(WARN)", "CTexture => DefFile: IO Read error on 'data/def/Textures.def'"),
              std::string::npos);
    EXPECT_NE(lineAt("(WARN)", "CTexture Manager; initial Texture Definition Database empty or no content."),
              std::string::npos);
}

TEST_F(TextureManager, DefaultTextureRequestedFirstGetsName1) {
    CTexture* textures = createWithDefaults();
    EXPECT_EQ(textures->Get(0, nullptr, nullptr, 0), 1u);
}

TEST_F(TextureManager, DestroyDeletesTexturesStillReferenced) {
    CTexture* textures = createWithDefaults();
    const unsigned name = textures->Get(5, nullptr, nullptr, 0);
    EXPECT_EQ(textures->Get(5, nullptr, nullptr, 0), name);
    ASSERT_EQ(glIsTexture(name), GL_TRUE);
    CTexture::Destroy();
    EXPECT_EQ(CTexture::instance(), nullptr);
    EXPECT_EQ(glIsTexture(name), GL_FALSE);
    EXPECT_NE(lineAt("(WARN)", "~CTexture: Freed Referenced Texture '5' (RefCount: 2)"), std::string::npos);
    EXPECT_EQ(countOf("~CTexture"), 1);  // the unloaded ones go silently
}

// --- Sharing and freeing ---

TEST_F(TextureManager, TwoGetsShareANameAndTwoFreesDeleteIt) {
    CTexture* textures = createWithDefaults();
    float width = 0.0f, height = 0.0f;
    const unsigned name = textures->Get(5, &width, &height, 0);
    EXPECT_EQ(textures->Get(5, nullptr, nullptr, 0), name);
    EXPECT_EQ(width, 256.0f);
    EXPECT_EQ(height, 64.0f);
    EXPECT_EQ(textures->referenceCount(5), 2u);
    EXPECT_EQ(textures->textureBytes(), kChainBytes);
    EXPECT_EQ(textures->textureLevels(), 9u);

    textures->Free(name);
    EXPECT_EQ(glIsTexture(name), GL_TRUE);
    textures->Free(name);
    EXPECT_EQ(glIsTexture(name), GL_FALSE);
    EXPECT_EQ(textures->referenceCount(5), 0u);
    EXPECT_EQ(textures->textureBytes(), 0u);
    EXPECT_EQ(textures->textureLevels(), 0u);
    textures->Free(name);
    EXPECT_NE(lineAt("(WARN)", "CTexture::Free => Texture ID '" + std::to_string(name) +
                                   "' is unknown! (GFX TEX ID)"),
              std::string::npos);

    // Defined again: the next Get loads it afresh.
    const unsigned again = textures->Get(5, &width, nullptr, 0);
    EXPECT_EQ(glIsTexture(again), GL_TRUE);
    EXPECT_EQ(width, 256.0f);
    EXPECT_EQ(textures->textureBytes(), kChainBytes);
}

TEST_F(TextureManager, EveryLevelOfTheChainReachesGLWithItsSize) {
    CTexture* textures = createWithDefaults();
    const unsigned name = textures->Get(5, nullptr, nullptr, 0);
    glBindTexture(GL_TEXTURE_2D, name);
    const GLint widths[] = {256, 128, 64, 32, 16, 8, 4, 2, 1};
    const GLint heights[] = {64, 32, 16, 8, 4, 2, 1, 1, 1};
    const GLint sizes[] = {8192, 2048, 512, 128, 32, 16, 8, 8, 8};
    for (GLint level = 0; level < 9; ++level) {
        GLint w = 0, h = 0, size = 0, format = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_WIDTH, &w);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_HEIGHT, &h);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_COMPRESSED_IMAGE_SIZE_ARB, &size);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_INTERNAL_FORMAT, &format);
        EXPECT_EQ(w, widths[level]) << level;
        EXPECT_EQ(h, heights[level]) << level;
        EXPECT_EQ(size, sizes[level]) << level;
        EXPECT_EQ(format, GL_COMPRESSED_RGBA_S3TC_DXT1_EXT) << level;
    }
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// A texture written by ImageMagick, an encoder we did not write: its first
// stored row, the picture's top, is the row texture coordinate t = 0 samples,
// which is where models and the content tool's OBJ import put the top.
TEST_F(TextureManager, ImageMagickDdsReachesGlTopRowFirst) {
    if (quask_test::findProgram("convert").empty()) GTEST_SKIP() << "ImageMagick is not installed";
    // 8 x 8: red above, blue below, in solid 4 x 4 blocks that DXT1 keeps exact.
    Bytes raw;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) raw.insert(raw.end(), {std::uint8_t(y < 4 ? 255 : 0), 0,
                                                          std::uint8_t(y < 4 ? 0 : 255), 255});
    writeBytes("marker.rgba", raw);
    int code = -1;
    quask_test::runTool({"convert", "-size", "8x8", "-depth", "8", "rgba:marker.rgba", "-define",
                         "dds:compression=dxt1", "-define", "dds:mipmaps=0", "data/tex/marker.dds"},
                        &code);
    ASSERT_EQ(code, 0);
    writeDef("0: data/tex/default.dds\n7: data/tex/marker.dds\n");
    CTexture* textures = CTexture::Create();
    glBindTexture(GL_TEXTURE_2D, textures->Get(7, nullptr, nullptr, 0));
    Bytes texels(8 * 8 * 4);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
    EXPECT_EQ(Bytes(texels.begin(), texels.begin() + 4), (Bytes{255, 0, 0, 255}));
    EXPECT_EQ(Bytes(texels.end() - 4, texels.end()), (Bytes{0, 0, 255, 255}));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// --- Redirects to texture 0 ---

TEST_F(TextureManager, UnknownIdGetsTextureZeroAndWarnsEachTime) {
    CTexture* textures = createWithDefaults();
    float width = 0.0f;
    const unsigned first = textures->Get(42, &width, nullptr, 0);
    const unsigned second = textures->Get(42, nullptr, nullptr, 0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(textures->Get(0, nullptr, nullptr, 0), first);
    EXPECT_EQ(width, 32.0f);
    EXPECT_EQ(textures->referenceCount(0), 3u);
    EXPECT_EQ(countOf("(WARN) CTexture::Get: Texture '42' is unknown => redirecting to default "
                      "texture '0'\r\n"),
              2);
}

TEST_F(TextureManager, UnusableFilesRedirectAfterTheirOwnWarning) {
    Bytes wrongFourCc = ddsBytes(16, 16, DxtFormat::Dxt1, true);
    wrongFourCc[87] = '2';
    writeBytes("data/tex/dxt2.dds", wrongFourCc);
    Bytes headerOnly = ddsBytes(16, 16, DxtFormat::Dxt1, false);
    headerOnly.resize(128);
    writeBytes("data/tex/empty.dds", headerOnly);
    Bytes truncated = ddsBytes(16, 16, DxtFormat::Dxt1, true);
    truncated.pop_back();
    writeBytes("data/tex/cut.dds", truncated);
    writeDef("0: data/tex/default.dds\n6: data/tex/cursor.tga\n7: data/tex/dxt2.dds\n"
             "8: data/tex/empty.dds\n9: data/tex/cut.dds\n");
    CTexture* textures = CTexture::Create();
    const unsigned fallback = textures->Get(0, nullptr, nullptr, 0);
    const struct {
        std::int32_t id;
        std::string warning;
    } cases[] = {
        {6, "LoadTextureFromFS: '6' (data/tex/cursor.tga) Unsupported File Format / Corrupted File."},
        {7, "LoadTextureFromFS: '7' (data/tex/dxt2.dds) unsupported DXT Format."},
        {8, "LoadTextureFromFS: '8' (data/tex/empty.dds) failed - No Image Data!"},
        {9, "LoadTextureFromFS: '9' (data/tex/cut.dds) Unsupported File Format / Corrupted File."},
    };
    for (const auto& c : cases) {
        float width = -1.0f;
        EXPECT_EQ(textures->Get(static_cast<std::uint32_t>(c.id), &width, nullptr, 0), fallback) << c.id;
        EXPECT_EQ(width, 32.0f) << c.id;
        const std::size_t warning = lineAt("(WARN)", c.warning);
        const std::size_t redirect =
            lineAt("(WARN)", "CTexture::Get: Texture '" + std::to_string(c.id) +
                                 "' Load Error - redirecting to default texture '0'");
        ASSERT_NE(warning, std::string::npos) << c.id;
        EXPECT_NE(redirect, std::string::npos) << c.id;
        EXPECT_LT(warning, redirect) << c.id;
    }
    EXPECT_EQ(textures->referenceCount(0), 5u);
    EXPECT_EQ(textures->textureLevels(), 6u);  // the default's 32 x 32 chain only
}

// --- Definitions replaced ---

TEST_F(TextureManager, LaterLineForAnIdReplacesTheEarlierOne) {
    writeDef("0: data/tex/default.dds\n5: data/tex/cursor.tga\n5: data/tex/ground.dds\n");
    CTexture* textures = CTexture::Create();
    float width = 0.0f;
    const unsigned name = textures->Get(5, &width, nullptr, 0);
    EXPECT_EQ(width, 256.0f);
    EXPECT_EQ(countOf("Load Error"), 0);
    EXPECT_EQ(textures->referenceCount(0), 0u);
    EXPECT_EQ(glIsTexture(name), GL_TRUE);
}

TEST_F(TextureManager, RedefiningALoadedTextureKeepsItsNameUntilFreed) {
    CTexture* textures = createWithDefaults();
    const unsigned name = textures->Get(5, nullptr, nullptr, 0);
    writeDef("5: data/tex/small.dds\n", "data/def/later.def");
    ASSERT_EQ(textures->LoadDefFile("data/def/later.def"), 1);
    EXPECT_EQ(textures->referenceCount(5), 1u);
    EXPECT_EQ(glIsTexture(name), GL_TRUE);
    textures->Free(name);
    EXPECT_EQ(glIsTexture(name), GL_FALSE);
    float width = 0.0f;
    textures->Get(5, &width, nullptr, 0);
    EXPECT_EQ(width, 64.0f);
}

// --- Sampling ---

TEST_F(TextureManager, DetailLevelsSetFiltersAndBaseLevel) {
    CTexture* textures = createWithDefaults();
    struct Row {
        int detail;
        std::uint32_t flags;
        GLint mag, min, base;
    };
    const Row rows[] = {
        {0, 0, GL_NEAREST, GL_LINEAR_MIPMAP_NEAREST, 2},
        {0, 1, GL_NEAREST, GL_NEAREST, 2},
        {1, 0, GL_NEAREST, GL_LINEAR_MIPMAP_NEAREST, 1},
        {1, 1, GL_NEAREST, GL_NEAREST, 1},
        {2, 0, GL_NEAREST, GL_LINEAR_MIPMAP_NEAREST, 0},
        {2, 0x101, GL_NEAREST, GL_NEAREST, 0},  // only the lowest byte counts
        {3, 0, GL_LINEAR, GL_LINEAR_MIPMAP_LINEAR, 0},
        {3, 1, GL_LINEAR, GL_LINEAR, 0},
        {3, 2, GL_LINEAR, GL_LINEAR_MIPMAP_LINEAR, 0},
        // Outside the table GL keeps its own defaults.
        {4, 1, GL_LINEAR, GL_NEAREST_MIPMAP_LINEAR, 0},
        {-1, 0, GL_LINEAR, GL_NEAREST_MIPMAP_LINEAR, 0},
    };
    for (const Row& row : rows) {
        renderCaps().textureDetail = row.detail;
        const unsigned name = textures->Get(5, nullptr, nullptr, row.flags);
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_MAG_FILTER), row.mag) << row.detail << "/" << row.flags;
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), row.min) << row.detail << "/" << row.flags;
        EXPECT_EQ(textureParameter(name, GL_TEXTURE_BASE_LEVEL), row.base) << row.detail << "/" << row.flags;
        textures->Free(name);
    }
}

TEST_F(TextureManager, RedirectAsksForTheDefaultWithMipmaps) {
    CTexture* textures = createWithDefaults();
    const unsigned name = textures->Get(42, nullptr, nullptr, kTextureNoMipmaps);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), GL_LINEAR_MIPMAP_LINEAR);
}

TEST_F(TextureManager, AlwaysHighResolutionUsesTheNonMipmapFilters) {
    std::ofstream(m_dir + "/velmar.cfg") << "TextureUseAlwaysHighRes = true\n";
    ASSERT_NE(CRConf::Create(m_dir + "/velmar.cfg"), nullptr);
    CTexture* textures = createWithDefaults();
    EXPECT_TRUE(textures->alwaysHighRes());
    renderCaps().textureDetail = 1;
    const unsigned name = textures->Get(5, nullptr, nullptr, 0);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_MIN_FILTER), GL_NEAREST);
    EXPECT_EQ(textureParameter(name, GL_TEXTURE_BASE_LEVEL), 1);
    // The redirect clears the flag, but the setting wins over that too.
    const unsigned fallback = textures->Get(42, nullptr, nullptr, 0);
    EXPECT_EQ(textureParameter(fallback, GL_TEXTURE_MIN_FILTER), GL_NEAREST);
}

// --- Texture 0 missing or unusable ---

// Neither path reaches GL, so these run without a display. The death test
// runs the body again in a child, which takes the parent's directory from
// the environment instead of making one of its own.
void expectDefaultTextureExit(const char* defText, const char* message) {
    const char* kDirVariable = "QUASK_TEXTURE_TEST_DIR";
    const char* inherited = std::getenv(kDirVariable);
    const std::string dir = inherited ? inherited : quask_test::makeTempDir("texture-fatal-");
    ASSERT_FALSE(dir.empty());
    setenv(kDirVariable, dir.c_str(), 1);
    setenv("QUASK_NONINTERACTIVE", "1", 1);
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    mkdir("data", 0755);
    mkdir("data/def", 0755);
    mkdir("data/tex", 0755);
    std::ofstream("data/tex/note.txt") << "not a picture";
    std::ofstream(kTextureDefPath, std::ios::binary) << defText;
    EXPECT_EXIT(
        {
            CLOG::Create(dir + "/log", quask_test::quietLogPort());  // the critical line needs a log
            CTexture::Create()->Get(3, nullptr, nullptr, 0);
        },
        ::testing::ExitedWithCode(1), message);
    EXPECT_EQ(chdir(cwd), 0);
    unsetenv(kDirVariable);
    quask_test::removeTree(dir);
}

TEST(TextureManagerFatal, UnknownDefaultTextureEndsTheClient) {
    expectDefaultTextureExit("5: data/tex/note.txt\n",
                             "CTexture::Get Default Texture Failed; texture unknown!");
}

TEST(TextureManagerFatal, DefaultTextureThatFailsToLoadEndsTheClient) {
    // Texture 3 is unknown and texture 0 unusable: no endless redirect.
    expectDefaultTextureExit("0: data/tex/note.txt\n",
                             "CTexture::Get Default Texture Failed; texture could not be loaded!");
}

}  // namespace
