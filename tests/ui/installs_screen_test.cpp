#include "ui/installs_screen.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "platform/desktop.h"
#include "support/headless_ui.h"
#include "support/packages.h"
#include "support/temp_launcher.h"
#include "updater/editor_updater.h"

namespace fs = std::filesystem;

namespace {

constexpr ImU32 kLocationMissing = 0xFF3CA0EF;
constexpr ImU32 kLocationFound = 0xFFA0A0A0;

// At scale 1 in a 1180 x 740 window the card spans x 234..1156, y 64..212; the action row is at
// y 168 and the progress track runs from x 288 to 996, y 172 to 180.
const ImRect kTrack(ImVec2(288, 172), ImVec2(996, 180));
const ImVec2 kCancelButton(1072, 183);
const ImVec2 kRetryButton(1093, 183);
const ImVec2 kCheckButton(1068, 183);

class InstallsScreen : public ::testing::Test {
 protected:
  InstallsScreen() : ui(1180, 740, 1.0f) {
    launcher.app.page = Installs;
    launcher.app.updater = new EditorUpdater("", downloads.path());
  }
  EditorUpdater& updater() { return *launcher.app.updater; }

  std::function<void()> page() {
    return [this] {
      ImGui::SetNextWindowPos(ImVec2(0, 0));
      ImGui::SetNextWindowSize(ImVec2(1180, 740));
      ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
      ImGui::Begin("##page", nullptr,
                   ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                       ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBackground);
      ImGui::PopStyleVar();
      drawInstallsScreen(launcher.app);
      spinnerClock = ImGui::GetStateStorage()->GetFloat(ImGui::GetID("##installs_spinner_clock"), 0.0f);
      ImGui::End();
    };
  }
  void draw() { ui.frame(page()); }
  // The updater's own worker-side calls put it in any state without a run.
  void show(UpdateState state, const std::string& message) { updater().publish(state, message); }
  bool drew(const std::string& text) { return ui.drewText(text); }
  ImRect textRect(const std::string& text) {
    const ImVec2 p = ui.textPosition(text);
    return ImRect(p, ImVec2(p.x + 200, p.y + 16));
  }

