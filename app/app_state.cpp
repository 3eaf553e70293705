#include "app/app_state.h"

#include <cstring>

#include "auth/auth_session.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "uihost/imgui_compat.h"
#include "updater/editor_updater.h"

void initAppState(AppState& app) {
  app.config = nullptr;
  app.settings = nullptr;
  app.session = nullptr;
  app.updater = nullptr;
  app.page = Projects;
  app.updateCheckStarted = false;
  app.sessionRestoreAttempted = false;
  std::memset(app.searchText, 0, sizeof(app.searchText));
  app.favoritesFirst = false;
  app.sortColumn = 0;
  app.sortAscending = true;
  app.createDialogRequested = false;
  std::memset(app.newProjectName, 0, sizeof(app.newProjectName));
  std::memset(app.newProjectLocation, 0, sizeof(app.newProjectLocation));
  app.createDialogError.clear();
  app.cannotOpenRequested = false;
  app.cannotOpenMessage.clear();
  app.pendingProjectPath.clear();
  app.notice.clear();
  app.lastLaunchTime = 0;
  app.welcomeTexture = nullptr;
  app.welcomeImageTried = false;
  app.shownProjectFolders.clear();
  app.shownEditor.clear();
}

void destroyAppState(AppState& app) {
  if (app.welcomeTexture) {
    if (ImGui::GetCurrentContext()) ImGui::UnregisterUserTexture(app.welcomeTexture);
    app.welcomeTexture->DestroyPixels();
    delete app.welcomeTexture;
    app.welcomeTexture = nullptr;
  }
  app.notice.clear();
  app.pendingProjectPath.clear();
  app.cannotOpenMessage.clear();
  app.createDialogError.clear();
  // The updater and the session join their workers in their destructors.
  delete app.updater;
  app.updater = nullptr;
  delete app.session;
  app.session = nullptr;
  delete app.settings;
  app.settings = nullptr;
  delete app.config;
  app.config = nullptr;
}
