// The GUI bridge in a real GL context on Xvfb, run from a game directory of
// its own (the bridge's paths are relative), and the mouse handlers' routing:
// GUI first, the scene only with what the GUI did not consume.
#include <gtest/gtest.h>

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <CEGUI/CEGUI.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client/core/log.h"
#include "client/core/perf_clock.h"
#include "client/core/rconf.h"
#include "client/core/render_caps.h"
#include "client/input/mouse.h"
#include "client/platform/gui/gui.h"
#include "client/platform/window.h"
#include "tests/support/child_process.h"
#include "tests/support/log_socket.h"
#include "tests/support/xvfb_suite.h"

namespace {

using namespace velmar;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
const char kLibraryData[] = "/usr/share/cegui-0.8.7";

// --- Scene hooks that record what reaches them ---

struct SceneRecord {
    std::vector<int> zooms;
    std::vector<std::pair<int, int>> clicks;
    int movements = 0;
    bool cameraTakes = false;
};
SceneRecord g_scene;

bool sceneTakeMovement(std::int64_t, std::int64_t) {
    ++g_scene.movements;
    return g_scene.cameraTakes;
}
void sceneZoom(int delta) { g_scene.zooms.push_back(delta); }
void sceneClick(int button, int action) { g_scene.clicks.emplace_back(button, action); }

// --- Files ---

using quask_test::writeFile;

void copyFile(const std::string& from, const std::string& to) {
    writeFile(to, quask_test::readFile(from));
}

// An uncompressed 32-bit TGA of one opaque colour, stored bottom-up as BGRA.
void writeSolidTga(const std::string& path, int size, std::uint8_t r, std::uint8_t g,
                   std::uint8_t b) {
    std::string data(18, '\0');
    data[2] = 2;
    data[12] = static_cast<char>(size);
    data[14] = static_cast<char>(size);
    data[16] = 32;
    data[17] = 8;
    for (int i = 0; i < size * size; ++i) {
        data += static_cast<char>(b);
        data += static_cast<char>(g);
        data += static_cast<char>(r);
        data += static_cast<char>(0xFF);
    }
    writeFile(path, data);
}

// --- Fixture ---

class GuiBridge : public quask_test::OnXvfb<> {
protected:

    void SetUp() override {
        OnXvfb::SetUp();
        if (IsSkipped()) return;
        // Keeps the library's log free of locale complaints.
        setenv("LC_ALL", "C", 1);
        std::setlocale(LC_ALL, "C");
        m_dir = quask_test::makeTempDir("quask-gui-");
        ASSERT_FALSE(m_dir.empty());
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        m_oldCwd = cwd;
        ASSERT_EQ(chdir(m_dir.c_str()), 0);
        ASSERT_EQ(mkdir("log", 0755), 0);
        ASSERT_EQ(mkdir("clog", 0755), 0);
        startLog();
        ASSERT_TRUE(windowInit());
        ASSERT_TRUE(windowOpen(kWidth, kHeight, WindowMode::Windowed));
        setRenderSize(renderCaps(), kWidth, kHeight);
        g_scene = SceneRecord{};
        SceneMouseHooks hooks;
        hooks.takeMovement = sceneTakeMovement;
        hooks.zoom = sceneZoom;
        hooks.click = sceneClick;
        setSceneMouseHooks(hooks);
    }

    void TearDown() override {
        if (m_dir.empty()) return;
        ShutdownGUI();
        setSceneMouseHooks(SceneMouseHooks{});
        windowTerminate();
        CRConf::Destroy();
        CLOG::Destroy();
        if (!m_oldCwd.empty()) {
            EXPECT_EQ(chdir(m_oldCwd.c_str()), 0);
        }
        quask_test::removeTree(m_dir);
    }

    void startLog() {
        ASSERT_TRUE(PerfClock::isCreated() || PerfClock::Create());
        // The datagrams go to a socket nobody reads: the port is ours.
        ASSERT_TRUE(m_logSocket.ok());
        CLOG::Create(m_dir + "/clog", m_logSocket.port());
    }

