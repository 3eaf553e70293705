#include "app/frame_loop.h"

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "support/headless_ui.h"

namespace {

struct UnconfiguredApp {
  AppState app;
  UnconfiguredApp() {
    initAppState(app);
    app.config = new LauncherConfig();
    app.settings = new LauncherSettings();
    app.config->message = "The Google OAuth credentials in launcher_config.json are still placeholders.";
  }
  ~UnconfiguredApp() { destroyAppState(app); }
};

}  // namespace

TEST(NotConfiguredCard, ShowsTheConfigurationMessageCentredForTheWholeRun) {
  for (float scale : {1.0f, 2.0f}) {
    SCOPED_TRACE(scale);
    HeadlessUi ui(1180 * scale, 740 * scale, scale);
    UnconfiguredApp state;
    for (int frame = 0; frame < 3; ++frame) ui.frame([&] { drawMainWindow(state.app); });

    ASSERT_TRUE(ui.drewText("Launcher not configured")) << ui.drawnText();
    EXPECT_TRUE(ui.drewText(state.app.config->message));
    EXPECT_TRUE(ui.drewText("You can close this window once the configuration is in place."));
    // The card is 520 x 240 design pixels, centred; the title sits 28 in and 24 down.
    const ImVec2 title = ui.textPosition("Launcher not configured");
    EXPECT_NEAR(title.x, (1180 - 520) / 2 * scale + 28 * scale, 1.0f);
    EXPECT_NEAR(title.y, (740 - 240) / 2 * scale + 24 * scale, 1.0f);
    const ImVec2 body = ui.textPosition(state.app.config->message);
    EXPECT_NEAR(body.y, (740 - 240) / 2 * scale + 64 * scale, 1.0f);
    const ImVec2 footer = ui.textPosition("You can close this window");
    EXPECT_NEAR(footer.y, (740 + 240) / 2 * scale - 56 * scale, 1.0f);

    // Nothing else happens without a configuration: no session, no updater, no update check.
    EXPECT_EQ(state.app.session, nullptr);
    EXPECT_EQ(state.app.updater, nullptr);
    EXPECT_FALSE(state.app.updateCheckStarted);
    EXPECT_FALSE(ui.drewText("Sign in"));
  }
}

TEST(NotConfiguredCard, ClicksAnywhereChangeNothing) {
  HeadlessUi ui(1180, 740);
  UnconfiguredApp state;
  for (float x : {100.0f, 590.0f, 1000.0f}) ui.click(x, 370, [&] { drawMainWindow(state.app); });
  EXPECT_TRUE(ui.drewText("Launcher not configured"));
  EXPECT_EQ(state.app.page, Projects);
  EXPECT_FALSE(state.app.createDialogRequested);
  EXPECT_FALSE(state.app.cannotOpenRequested);
}
