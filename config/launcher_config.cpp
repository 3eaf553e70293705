#include "config/launcher_config.h"

#include "app/app_state.h"
#include "config/settings.h"

void loadAppConfiguration(AppState& app) {
  initAppState(app);
  app.config = new LauncherConfig();
  app.settings = new LauncherSettings();
  app.config->message =
      "launcher_config.json was not found next to the launcher executable. Copy it from "
      "launcher_config.example.json, fill in the Google OAuth credentials, and restart.";
}
