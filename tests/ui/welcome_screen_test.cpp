// The welcome screen and the sidebar: the two sides of signing in.
#include "ui/welcome_screen.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "launcher_screen.h"
#include "ui/sidebar.h"

namespace {

using WelcomeScreen = LauncherScreen;

TEST_F(WelcomeScreen, SignInWaitsCancelReturnsAndAFailureShowsUnderSignIn) {
  frame();
  EXPECT_TRUE(ui.drewText("Welcome to ORVO Launcher"));
  clickText("Sign in");
  EXPECT_EQ(app.session->state, AuthState::AwaitingBrowser);
  EXPECT_TRUE(ui.drewText("Finish signing in in your browser."));
  app.session->errorMessage = "Not yet.";
  frame();
  EXPECT_FALSE(ui.drewText("Not yet.")) << "no failure while waiting";
  clickText("Cancel");
  EXPECT_EQ(app.session->state, AuthState::SignedOut);
  EXPECT_EQ(app.session->port, 0);

  clickText("Sign in");
  {
    std::lock_guard<std::mutex> lock(app.session->mutex);
    app.session->result.finished = true;
    app.session->result.errorMessage = "Google did not return a sign-in code.";
  }
  pollAuthSession(*app.session);
  frame();
  EXPECT_GT(ui.textPosition("Google did not return a sign-in code.").y, ui.textPosition("Sign in").y);
}

TEST_F(WelcomeScreen, AStartThatFailsShowsItsSentenceInTheSameFrame) {
  frame();
  const ImVec2 button = ui.textPosition("Sign in");
  // With no descriptor left the listener cannot open a socket.
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit low = old;
  low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  click(ImVec2(button.x + 4, button.y + 6));
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(app.session->state, AuthState::SignedOut);
  EXPECT_GT(ui.textPosition("Could not open the local sign-in listener.").y, button.y);
}

TEST_F(WelcomeScreen, TheFirstReadablePictureComesWithItsCaption) {
  frame();
  EXPECT_FALSE(ui.drewText("Marrowfen"));
  writeWholeFile(launcher.path("broken.png"), "not a picture");
  writeWholeFile(
      launcher.path("red.png"),  // 3 x 2, red
      std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x03\0\0\0\x02\x08\x06\0\0\0\x9d\x74\x66\x1a\0\0\0"
                  "\x11IDAT\x78\x9c\x63\xf8\xcf\xc0\xf0\x1f\x86\x19\x90\x39\0\x9b\x7e\x0b\xf5\x72\xb0\xb9"
                  "\x3c\0\0\0\0IEND\xae\x42\x60\x82",
                  74));
  EXPECT_EQ(loadWelcomePicture({launcher.path("missing.png"), launcher.path("broken.png")}), nullptr);
  app.welcomeTexture = loadWelcomePicture({launcher.path("broken.png"), launcher.path("red.png")});
  ASSERT_NE(app.welcomeTexture, nullptr);  // released by the launcher's teardown
  EXPECT_EQ(app.welcomeTexture->Width * 10 + app.welcomeTexture->Height, 32);
  frame();
  // Right-aligned 72 px in from the window's right edge, the second line 24 px lower.
  EXPECT_LT(ui.textPosition("Marrowfen").x, 1180 - 72);
  EXPECT_GT(ui.textPosition("Marrowfen").x, 1180 - 72 - 200);
  EXPECT_NEAR(ui.textPosition("Made with ORVO").y - ui.textPosition("Marrowfen").y, 24, 1);
}

TEST(WelcomeCover, CropsToFillTheArea) {
  const float cases[][8] = {
      // area w, h; picture w, h; expected uv0, uv1
      {708, 740, 1920, 1080, 0.2819f, 0, 0.82f, 1},  // a wide picture beside the 1180 x 740 window's card
      {800, 400, 1600, 800, 0, 0, 1, 1},             // the same shape: shown whole
      {800, 400, 400, 800, 0, 0.375f, 1, 0.625f},    // portrait in a wide area: equal crops
      {0, 400, 400, 800, 0, 0, 1, 1},                // no area: whole
  };
  for (const auto& c : cases) {
    ImVec2 uv0, uv1;
    welcomeCoverUv(c[0], c[1], c[2], c[3], uv0, uv1);
    EXPECT_TRUE(std::fabs(uv0.x - c[4]) + std::fabs(uv0.y - c[5]) + std::fabs(uv1.x - c[6]) +
                    std::fabs(uv1.y - c[7]) <
                1e-3)
        << c[0] << "x" << c[1] << ": " << uv0.x << "," << uv0.y << " " << uv1.x << "," << uv1.y;
  }
}

TEST(AccountInitials, TwoWordStartsAtMost) {
  const std::pair<const char*, const char*> cases[] = {
      {"ada lovelace king", "AL"},
      {"  grace   hopper  ", "GH"},
      {"jean-luc picard", "JP"},
      {"Developer", "D"},
      {"   ", "?"},
      {"", "?"},
      {"1st place", "1P"},
      {"\xc3\xa9mile zola", "\xc3\xa9Z"},
  };
  for (const auto& [name, initials] : cases) EXPECT_EQ(accountInitials(name), initials) << name;
}

TEST_F(WelcomeScreen, SidebarShowsTheAccountSwitchesPagesAndSignsOut) {
  app.settings->refreshToken = "rt";
  app.settings->userName = "Ada Lovelace";
  app.settings->userEmail = "ada@example.com";
  delete app.session;
  app.session = new AuthSession("client", "secret", app.settings);
  app.session->state = AuthState::SignedIn;
  frame();
  for (const char* text : {"Projects", "Installs", "Ada Lovelace", "ada@example.com", "AL"})
    EXPECT_TRUE(ui.drewText(text)) << text;
  EXPECT_NEAR(ui.textPosition("Ada Lovelace").y, 740 - 108 + 10, 1);
  app.session->userName.clear();
  frame();
  EXPECT_TRUE(ui.drewText("Developer"));
  EXPECT_FALSE(ui.drewText("AL"));

  clickText("Installs");
  EXPECT_EQ(app.page, Installs);
  clickText("Sign out");
  EXPECT_EQ(app.session->state, AuthState::SignedOut);
  EXPECT_FALSE(app.updateCheckStarted);
  const std::string saved = launcher.savedSettings();
  EXPECT_NE(saved.find("auth%2FrefreshToken=\n"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("Ada"), std::string::npos) << saved;
}

}  // namespace
