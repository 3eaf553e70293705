// The create-project dialog and the cannot-open popup as the frame loop opens them.
#include "ui/project_dialogs.h"

#include <filesystem>

#include "launcher_screen.h"
#include "projects/project_operations.h"

namespace fs = std::filesystem;

namespace {

using ProjectDialogs = LauncherScreen;

TEST_F(ProjectDialogs, CreateShowsItsFieldsAndMessageUntilASuccess) {
  app.settings->defaultProjectLocation = launcher.path("work");
  openNewProjectDialog(app);
  frame();
  frame();
  for (const char* text : {"Choose a name and location.", "LOCATION", "Browse", "Create project"})
    EXPECT_TRUE(ui.drewText(text)) << text;
  clickText("My ORVO project");
  ui.typeText("Bad:Name  ");
  frame();
  frame();
  EXPECT_TRUE(ui.drewText(launcher.path("work") + "/Bad:Name")) << "the path preview";
  clickText("Create project");
  const std::string error = "The project name contains characters that are not allowed.";
  EXPECT_EQ(app.createDialogError, error);
  const ImVec2 message = ui.textPosition(error);
  EXPECT_TRUE(ui.drewColourIn(uiThemeDestructive(), ImRect(message, ImVec2(message.x + 60, message.y + 20))));

  std::snprintf(app.newProjectName, sizeof(app.newProjectName), "Good");
  frame();
  clickText("Create project");
  EXPECT_FALSE(ui.drewText("PROJECT NAME"));
  EXPECT_TRUE(fs::exists(launcher.path("work/Good/Good.zelvanproj")));
  EXPECT_EQ(app.settings->projects.size(), 1u);
}

TEST_F(ProjectDialogs, BrowseKeepsTheLocationWhenCancelledAndCancelCreatesNothing) {
  TestZenity zenity(launcher);
  app.settings->defaultProjectLocation = launcher.path("start here");
  openNewProjectDialog(app);
  frame();
  frame();
  zenity.answer(launcher.path("chosen"));
  clickText("Browse");
  EXPECT_EQ(zenity.arguments(),
            "--file-selection\n--directory\n--title=Choose project location\n--filename=" +
                launcher.path("start here") + "/\n");
  EXPECT_EQ(std::string(app.newProjectLocation), launcher.path("chosen"));
  zenity.answer("", 1);
  clickText("Browse");
  EXPECT_EQ(std::string(app.newProjectLocation), launcher.path("chosen"));

  std::snprintf(app.newProjectName, sizeof(app.newProjectName), "Never");
  clickText("Cancel");
  EXPECT_FALSE(ui.drewText("PROJECT NAME"));
  EXPECT_FALSE(fs::exists(launcher.path("chosen/Never")));
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
