// The launcher dialog and the splash picture on a real X server (Xvfb):
// the table's initial state, commands from a worker thread carried out on
// the GTK thread before send() returns, closing, the buttons, and the
// splash's size, place and cut-out white.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "patcher/front/gtk/gtk_thread.h"
#include "patcher/front/gtk/gtk_ui.h"
#include "patcher/front/gtk/splash.h"
#include "tests/support/temp_dir_test.h"
#include "tests/support/xvfb_suite.h"

using namespace quillon;
using quask::BoxResult;

namespace {

// Runs the GTK loop until `done` holds or `ms` have passed.
bool pumpUntil(const std::function<bool()>& done, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (!gtk_main_iteration_do(FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}

// Runs `body` on a thread of its own while the GTK loop runs here.
void onWorker(const std::function<void()>& body) {
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        body();
        finished = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return finished.load(); }));
    worker.join();
}

struct Question {
    std::string text, caption;
};

// GTK is not used again in this process after the suite, so the server may
// go away under its connection.
class GtkLauncher : public quask_test::OnXvfb<quask_test::TempDirTest> {
protected:
    static void SetUpTestSuite() {
        OnXvfb::SetUpTestSuite();
        if (!displayReady()) return;
        setenv("DISPLAY", display().name().c_str(), 1);
        s_gtk = gtkStart();
    }
    void SetUp() override {
        OnXvfb::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(s_gtk);
    }

    // A dialog whose questions are answered by m_answer and whose actions count.
    void openDialog() {
        LauncherWindowActions actions;
        actions.startGame = [this] { ++m_starts; };
        actions.fullCheck = [this] { ++m_fullChecks; };
        actions.quit = [this] { ++m_quits; };
        actions.ask = [this](const std::string& text, const std::string& caption) {
            m_questions.push_back(Question{text, caption});
            return m_answer;
        };
        m_window = std::make_unique<LauncherWindow>(actions);
        m_state = std::make_unique<LauncherState>(*m_window);
        m_window->attach(m_state.get());
        ASSERT_TRUE(m_window->create());
        ASSERT_TRUE(pumpUntil([this] { return m_window->controlRect(kCtlExit).width > 1; }));
    }
    void TearDown() override {
        m_state.reset();
        m_window.reset();
        if (s_gtk) pumpFor(20);
        if (!m_dir.empty()) TempDirTest::TearDown();
    }

    static bool s_gtk;
    std::unique_ptr<LauncherWindow> m_window;
    std::unique_ptr<LauncherState> m_state;
    BoxResult m_answer = BoxResult::No;
    std::vector<Question> m_questions;
    int m_starts = 0, m_fullChecks = 0, m_quits = 0;
};

bool GtkLauncher::s_gtk = false;

// A 24-bit bottom-up BMP: the left half white, the right half red.
void writeHalfWhiteBmp(const std::string& path, int w, int h) {
    const int rowBytes = (w * 3 + 3) & ~3;
    const std::uint32_t imageBytes = static_cast<std::uint32_t>(rowBytes * h);
    std::string bmp;
    auto u16 = [&](unsigned v) { bmp += char(v & 0xFF); bmp += char((v >> 8) & 0xFF); };
    auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF); u16(v >> 16); };
    bmp += "BM";
    u32(54 + imageBytes); u32(0); u32(54);
    u32(40); u32(static_cast<std::uint32_t>(w)); u32(static_cast<std::uint32_t>(h));
    u16(1); u16(24); u32(0); u32(imageBytes); u32(2835); u32(2835); u32(0); u32(0);
    for (int y = 0; y < h; ++y) {
        std::string row;
        for (int x = 0; x < w; ++x)
            row += x < w / 2 ? std::string("\xFF\xFF\xFF") : std::string("\x00\x00\xFF", 3);
        row.resize(static_cast<std::size_t>(rowBytes), '\0');
        bmp += row;
    }
    std::ofstream(path, std::ios::binary) << bmp;
}

}  // namespace

// --- The dialog ---

