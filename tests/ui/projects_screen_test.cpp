// The Projects page drawn headless inside the launcher's main window, driven by simulated mouse
// and keys. EditorProcess* suites start a real "editor": they must not run in parallel.
#include "ui/projects_screen.h"

#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "app/frame_loop.h"
#include "auth/auth_session.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "support/headless_ui.h"
#include "support/temp_launcher.h"
#include "support/test_editor.h"

namespace fs = std::filesystem;

namespace {

// A signed-in launcher whose window is 1180 x 740 at scale 1: the page starts at x = 210, the
// search box spans x 656 to 866 at y 16 to 48, and the table's rows start at y = 98 (138 below
// a notice), 52 high with 8 between them.
class ProjectsScreen : public ::testing::Test {
 protected:
  ProjectsScreen() : app(launcher.app) {
    app.config->configured = true;
    app.session = new AuthSession("client", "secret", app.settings);
    app.session->state = AuthState::SignedIn;
    app.updateCheckStarted = true;  // no update run in these tests
  }

  void frame() {
    ui.frame([&] { drawMainWindow(app); });
  }
  void click(float x, float y) {
    ui.click(x, y, [&] { drawMainWindow(app); });
  }
  void rightClick(float x, float y) {
    ui.moveMouse(x, y);
    frame();
    ui.pressMouse(1);
    frame();
    ui.releaseMouse(1);
    frame();
  }
  void key(ImGuiKey k) {
    ui.pressKey(k);
    frame();
    ui.releaseKey(k);
    frame();
  }
  // The row showing the project named name: its top-left corner, from where its name is drawn.
  ImVec2 rowOf(const std::string& name) {
    const ImVec2 text = ui.textPosition(name);
    return ImVec2(text.x - 54, text.y - 8);
  }
  ImVec2 starOf(const std::string& name) { return ImVec2(rowOf(name).x + 22, rowOf(name).y + 26); }
  // The rows are 938 wide here: the dots sit 28 in from the right edge.
  ImVec2 dotsOf(const std::string& name) { return ImVec2(rowOf(name).x + 938 - 28, rowOf(name).y + 26); }
  // Names of the shown rows, top to bottom.
  std::string order() {
    std::string names;
    for (int32_t index : projectRows(app, projectSearchTokens(app.searchText)))
      names += app.settings->projects[static_cast<size_t>(index)].name + " ";
    return names;
  }

  HeadlessUi ui{1180, 740, 1.0f};
  TempLauncher launcher;
  AppState& app;
};

class EditorProcessProjectsScreen : public ProjectsScreen {};

}  // namespace

TEST_F(ProjectsScreen, DrawsTheTitleBarHeaderAndRows) {
  launcher.addProject("Alpha", 300).targetPlatform = "Web";
  launcher.addProject("Beta", 200).editorVersion = "ORVO 2.0.1";
  frame();
  frame();
  // The page title in its own colour, 24 in from the page's left edge.
  EXPECT_TRUE(ui.drewColourIn(IM_COL32(245, 245, 245, 255), ImRect(ImVec2(234, 18), ImVec2(330, 46))));
  EXPECT_FALSE(ui.drewColourIn(IM_COL32(245, 245, 245, 255), ImRect(ImVec2(211, 18), ImVec2(233, 46))));
  for (const char* text : {"Add project from disk", "+ New project", "Name", "Platform", "Editor version",
                           "Web", "Linux x86_64", "ORVO 2.0.1", "ORVO Editor"})
    EXPECT_TRUE(ui.drewText(text)) << text << " in " << ui.drawnText();
  EXPECT_NEAR(rowOf("Alpha").x, 226, 0.5f);
  EXPECT_NEAR(rowOf("Alpha").y, 98, 0.5f);
  EXPECT_NEAR(rowOf("Beta").y, 158, 0.5f);
  EXPECT_TRUE(ui.drewText(launcher.path("projects/Alpha/Alpha.zelvanproj")));
  EXPECT_FALSE(ui.drewText("missing"));

  // A notice moves everything below the bar down by 40.
  app.notice = "ORVO Editor is already open.";
  frame();
  EXPECT_TRUE(ui.drewText("ORVO Editor is already open."));
  EXPECT_NEAR(ui.textPosition("ORVO Editor is already open.").y, 64 + 8, 0.5f);
  EXPECT_NEAR(rowOf("Alpha").y, 138, 0.5f);
}

