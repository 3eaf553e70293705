#include "ui/sidebar.h"

#include <gtest/gtest.h>

#include "auth/auth_session.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "support/headless_ui.h"
#include "support/temp_launcher.h"

namespace {

constexpr ImU32 kSelectedFill = 0xFF2C2A2A;
// At scale 1 the entries span x 12..198: Projects y 16..52, Installs y 58..94.
const ImRect kProjectsEntry(ImVec2(11, 15), ImVec2(199, 53));
const ImRect kInstallsEntry(ImVec2(11, 57), ImVec2(199, 95));

class Sidebar : public ::testing::Test {
 protected:
  Sidebar() : ui(1180, 740, 1.0f) {
    launcher.app.config->configured = true;
    launcher.app.settings->refreshToken = "rt";
    launcher.app.settings->userName = "Ada Lovelace";
    launcher.app.settings->userEmail = "ada@example.com";
    launcher.app.session = new AuthSession("client", "secret", launcher.app.settings);
    launcher.app.session->state = AuthState::SignedIn;
    launcher.app.updateCheckStarted = true;
  }
  AuthSession& session() { return *launcher.app.session; }
  std::function<void()> column() {
    return [this] {
      ImGui::SetNextWindowPos(ImVec2(0, 0));
      ImGui::SetNextWindowSize(ImVec2(1180, 740));
      ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
      ImGui::Begin("##sidebar", nullptr,
                   ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                       ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBackground);
      ImGui::PopStyleVar();
      drawSidebar(launcher.app);
      ImGui::End();
    };
  }
  void draw() { ui.frame(column()); }

  TempLauncher launcher;
  HeadlessUi ui;
};

TEST(AccountInitials, TwoWordStartsAtMost) {
  EXPECT_EQ(accountInitials("ada lovelace"), "AL");
  EXPECT_EQ(accountInitials("ada lovelace king"), "AL");
  EXPECT_EQ(accountInitials("  grace   hopper  "), "GH");
  EXPECT_EQ(accountInitials("jean-luc picard"), "JP");
  EXPECT_EQ(accountInitials("Developer"), "D");
  EXPECT_EQ(accountInitials("   "), "?");
  EXPECT_EQ(accountInitials(""), "?");
  EXPECT_EQ(accountInitials("1st place"), "1P");
  // A word starting outside ASCII keeps its whole first character.
  EXPECT_EQ(accountInitials("\xc3\xa9mile zola"), "\xc3\xa9Z");
}

TEST_F(Sidebar, ShowsTheAccountAndFallsBackToDeveloper) {
  draw();
  EXPECT_TRUE(ui.drewText("Projects"));
  EXPECT_TRUE(ui.drewText("Installs"));
  EXPECT_TRUE(ui.drewText("Ada Lovelace"));
  EXPECT_TRUE(ui.drewText("ada@example.com"));
  EXPECT_TRUE(ui.drewText("AL"));
  EXPECT_NEAR(ui.textPosition("Ada Lovelace").y, 740 - 108 + 10, 1);

  session().userName.clear();
  draw();
  EXPECT_TRUE(ui.drewText("Developer"));
  EXPECT_TRUE(ui.drewText("ada@example.com"));
  EXPECT_FALSE(ui.drewText("AL"));
}

TEST_F(Sidebar, AClickSwitchesThePageAndTheHighlightFollowsNextFrame) {
  draw();
  EXPECT_TRUE(ui.drewColourIn(kSelectedFill, kProjectsEntry));
  EXPECT_FALSE(ui.drewColourIn(kSelectedFill, kInstallsEntry));
  const ImVec2 installs = ui.textPosition("Installs");
  ui.click(installs.x + 4, installs.y + 4, column());
  EXPECT_EQ(launcher.app.page, Installs);
  EXPECT_TRUE(ui.drewColourIn(kSelectedFill, kProjectsEntry)) << "the click frame keeps the old highlight";
  draw();
  EXPECT_FALSE(ui.drewColourIn(kSelectedFill, kProjectsEntry));
  EXPECT_TRUE(ui.drewColourIn(kSelectedFill, kInstallsEntry));
}

TEST_F(Sidebar, SignOutForgetsTheStoredSignIn) {
  draw();
  const ImVec2 button = ui.textPosition("Sign out");
  ui.click(button.x + 4, button.y + 4, column());
  EXPECT_EQ(session().state, AuthState::SignedOut);
  EXPECT_TRUE(session().userName.empty());
  EXPECT_FALSE(launcher.app.updateCheckStarted);
  EXPECT_TRUE(launcher.app.settings->refreshToken.empty());
  const std::string saved = launcher.savedSettings();
  EXPECT_NE(saved.find("auth%2FrefreshToken=\n"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("Ada"), std::string::npos) << saved;
}

}  // namespace
