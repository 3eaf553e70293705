#include "app/frame_loop.h"

#include "app/app_state.h"
#include "auth/auth_session.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "projects/editor_launch.h"
#include "ui/installs_screen.h"
#include "ui/project_dialogs.h"
#include "ui/projects_screen.h"
#include "ui/sidebar.h"
#include "ui/welcome_screen.h"
#include "uihost/ui_theme.h"
#include "updater/editor_updater.h"

void pollOwnedObjects(AppState& app) {
  if (app.session) pollAuthSession(*app.session);
  if (app.updater) {
    app.updater->joinFinishedWorker();
    if (!app.pendingProjectPath.empty()) handOffParkedProject(app);
  }
  // A stored token that start-up did not restore gets one silent restore per run.
  if (app.session && !app.sessionRestoreAttempted && app.session->state == AuthState::SignedOut &&
      !app.settings->refreshToken.empty()) {
    app.sessionRestoreAttempted = true;
    restoreSession(*app.session);
  }
}

void drawNotConfiguredCard(AppState& app, const ImVec2& min, const ImVec2& max) {
  ImDrawList* list = ImGui::GetWindowDrawList();
  const float width = uiThemePx(520);
  const float height = uiThemePx(240);
  const float left = min.x + (max.x - min.x - width) * 0.5f;
  const float top = min.y + (max.y - min.y - height) * 0.5f;
  const ImRect card(ImVec2(left, top), ImVec2(left + width, top + height));
  uiThemeRoundedPanel(list, card.Min, card.Max, uiThemeCard(), uiThemePx(12));
  uiThemeBorder(list, card, uiThemePx(12), 1.0f, uiThemeBorder());
  uiThemeTextTracked(list, uiThemeFont(20), ImVec2(left + uiThemePx(28), top + uiThemePx(24)),
                     uiThemeForeground(), "Launcher not configured", -0.25f);
  const float wrap = uiThemePx(520) - uiThemePx(56);
  uiThemeTextWrapped(list, uiThemeFont(14), ImVec2(left + uiThemePx(28), top + uiThemePx(64)),
                     uiThemeMutedForeground(), app.config->message.c_str(), wrap, 4.0f);
  uiThemeTextWrapped(list, uiThemeFont(12), ImVec2(left + uiThemePx(28), card.Max.y - uiThemePx(56)),
                     uiThemeMutedForeground(),
                     "You can close this window once the configuration is in place.", wrap, 4.0f);
}

namespace {

bool signedInLayout(const AppState& app) {
  if (!app.config->configured || !app.session) return false;
  const AuthState state = app.session->state;
  return state == AuthState::Restoring || state == AuthState::SignedIn;
}

// The editor as both pages show it: its location (Installs) and version (both).
std::string editorFacts(const AppState& app) {
  return resolveEditorExecutable(app) + '\n' + installedEditorVersion();
}

}  // namespace

bool shownFilesChanged(const AppState& app) {
  for (const auto& [path, present] : app.shownProjectFolders)
    if (projectPresent(path) != present) return true;
  return !app.shownEditor.empty() && editorFacts(app) != app.shownEditor;
}

double fileSystemPollSeconds(const AppState& app) {
  // Twice a second, so a change shows within one.
  return app.shownEditor.empty() && app.shownProjectFolders.empty() ? 0.0 : 0.5;
}

void drawMainWindow(AppState& app) {
  app.shownProjectFolders.clear();
  app.shownEditor.clear();
  const ImGuiViewport* viewport = ImGui::GetMainViewport();
  ImGui::SetNextWindowPos(viewport->WorkPos, ImGuiCond_Always, ImVec2(0, 0));
  ImGui::SetNextWindowSize(viewport->WorkSize);
  ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
  ImGui::PushStyleVar(ImGuiStyleVar_WindowBorderSize, 0.0f);
  const ImGuiWindowFlags flags = ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize |
                                 ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoScrollbar |
                                 ImGuiWindowFlags_NoScrollWithMouse | ImGuiWindowFlags_NoCollapse |
                                 ImGuiWindowFlags_NoBackground | ImGuiWindowFlags_NoSavedSettings |
                                 ImGuiWindowFlags_NoBringToFrontOnFocus | ImGuiWindowFlags_NoDocking;
  ImGui::Begin("##ZelvanLauncher", nullptr, flags);
  ImGui::PopStyleVar(2);

  ImDrawList* list = ImGui::GetWindowDrawList();
  const ImVec2 pos = ImGui::GetWindowPos();
  const ImVec2 size = ImGui::GetWindowSize();
  const ImRect rect(pos, ImVec2(pos.x + size.x, pos.y + size.y));
  const bool signedIn = signedInLayout(app);
  list->AddRectFilled(rect.Min, rect.Max, uiThemeBackground(), uiThemeWindowRounding(),
                      signedIn ? ImDrawFlags_RoundCornersBottomLeft : ImDrawFlags_RoundCornersBottom);

  if (!app.config->configured) {
    drawNotConfiguredCard(app, rect.Min, rect.Max);
  } else if (signedIn) {
    if (!app.updateCheckStarted) {
      app.updateCheckStarted = true;
      app.updater->startUpdateCheck();
    }
    app.shownEditor = editorFacts(app);
    drawSidebar(app);
    if (app.page == Projects)
      drawProjectsScreen(app);
    else
      drawInstallsScreen(app);
  } else {
    drawWelcomeScreen(app);
  }

  drawProjectPopups(app);

  uiThemeReveal(list, rect);
  ImGui::End();
}