TEST_F(ProjectsScreen, MissingProjectsAreMarkedAndDoNotOpen) {
  launcher.addProject("Gone", 300, /*present=*/false);
  app.settings->projects.push_back(ProjectRecord());  // as a short settings file can leave
  frame();
  frame();
  EXPECT_TRUE(ui.drewText(launcher.path("projects/Gone/Gone.zelvanproj") + " - missing"));
  EXPECT_TRUE(ui.drewColourIn(IM_COL32(239, 68, 68, 255),
                              ImRect(ui.textPosition("Gone"), ImVec2(ui.textPosition("Gone").x + 40, 130))));
  // The empty record shows only the marker.
  const std::string drawn = ui.drawnText();
  EXPECT_NE(drawn.find("-missing"), drawn.rfind("-missing"));
  click(rowOf("Gone").x + 300, rowOf("Gone").y + 26);
  EXPECT_EQ(app.lastLaunchTime, 0);
  EXPECT_FALSE(app.cannotOpenRequested);

  // Its menu offers only the favourite toggle and the removal.
  rightClick(rowOf("Gone").x + 300, rowOf("Gone").y + 26);
  EXPECT_TRUE(ui.drewText("Open Project"));
  click(ui.textPosition("Open Project").x + 5, ui.textPosition("Open Project").y + 5);
  EXPECT_EQ(app.lastLaunchTime, 0);
}

TEST_F(ProjectsScreen, SearchBoxFocusEscapeAndClearMark) {
  launcher.addProject("FooGame", 300).path = "/data/bar/FooGame/FooGame.zelvanproj";
  launcher.addProject("Foo", 200).path = "/data/other/Foo/Foo.zelvanproj";
  launcher.addProject("Zed", 100).path = "/data/zed/Zed.zelvanproj";
  frame();

  // A click on the magnifier starts typing.
  click(668, 32);
  ui.typeText("  FOO   bar ");
  frame();
  frame();
  EXPECT_STREQ(app.searchText, "  FOO   bar ");
  EXPECT_TRUE(ui.drewText("FooGame"));
  EXPECT_FALSE(ui.drewText("Zed"));
  EXPECT_EQ(order(), "FooGame ");

  key(ImGuiKey_Escape);
  EXPECT_STREQ(app.searchText, "");
  frame();
  EXPECT_TRUE(ui.drewText("Zed"));

  // The clear mark, 15 in from the right of the box, empties it.
  click(700, 32);
  ui.typeText("zed");
  frame();
  frame();
  EXPECT_EQ(order(), "Zed ");
  click(866 - 15, 32);
  frame();
  EXPECT_STREQ(app.searchText, "");
  EXPECT_EQ(order(), "FooGame Foo Zed ");
}

TEST(ProjectSearch, TokensFoldAsciiOnlyAndMatchNameOrPath) {
  EXPECT_EQ(projectSearchTokens("  Foo \t\t bAR  "), (std::vector<std::string>{"foo", "bar"}));
  EXPECT_TRUE(projectSearchTokens(" \t ").empty());
  EXPECT_EQ(projectSearchTokens("\xC3\x84"), (std::vector<std::string>{"\xC3\x84"}));

  TempLauncher launcher;
  AppState& app = launcher.app;
  ProjectRecord& accented = launcher.addProject("\xC3\xA4pfel", 300);
  accented.path = "/p/a.zelvanproj";
  launcher.addProject("Web thing", 200).targetPlatform = "Switch";
  const auto shown = [&](const char* search) { return projectRows(app, projectSearchTokens(search)).size(); };
  EXPECT_EQ(shown("\xC3\x84"), 0u);  // upper-case accented letters are not folded
  EXPECT_EQ(shown("\xC3\xA4"), 1u);
  EXPECT_EQ(shown("switch"), 0u);  // the platform is not searched
  EXPECT_EQ(shown("THING web"), 1u);
  EXPECT_EQ(shown(" \t"), 2u);
}