    std::string clientLog() const { return quask_test::readFile(m_dir + "/clog/LastRun.log"); }

    static int countOf(const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++n;
        return n;
    }

    // A theme with the library's generic widgets and an imageset of our own:
    // one opaque red image.
    void makeTheme(const std::string& theme) {
        const std::string base = "gui/" + theme;
        const std::vector<std::string> dirs = {"gui",           base,
                                               base + "/schemes", base + "/imagesets",
                                               base + "/fonts",   base + "/layouts",
                                               base + "/looknfeels"};
        for (const std::string& dir : dirs) ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
        copyFile(std::string(kLibraryData) + "/schemes/Generic.scheme",
                 base + "/schemes/Generic.scheme");
        copyFile(std::string(kLibraryData) + "/looknfeel/Generic.looknfeel",
                 base + "/looknfeels/Generic.looknfeel");
        writeSolidTga(base + "/imagesets/red.tga", 4, 255, 0, 0);
        writeFile(base + "/imagesets/Test.imageset",
                  "<?xml version=\"1.0\" ?>\n"
                  "<Imageset version=\"2\" name=\"Test\" imagefile=\"red.tga\" "
                  "nativeHorzRes=\"320\" nativeVertRes=\"240\" autoScaled=\"false\">\n"
                  "  <Image name=\"Red\" xPos=\"0\" yPos=\"0\" width=\"4\" height=\"4\" />\n"
                  "</Imageset>\n");
    }

    void useTheme(const std::string& theme) {
        writeFile("velmar.cfg", "GuiTheme = \"" + theme + "\"\n");
        ASSERT_NE(CRConf::Create(m_dir + "/velmar.cfg"), nullptr);
    }

    // Makes the root the sheet and gives it one child over the left half.
    static CEGUI::Window* leftHalfChild(const char* type) {
        CEGUI::Window* root = guiRootWindow();
        CEGUI::System::getSingleton().getDefaultGUIContext().setRootWindow(root);
        CEGUI::Window* child = CEGUI::WindowManager::getSingleton().createWindow(type, "left");
        child->setArea(CEGUI::URect(CEGUI::UDim(0, 0), CEGUI::UDim(0, 0),
                                    CEGUI::UDim(0.5f, 0), CEGUI::UDim(1, 0)));
        root->addChild(child);
        return child;
    }

