// A throwaway HOME with a launcher folder in it, for the configuration and settings tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "app/app_state.h"
#include "config/settings.h"
#include "support/packages.h"
#include "support/temp_launcher.h"

inline unsigned fileMode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class ConfigTest : public ::testing::Test {
 protected:
  // Loads the settings the way start-up does, from whatever file HOME holds.
  LauncherSettings loadSettingsFile() {
    AppState app;
    initAppState(app);
    loadSettings(app);
    LauncherSettings settings = *app.settings;
    destroyAppState(app);
    return settings;
  }
  LauncherSettings loadSettingsFile(const std::string& text) {
    writeWholeFile(settingsPath, text);
    return loadSettingsFile();
  }

  TempDir home;
  ScopedEnv homeVariable{"HOME", home.path().c_str()};
  const std::string settingsPath = home / ".config/ZELVAN/Launcher.conf";
  const std::string launcherDir = home / "launcher";
};
