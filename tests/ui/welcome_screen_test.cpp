#include "ui/welcome_screen.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "auth/auth_session.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "support/headless_ui.h"
#include "support/temp_launcher.h"

namespace {

// A 3 x 2 red PNG.
const std::string kTinyPng(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x03\x00\x00\x00\x02\x08\x06"
    "\x00"
    "\x00\x00\x9d\x74\x66\x1a\x00\x00\x00\x11\x49\x44\x41\x54\x78\x9c\x63\xf8\xcf\xc0\xf0\x1f\x86\x19\x90\x39"
    "\x00"
    "\x9b\x7e\x0b\xf5\x72\xb0\xb9\x3c\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
    74);

class WelcomeScreen : public ::testing::Test {
 protected:
  WelcomeScreen() : ui(1180, 740, 1.0f), path_("PATH", (launcher.dir + "/bin:/usr/bin:/bin").c_str()) {
    // A browser that does nothing: the screens only need the sign-in to start.
    writeWholeFile(launcher.path("bin/xdg-open"), "#!/bin/sh\nexit 0\n", 0755);
    launcher.app.config->configured = true;
    launcher.app.session = new AuthSession("client", "secret", launcher.app.settings);
    launcher.app.welcomeImageTried = true;  // no picture unless a test sets one
  }
  AuthSession& session() { return *launcher.app.session; }

  std::function<void()> screen() {
    return [this] {
      ImGui::SetNextWindowPos(ImVec2(0, 0));
      ImGui::SetNextWindowSize(ImVec2(1180, 740));
      ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
      ImGui::Begin("##welcome", nullptr,
                   ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                       ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBackground);
      ImGui::PopStyleVar();
      drawWelcomeScreen(launcher.app);
      ImGui::End();
    };
  }
  void draw() { ui.frame(screen()); }
  // Clicks the button whose label was drawn in the last frame.
  void clickLabel(const std::string& label) {
    const ImVec2 at = ui.textPosition(label);
    ui.click(at.x + 4, at.y + 6, screen());
  }

  TempLauncher launcher;
  HeadlessUi ui;

 private:
  ScopedEnv path_;
};

TEST_F(WelcomeScreen, SignInWaitsForTheBrowserAndCancelReturns) {
  draw();
  EXPECT_TRUE(ui.drewText("Welcome to ORVO Launcher"));
  EXPECT_TRUE(ui.drewText("Support"));
  EXPECT_FALSE(ui.drewText("Cancel"));
  clickLabel("Sign in");
  EXPECT_EQ(session().state, AuthState::AwaitingBrowser);
  EXPECT_TRUE(ui.drewText("Sign in")) << "the frame of the click keeps the idle layout";
  draw();
  EXPECT_TRUE(ui.drewText("Finish signing in in your browser."));
  EXPECT_FALSE(ui.drewText("Sign in"));
  clickLabel("Cancel");
  EXPECT_EQ(session().state, AuthState::SignedOut);
  EXPECT_EQ(session().port, 0);
  draw();
  EXPECT_TRUE(ui.drewText("Sign in"));
}

TEST_F(WelcomeScreen, AStartThatFailsShowsItsSentenceInTheSameFrame) {
  draw();
  const ImVec2 button = ui.textPosition("Sign in");
  // With no descriptor left the listener cannot open a socket.
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit low = old;
  low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  ui.click(button.x + 4, button.y + 6, screen());
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);

  EXPECT_EQ(session().state, AuthState::SignedOut);
  EXPECT_TRUE(ui.drewText("Could not open the local sign-in listener.")) << ui.drawnText();
  EXPECT_GT(ui.textPosition("Could not open the local sign-in listener.").y, button.y);
}

TEST_F(WelcomeScreen, APublishedFailureShowsUnderSignInButNotWhileWaiting) {
  session().state = AuthState::AwaitingBrowser;
  session().errorMessage = "Not yet.";
  draw();
  EXPECT_FALSE(ui.drewText("Not yet."));
  {
    std::lock_guard<std::mutex> lock(session().mutex);
    session().result.finished = true;
    session().result.errorMessage = "Google did not return a sign-in code.";
  }
  pollAuthSession(session());
  draw();
  EXPECT_TRUE(ui.drewText("Google did not return a sign-in code."));
  EXPECT_GT(ui.textPosition("Google did not return a sign-in code.").y, ui.textPosition("Sign in").y);
}

