// Creating projects on real files: names, locations, the project file and what is recorded.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "config/settings.h"
#include "projects/project_operations.h"
#include "support/temp_launcher.h"

namespace fs = std::filesystem;

namespace {

void setName(AppState& app, const std::string& name) {
  std::snprintf(app.newProjectName, sizeof(app.newProjectName), "%s", name.c_str());
}
void setLocation(AppState& app, const std::string& location) {
  std::snprintf(app.newProjectLocation, sizeof(app.newProjectLocation), "%s", location.c_str());
}

// The dialog's message after an attempt made in a child process as an unprivileged user, with
// the limits set first.
std::string createInChild(
    TempLauncher& launcher, const std::function<void()>& limits = [] {}) {
  return runInChild([&] {
    limits();
    createProject(launcher.app);
    return launcher.app.createDialogError;
  });
}

}  // namespace

TEST(CreateProject, WritesTheProjectFileAndRecordsItFirst) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  launcher.addProject("Older", 100);
  app.notice = "ORVO Editor is already open.";
  setName(app, "Demo");
  setLocation(app, launcher.path("work"));
  createProject(app);

  EXPECT_EQ(app.createDialogError, "");
  const std::string file = launcher.path("work/Demo/Demo.zelvanproj");
  const std::string bytes = readWholeFile(file);
  EXPECT_EQ(bytes, "ZelvanProject:\n  Name: Demo\n  FormatVersion: 1\n");
  EXPECT_EQ(bytes.size(), 47u);
  EXPECT_FALSE(fs::exists(file + ".tmp"));

  ASSERT_EQ(app.settings->projects.size(), 2u);
  const ProjectRecord& record = app.settings->projects.front();
  EXPECT_EQ(record.name, "Demo");
  EXPECT_EQ(record.path, file);
  EXPECT_GT(record.lastOpened, 100);
  EXPECT_FALSE(record.favorite);
  EXPECT_TRUE(record.targetPlatform.empty() && record.editorVersion.empty());
  EXPECT_EQ(app.settings->lastAddedProjectLocation, launcher.path("work"));
  EXPECT_EQ(app.settings->defaultProjectLocation, launcher.path("work"));
  EXPECT_EQ(app.notice, "");
  const std::string saved = launcher.savedSettings();
  EXPECT_NE(saved.find("Projects%5C1%5Cname=Demo\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Projects%5C2%5Cname=Older\n"), std::string::npos) << saved;

  // A second project keeps the default location as it was.
  setName(app, "Second");
  setLocation(app, launcher.path("elsewhere"));
  createProject(app);
  EXPECT_EQ(app.createDialogError, "");
  EXPECT_EQ(app.settings->projects.front().name, "Second");
  EXPECT_EQ(app.settings->defaultProjectLocation, launcher.path("work"));
  EXPECT_EQ(app.settings->lastAddedProjectLocation, launcher.path("elsewhere"));
}

TEST(CreateProject, NamesAreTrimmedOnTheRightAndCheckedForForbiddenBytes) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  setLocation(app, launcher.path("work"));

  setName(app, "My Game   ");
  createProject(app);
  EXPECT_EQ(app.createDialogError, "");
  EXPECT_EQ(readWholeFile(launcher.path("work/My Game/My Game.zelvanproj")),
            "ZelvanProject:\n  Name: My Game\n  FormatVersion: 1\n");
  EXPECT_EQ(app.settings->projects.front().name, "My Game");

  setName(app, "   ");
  createProject(app);
  EXPECT_EQ(app.createDialogError, "Enter a project name.");

  for (char forbidden : std::string("\"*/:<>?\\|")) {
    setName(app, std::string("bad") + forbidden + "name");
    createProject(app);
    EXPECT_EQ(app.createDialogError, "The project name contains characters that are not allowed.")
        << forbidden;
  }
  EXPECT_EQ(app.settings->projects.size(), 1u);

  // Leading spaces, tabs and non-ASCII letters are allowed and kept.
  setName(app, " Tab\tN\xC3\xA4me");
  createProject(app);
  EXPECT_EQ(app.createDialogError, "");
  EXPECT_TRUE(fs::exists(launcher.path("work/ Tab\tN\xC3\xA4me/ Tab\tN\xC3\xA4me.zelvanproj")));

  setLocation(app, "");
  setName(app, "Fine");
  createProject(app);
  EXPECT_EQ(app.createDialogError, "Choose a location for the project.");
  EXPECT_EQ(app.settings->projects.size(), 2u);
}

