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

// Reads "launcher_config.json" (else "launcher_config.example.json") in launcherDir. Problems
// become the message; an empty launcherDir means the folder could not be found.
LauncherConfig readLauncherConfig(const std::string& launcherDir);
// Reads the bytes of a configuration file; exampleFile tells which message a placeholder gets.
LauncherConfig parseLauncherConfig(const std::string& bytes, const std::string& launcherDir,
                                   bool exampleFile);

// True when a credential is empty or still begins with "YOUR_".
bool isPlaceholderValue(const std::string& value);
// Makes the manifest address ask for the Linux package: its "platform=" value becomes "linux",
// or "platform=linux" is added to the query. Empty stays empty.
std::string rewriteManifestPlatform(const std::string& url);
// The downloads folder: "downloads" when empty, relative paths joined to launcherDir, then put
// in lexically normal form.
std::string resolveDownloadsDirectory(const std::string& value, const std::string& launcherDir);