TEST_F(ProjectsScreen, HeadersSortAndFavouritesGoFirst) {
  launcher.addProject("beta", 500).targetPlatform = "Web";
  launcher.addProject("Alpha", 400);
  launcher.addProject("alpha", 600);
  launcher.addProject("Gamma", 100).favorite = true;
  sortProjectsByLastOpened(app.settings->projects);
  frame();
  EXPECT_EQ(order(), "alpha beta Alpha Gamma ");

  const ImVec2 name = ui.textPosition("Name");
  click(name.x + 5, name.y + 4);
  EXPECT_EQ(app.sortColumn, 1);
  EXPECT_TRUE(app.sortAscending);
  // Equal names ignoring case stay newest first in both directions.
  EXPECT_EQ(order(), "alpha Alpha beta Gamma ");
  frame();
  // The direction mark points up: its apex is above its base, right of the label.
  EXPECT_TRUE(ui.drewColourIn(IM_COL32(245, 245, 245, 255),
                              ImRect(ImVec2(name.x + 30, 70), ImVec2(name.x + 45, 80))));
  click(name.x + 5, name.y + 4);
  EXPECT_FALSE(app.sortAscending);
  EXPECT_EQ(order(), "Gamma beta alpha Alpha ");

  const ImVec2 platform = ui.textPosition("Platform");
  click(platform.x + 5, platform.y + 4);
  EXPECT_EQ(app.sortColumn, 2);
  EXPECT_TRUE(app.sortAscending);
  EXPECT_EQ(order(), "alpha Alpha Gamma beta ");  // an empty platform sorts as "Linux x86_64"

  // The star in the header puts favourites first, whatever the direction.
  click(210 + 16 + 22, 64 + 15);
  EXPECT_TRUE(app.favoritesFirst);
  EXPECT_EQ(order(), "Gamma alpha Alpha beta ");
  app.sortColumn = 0;
  EXPECT_EQ(order(), "Gamma alpha beta Alpha ");
  click(210 + 16 + 22, 64 + 15);
  EXPECT_FALSE(app.favoritesFirst);
  EXPECT_EQ(order(), "alpha beta Alpha Gamma ");

  // "Editor version" sorts by the label shown: a stored version, else "ORVO Editor" here.
  app.settings->projects[1].editorVersion = "orvo 1.0";  // beta
  app.settings->projects[3].editorVersion = "ORVO 9.0";  // Gamma
  const ImVec2 editor = ui.textPosition("Editor version");
  click(editor.x + 5, editor.y + 4);
  EXPECT_EQ(app.sortColumn, 3);
  EXPECT_EQ(order(), "beta Gamma alpha Alpha ");
}

TEST_F(ProjectsScreen, StarDotsAndRightClicksOnARow) {
  launcher.addProject("Game", 300);
  frame();
  frame();

  click(starOf("Game").x, starOf("Game").y);
  EXPECT_TRUE(app.settings->projects[0].favorite);
  EXPECT_NE(launcher.savedSettings().find("Projects%5C1%5Cfavorite=true"), std::string::npos);
  EXPECT_EQ(app.lastLaunchTime, 0);
  EXPECT_FALSE(ui.drewText("Open Project"));

  click(dotsOf("Game").x, dotsOf("Game").y);
  frame();
  EXPECT_TRUE(ui.drewText("Remove from Favorites"));
  EXPECT_EQ(app.lastLaunchTime, 0);
  click(ui.textPosition("Remove from Favorites").x + 5, ui.textPosition("Remove from Favorites").y + 5);
  EXPECT_FALSE(app.settings->projects[0].favorite);
  frame();
  EXPECT_FALSE(ui.drewText("Open Project"));

  for (ImVec2 at : {starOf("Game"), dotsOf("Game"), ImVec2(rowOf("Game").x + 400, rowOf("Game").y + 10)}) {
    rightClick(at.x, at.y);
    frame();
    EXPECT_TRUE(ui.drewText("Add to Favorites")) << at.x;
    click(700, 600);  // a click elsewhere closes the menu
    frame();
  }
  EXPECT_EQ(app.lastLaunchTime, 0);
  EXPECT_FALSE(app.settings->projects[0].favorite);
}