TEST_F(WelcomeScreen, ThePictureComesWithItsCaption) {
  draw();
  EXPECT_FALSE(ui.drewText("Marrowfen"));

  writeWholeFile(launcher.path("empty.png"), "");
  writeWholeFile(launcher.path("broken.png"), "not a picture");
  writeWholeFile(launcher.path("tiny.png"), kTinyPng);
  EXPECT_EQ(loadWelcomePicture(
                {launcher.path("missing.png"), launcher.path("empty.png"), launcher.path("broken.png")}),
            nullptr);
  ImTextureData* texture = loadWelcomePicture({launcher.path("broken.png"), launcher.path("tiny.png")});
  ASSERT_NE(texture, nullptr);
  EXPECT_EQ(texture->Width, 3);
  EXPECT_EQ(texture->Height, 2);
  EXPECT_EQ(texture->Status, ImTextureStatus_WantCreate);
  EXPECT_EQ(texture->GetPixels()[0], 255);
  EXPECT_EQ(texture->GetPixels()[1], 0);
  launcher.app.welcomeTexture = texture;  // released by the launcher's teardown

  draw();
  EXPECT_TRUE(ui.drewText("Marrowfen"));
  EXPECT_TRUE(ui.drewText("Made with ORVO"));
  // Right-aligned 72 px from the picture's right edge.
  EXPECT_LT(ui.textPosition("Marrowfen").x, 1180 - 72);
  EXPECT_GT(ui.textPosition("Marrowfen").x, 1180 - 72 - 200);
  EXPECT_NEAR(ui.textPosition("Made with ORVO").y - ui.textPosition("Marrowfen").y, 24, 1);
}

TEST_F(WelcomeScreen, SupportHighlightsInsideItsGrownBoxOnly) {
  draw();
  const ImVec2 label = ui.textPosition("Support");
  ui.moveMouse(label.x - 5, label.y - 3);
  draw();
  EXPECT_EQ(ImGui::GetMouseCursor(), ImGuiMouseCursor_Hand);
  EXPECT_TRUE(ui.drewColourIn(uiThemeForeground(), ImRect(label, ImVec2(label.x + 40, label.y + 20))));
  ui.moveMouse(label.x - 7, label.y - 3);
  draw();
  EXPECT_EQ(ImGui::GetMouseCursor(), ImGuiMouseCursor_Arrow);
  EXPECT_FALSE(ui.drewColourIn(uiThemeForeground(), ImRect(label, ImVec2(label.x + 40, label.y + 20))));
  // A click does nothing.
  ui.click(label.x + 4, label.y + 4, screen());
  EXPECT_EQ(session().state, AuthState::SignedOut);
}

TEST(WelcomeCover, CropsToFillTheArea) {
  ImVec2 uv0, uv1;
  welcomeCoverUv(708, 740, 1920, 1080, uv0, uv1);  // a wide picture in the 1180 x 740 window
  EXPECT_NEAR(uv1.x - uv0.x, 0.538f, 0.001f);
  EXPECT_NEAR(uv0.x, 0.282f, 0.001f);
  EXPECT_FLOAT_EQ(uv1.x, 0.82f);
  EXPECT_FLOAT_EQ(uv0.y, 0.0f);
  EXPECT_FLOAT_EQ(uv1.y, 1.0f);

  welcomeCoverUv(800, 400, 1600, 800, uv0, uv1);  // the same shape: shown whole
  EXPECT_FLOAT_EQ(uv0.x, 0.0f);
  EXPECT_FLOAT_EQ(uv1.x, 1.0f);
  EXPECT_FLOAT_EQ(uv0.y, 0.0f);

  welcomeCoverUv(800, 400, 400, 800, uv0, uv1);  // portrait in a wide area: equal crops
  EXPECT_FLOAT_EQ(uv0.x, 0.0f);
  EXPECT_FLOAT_EQ(uv1.x, 1.0f);
  EXPECT_NEAR(uv0.y, 0.375f, 1e-6);
  EXPECT_NEAR(uv1.y, 0.625f, 1e-6);

  welcomeCoverUv(0, 400, 400, 800, uv0, uv1);
  EXPECT_FLOAT_EQ(uv0.y, 0.0f);
  EXPECT_FLOAT_EQ(uv1.y, 1.0f);
}

}  // namespace
