// The launcher's dialog on GTK: the buttons, the notice, the two status
// lines, the two bars and the speed, laid out from dialog units with the
// system font's metrics, and driven by the numbered launcher commands.
//
// The window lives on the GTK thread. send() may be called from any thread:
// the command runs on the GTK thread and send() returns when it has run. The
// window reads the texts and flags of the attached LauncherState. Buttons
// and closing call the actions the launcher gives it; the window itself
// never ends the process. Boxes of the whole program are shown on the GTK
// thread once installGtkMessageBoxes() has run.
#pragma once

#include <functional>
#include <string>

#include "patcher/engine/launcher_ui.h"
#include "patcher/front/launcher_rules.h"
#include "shared/message_box.h"

typedef struct _GtkWidget GtkWidget;

namespace quillon {

// Control numbers of the dialog.
enum LauncherControl : int {
    kCtlClose = 2,  // the title bar's close box
    kCtlStartGame = 1002,
    kCtlExit = 1003,
    kCtlNotice = 1004,
    kCtlNoticeLabel = 1005,
    kCtlSpeed = 1006,
    kCtlFileBar = 1007,
    kCtlStatus = 1008,
    kCtlTimeLeft = 1009,
    kCtlStatusTotal = 1010,
    kCtlFullCheck = 1011,
    kCtlTotalBar = 1012,
};

struct LauncherWindowActions {
    std::function<void()> startGame;  // Start Game pressed while allowed
    std::function<void()> fullCheck;  // Full Check pressed and confirmed
    std::function<void()> quit;       // closing was agreed to
    // A Yes/No question with the information icon; quask::showMessageBox
    // when not set.
    std::function<quask::BoxResult(const std::string& text, const std::string& caption)> ask;
};

class LauncherWindow : public LauncherUi {
public:
    explicit LauncherWindow(LauncherWindowActions actions);
    ~LauncherWindow() override;
    LauncherWindow(const LauncherWindow&) = delete;
    LauncherWindow& operator=(const LauncherWindow&) = delete;

    void attach(LauncherState* state) { m_state = state; }

    // GTK thread: builds and shows the dialog and sends itself the initial
    // commands. False when the window cannot be made.
    bool create();

    // Any thread; synchronous.
    void send(int command, long value) override;

    // A button or the close box, as a click delivers it; GTK thread.
    void command(int control);
    // The quit request: the close handling, from any thread.
    void requestClose();

    // What the dialog shows now; GTK thread.
    std::string controlText(int control) const;
    int barValue(int control) const;
    bool controlEnabled(int control) const;
    bool hasFocus(int control) const;
    bool isShown() const;
    bool isFlashing() const;
    DialogRect controlRect(int control) const;  // pixels, relative to the dialog
    DialogBaseUnits baseUnits() const { return m_base; }

private:
    void carryOut(int command, long value);
    void closeHandling();
    GtkWidget* control(int id) const;
    void setLabel(int id, const std::string& text);

    LauncherWindowActions m_actions;
    LauncherState* m_state = nullptr;
    GtkWidget* m_window = nullptr;
    GtkWidget* m_controls[11] = {};
    DialogBaseUnits m_base;
};

// Routes quask::showMessageBox to GTK dialogs on the GTK thread, owned by
// the launcher dialog while it is shown.
void installGtkMessageBoxes();

}  // namespace quillon
