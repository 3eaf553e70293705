#include "app/frame_loop.h"

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "support/headless_ui.h"

TEST(NotConfiguredCard, ShowsTheConfigurationMessageCentredAndIgnoresClicks) {
  const float scale = 2.0f;
  HeadlessUi ui(1180 * scale, 740 * scale, scale);
  AppState app;
  initAppState(app);
  app.config = new LauncherConfig();
  app.settings = new LauncherSettings();
  app.config->message = "The Google OAuth credentials in launcher_config.json are still placeholders.";
  for (float x : {100.0f, 1180.0f, 2000.0f}) ui.click(x, 740, [&] { drawMainWindow(app); });

  ASSERT_TRUE(ui.drewText("Launcher not configured")) << ui.drawnText();
  EXPECT_TRUE(ui.drewText(app.config->message));
  EXPECT_TRUE(ui.drewText("You can close this window once the configuration is in place."));
  // The 520 x 240 card is centred; its title sits 28 in and 24 down.
  const ImVec2 title = ui.textPosition("Launcher not configured");
  EXPECT_NEAR(title.x, ((1180 - 520) / 2 + 28) * scale, 1.0f);
  EXPECT_NEAR(title.y, ((740 - 240) / 2 + 24) * scale, 1.0f);
  // Nothing else happens without a configuration.
  EXPECT_EQ(app.session, nullptr);
  EXPECT_EQ(app.updater, nullptr);
  EXPECT_FALSE(app.updateCheckStarted);
  EXPECT_FALSE(ui.drewText("Sign in"));
  EXPECT_EQ(app.page, Projects);
  EXPECT_FALSE(app.createDialogRequested || app.cannotOpenRequested);
  EXPECT_EQ(fileSystemPollSeconds(app), 0.0) << "the card shows nothing of the file system";
  destroyAppState(app);
}
