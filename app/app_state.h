// Everything the screens share, owned by main for the life of the process.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct LauncherConfig;
struct LauncherSettings;
class AuthSession;
class EditorUpdater;
struct ImTextureData;

enum LauncherPage : int32_t {
  Projects = 0,
  Installs = 1,
};

// Plain state without constructor or destructor: loadAppConfiguration sets every field,
// destroyAppState releases what it owns.
struct AppState {
  LauncherConfig* config;      // present after loadAppConfiguration
  LauncherSettings* settings;  // present after loadAppConfiguration
  AuthSession* session;        // present only when the configuration is complete
  EditorUpdater* updater;      // present only when the configuration is complete
  LauncherPage page;
  bool updateCheckStarted;       // the update check of this signed-in period has been started
  bool sessionRestoreAttempted;  // a silent restore was started in this run
  char searchText[128];
  bool favoritesFirst;
  int32_t sortColumn;  // 0 = no sort column
  bool sortAscending;
  bool createDialogRequested;
  char newProjectName[160];
  char newProjectLocation[1024];
  std::string createDialogError;
  bool cannotOpenRequested;
  std::string cannotOpenMessage;
  std::string pendingProjectPath;  // project parked until an editor is installed
  std::string notice;              // notice line of the Projects screen, shown when non-empty
  int64_t lastLaunchTime;          // seconds since the epoch of the last editor launch attempt
  ImTextureData* welcomeTexture;   // the welcome screen's picture, null until loaded
  bool welcomeImageTried;          // the picture is tried at most once per run
  // What the last frame showed of the file system, so that an idle window notices a change without
  // drawing (shownFilesChanged): each visible project row's path and whether its folder was there,
  // and the editor's location and version (empty when the frame showed neither).
  std::vector<std::pair<std::string, bool>> shownProjectFolders;
  std::string shownEditor;
};

// Sets every field of app to its initial value (the first step of loadAppConfiguration).
void initAppState(AppState& app);
// Releases what app owns: picture, texts, updater, session, settings, configuration.
void destroyAppState(AppState& app);