TEST_F(GtkLauncher, OpensWithTheTableTextsAtTheirPlacesAndBothActionButtonsOff) {
    openDialog();
    EXPECT_TRUE(m_window->isShown());
    EXPECT_EQ(m_window->controlText(kCtlStartGame), "Start Game");
    EXPECT_EQ(m_window->controlText(kCtlFullCheck), "Full Check");
    EXPECT_EQ(m_window->controlText(kCtlExit), "Exit");
    EXPECT_EQ(m_window->controlText(kCtlNoticeLabel), "Changelog & Update Notices:");
    for (int id : {kCtlNotice, kCtlStatus, kCtlStatusTotal, kCtlSpeed, kCtlTimeLeft})
        EXPECT_EQ(m_window->controlText(id), "") << id;
    EXPECT_EQ(m_window->barValue(kCtlFileBar), 0);
    EXPECT_EQ(m_window->barValue(kCtlTotalBar), 0);
    EXPECT_FALSE(m_window->controlEnabled(kCtlStartGame));
    EXPECT_FALSE(m_window->controlEnabled(kCtlFullCheck));
    EXPECT_TRUE(m_window->controlEnabled(kCtlExit));
    EXPECT_FALSE(m_state->startEnabled());
    EXPECT_FALSE(m_state->updating());

    // Placed from dialog units with the font's base units.
    const DialogBaseUnits base = m_window->baseUnits();
    const struct {
        int id;
        DialogRect units;
    } places[] = {{kCtlStartGame, {250, 262, 65, 15}},
                  {kCtlNotice, {14, 24, 295, 227}},
                  {kCtlTotalBar, {15, 292, 216, 9}},
                  {kCtlTimeLeft, {148, 308, 83, 10}}};
    for (const auto& place : places) {
        const DialogRect want = dialogToPixels(place.units, base);
        const DialogRect got = m_window->controlRect(place.id);
        EXPECT_EQ(got.x, want.x) << place.id;
        EXPECT_EQ(got.y, want.y) << place.id;
    }
    EXPECT_EQ(m_window->controlRect(kCtlNotice).width, dialogToPixels({14, 24, 295, 227}, base).width);
}

TEST_F(GtkLauncher, AWorkersCommandsAreCarriedOutBeforeSendReturns) {
    openDialog();
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        m_state->SetStatusText("Getting Patchserver State");
        returned = true;
    });
    // Nobody runs the loop: the worker must still be waiting in its send.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(returned);
    EXPECT_EQ(m_window->controlText(kCtlStatus), "");
    ASSERT_TRUE(pumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(m_window->controlText(kCtlStatus), "Getting Patchserver State");

    onWorker([&] {
        m_state->SetNoticeText("caf\xE9\nline two\r\nthree");  // not UTF-8: Windows-1252
        m_state->SetStatusTotalText("File 3 of 7");
        m_state->SetFileProgress(42.9);
        m_state->SetTotalProgress(250.0);
        m_state->SetSpeed(801);
        m_state->EnableFullCheck(true);
        m_state->EnableStart(true);
        m_state->Flash();
    });
    EXPECT_EQ(m_window->controlText(kCtlNotice), "caf\xC3\xA9\r\nline two\r\nthree");
    EXPECT_EQ(m_window->controlText(kCtlStatusTotal), "File 3 of 7");
    EXPECT_EQ(m_window->barValue(kCtlFileBar), 42);
    EXPECT_EQ(m_window->barValue(kCtlTotalBar), 100);
    EXPECT_EQ(m_window->controlText(kCtlSpeed), "Speed: 0.78 KByte/s");
    EXPECT_TRUE(m_window->controlEnabled(kCtlFullCheck));
    EXPECT_TRUE(m_window->controlEnabled(kCtlStartGame));
    EXPECT_TRUE(m_window->hasFocus(kCtlStartGame));
    EXPECT_TRUE(m_window->isFlashing());

    onWorker([&] {
        m_state->SetSpeed(0);
        m_state->SetStatusText("");
        m_state->EnableStart(false);
    });
    EXPECT_EQ(m_window->controlText(kCtlSpeed), "");
    EXPECT_EQ(m_window->controlText(kCtlStatus), "");
    EXPECT_FALSE(m_window->controlEnabled(kCtlStartGame));
    EXPECT_EQ(m_window->controlText(kCtlTimeLeft), "");  // never filled
}

TEST_F(GtkLauncher, BarsClampRawCommandValuesAndHideShowsTheWindowAgain) {
    openDialog();
    m_window->send(CmdFileProgress, -5000);
    EXPECT_EQ(m_window->barValue(kCtlFileBar), 0);
    m_window->send(CmdTotalProgress, 150000);
    EXPECT_EQ(m_window->barValue(kCtlTotalBar), 100);
    m_window->send(CmdFileProgress, 99999);
    EXPECT_EQ(m_window->barValue(kCtlFileBar), 99);
    onWorker([&] { m_window->send(CmdHideWindow, 1); });
    EXPECT_FALSE(m_window->isShown());
    onWorker([&] { m_window->send(CmdHideWindow, 0); });
    EXPECT_TRUE(m_window->isShown());
}

TEST_F(GtkLauncher, ClosingAsksOnlyWhileUpdatingAndNoKeepsTheLauncher) {
    openDialog();
    m_window->command(kCtlExit);
    EXPECT_EQ(m_quits, 1);
    EXPECT_TRUE(m_questions.empty());

    m_state->setUpdating(true);
    m_window->command(kCtlClose);  // the title bar's close box
    ASSERT_EQ(m_questions.size(), 1u);
    EXPECT_EQ(m_questions[0].text, kCloseQuestion);
    EXPECT_EQ(m_questions[0].caption, "Warning");
    EXPECT_EQ(m_quits, 1);
    EXPECT_TRUE(m_window->isShown());

    // The quit request of the game start thread takes the same way.
    onWorker([&] { m_window->requestClose(); });
    EXPECT_EQ(m_questions.size(), 2u);
    EXPECT_EQ(m_quits, 1);

    m_answer = BoxResult::Yes;
    m_window->command(kCtlExit);
    EXPECT_EQ(m_quits, 2);
}

