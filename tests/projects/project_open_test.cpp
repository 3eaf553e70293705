// Opening projects from the list and adding them from disk through a test "zenity" first on
// PATH, with a real editor process. The suites start editors: they run one at a time.
#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "config/launcher_config.h"
#include "config/settings.h"
#include "projects/editor_launch.h"
#include "projects/project_operations.h"
#include "support/temp_launcher.h"
#include "support/test_editor.h"
#include "updater/editor_updater.h"

namespace fs = std::filesystem;

TEST(EditorProcessOpenProjectAt, OpensStampsAndSavesTheProject) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  installTestEditor(launcher.path("install/editor"));
  launcher.addProject("Newest", 300);
  launcher.addProject("Middle", 200);
  app.notice = "ORVO Editor is already open.";

  openProjectAt(app, 1);
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  EXPECT_NE(readProcFile(editor, "cmdline").find("Middle.zelvanproj"), std::string::npos);
  EXPECT_EQ(app.settings->projects.front().name, "Middle");
  EXPECT_GE(app.settings->projects.front().lastOpened, static_cast<int64_t>(std::time(nullptr)) - 5);
  EXPECT_EQ(app.lastLaunchTime, app.settings->projects.front().lastOpened);
  EXPECT_EQ(app.notice, "");
  EXPECT_NE(launcher.savedSettings().find("Projects%5C1%5Cname=Middle\n"), std::string::npos);

  // Refused while it runs: only the notice changes.
  app.lastLaunchTime = 0;
  openProjectAt(app, 1);
  EXPECT_EQ(app.notice, "ORVO Editor is already open.");
  EXPECT_EQ(app.settings->projects.front().name, "Middle");
  stopEditor(editor);

  // Out of range does nothing at all.
  app.notice.clear();
  openProjectAt(app, -1);
  openProjectAt(app, 2);
  EXPECT_EQ(app.notice, "");
  EXPECT_TRUE(childEditors().empty());
}

TEST(EditorProcessOpenProjectAt, LaunchGuardsAndParking) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  installTestEditor(launcher.path("install/editor"));
  launcher.addProject("Game", 300);
  launcher.addProject("Gone", 200, /*present=*/false);

  // Within a second of the last attempt, and with the clock set back before it.
  app.lastLaunchTime = static_cast<int64_t>(std::time(nullptr));
  openProjectAt(app, 0);
  EXPECT_EQ(app.notice, "ORVO Editor is already open.");
  app.lastLaunchTime = static_cast<int64_t>(std::time(nullptr)) + 100;
  app.notice.clear();
  openProjectAt(app, 0);
  EXPECT_EQ(app.notice, "ORVO Editor is already open.");
  EXPECT_TRUE(childEditors().empty());

  // A parked project only shows the Installs page.
  app.lastLaunchTime = 0;
  app.notice.clear();
  app.pendingProjectPath = "/somewhere/Parked.zelvanproj";
  openProjectAt(app, 0);
  EXPECT_EQ(app.page, Installs);
  EXPECT_EQ(app.notice, "");
  EXPECT_TRUE(childEditors().empty());

  // A failed open shows the popup and leaves the list as it was.
  app.pendingProjectPath.clear();
  openProjectAt(app, 1);
  EXPECT_TRUE(app.cannotOpenRequested);
  EXPECT_EQ(app.cannotOpenMessage,
            "The project no longer exists:\n" + launcher.path("projects/Gone/Gone.zelvanproj"));
  EXPECT_EQ(app.settings->projects[1].lastOpened, 200);
}

TEST(EditorProcessOpenProjectAt, NoEditorParksTheProjectUntilAnInstall) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  app.config->updateManifestUrl = "https://127.0.0.1:9/manifest?platform=linux";
  app.updater = new EditorUpdater(app.config->updateManifestUrl, launcher.path("downloads"));
  app.updater->publish(UpdateState::Installing, "Installing editor 1.0.0\u2026");
  launcher.addProject("Game", 300);
  openProjectAt(app, 0);
  EXPECT_FALSE(app.cannotOpenRequested);
  EXPECT_EQ(app.pendingProjectPath, app.settings->projects[0].path);
  EXPECT_EQ(app.page, Installs);
  EXPECT_EQ(app.notice, "Installing ORVO Editor before opening this project\u2026");
}