TEST_F(ProjectsScreen, ShowInFileManagerAndRemoveFromList) {
  const std::string bin = launcher.path("fakebin");
  writeWholeFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + bin + "/opened\"\n", 0755);
  ScopedEnv path("PATH", (bin + ":" + std::string(std::getenv("PATH"))).c_str());
  launcher.addProject("Keep", 300);
  launcher.addProject("Drop", 200);
  frame();
  frame();

  rightClick(rowOf("Drop").x + 400, rowOf("Drop").y + 10);
  frame();
  click(ui.textPosition("Show in File Manager").x + 5, ui.textPosition("Show in File Manager").y + 5);
  for (int i = 0; i < 2000 && readWholeFile(bin + "/opened").empty(); ++i) usleep(10000);
  EXPECT_EQ(readWholeFile(bin + "/opened"), launcher.path("projects/Drop"));

  rightClick(rowOf("Drop").x + 400, rowOf("Drop").y + 10);
  frame();
  click(ui.textPosition("Remove From List").x + 5, ui.textPosition("Remove From List").y + 5);
  ASSERT_EQ(app.settings->projects.size(), 1u);
  EXPECT_EQ(app.settings->projects[0].name, "Keep");
  EXPECT_NE(launcher.savedSettings().find("Projects%5Csize=1\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(launcher.path("projects/Drop")));
  frame();
  EXPECT_FALSE(ui.drewText("Drop"));
}

TEST_F(ProjectsScreen, RemovingTheLastRowOfSeveralNeverReadsPastTheList) {
  for (int i = 0; i < 5; ++i) launcher.addProject("P" + std::to_string(i), 100 - i);
  frame();
  frame();
  // Remove the first row: the four rows after it this frame are stale and skipped.
  rightClick(rowOf("P0").x + 400, rowOf("P0").y + 10);
  frame();
  click(ui.textPosition("Remove From List").x + 5, ui.textPosition("Remove From List").y + 5);
  EXPECT_EQ(app.settings->projects.size(), 4u);
  frame();
  EXPECT_TRUE(ui.drewText("P4"));
  EXPECT_NEAR(rowOf("P1").y, 98, 0.5f);
}

TEST_F(ProjectsScreen, EmptyStates) {
  std::snprintf(app.searchText, sizeof(app.searchText), "anything");
  frame();
  frame();
  EXPECT_TRUE(ui.drewText("No projects"));
  EXPECT_TRUE(ui.drewText("Create a new project or select your projects folder to get started."));
  EXPECT_TRUE(ui.drewText("Import projects"));
  // The empty state's own "+ New project" below the title.
  const ImVec2 title = ui.textPosition("No projects");
  click(title.x + 60, title.y + 56 + 17);
  frame();
  ASSERT_TRUE(ui.drewText("PROJECT NAME"));
  click(ui.textPosition("Cancel").x + 5, ui.textPosition("Cancel").y + 5);
  frame();
  EXPECT_FALSE(ui.drewText("PROJECT NAME"));

  launcher.addProject("Game", 300);
  frame();
  frame();
  EXPECT_TRUE(ui.drewText("No matching projects"));
  EXPECT_TRUE(ui.drewText("No project matches your search criteria. Try a different search."));
  const ImVec2 clear = ui.textPosition("Clear search");
  click(clear.x + 10, clear.y + 5);
  EXPECT_STREQ(app.searchText, "");
  frame();
  EXPECT_TRUE(ui.drewText("Game"));
}

TEST_F(EditorProcessProjectsScreen, CreateFindFavourSortOpenAndRemove) {
  installTestEditor(launcher.path("install/editor"));
  launcher.addProject("Older", 100);
  app.settings->defaultProjectLocation = launcher.path("work");
  frame();

  // "+ New project" opens the dialog; type a name and create.
  click(1030 + 60, 32);
  frame();
  ASSERT_TRUE(ui.drewText("PROJECT NAME"));
  const ImVec2 hint = ui.textPosition("My ORVO project");
  click(hint.x + 20, hint.y + 4);
  ui.typeText("Demo");
  frame();
  frame();
  const ImVec2 create = ui.textPosition("Create project");
  click(create.x + 10, create.y + 4);
  frame();
  ASSERT_EQ(app.createDialogError, "");
  EXPECT_EQ(readWholeFile(launcher.path("work/Demo/Demo.zelvanproj")).size(), 47u);
  EXPECT_FALSE(ui.drewText("PROJECT NAME"));
  EXPECT_EQ(order(), "Demo Older ");

  // Found by search, favoured, sorted.
  click(700, 32);
  ui.typeText("dem");
  frame();
  frame();
  EXPECT_EQ(order(), "Demo ");
  key(ImGuiKey_Escape);
  frame();
  click(starOf("Older").x, starOf("Older").y);
  click(210 + 16 + 22, 64 + 15);
  EXPECT_EQ(order(), "Older Demo ");
  frame();

  // A click on the row opens it in the editor and moves it to the front of the list.
  click(rowOf("Demo").x + 300, rowOf("Demo").y + 26);
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0) << app.notice << app.cannotOpenMessage << order();
  EXPECT_NE(readProcFile(editor, "cmdline").find(launcher.path("work/Demo/Demo.zelvanproj")),
            std::string::npos);
  EXPECT_EQ(app.settings->projects.front().name, "Demo");
  stopEditor(editor);

  // Within the same second a second click only shows the notice.
  app.lastLaunchTime = static_cast<int64_t>(std::time(nullptr));
  frame();
  click(rowOf("Demo").x + 300, rowOf("Demo").y + 26);
  frame();
  EXPECT_TRUE(ui.drewText("ORVO Editor is already open."));
  EXPECT_TRUE(childEditors().empty());

  rightClick(rowOf("Demo").x + 400, rowOf("Demo").y + 10);
  frame();
  click(ui.textPosition("Remove From List").x + 5, ui.textPosition("Remove From List").y + 5);
  frame();
  EXPECT_EQ(order(), "Older ");
  EXPECT_TRUE(fs::exists(launcher.path("work/Demo/Demo.zelvanproj")));
}