    std::string m_dir;
    std::string m_oldCwd;
    quask_test::LogSocket m_logSocket;
};

// --- Before the GUI exists ---

TEST_F(GuiBridge, EventsBeforeInitAreNotConsumedAndReachTheScene) {
    EXPECT_FALSE(guiReady());
    EXPECT_EQ(guiRootWindow(), nullptr);
    EXPECT_FALSE(InjectMousePosition(10.0f, 10.0f));
    EXPECT_FALSE(InjectMouseWheelChange(1.0f));
    EXPECT_FALSE(InjectMouseButton(kGuiButtonLeft, true));
    RenderGUI();
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    mouseWheelHandler(5);  // brings the handler's last position to 5
    g_scene.zooms.clear();
    mouseWheelHandler(7);
    mouseWheelHandler(6);
    EXPECT_EQ(g_scene.zooms, (std::vector<int>{-2, 1}));  // last minus new
    mouseButtonHandler(1, kActionPress);
    mouseButtonHandler(9, kActionRelease);
    EXPECT_EQ(g_scene.clicks, (std::vector<std::pair<int, int>>{{1, 1}, {9, 0}}));
    // Nothing of the library was made on the way.
    EXPECT_EQ(CEGUI::System::getSingletonPtr(), nullptr);
}

TEST_F(GuiBridge, LayerButtonsMapToTheGuiNumbering) {
    EXPECT_EQ(guiButtonFor(0), kGuiButtonLeft);
    EXPECT_EQ(guiButtonFor(1), kGuiButtonRight);
    EXPECT_EQ(guiButtonFor(2), kGuiButtonMiddle);
    EXPECT_EQ(guiButtonFor(3), kGuiButtonExtra1);
    EXPECT_EQ(guiButtonFor(4), kGuiButtonExtra2);
    EXPECT_EQ(guiButtonFor(5), kGuiButtonNone);
    EXPECT_EQ(guiButtonFor(-1), kGuiButtonNone);
}

// --- InitGUI ---

TEST_F(GuiBridge, InitPointsEveryGroupAtTheThemeEvenWhenItIsMissing) {
    useTheme("dark");  // no gui/ directory at all
    ASSERT_TRUE(InitGUI());
    EXPECT_TRUE(guiReady());
    EXPECT_TRUE(InitGUI());  // a second call keeps the one GUI

    auto* provider = dynamic_cast<CEGUI::DefaultResourceProvider*>(
        CEGUI::System::getSingleton().getResourceProvider());
    ASSERT_NE(provider, nullptr);
    for (const char* group : {"schemes", "imagesets", "fonts", "layouts", "looknfeels"})
        EXPECT_EQ(provider->getResourceGroupDirectory(group),
                  CEGUI::String("./gui/dark/") + group + "/");
    EXPECT_EQ(CEGUI::ImageManager::getImagesetDefaultResourceGroup(), "imagesets");
    EXPECT_EQ(CEGUI::Font::getDefaultResourceGroup(), "fonts");
    EXPECT_EQ(CEGUI::Scheme::getDefaultResourceGroup(), "schemes");
    EXPECT_EQ(CEGUI::WidgetLookManager::getDefaultResourceGroup(), "looknfeels");
    EXPECT_EQ(CEGUI::WindowManager::getDefaultResourceGroup(), "layouts");

    CEGUI::Window* root = guiRootWindow();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->getType(), "DefaultWindow");
    EXPECT_EQ(root->getName(), "root");
    CEGUI::GUIContext& context = CEGUI::System::getSingleton().getDefaultGUIContext();
    EXPECT_EQ(context.getRootWindow(), nullptr);  // not made the sheet
    EXPECT_EQ(context.getSurfaceSize(), CEGUI::Sizef(kWidth, kHeight));

    // The library keeps its own log in the game directory's log folder.
    const std::string guiLog = quask_test::readFile(m_dir + "/log/CEGUI.log");
    EXPECT_NE(guiLog.find("CEGUI::System singleton created."), std::string::npos) << guiLog;
    EXPECT_EQ(clientLog().find("(WARN)"), std::string::npos) << clientLog();
}

// A client already running in the game directory keeps its own library log
// whole; the name goes to the newest one, and nothing else is left.
TEST_F(GuiBridge, AnotherClientsLibraryLogIsNotCutInto) {
    const int first = ::open((m_dir + "/log/CEGUI.log").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(first, 0);
    const std::string before = "the first client's lines\n";
    ASSERT_EQ(::write(first, before.data(), before.size()), static_cast<ssize_t>(before.size()));
    ASSERT_TRUE(InitGUI());
    char kept[64] = {};
    EXPECT_EQ(::pread(first, kept, sizeof kept, 0), static_cast<ssize_t>(before.size()));
    ::close(first);
    EXPECT_EQ(std::string(kept), before);
    const std::string guiLog = quask_test::readFile(m_dir + "/log/CEGUI.log");
    EXPECT_NE(guiLog.find("CEGUI::System singleton created."), std::string::npos) << guiLog;
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_dir + "/log")) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, std::vector<std::string>{"CEGUI.log"});
}

TEST_F(GuiBridge, DefaultThemeWithoutSettings) {
    ASSERT_TRUE(InitGUI());
    auto* provider = dynamic_cast<CEGUI::DefaultResourceProvider*>(
        CEGUI::System::getSingleton().getResourceProvider());
    ASSERT_NE(provider, nullptr);
    EXPECT_EQ(provider->getResourceGroupDirectory("imagesets"), "./gui/default/imagesets/");
}

