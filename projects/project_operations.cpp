#include "projects/project_operations.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "app/app_state.h"
#include "config/file_io.h"
#include "config/settings.h"
#include "platform/desktop.h"
#include "projects/editor_launch.h"
#include "projects/project_record.h"
#include "updater/editor_updater.h"

namespace fs = std::filesystem;

namespace {

int64_t now() {
  return static_cast<int64_t>(std::time(nullptr));
}

// The guard of every user-started launch: an editor already runs, or one was started (or tried)
// within the last second, before the first one could show up in the process table.
bool launchRefused(AppState& app, int64_t time) {
  if (isEditorRunning() || time - app.lastLaunchTime <= 1) {
    app.notice = "ORVO Editor is already open.";
    return true;
  }
  return false;
}

void openRecordedProject(AppState& app, const std::string& path) {
  std::string error;
  if (!openProjectInEditor(app, path, error) && !error.empty()) {
    app.cannotOpenMessage = error;
    app.cannotOpenRequested = true;
  }
}

void copyIntoBuffer(char* buffer, size_t capacity, const std::string& text) {
  std::snprintf(buffer, capacity, "%s", text.c_str());
}

}  // namespace

std::string editorLabelForProject(const AppState& app, const ProjectRecord& record) {
  if (!record.editorVersion.empty()) return record.editorVersion;
  if (app.updater) {
    const std::string installed = installedEditorVersion();
    if (!installed.empty()) return "ORVO " + installed;
  }
  return "ORVO Editor";
}

void openNewProjectDialog(AppState& app) {
  app.createDialogRequested = true;
  app.newProjectName[0] = '\0';
  std::string location = app.settings->defaultProjectLocation;
  if (location.empty()) location = (fs::path(defaultProjectsDirectory()) / "ORVO Projects").string();
  copyIntoBuffer(app.newProjectLocation, sizeof(app.newProjectLocation), location);
  app.createDialogError.clear();
}

std::string projectFileText(const std::string& name) {
  return "ZelvanProject:\n  Name: " + name + "\n  FormatVersion: 1\n";
}

void createProject(AppState& app) {
  app.createDialogError.clear();
  std::string name = app.newProjectName;
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (name.empty()) {
    app.createDialogError = "Enter a project name.";
    return;
  }
  if (name.find_first_of("\"*/:<>?\\|") != std::string::npos) {
    app.createDialogError = "The project name contains characters that are not allowed.";
    return;
  }
  const std::string location = app.newProjectLocation;
  if (location.empty()) {
    app.createDialogError = "Choose a location for the project.";
    return;
  }
  const fs::path folder = fs::path(location) / name;
  std::error_code ec;
  const fs::file_status status = fs::status(folder, ec);
  if (!ec && fs::exists(status)) {
    std::error_code emptyError;
    const bool empty = fs::is_empty(folder, emptyError);
    if (emptyError || !empty) {
      app.createDialogError = "That folder already exists and is not empty.";
      return;
    }
  }
  fs::create_directories(folder, ec);
  if (ec) {
    app.createDialogError = "Could not create the project folder.";
    return;
  }
  const fs::path file = folder / (name + ".zelvanproj");
  // A file that did not reach the disk whole must not replace anything or be recorded.
  const ReplaceResult written = replaceFileWhole(file.string(), projectFileText(name), 0666);
  if (written == ReplaceResult::OpenFailed) {
    app.createDialogError = "Could not create the .zelvanproj project file.";
    return;
  }
  if (written != ReplaceResult::Replaced) {
    app.createDialogError = "Could not save the .zelvanproj project file.";
    return;
  }

  ProjectRecord record;
  record.name = name;
  record.path = file.string();
  record.lastOpened = now();
  std::vector<ProjectRecord> projects = app.settings->projects;
  projects.insert(projects.begin(), record);
  app.settings->projects = projects;
  app.settings->lastAddedProjectLocation = location;
  if (app.settings->defaultProjectLocation.empty()) app.settings->defaultProjectLocation = location;
  saveSettings(*app.settings);
  app.notice.clear();
}

void recordProjectOpened(AppState& app, std::vector<ProjectRecord> projects, ptrdiff_t index, int64_t time) {
  if (index >= 0 && static_cast<size_t>(index) < projects.size())
    projects[static_cast<size_t>(index)].lastOpened = time;
  sortProjectsByLastOpened(projects);
  app.settings->projects = projects;
  saveSettings(*app.settings);
  app.notice.clear();
}

void openProjectAt(AppState& app, int32_t index) {
  std::vector<ProjectRecord> projects = app.settings->projects;
  if (index < 0 || static_cast<size_t>(index) >= projects.size()) return;
  if (!app.pendingProjectPath.empty()) {
    app.page = Installs;
    return;
  }
  const int64_t time = now();
  if (launchRefused(app, time)) return;
  std::string error;
  if (openProjectInEditor(app, projects[static_cast<size_t>(index)].path, error)) {
    app.lastLaunchTime = time;
    recordProjectOpened(app, projects, index, time);
  } else if (!error.empty()) {
    app.cannotOpenMessage = error;
    app.cannotOpenRequested = true;
  }
}

void addProjectFromDisk(AppState& app) {
  if (launchRefused(app, now())) return;
  std::string start = app.settings->lastAddedProjectLocation;
  if (start.empty()) start = defaultProjectsDirectory();
  std::string command = "zenity --file-selection --file-filter='ORVO Project | *.zelvanproj' --title=" +
                        shellQuote("Open ORVO Project");
  if (!start.empty()) command += " --filename=" + shellQuote(start + "/");
  command += " 2>/dev/null";
  const std::string answer = runChooserCommand(command);
  if (answer.empty()) return;

  const fs::path chosenPath = fs::path(answer).lexically_normal();
  const std::string chosen = chosenPath.string();
  std::vector<ProjectRecord> projects = app.settings->projects;
  for (ProjectRecord& record : projects) {
    if (record.path != chosen) continue;
    record.lastOpened = now();
    sortProjectsByLastOpened(projects);
    app.settings->projects = projects;
    saveSettings(*app.settings);
    openRecordedProject(app, chosen);
    return;
  }

  ProjectRecord record;
  record.name = chosenPath.stem().string();
  if (record.name.empty()) record.name = chosenPath.filename().string();
  record.path = chosen;
  record.lastOpened = now();
  projects.insert(projects.begin(), record);
  app.settings->projects = projects;
  app.settings->lastAddedProjectLocation = chosenPath.parent_path().string();
  saveSettings(*app.settings);
  app.notice.clear();
  openRecordedProject(app, chosen);
}
