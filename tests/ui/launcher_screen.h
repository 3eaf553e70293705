// The launcher's whole window drawn headless at 1180 x 740, scale 1, on a temporary home: the
// page starts at x = 210. Configured, signed out; a test "xdg-open" first on PATH writes what it
// was asked to open to bin/opened.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "app/frame_loop.h"
#include "auth/auth_session.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "support/headless_ui.h"
#include "support/temp_launcher.h"
#include "updater/editor_updater.h"

class LauncherScreen : public ::testing::Test {
 protected:
  LauncherScreen() : app(launcher.app), path_("PATH", (launcher.dir + "/bin:/usr/bin:/bin").c_str()) {
    writeWholeFile(launcher.path("bin/xdg-open"), "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.d\"\n", 0755);
    app.config->configured = true;
    app.session = new AuthSession("client", "secret", app.settings);
    app.updater = new EditorUpdater("", launcher.path("downloads"));
    app.updateCheckStarted = true;  // no update run unless a test asks for one
    app.welcomeImageTried = true;   // no picture unless a test sets one
  }
  std::string opened() { return readWholeFile(launcher.path("bin/xdg-open.d")); }
  void frame() {
    ui.frame([this] { drawMainWindow(app); });
  }
  void click(ImVec2 at, int button = 0) {
    ui.moveMouse(at.x, at.y);
    frame();
    ui.pressMouse(button);
    frame();
    ui.releaseMouse(button);
    frame();
  }
  // Clicks just inside text the last frame drew, then draws the frame after.
  void clickText(const std::string& text) {
    ASSERT_TRUE(ui.drewText(text)) << text << " not in " << ui.drawnText();
    const ImVec2 at = ui.textPosition(text);
    click(ImVec2(at.x + 4, at.y + 5));
    frame();
  }

  HeadlessUi ui{1180, 740, 1.0f};
  TempLauncher launcher;
  AppState& app;

 private:
  ScopedEnv path_;
};