TEST_F(GuiBridge, LibraryFailureInInitReturnsFalseAndLeavesNothingBehind) {
    // The library cannot load its XML parser.
    const CEGUI::String parser = CEGUI::System::getDefaultXMLParserName();
    CEGUI::System::setDefaultXMLParserName("NoSuchParser");
    EXPECT_FALSE(InitGUI());
    CEGUI::System::setDefaultXMLParserName(parser);
    EXPECT_FALSE(guiReady());
    EXPECT_EQ(guiRootWindow(), nullptr);
    EXPECT_EQ(CEGUI::System::getSingletonPtr(), nullptr);
    EXPECT_FALSE(InjectMouseWheelChange(1.0f));
    RenderGUI();
    EXPECT_EQ(countOf(clientLog(), "(WARN) GUI: "), 1) << clientLog();

    // Nothing half-made stands in the way of a later try.
    EXPECT_TRUE(InitGUI());
    EXPECT_NE(guiRootWindow(), nullptr);
    const std::string guiLog = quask_test::readFile(m_dir + "/log/CEGUI.log");
    EXPECT_NE(guiLog.find("CEGUI::System singleton created."), std::string::npos) << guiLog;
}

// A log folder the GUI cannot write to (read-only for the player; gone
// here) costs the GUI its log, not the game its GUI.
TEST_F(GuiBridge, LogThatCannotBeWrittenLeavesTheGuiWithoutItsLog) {
    ASSERT_EQ(rmdir("log"), 0);
    EXPECT_TRUE(InitGUI());
    EXPECT_NE(guiRootWindow(), nullptr);
    EXPECT_NE(clientLog().find("(WARN) GUI: cannot write its log './log/CEGUI.log' (No such file or directory) - it "
                               "logs nothing this run"),
              std::string::npos)
        << clientLog();
}

TEST_F(GuiBridge, ShutdownEndsTheLibraryAndCallsAfterItDoNothing) {
    ASSERT_TRUE(InitGUI());
    ShutdownGUI();
    EXPECT_FALSE(guiReady());
    EXPECT_EQ(CEGUI::System::getSingletonPtr(), nullptr);
    EXPECT_FALSE(InjectMousePosition(1.0f, 1.0f));
    RenderGUI();
    ShutdownGUI();
}

// --- Drawing ---

