#include "ui/installs_screen.h"

#include <unistd.h>

#include <chrono>

#include "launcher_screen.h"
#include "platform/desktop.h"
#include "support/packages.h"

namespace {

class InstallsScreen : public LauncherScreen {
 protected:
  InstallsScreen() {
    app.session->state = AuthState::SignedIn;
    app.page = Installs;
  }
  void show(UpdateState state, const std::string& message) { app.updater->publish(state, message); }
  // The progress track runs from x 288 to 996 at y 172 to 180.
  bool filled(float fromX, float toX) {
    return ui.drewColourIn(uiThemeForeground(), ImRect(fromX, 170, toX, 182));
  }

  EditorFolderGuard guard;
};

TEST_F(InstallsScreen, BadgeStatusLineActionAndSpinnerFollowTheState) {
  for (int i = 0; i < 60; ++i) frame();  // past the window's reveal
  for (const char* text :
       {"Idle", "Channel: Stable - Linux x86_64", "Check for updates", "No editor installation found."})
    EXPECT_TRUE(ui.drewText(text)) << text;
  const ImVec2 missing = ui.textPosition("No editor installation found.");
  EXPECT_TRUE(ui.drewColourIn(0xFF3CA0EF, ImRect(missing, ImVec2(missing.x + 200, missing.y + 16))));
  struct Case {
    UpdateState state;
    const char *badge, *action;
    bool animating;
  };
  const Case cases[] = {
      {UpdateState::Checking, "Checking", "Checking...", true},
      {UpdateState::Installing, "Installing", "Installing...", true},
      {UpdateState::Downloading, "Downloading", "Cancel download", false},
      {UpdateState::Installed, "Installed", "Check for updates", false},
      {UpdateState::InstalledOffline, "Installed (offline)", "Check for updates", false},
      {UpdateState::Failed, "Failed", "Retry", false},
  };
  for (const Case& c : cases) {
    show(c.state, std::string("message for ") + c.badge);
    frame();
    EXPECT_TRUE(ui.drewText(c.badge) && ui.drewText(c.action)) << c.badge << ": " << ui.drawnText();
    EXPECT_TRUE(ui.drewText(std::string("message for ") + c.badge));
    EXPECT_FALSE(ui.drewText("Channel: Stable"));
    EXPECT_EQ(uiThemeAnimating(), c.animating) << c.badge;
  }
  writeWholeFile(executableDirectory() + "/editor/editor", "");
  writeWholeFile(executableDirectory() + "/editor/.zelvan_editor_version", "1.4.2 \r\n");
  EXPECT_TRUE(shownFilesChanged(app)) << "an idle window would not notice the new editor";
  frame();
  EXPECT_FALSE(shownFilesChanged(app));
  EXPECT_TRUE(ui.drewText("Location: " + executableDirectory() + "/editor/editor")) << ui.drawnText();
  const ImVec2 found = ui.textPosition("Location:");
  EXPECT_TRUE(ui.drewColourIn(0xFFA0A0A0, ImRect(found, ImVec2(found.x + 200, found.y + 16))));
  EXPECT_TRUE(ui.drewText("ORVO 1.4.2"));
}

TEST_F(InstallsScreen, ProgressTextAndFillFromTheThreshold) {
  show(UpdateState::Downloading, "Downloading editor 2.0\u2026");
  app.updater->downloadProgressCallback(1048576, 0);
  frame();
  EXPECT_TRUE(ui.drewText("1.0 MB / unknown"));
  EXPECT_TRUE(ui.drewColourIn(uiThemeBorderStrong(), ImRect(288, 172, 996, 180)));
  EXPECT_FALSE(filled(288, 996));
  app.updater->downloadProgressCallback(1048576, 3221225472u);  // below the 0.001 threshold
  frame();
  EXPECT_TRUE(ui.drewText("1.0 MB / 3.0 GB"));
  EXPECT_FALSE(filled(288, 996));
  app.updater->downloadProgressCallback(2000, 1000000);  // just above: as wide as the track is high
  frame();
  EXPECT_TRUE(filled(294, 297) && !filled(298, 996));
  app.updater->downloadProgressCallback(3000, 1000);  // more than expected: the whole track, no further
  frame();
  EXPECT_TRUE(filled(990, 996.5f) && !filled(997, 1156));
}

TEST_F(InstallsScreen, ButtonsCancelRetryAndCheck) {
  show(UpdateState::Downloading, "Downloading editor 2.0\u2026");
  // A button that appeared in the place of the one just clicked ignores the double click's second.
  click(ImVec2(1072, 183));
  EXPECT_FALSE(app.updater->cancelRequested()) << "a click on a button shown for 0.03 s counted";
  for (int i = 0; i < 30; ++i) frame();  // half a second at 60 frames a second
  click(ImVec2(1072, 183));
  EXPECT_TRUE(app.updater->cancelRequested());
  EXPECT_EQ(app.updater->state(), UpdateState::Downloading);
  // Retry and Check for updates start a run; without a server it ends Idle with its sentence.
  const std::string notConfigured = "Update server not configured. Please locate or install ORVO Editor.";
  for (const auto& [state, button] : {std::pair{UpdateState::Failed, ImVec2(1093, 183)},
                                      std::pair{UpdateState::InstalledOffline, ImVec2(1068, 183)}}) {
    show(state, "before");
    for (int i = 0; i < 30; ++i) frame();
    click(button);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (app.updater->statusMessage() != notConfigured && std::chrono::steady_clock::now() < deadline)
      usleep(1000);
    EXPECT_EQ(app.updater->state(), UpdateState::Idle);
  }
}

}  // namespace