TEST(CreateProject, WhatIsAlreadyAtTheFolderDecides) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  setLocation(app, launcher.path("work"));

  fs::create_directories(launcher.path("work/Empty"));
  setName(app, "Empty");
  createProject(app);
  EXPECT_EQ(app.createDialogError, "");
  EXPECT_TRUE(fs::exists(launcher.path("work/Empty/Empty.zelvanproj")));

  writeWholeFile(launcher.path("work/Full/keep.txt"), "x");
  setName(app, "Full");
  createProject(app);
  EXPECT_EQ(app.createDialogError, "That folder already exists and is not empty.");
  EXPECT_FALSE(fs::exists(launcher.path("work/Full/Full.zelvanproj")));

  writeWholeFile(launcher.path("work/FileInTheWay"), "not empty");
  setName(app, "FileInTheWay");
  createProject(app);
  EXPECT_EQ(app.createDialogError, "That folder already exists and is not empty.");

  writeWholeFile(launcher.path("work/EmptyFile"), "");
  setName(app, "EmptyFile");
  createProject(app);
  EXPECT_EQ(app.createDialogError, "Could not create the project folder.");
  EXPECT_EQ(app.settings->projects.size(), 1u);

  // The corrected name succeeds and leaves no message.
  setName(app, "Corrected");
  createProject(app);
  EXPECT_EQ(app.createDialogError, "");
  EXPECT_EQ(app.settings->projects.size(), 2u);
}

TEST(CreateProject, UnwritablePlacesAndFailedWritesAreReported) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  fs::create_directories(launcher.path("locked/Existing"));
  chmod(launcher.path("locked").c_str(), 0555);
  chmod(launcher.path("locked/Existing").c_str(), 0555);
  fs::create_directories(launcher.path("open"));
  chmod(launcher.path("open").c_str(), 0777);

  setLocation(app, launcher.path("locked"));
  setName(app, "New");
  EXPECT_EQ(createInChild(launcher), "Could not create the project folder.");

  setName(app, "Existing");
  EXPECT_EQ(createInChild(launcher), "Could not create the .zelvanproj project file.");

  // A file that cannot be written whole is never renamed into place.
  setLocation(app, launcher.path("open"));
  setName(app, "Full");
  const std::string message = createInChild(launcher, [] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit none = {0, 0};
    setrlimit(RLIMIT_FSIZE, &none);
  });
  EXPECT_EQ(message, "Could not save the .zelvanproj project file.");
  EXPECT_FALSE(fs::exists(launcher.path("open/Full/Full.zelvanproj")));
  EXPECT_TRUE(fs::exists(launcher.path("open/Full/Full.zelvanproj.tmp")));
  chmod(launcher.path("locked/Existing").c_str(), 0755);
  chmod(launcher.path("locked").c_str(), 0755);
}

TEST(NewProjectDialog, StartsFromTheDefaultLocation) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  setName(app, "left over");
  app.createDialogError = "Enter a project name.";
  openNewProjectDialog(app);
  EXPECT_TRUE(app.createDialogRequested);
  EXPECT_STREQ(app.newProjectName, "");
  EXPECT_EQ(app.createDialogError, "");
  EXPECT_EQ(std::string(app.newProjectLocation), launcher.path("Documents/ORVO Projects"));

  app.settings->defaultProjectLocation = "/data/work";
  openNewProjectDialog(app);
  EXPECT_STREQ(app.newProjectLocation, "/data/work");

  // A location longer than the field is cut, never overrun.
  app.settings->defaultProjectLocation = std::string(2000, 'a');
  openNewProjectDialog(app);
  EXPECT_EQ(std::strlen(app.newProjectLocation), sizeof(app.newProjectLocation) - 1);

  app.settings->defaultProjectLocation.clear();
  ScopedEnv noHome("HOME", nullptr);
  openNewProjectDialog(app);
  EXPECT_STREQ(app.newProjectLocation, "ORVO Projects");
}

TEST(EditorLabel, StoredVersionFirstThenTheGenericName) {
  TempLauncher launcher;
  ProjectRecord record;
  record.editorVersion = "ORVO 1.2.0";
  EXPECT_EQ(editorLabelForProject(launcher.app, record), "ORVO 1.2.0");
  record.editorVersion.clear();
  // Without an updater the installed version is not asked for.
  EXPECT_EQ(editorLabelForProject(launcher.app, record), "ORVO Editor");
}
