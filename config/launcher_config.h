// The launcher configuration file next to the executable, and the start-up step that reads it.
#pragma once

#include <string>

struct AppState;

struct LauncherConfig {
  std::string googleClientId;
  std::string googleClientSecret;
  std::string updateManifestUrl;   // with "platform=linux"; empty when none is configured
  std::string downloadsDirectory;  // lexically normal; absolute whenever the launcher folder is
  std::string message;             // why the launcher is not configured; empty when configured
  bool configured = false;         // both credentials are real
};

// Initialises app, reads the configuration and the settings, and when configured creates the
// sign-in session and the updater (and starts the silent restore of a stored session).
void loadAppConfiguration(AppState& app);