TEST_F(GuiBridge, RenderDrawsInANeutralStateAndRestoresTheCallersState) {
    makeTheme("default");
    ASSERT_TRUE(InitGUI());
    CEGUI::SchemeManager::getSingleton().createFromFile("Generic.scheme");
    CEGUI::ImageManager::getSingleton().loadImageset("Test.imageset");
    CEGUI::Window* image = leftHalfChild("Generic/Image");
    image->setProperty("Image", "Test/Red");

    // A caller's state that would hide the GUI or turn it black.
    GLuint texture = 0;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-3, 5, -7, 11, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(4.0f, 5.0f, 6.0f);
    glEnable(GL_LIGHTING);
    glEnable(GL_FOG);
    glEnable(GL_ALPHA_TEST);
    glAlphaFunc(GL_NEVER, 0.0f);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_FRONT_AND_BACK);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glColor4f(0.25f, 0.5f, 0.75f, 0.5f);
    // A texture matrix that turns pictures upside down, and the second unit
    // left active, as a multitexturing scene may leave it.
    glMatrixMode(GL_TEXTURE);
    glLoadIdentity();
    glScalef(1.0f, -1.0f, 1.0f);
    glActiveTexture(GL_TEXTURE1);
    GLint textureDepth = 0;
    glGetIntegerv(GL_TEXTURE_STACK_DEPTH, &textureDepth);

    GLfloat projection[16], modelview[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projection);
    glGetFloatv(GL_MODELVIEW_MATRIX, modelview);

    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    RenderGUI();
    glFinish();

    std::uint8_t left[4] = {}, right[4] = {};
    glReadPixels(kWidth / 4, kHeight / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, left);
    glReadPixels(kWidth * 3 / 4, kHeight / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, right);
    EXPECT_EQ(left[0], 255);
    EXPECT_EQ(left[1], 0);
    EXPECT_EQ(left[2], 0);
    EXPECT_EQ(right[0], 0);

    GLint mode = 0, bound = 0, env = 0, cull = 0, alphaFunc = 0, unit = 0, depthAfter = 0;
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_TEXTURE);
    glGetIntegerv(GL_ACTIVE_TEXTURE, &unit);
    EXPECT_EQ(unit, GL_TEXTURE1);
    glGetIntegerv(GL_TEXTURE_STACK_DEPTH, &depthAfter);
    EXPECT_EQ(depthAfter, textureDepth);
    glActiveTexture(GL_TEXTURE0);
    GLfloat textureMatrix[16];
    glGetFloatv(GL_TEXTURE_MATRIX, textureMatrix);
    EXPECT_EQ(textureMatrix[5], -1.0f);
    glLoadIdentity();
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), texture);
    glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &env);
    EXPECT_EQ(env, GL_REPLACE);
    glGetIntegerv(GL_CULL_FACE_MODE, &cull);
    EXPECT_EQ(cull, GL_FRONT_AND_BACK);
    glGetIntegerv(GL_ALPHA_TEST_FUNC, &alphaFunc);
    EXPECT_EQ(alphaFunc, GL_NEVER);
    EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
    EXPECT_TRUE(glIsEnabled(GL_FOG));
    EXPECT_TRUE(glIsEnabled(GL_ALPHA_TEST));
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    EXPECT_FALSE(glIsEnabled(GL_SCISSOR_TEST));
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    GLfloat colour[4];
    glGetFloatv(GL_CURRENT_COLOR, colour);
    EXPECT_EQ(colour[0], 0.25f);
    EXPECT_EQ(colour[1], 0.5f);
    EXPECT_EQ(colour[2], 0.75f);
    EXPECT_EQ(colour[3], 0.5f);
    GLfloat projectionAfter[16], modelviewAfter[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projectionAfter);
    glGetFloatv(GL_MODELVIEW_MATRIX, modelviewAfter);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(projectionAfter[i], projection[i]) << i;
        EXPECT_EQ(modelviewAfter[i], modelview[i]) << i;
    }
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    glDeleteTextures(1, &texture);
}

// --- Input ---

struct Seen {
    int downs = 0;
    int wheels = 0;
    CEGUI::MouseButton lastButton = CEGUI::NoButton;
};

TEST_F(GuiBridge, InjectedEventsReachTheWindowUnderTheCursor) {
    mouseWheelHandler(0);  // the handler's last wheel position is 0 from here on
    g_scene = SceneRecord{};
    ASSERT_TRUE(InitGUI());
    CEGUI::Window* child = leftHalfChild("DefaultWindow");
    Seen seen;
    child->subscribeEvent(CEGUI::Window::EventMouseButtonDown,
                          [&seen](const CEGUI::EventArgs& args) {
                              ++seen.downs;
                              seen.lastButton =
                                  static_cast<const CEGUI::MouseEventArgs&>(args).button;
                              return true;
                          });
    child->subscribeEvent(CEGUI::Window::EventMouseWheel, [&seen](const CEGUI::EventArgs&) {
        ++seen.wheels;
        return true;
    });
    CEGUI::GUIContext& context = CEGUI::System::getSingleton().getDefaultGUIContext();

    InjectMousePosition(40.0f, 50.0f);
    EXPECT_EQ(context.getMouseCursor().getPosition(), CEGUI::Vector2f(40.0f, 50.0f));
    EXPECT_TRUE(InjectMouseButton(kGuiButtonRight, true));
    EXPECT_TRUE(InjectMouseButton(kGuiButtonRight, false));
    EXPECT_EQ(seen.downs, 1);
    EXPECT_EQ(seen.lastButton, CEGUI::RightButton);

    // The window layer's handlers: the child consumes what happens over it,
    // the bare root lets the rest through to the scene.
    mouseWheelHandler(1);
    EXPECT_EQ(seen.wheels, 1);
    mouseButtonHandler(2, kActionPress);
    mouseButtonHandler(2, kActionRelease);
    EXPECT_EQ(seen.lastButton, CEGUI::MiddleButton);
    InjectMousePosition(250.0f, 50.0f);
    mouseWheelHandler(3);
    mouseButtonHandler(0, kActionPress);
    EXPECT_EQ(seen.wheels, 1);
    EXPECT_EQ(seen.downs, 2);
    EXPECT_EQ(g_scene.zooms, (std::vector<int>{-2}));
    EXPECT_EQ(g_scene.clicks, (std::vector<std::pair<int, int>>{{0, 1}}));
}

