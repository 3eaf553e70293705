// The create-project dialog and the cannot-open popup as the frame loop opens them.
#include "ui/project_dialogs.h"

#include <filesystem>

#include "launcher_screen.h"
#include "projects/project_operations.h"

namespace {

using ProjectDialogs = LauncherScreen;

TEST_F(ProjectDialogs, CreateShowsItsMessageBrowseKeepsACancelledChoiceCancelCreatesNothing) {
  TestZenity zenity(launcher);
  app.settings->defaultProjectLocation = launcher.path("start here");
  openNewProjectDialog(app);
  frame();
  frame();
  EXPECT_TRUE(ui.drewText("Choose a name and location."));
  clickText("My ORVO project");
  ui.typeText("Bad:Name  ");
  frame();
  frame();
  EXPECT_TRUE(ui.drewText(launcher.path("start here") + "/Bad:Name")) << "the path preview";
  clickText("Create project");
  const std::string error = "The project name contains characters that are not allowed.";
  EXPECT_EQ(app.createDialogError, error);
  const ImVec2 message = ui.textPosition(error);
  EXPECT_TRUE(ui.drewColourIn(uiThemeDestructive(), ImRect(message, ImVec2(message.x + 60, message.y + 20))));

  zenity.answer(launcher.path("chosen"));
  clickText("Browse");
  EXPECT_EQ(zenity.arguments(),
            "--file-selection\n--directory\n--title=Choose project location\n--filename=" +
                launcher.path("start here") + "/\n");
  zenity.answer("", 1);
  clickText("Browse");
  EXPECT_EQ(std::string(app.newProjectLocation), launcher.path("chosen"));
  std::snprintf(app.newProjectName, sizeof(app.newProjectName), "Never");
  clickText("Cancel");
  EXPECT_FALSE(ui.drewText("PROJECT NAME"));
  EXPECT_FALSE(std::filesystem::exists(launcher.path("chosen/Never")));
  EXPECT_TRUE(app.settings->projects.empty());
}

TEST_F(ProjectDialogs, CannotOpenShowsTheMessageLinesUntilOk) {
  app.cannotOpenMessage = "The project no longer exists:\n/data/Gone/Gone.zelvanproj";
  app.cannotOpenRequested = true;
  frame();
  frame();
  EXPECT_GT(ui.textPosition("/data/Gone/Gone.zelvanproj").y,
            ui.textPosition("The project no longer exists:").y);
  clickText("OK");
  EXPECT_FALSE(ui.drewText("The project no longer exists:"));
}

}  // namespace