  EditorFolderGuard guard;
  TempDir downloads;
  TempLauncher launcher;
  HeadlessUi ui;
  float spinnerClock = 0.0f;
};

TEST_F(InstallsScreen, BadgeStatusLineAndActionFollowTheState) {
  draw();
  EXPECT_TRUE(drew("Installs"));
  EXPECT_TRUE(drew("ORVO Editor"));
  EXPECT_TRUE(drew("Idle"));
  EXPECT_TRUE(drew("Channel: Stable - Linux x86_64"));
  EXPECT_TRUE(drew("Check for updates"));

  struct Case {
    UpdateState state;
    const char* badge;
    const char* action;
  };
  const Case cases[] = {
      {UpdateState::Checking, "Checking", "Checking..."},
      {UpdateState::Installing, "Installing", "Installing..."},
      {UpdateState::Downloading, "Downloading", "Cancel download"},
      {UpdateState::Installed, "Installed", "Check for updates"},
      {UpdateState::InstalledOffline, "Installed (offline)", "Check for updates"},
      {UpdateState::Failed, "Failed", "Retry"},
      {UpdateState::Idle, "Idle", "Check for updates"},
  };
  for (const Case& c : cases) {
    show(c.state, std::string("message for ") + c.badge);
    draw();
    EXPECT_TRUE(drew(c.badge)) << c.badge << ": " << ui.drawnText();
    EXPECT_TRUE(drew(c.action)) << c.badge;
    EXPECT_TRUE(drew(std::string("message for ") + c.badge));
    EXPECT_FALSE(drew("Channel: Stable - Linux x86_64"));
  }
}

TEST_F(InstallsScreen, NameAndLocationFollowTheEditorOnDisk) {
  show(UpdateState::Installed, "Installed \u2014 version 1.4.2");
  draw();
  EXPECT_TRUE(drew("No editor installation found."));
  EXPECT_TRUE(ui.drewColourIn(kLocationMissing, textRect("No editor installation found.")));
  EXPECT_TRUE(drew("ORVO Editor"));

  fs::create_directories(executableDirectory() + "/editor");
  writeTextFile(executableDirectory() + "/editor/editor", "");
  writeTextFile(executableDirectory() + "/editor/.zelvan_editor_version", "1.4.2 \r\n");
  draw();
  const std::string location = "Location: " + executableDirectory() + "/editor/editor";
  EXPECT_TRUE(drew(location)) << ui.drawnText();
  EXPECT_TRUE(ui.drewColourIn(kLocationFound, textRect("Location:")));
  EXPECT_TRUE(drew("ORVO 1.4.2"));
  EXPECT_TRUE(drew("Installed \u2014 version 1.4.2"));
}

TEST_F(InstallsScreen, ProgressTextAndFill) {
  show(UpdateState::Downloading, "Downloading editor 2.0\u2026");
  updater().downloadProgressCallback(1048576, 0);
  draw();
  EXPECT_TRUE(drew("1.0 MB / unknown"));
  EXPECT_TRUE(ui.drewColourIn(uiThemeBorderStrong(), kTrack));
  EXPECT_FALSE(ui.drewColourIn(uiThemeForeground(), kTrack));

  // Below the 0.001 threshold: no fill yet.
  updater().downloadProgressCallback(1048576, 3221225472u);
  draw();
  EXPECT_TRUE(drew("1.0 MB / 3.0 GB"));
  EXPECT_FALSE(ui.drewColourIn(uiThemeForeground(), kTrack));

  // Just above it: a fill as wide as the track is high (8 px), no wider.
  updater().downloadProgressCallback(2000, 1000000);
  draw();
  EXPECT_TRUE(ui.drewColourIn(uiThemeForeground(), ImRect(ImVec2(294, 172), ImVec2(297, 180))));
  EXPECT_FALSE(ui.drewColourIn(uiThemeForeground(), ImRect(ImVec2(298, 170), ImVec2(996, 182))));

  // More than expected fills the whole track and no further.
  updater().downloadProgressCallback(3000, 1000);
  draw();
  EXPECT_TRUE(ui.drewColourIn(uiThemeForeground(), ImRect(ImVec2(990, 172), ImVec2(996.5f, 180))));
  EXPECT_FALSE(ui.drewColourIn(uiThemeForeground(), ImRect(ImVec2(997, 170), ImVec2(1156, 182))));
}

TEST_F(InstallsScreen, ButtonsCancelRetryAndCheck) {
  show(UpdateState::Downloading, "Downloading editor 2.0\u2026");
  ui.click(kCancelButton.x, kCancelButton.y, page());
  EXPECT_TRUE(updater().cancelRequested());
  EXPECT_EQ(updater().state(), UpdateState::Downloading);

  // Retry and Check for updates start a run; without a server it ends Idle with its sentence.
  const std::string notConfigured = "Update server not configured. Please locate or install ORVO Editor.";
  for (const auto& [state, button] : {std::pair{UpdateState::Failed, kRetryButton},
                                      std::pair{UpdateState::InstalledOffline, kCheckButton}}) {
    show(state, "before");
    ui.click(button.x, button.y, page());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (updater().statusMessage() != notConfigured && std::chrono::steady_clock::now() < deadline)
      usleep(1000);
    EXPECT_EQ(updater().state(), UpdateState::Idle);
    EXPECT_EQ(updater().statusMessage(), notConfigured);
  }
}

TEST_F(InstallsScreen, SpinnerClockRunsOnlyInBusyStates) {
  show(UpdateState::Checking, "Checking for updates\u2026");
  for (int i = 0; i < 3; ++i) draw();
  const float afterChecking = spinnerClock;
  EXPECT_GT(afterChecking, 0.0f);
  for (UpdateState quiet : {UpdateState::Downloading, UpdateState::Failed, UpdateState::Installed}) {
    show(quiet, "");
    draw();
    draw();
    EXPECT_EQ(spinnerClock, afterChecking);
  }
  show(UpdateState::Installing, "Installing editor 2\u2026");
  draw();
  EXPECT_GT(spinnerClock, afterChecking);
}

}  // namespace
