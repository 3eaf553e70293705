// The create-project dialog and the cannot-open popup as the frame loop opens them, headless.
#include "ui/project_dialogs.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "app/frame_loop.h"
#include "config/settings.h"
#include "projects/project_operations.h"
#include "support/headless_ui.h"
#include "support/temp_launcher.h"

namespace fs = std::filesystem;

namespace {

class ProjectDialogs : public ::testing::Test {
 protected:
  ProjectDialogs() : app(launcher.app) {}
  void frame() {
    ui.frame([&] { drawMainWindow(app); });
  }
  void clickText(const std::string& text) {
    ASSERT_TRUE(ui.drewText(text)) << text << " in " << ui.drawnText();
    const ImVec2 at = ui.textPosition(text);
    ui.click(at.x + 4, at.y + 4, [&] { drawMainWindow(app); });
    frame();
  }

  HeadlessUi ui{1180, 740, 1.0f};
  TempLauncher launcher;
  AppState& app;
};

}  // namespace

TEST_F(ProjectDialogs, CreateShowsItsFieldsPreviewAndMessageUntilASuccess) {
  app.settings->defaultProjectLocation = launcher.path("work");
  openNewProjectDialog(app);
  frame();
  EXPECT_FALSE(app.createDialogRequested);
  frame();
  for (const char* text : {"Choose a name and location.", "PROJECT NAME", "LOCATION", "Browse", "Cancel",
                           "Create project", "My ORVO project"})
    EXPECT_TRUE(ui.drewText(text)) << text;
  EXPECT_TRUE(ui.drewText(launcher.path("work") + "/"));

  clickText("My ORVO project");
  ui.typeText("Bad:Name  ");
  frame();
  frame();
  EXPECT_TRUE(ui.drewText(launcher.path("work") + "/Bad:Name"));
  clickText("Create project");
  EXPECT_EQ(app.createDialogError, "The project name contains characters that are not allowed.");
  const ImVec2 message = ui.textPosition("The project name contains characters that are not allowed.");
  EXPECT_TRUE(ui.drewColourIn(uiThemeDestructive(), ImRect(message, ImVec2(message.x + 60, message.y + 20))));
  EXPECT_TRUE(ui.drewText("PROJECT NAME"));

  std::snprintf(app.newProjectName, sizeof(app.newProjectName), "Good");
  frame();
  clickText("Create project");
  EXPECT_EQ(app.createDialogError, "");
  EXPECT_FALSE(ui.drewText("PROJECT NAME"));
  EXPECT_TRUE(fs::exists(launcher.path("work/Good/Good.zelvanproj")));
  EXPECT_EQ(app.settings->projects.size(), 1u);
}

TEST_F(ProjectDialogs, BrowseAndCancel) {
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
  EXPECT_TRUE(app.settings->projects.empty());
  EXPECT_FALSE(fs::exists(launcher.path("chosen/Never")));
}

TEST_F(ProjectDialogs, CannotOpenShowsTheMessageLinesUntilOk) {
  app.cannotOpenMessage = "The project no longer exists:\n/data/Gone/Gone.zelvanproj";
  app.cannotOpenRequested = true;
  frame();
  EXPECT_FALSE(app.cannotOpenRequested);
  frame();
  ASSERT_TRUE(ui.drewText("The project no longer exists:"));
  EXPECT_GT(ui.textPosition("/data/Gone/Gone.zelvanproj").y,
            ui.textPosition("The project no longer exists:").y);
  clickText("OK");
  EXPECT_FALSE(ui.drewText("The project no longer exists:"));
  EXPECT_EQ(app.cannotOpenMessage, "The project no longer exists:\n/data/Gone/Gone.zelvanproj");
}
