#include "ui/project_dialogs.h"

#include <cstdio>
#include <string>

#include "app/app_state.h"
#include "platform/desktop.h"
#include "projects/project_operations.h"
#include "uihost/ui_theme.h"

void drawCreateProjectDialog(AppState& app) {
  uiThemeTextWrapped(
      ImGui::GetWindowDrawList(), uiThemeFont(14), ImGui::GetCursorScreenPos(), uiThemeMutedForeground(),
      "Choose a name and location. ORVO will create a project folder with a .zelvanproj project file.",
      uiThemePx(460), 4.0f);
  ImGui::Dummy(ImVec2(0.0f, uiThemePx(36)));

  ImGui::TextUnformatted("PROJECT NAME");
  ImGui::PushItemWidth(uiThemePx(460));
  ImGui::InputTextWithHint("##NewProjectName", "My ORVO project", app.newProjectName,
                           sizeof(app.newProjectName));
  ImGui::PopItemWidth();

  ImGui::Dummy(ImVec2(0.0f, uiThemePx(8)));
  ImGui::TextUnformatted("LOCATION");
  ImGui::PushItemWidth(uiThemePx(360));
  ImGui::InputText("##NewProjectLocation", app.newProjectLocation, sizeof(app.newProjectLocation));
  ImGui::PopItemWidth();
  ImGui::SameLine();
  if (ImGui::Button("Browse", ImVec2(uiThemePx(94), 0.0f))) {
    const std::string chosen = chooseDirectoryDialog("Choose project location", app.newProjectLocation);
    if (!chosen.empty())
      std::snprintf(app.newProjectLocation, sizeof(app.newProjectLocation), "%s", chosen.c_str());
  }

  ImGui::Dummy(ImVec2(0.0f, uiThemePx(6)));
  const std::string preview = std::string(app.newProjectLocation) + "/" + app.newProjectName;
  ImGui::TextDisabled("%s", preview.c_str());
  if (!app.createDialogError.empty())
    ImGui::TextColored(ImGui::ColorConvertU32ToFloat4(uiThemeDestructive()), "%s",
                       app.createDialogError.c_str());

  ImGui::Dummy(ImVec2(0.0f, uiThemePx(12)));
  if (ImGui::Button("Cancel", ImVec2(uiThemePx(120), 0.0f))) ImGui::CloseCurrentPopup();
  ImGui::SameLine();
  if (ImGui::Button("Create project", ImVec2(uiThemePx(150), 0.0f))) {
    createProject(app);
    if (app.createDialogError.empty()) ImGui::CloseCurrentPopup();
  }
}

void drawCannotOpenPopup(AppState& app) {
  ImGui::TextUnformatted(app.cannotOpenMessage.c_str());
  ImGui::Dummy(ImVec2(0.0f, uiThemePx(12)));
  if (ImGui::Button("OK", ImVec2(uiThemePx(120), 0.0f))) ImGui::CloseCurrentPopup();
}

namespace {

void drawModal(const char* name, bool& requested, void (*drawContents)(AppState&), AppState& app) {
  if (requested) {
    ImGui::OpenPopup(name);
    requested = false;
  }
  ImGui::SetNextWindowPos(ImGui::GetMainViewport()->GetCenter(), ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
  if (ImGui::BeginPopupModal(name, nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
    drawContents(app);
    ImGui::EndPopup();
  }
}

}  // namespace

void drawProjectPopups(AppState& app) {
  drawModal("Create a new project", app.createDialogRequested, drawCreateProjectDialog, app);
  drawModal("Cannot open project", app.cannotOpenRequested, drawCannotOpenPopup, app);
}