TEST_F(GuiBridge, GuiSeesTheCursorWhereItStoodBeforeTheMovement) {
    ASSERT_TRUE(InitGUI());
    CEGUI::GUIContext& context = CEGUI::System::getSingleton().getDefaultGUIContext();
    // Capture (its jump is skipped), then park the cursor in the top-left
    // corner whatever came before: windowed without settings never releases.
    for (int i = 0; i < 3; ++i) mousePosHandler(i, i);
    const int far = -100000;
    mousePosHandler(far, far);
    ASSERT_EQ(cursorX(), 0);
    ASSERT_EQ(cursorY(), 0);

    mousePosHandler(far + 50, far + 60);
    EXPECT_EQ(cursorX(), 50);
    EXPECT_EQ(cursorY(), 60);
    EXPECT_EQ(context.getMouseCursor().getPosition(), CEGUI::Vector2f(0.0f, 0.0f));

    g_scene.cameraTakes = true;  // the cursor stays put
    g_scene.movements = 0;
    mousePosHandler(far + 53, far + 62);
    EXPECT_EQ(g_scene.movements, 1);
    EXPECT_EQ(cursorX(), 50);
    EXPECT_EQ(cursorY(), 60);
    EXPECT_EQ(context.getMouseCursor().getPosition(), CEGUI::Vector2f(50.0f, 60.0f));

    g_scene.cameraTakes = false;
    mousePosHandler(far + 54, far + 62);
    EXPECT_EQ(cursorX(), 51);
    EXPECT_EQ(cursorY(), 60);
    EXPECT_EQ(context.getMouseCursor().getPosition(), CEGUI::Vector2f(50.0f, 60.0f));
}

// --- Library exceptions ---

TEST_F(GuiBridge, LibraryExceptionIsWarnedOnceAndTheEventGoesToTheScene) {
    ASSERT_TRUE(InitGUI());
    CEGUI::Window* child = leftHalfChild("DefaultWindow");
    child->subscribeEvent(CEGUI::Window::EventMouseWheel, [](const CEGUI::EventArgs&) -> bool {
        CEGUI_THROW(CEGUI::InvalidRequestException("wheel handler broke"));
    });
    InjectMousePosition(40.0f, 50.0f);
    mouseWheelHandler(0);
    g_scene.zooms.clear();
    EXPECT_FALSE(InjectMouseWheelChange(1.0f));
    mouseWheelHandler(1);
    EXPECT_EQ(g_scene.zooms, (std::vector<int>{-1}));
    const std::string log = clientLog();
    EXPECT_EQ(countOf(log, "(WARN) GUI: "), 1) << log;
    EXPECT_EQ(countOf(log, "(WARN) GUI: InjectMouseWheelChange failed: "), 1) << log;
    EXPECT_NE(log.find("wheel handler broke"), std::string::npos) << log;
}

}  // namespace