TEST_F(GtkLauncher, StartAndFullCheckActOnlyWhenAllowedAndFullCheckAsksFirst) {
    openDialog();
    m_window->command(kCtlStartGame);
    m_window->command(kCtlFullCheck);
    EXPECT_EQ(m_starts, 0);
    EXPECT_TRUE(m_questions.empty());

    m_state->EnableStart(true);
    m_state->EnableFullCheck(true);
    m_window->command(kCtlStartGame);
    EXPECT_EQ(m_starts, 1);
    m_window->command(kCtlFullCheck);  // answered No
    ASSERT_EQ(m_questions.size(), 1u);
    EXPECT_EQ(m_questions[0].text, kFullCheckQuestion);
    EXPECT_EQ(m_questions[0].caption, "Question");
    EXPECT_EQ(m_fullChecks, 0);
    m_answer = BoxResult::Yes;
    m_window->command(kCtlFullCheck);
    EXPECT_EQ(m_fullChecks, 1);
}

// A box names the file that failed; a name with long parts has no space to
// break at, yet the box must fit on the screen so its text can be read.
TEST_F(GtkLauncher, ABoxWithALongFileNameStaysWithinTheScreen) {
    openDialog();
    installGtkMessageBoxes();
    const char* quiet = std::getenv("QUASK_NONINTERACTIVE");
    const std::string wasQuiet = quiet ? quiet : "";
    unsetenv("QUASK_NONINTERACTIVE");
    std::string name = "/data";
    for (int i = 0; i < 6; ++i) name += "/" + std::string(200, 'd');
    const std::string text = "Failed to Download '" + name +
                             "/file.txt' from PatchServer\nIf this problem presits, please contact the Support!";
    struct Seen {
        int width = -1;
    } seen;
    // The box runs its own loop on the GTK thread: look at it from there.
    const guint watch = g_timeout_add(
        20,
        [](gpointer data) -> gboolean {
            GList* tops = gtk_window_list_toplevels();
            for (GList* t = tops; t; t = t->next) {
                GtkWidget* w = GTK_WIDGET(t->data);
                if (!GTK_IS_MESSAGE_DIALOG(w) || !gtk_widget_get_mapped(w)) continue;
                static_cast<Seen*>(data)->width = gtk_widget_get_allocated_width(w);
                gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_OK);
            }
            g_list_free(tops);
            return G_SOURCE_CONTINUE;
        },
        &seen);
    onWorker([&] {
        quask::showMessageBox(text, "Data File download Error", quask::BoxIcon::Error, quask::BoxButtons::Ok);
    });
    g_source_remove(watch);
    quask::setMessageBoxBackend(nullptr);
    if (quiet) setenv("QUASK_NONINTERACTIVE", wasQuiet.c_str(), 1);
    ASSERT_GT(seen.width, 0) << "the box was not shown";
    GdkRectangle screen{};
    gdk_monitor_get_geometry(gdk_display_get_monitor(gdk_display_get_default(), 0), &screen);
    ASSERT_GT(screen.width, 0);
    EXPECT_LE(seen.width, screen.width);
}

// --- The splash picture ---

TEST_F(GtkLauncher, SplashIsCentredShowsThePictureAndCutsOutWhite) {
    writeHalfWhiteBmp(at("splash.bmp"), 40, 20);
    GtkSplash splash(at("splash.bmp"));
    ASSERT_TRUE(splash.hasPicture());
    EXPECT_EQ(splash.colourKey(), 0xFFFFFFu);
    EXPECT_EQ(splash.width(), 40);
    EXPECT_EQ(splash.height(), 20);
    onWorker([&] { splash.show(); });  // from the game start thread
    EXPECT_TRUE(splash.isShown());
    EXPECT_EQ(splash.left(), (1024 - 40) / 2);
    EXPECT_EQ(splash.top(), (768 - 20) / 2);
    EXPECT_FALSE(splash.shapeContains(5, 10));
    EXPECT_TRUE(splash.shapeContains(30, 10));
    EXPECT_FALSE(splash.shapeContains(40, 10));  // outside the picture
    onWorker([&] { splash.takeDown(); });
    EXPECT_FALSE(splash.isShown());
}

TEST_F(GtkLauncher, AMissingSplashPictureShowsNoWindow) {
    GtkSplash splash(at("gui/QuaskLoadingSplash.bmp"));
    EXPECT_FALSE(splash.hasPicture());
    EXPECT_EQ(splash.colourKey(), 0u);
    onWorker([&] { splash.show(); });
    EXPECT_FALSE(splash.isShown());
    onWorker([&] { splash.takeDown(); });
    EXPECT_FALSE(splash.isShown());
}