TEST(EditorProcessAddFromDisk, ANewFileIsRecordedThenOpened) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  TestZenity zenity(launcher);
  installTestEditor(launcher.path("install/editor"));
  launcher.addProject("Listed", 300);
  fs::create_directories(launcher.path("disk/Game"));
  zenity.answer(launcher.path("disk/Game/./Game.zelvanproj"));
  app.notice = "old notice";

  addProjectFromDisk(app);
  EXPECT_EQ(
      zenity.arguments(),
      "--file-selection\n--file-filter=ORVO Project | *.zelvanproj\n--title=Open ORVO Project\n--filename=" +
          launcher.path("Documents") + "/\n");
  ASSERT_EQ(app.settings->projects.size(), 2u);
  const ProjectRecord& added = app.settings->projects.front();
  EXPECT_EQ(added.name, "Game");
  EXPECT_EQ(added.path, launcher.path("disk/Game/Game.zelvanproj"));
  EXPECT_EQ(app.settings->lastAddedProjectLocation, launcher.path("disk/Game"));
  EXPECT_EQ(app.notice, "");
  EXPECT_NE(launcher.savedSettings().find("Projects%5C1%5Cname=Game\n"), std::string::npos);
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  EXPECT_NE(readProcFile(editor, "cmdline").find(launcher.path("disk/Game/Game.zelvanproj")),
            std::string::npos);
  stopEditor(editor);

  // The next chooser starts where the last project was added, quoted so the shell changes nothing.
  app.lastLaunchTime = 0;
  app.settings->lastAddedProjectLocation = launcher.path("odd $HOME `x` \"q\" 'a'");
  zenity.answer("", 1);
  addProjectFromDisk(app);
  EXPECT_EQ(
      zenity.arguments(),
      "--file-selection\n--file-filter=ORVO Project | *.zelvanproj\n--title=Open ORVO Project\n--filename=" +
          launcher.path("odd $HOME `x` \"q\" 'a'") + "/\n");
  EXPECT_EQ(app.settings->projects.size(), 2u);
  EXPECT_TRUE(childEditors().empty());
}

TEST(EditorProcessAddFromDisk, AListedFileIsStampedNotAddedAgain) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  TestZenity zenity(launcher);
  installTestEditor(launcher.path("install/editor"));
  launcher.addProject("Newest", 300);
  const ProjectRecord listed = launcher.addProject("Listed", 200);
  app.settings->lastAddedProjectLocation = "/kept";
  app.notice = "kept notice";
  zenity.answer(launcher.path("projects/Listed/../Listed/Listed.zelvanproj"));

  addProjectFromDisk(app);
  ASSERT_EQ(app.settings->projects.size(), 2u);
  EXPECT_EQ(app.settings->projects.front().path, listed.path);
  EXPECT_GT(app.settings->projects.front().lastOpened, 300);
  EXPECT_EQ(app.settings->lastAddedProjectLocation, "/kept");
  EXPECT_EQ(app.notice, "kept notice");
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  stopEditor(editor);
}

TEST(EditorProcessAddFromDisk, RefusalsAndFailures) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  TestZenity zenity(launcher);

  // A launch within the last second refuses before any chooser opens.
  app.lastLaunchTime = static_cast<int64_t>(std::time(nullptr));
  zenity.answer(launcher.path("x.zelvanproj"));
  addProjectFromDisk(app);
  EXPECT_EQ(app.notice, "ORVO Editor is already open.");
  EXPECT_EQ(zenity.arguments(), "");

  // A file named only ".zelvanproj" keeps that name; without an editor the popup says why,
  // after the record was saved.
  app.lastLaunchTime = 0;
  zenity.answer(launcher.path("disk/.zelvanproj"));
  addProjectFromDisk(app);
  ASSERT_EQ(app.settings->projects.size(), 1u);
  EXPECT_EQ(app.settings->projects.front().name, ".zelvanproj");
  EXPECT_TRUE(app.cannotOpenRequested);
  EXPECT_EQ(app.cannotOpenMessage,
            "ORVO Editor is not installed and automatic installation is not configured.");
  EXPECT_NE(launcher.savedSettings().find("Projects%5Csize=1\n"), std::string::npos);

  // Re-opening it with a broken editor reports the failed start.
  app.cannotOpenRequested = false;
  writeWholeFile(launcher.path("install/editor"), "not a program", 0644);
  writeWholeFile(launcher.path("disk/.zelvanproj"), "x");
  addProjectFromDisk(app);
  EXPECT_TRUE(app.cannotOpenRequested);
  EXPECT_EQ(app.cannotOpenMessage,
            "The editor process failed to start (check the executable and its permissions).");
}
