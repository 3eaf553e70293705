// The Projects page driven by simulated mouse and keys. EditorProcess* suites start a real
// "editor": they must not run in parallel with other such suites.
#include "ui/projects_screen.h"

#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "launcher_screen.h"
#include "support/test_editor.h"

namespace fs = std::filesystem;

namespace {

// The search box spans x 656 to 866 at y 16 to 48; the header star is at (248, 79); rows start
// at y = 98 (138 below a notice), 52 high with 8 between them, 938 wide.
const ImVec2 kHeaderStar(248, 79);

class ProjectsScreen : public LauncherScreen {
 protected:
  ProjectsScreen() { app.session->state = AuthState::SignedIn; }
  // The top-left corner of the row showing name, found from where its name is drawn.
  ImVec2 rowOf(const std::string& name) {
    const ImVec2 text = ui.textPosition(name);
    return ImVec2(text.x - 54, text.y - 8);
  }
  ImVec2 inRow(const std::string& name, float x, float y = 26) {
    return ImVec2(rowOf(name).x + x, rowOf(name).y + y);
  }
  ImVec2 starOf(const std::string& name) { return inRow(name, 22); }
  ImVec2 dotsOf(const std::string& name) { return inRow(name, 938 - 28); }
  void menuItem(const std::string& name, const std::string& item) {
    click(inRow(name, 400, 10), 1);
    frame();
    clickText(item);
  }
  // Names of the shown rows, top to bottom.
  std::string order() {
    std::string names;
    for (int32_t index : projectRows(app, projectSearchTokens(app.searchText)))
      names += app.settings->projects[static_cast<size_t>(index)].name + " ";
    return names;
  }
};

class EditorProcessProjectsScreen : public ProjectsScreen {};

TEST_F(ProjectsScreen, DrawsTheBarHeaderRowsNoticeAndMissingProjects) {
  launcher.addProject("Alpha", 300).targetPlatform = "Web";
  launcher.addProject("Beta", 200).editorVersion = "ORVO 2.0.1";
  launcher.addProject("Gone", 100, /*present=*/false);
  app.settings->projects.push_back(ProjectRecord());  // as a short settings file can leave
  frame();
  frame();
  for (const char* text : {"Add project from disk", "+ New project", "Name", "Platform", "Editor version",
                           "Web", "Linux x86_64", "ORVO 2.0.1", "ORVO Editor"})
    EXPECT_TRUE(ui.drewText(text)) << text << " in " << ui.drawnText();
  // The page title in its own colour, 24 in from the page's left edge.
  const ImU32 title = IM_COL32(245, 245, 245, 255);
  EXPECT_TRUE(ui.drewColourIn(title, ImRect(ImVec2(234, 18), ImVec2(330, 46))));
  EXPECT_FALSE(ui.drewColourIn(title, ImRect(ImVec2(211, 18), ImVec2(233, 46))));
  EXPECT_NEAR(rowOf("Alpha").x, 226, 0.5f);
  EXPECT_NEAR(rowOf("Alpha").y, 98, 0.5f);
  EXPECT_NEAR(rowOf("Beta").y, 158, 0.5f);
  EXPECT_TRUE(ui.drewText(launcher.path("projects/Alpha/Alpha.zelvanproj")));

  // A missing project is marked in red (the empty record shows only the marker) and does not open.
  EXPECT_TRUE(ui.drewText(launcher.path("projects/Gone/Gone.zelvanproj") + " - missing"));
  const ImVec2 gone = ui.textPosition("Gone");
  EXPECT_TRUE(ui.drewColourIn(IM_COL32(239, 68, 68, 255), ImRect(gone, ImVec2(gone.x + 40, gone.y + 20))));
  const std::string drawn = ui.drawnText();
  EXPECT_NE(drawn.find("-missing"), drawn.rfind("-missing"));
  click(inRow("Gone", 300));
  menuItem("Gone", "Open Project");
  EXPECT_EQ(app.lastLaunchTime, 0);
  EXPECT_FALSE(app.cannotOpenRequested);

  // A notice moves everything below the bar down by 40.
  app.notice = "ORVO Editor is already open.";
  frame();
  EXPECT_NEAR(ui.textPosition("ORVO Editor is already open.").y, 64 + 8, 0.5f);
  EXPECT_NEAR(rowOf("Alpha").y, 138, 0.5f);
}

TEST(ProjectSearch, TokensFoldAsciiOnlyAndMatchNameOrPath) {
  EXPECT_EQ(projectSearchTokens("  Foo \t\t bAR  "), (std::vector<std::string>{"foo", "bar"}));
  TempLauncher launcher;
  launcher.addProject("\xC3\xA4pfel", 300).path = "/p/a.zelvanproj";
  launcher.addProject("Web thing", 200).targetPlatform = "Switch";
  launcher.addProject("Other", 100).path = "/data/bar/FooGame/x.zelvanproj";
  const std::pair<const char*, size_t> cases[] = {
      {"\xC3\x84", 0},                  // upper-case accented letters are not folded
      {"\xC3\xA4", 1},  {"switch", 0},  // the platform is not searched
      {"THING web", 1}, {"foogame BAR", 1}, {" \t", 3},
  };
  for (const auto& [search, shown] : cases)
    EXPECT_EQ(projectRows(launcher.app, projectSearchTokens(search)).size(), shown) << search;
}

TEST_F(ProjectsScreen, SearchBoxFocusEscapeAndClearMark) {
  launcher.addProject("FooGame", 300);
  launcher.addProject("Zed", 100);
  frame();
  click(ImVec2(668, 32));  // the magnifier starts typing
  ui.typeText("  FOO  ");
  frame();
  frame();
  EXPECT_STREQ(app.searchText, "  FOO  ");
  EXPECT_FALSE(ui.drewText("Zed"));
  key(ImGuiKey_Escape);
  EXPECT_STREQ(app.searchText, "");
  EXPECT_TRUE(ui.drewText("Zed"));

  click(ImVec2(700, 32));
  ui.typeText("zed");
  frame();
  frame();
  EXPECT_EQ(order(), "Zed ");
  click(ImVec2(866 - 15, 32));  // the clear mark
  EXPECT_STREQ(app.searchText, "");
}

TEST_F(ProjectsScreen, HeadersSortAndFavouritesGoFirst) {
  launcher.addProject("beta", 500).targetPlatform = "Web";
  launcher.addProject("Alpha", 400);
  launcher.addProject("alpha", 600);
  launcher.addProject("Gamma", 100).favorite = true;
  sortProjectsByLastOpened(app.settings->projects);
  frame();
  EXPECT_EQ(order(), "alpha beta Alpha Gamma ");

  clickText("Name");
  EXPECT_EQ(order(), "alpha Alpha beta Gamma ") << "equal names ignoring case stay newest first";
  const ImVec2 name = ui.textPosition("Name");
  EXPECT_TRUE(
      ui.drewColourIn(IM_COL32(245, 245, 245, 255), ImRect(ImVec2(name.x + 30, 70), ImVec2(name.x + 45, 80))))
      << "the direction mark beside the label";
  clickText("Name");
  EXPECT_EQ(order(), "Gamma beta alpha Alpha ");
  clickText("Platform");
  EXPECT_EQ(order(), "alpha Alpha Gamma beta ") << "an empty platform sorts as Linux x86_64";

  click(kHeaderStar);
  EXPECT_EQ(order(), "Gamma alpha Alpha beta ");
  click(kHeaderStar);
  EXPECT_EQ(order(), "alpha Alpha Gamma beta ");

  // By the label shown: a stored version, else "ORVO Editor".
  app.settings->projects[1].editorVersion = "orvo 1.0";  // beta
  app.settings->projects[3].editorVersion = "ORVO 9.0";  // Gamma
  clickText("Editor version");
  EXPECT_EQ(order(), "beta Gamma alpha Alpha ");
}

TEST_F(ProjectsScreen, StarDotsAndRightClicksOnARowDoNotOpenIt) {
  launcher.addProject("Game", 300);
  frame();
  frame();
  click(starOf("Game"));
  EXPECT_TRUE(app.settings->projects[0].favorite);
  EXPECT_NE(launcher.savedSettings().find("Projects%5C1%5Cfavorite=true"), std::string::npos);
  EXPECT_FALSE(ui.drewText("Open Project"));

  const std::pair<ImVec2, int> menuOpeners[] = {
      {starOf("Game"), 1}, {dotsOf("Game"), 0}, {inRow("Game", 400, 10), 1}};
  for (const auto& [at, button] : menuOpeners) {
    click(at, button);
    frame();
    EXPECT_TRUE(ui.drewText("Remove from Favorites")) << at.x;
    click(ImVec2(700, 600));  // a click elsewhere closes the menu
  }
  clickText("Game", 1);
  clickText("Remove from Favorites");
  EXPECT_FALSE(app.settings->projects[0].favorite);
  EXPECT_EQ(app.lastLaunchTime, 0);
}

TEST_F(ProjectsScreen, ShowInFileManagerAndRemoveFromList) {
  for (int i = 0; i < 4; ++i) launcher.addProject("P" + std::to_string(i), 100 - i);
  frame();
  frame();
  menuItem("P2", "Show in File Manager");
  for (int i = 0; i < 2000 && opened().empty(); ++i) usleep(10000);
  EXPECT_EQ(opened(), launcher.path("projects/P2"));

  // Removing the first row leaves the rest of that frame's rows stale: they are skipped.
  menuItem("P0", "Remove From List");
  EXPECT_EQ(order(), "P1 P2 P3 ");
  EXPECT_NE(launcher.savedSettings().find("Projects%5Csize=3\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(launcher.path("projects/P0")));
  EXPECT_NEAR(rowOf("P1").y, 98, 0.5f);
  EXPECT_FALSE(ui.drewText("P0"));
}

TEST_F(ProjectsScreen, EmptyStates) {
  std::snprintf(app.searchText, sizeof(app.searchText), "anything");
  frame();
  frame();
  EXPECT_TRUE(ui.drewText("Create a new project or select your projects folder to get started."));
  EXPECT_TRUE(ui.drewText("Import projects"));
  const ImVec2 title = ui.textPosition("No projects");
  click(ImVec2(title.x + 60, title.y + 56 + 17));  // its own "+ New project"
  frame();
  EXPECT_TRUE(ui.drewText("PROJECT NAME"));
  clickText("Cancel");

  launcher.addProject("Game", 300);
  frame();
  EXPECT_TRUE(ui.drewText("No matching projects"));
  EXPECT_TRUE(ui.drewText("No project matches your search criteria. Try a different search."));
  clickText("Clear search");
  EXPECT_STREQ(app.searchText, "");
  EXPECT_TRUE(ui.drewText("Game"));
}

TEST_F(EditorProcessProjectsScreen, CreateFindFavourSortOpenAndRemove) {
  installTestEditor(launcher.path("install/editor"));
  launcher.addProject("Older", 100);
  app.settings->defaultProjectLocation = launcher.path("work");
  frame();
  clickText("+ New project");
  clickText("My ORVO project");
  ui.typeText("Demo");
  frame();
  frame();
  clickText("Create project");
  ASSERT_EQ(app.createDialogError, "");
  EXPECT_EQ(readWholeFile(launcher.path("work/Demo/Demo.zelvanproj")).size(), 47u);
  EXPECT_EQ(order(), "Demo Older ");

  click(ImVec2(700, 32));
  ui.typeText("dem");
  frame();
  EXPECT_EQ(order(), "Demo ");
  key(ImGuiKey_Escape);
  click(starOf("Older"));
  click(kHeaderStar);
  EXPECT_EQ(order(), "Older Demo ");
  frame();

  // A click on the row opens it in the editor and moves it to the front of the list.
  click(inRow("Demo", 300));
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0) << app.notice << app.cannotOpenMessage;
  EXPECT_NE(readProcFile(editor, "cmdline").find(launcher.path("work/Demo/Demo.zelvanproj")),
            std::string::npos);
  EXPECT_EQ(app.settings->projects.front().name, "Demo");
  stopEditor(editor);

  // Within the same second a second click only shows the notice.
  app.lastLaunchTime = static_cast<int64_t>(std::time(nullptr));
  frame();
  click(inRow("Demo", 300));
  frame();
  EXPECT_TRUE(ui.drewText("ORVO Editor is already open."));
  EXPECT_TRUE(childEditors().empty());

  menuItem("Demo", "Remove From List");
  EXPECT_EQ(order(), "Older ");
  EXPECT_TRUE(fs::exists(launcher.path("work/Demo/Demo.zelvanproj")));
}

}  // namespace
