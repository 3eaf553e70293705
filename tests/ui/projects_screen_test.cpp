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

// The search box spans x 656 to 866 at y 16 to 48; rows start at y = 98, 52 high with 8 between
// them, 938 wide.
const ImVec2 kHeaderStar(248, 79), kSearchBox(700, 32), kMagnifier(668, 32), kClearMark(866 - 15, 32);

class ProjectsScreen : public LauncherScreen {
 protected:
  ProjectsScreen() { app.session->state = AuthState::SignedIn; }
  // A point of the row showing name, from its top-left corner (found from where its name is drawn).
  ImVec2 inRow(const std::string& name, float x = 400, float y = 26) {
    const ImVec2 text = ui.textPosition(name);
    return ImVec2(text.x - 54 + x, text.y - 8 + y);
  }
  ImVec2 starOf(const std::string& name) { return inRow(name, 22); }
  void menuItem(const std::string& name, const std::string& item) {
    click(inRow(name), 1);
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
  for (const std::string& text :
       {std::string("Add project from disk"), std::string("Editor version"), std::string("Linux x86_64"),
        std::string("ORVO 2.0.1"), std::string("ORVO Editor"),
        launcher.path("projects/Alpha/Alpha.zelvanproj")})
    EXPECT_TRUE(ui.drewText(text)) << text << " in " << ui.drawnText();
  EXPECT_NEAR(inRow("Alpha", 0, 0).x, 226, 0.5f);
  EXPECT_NEAR(inRow("Alpha", 0, 0).y, 98, 0.5f);
  EXPECT_NEAR(inRow("Beta", 0, 0).y, 158, 0.5f);

  // An idle window asks twice a second whether a shown folder went or came, without drawing.
  EXPECT_GT(fileSystemPollSeconds(app), 0.0);
  EXPECT_LE(fileSystemPollSeconds(app), 0.5);
  EXPECT_FALSE(shownFilesChanged(app));
  fs::rename(launcher.path("projects/Alpha"), launcher.path("Alpha moved"));
  EXPECT_TRUE(shownFilesChanged(app));
  frame();
  EXPECT_TRUE(ui.drewText(launcher.path("projects/Alpha/Alpha.zelvanproj") + " - missing"));
  EXPECT_FALSE(shownFilesChanged(app));
  fs::rename(launcher.path("Alpha moved"), launcher.path("projects/Alpha"));
  EXPECT_TRUE(shownFilesChanged(app));
  frame();

  // A missing project is marked and opens neither by a click nor from its menu.
  EXPECT_TRUE(ui.drewText(launcher.path("projects/Gone/Gone.zelvanproj") + " - missing"));
  click(inRow("Gone"));
  menuItem("Gone", "Open Project");
  EXPECT_EQ(app.lastLaunchTime, 0);
  EXPECT_FALSE(app.cannotOpenRequested);

  // A notice moves everything below the bar down by 40.
  app.notice = "ORVO Editor is already open.";
  frame();
  EXPECT_NEAR(ui.textPosition("ORVO Editor is already open.").y, 64 + 8, 0.5f);
  EXPECT_NEAR(inRow("Alpha", 0, 0).y, 138, 0.5f);
}

TEST_F(ProjectsScreen, TextsInAnyScriptDrawWithRealGlyphsNotTheFallback) {
  const std::string names[] = {
      "\u041F\u0440\u043E\u0435\u043A\u0442 Alpha", "\u0388\u03C1\u03B3\u03BF \u0392",
      "\u65E5\u672C\u8A9E\u306E\u30B2\u30FC\u30E0", "\u0645\u0634\u0631\u0648\u0639"};
  for (const std::string& name : names) launcher.addProject(name, 100);
  app.session->userName = "\u03A3\u03BF\u03C6\u03AF\u03B1 \u5C71\u7530";
  app.session->userEmail = "\u043F\u043E\u0447\u0442\u0430@example.org";
  frame();
  frame();  // the characters the first frame met are baked before the second
  for (const std::string& text : {names[0], names[1], names[2], names[3], app.session->userName,
                                  app.session->userEmail, launcher.path("projects/" + names[2])})
    EXPECT_TRUE(ui.drewText(text)) << text << " in " << ui.drawnText();
  // Dear ImGui's own widgets draw through the same fonts: the search field.
  click(kSearchBox);
  ui.typeText("\u0394\u0436\u5B57");
  for (int i = 0; i < 3; ++i) frame();  // typed, drawn, baked
  EXPECT_TRUE(ui.drewText("\u0394\u0436\u5B57")) << ui.drawnText();
  EXPECT_EQ(ui.drawnText().find('?'), std::string::npos) << "the fallback glyph: " << ui.drawnText();
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
  clickText("Name");
  EXPECT_EQ(order(), "Gamma beta alpha Alpha ");
  clickText("Platform");
  EXPECT_EQ(order(), "alpha Alpha Gamma beta ") << "an empty platform sorts as Linux x86_64";
  click(kHeaderStar);
  EXPECT_EQ(order(), "Gamma alpha Alpha beta ");
  click(kHeaderStar);
  // By the label shown: a stored version, else "ORVO Editor".
  app.settings->projects[1].editorVersion = "orvo 1.0";  // beta
  app.settings->projects[3].editorVersion = "ORVO 9.0";  // Gamma
  clickText("Editor version");
  EXPECT_EQ(order(), "beta Gamma alpha Alpha ");
}

TEST_F(ProjectsScreen, StarDotsAndRightClicksOnARowOpenItsMenuNotTheProject) {
  for (int i = 0; i < 4; ++i) launcher.addProject("P" + std::to_string(i), 100 - i);
  frame();
  frame();
  click(starOf("P3"));
  EXPECT_TRUE(app.settings->projects[3].favorite);
  EXPECT_NE(launcher.savedSettings().find("Projects%5C4%5Cfavorite=true"), std::string::npos);
  const std::pair<ImVec2, int> menuOpeners[] = {
      {starOf("P3"), 1}, {inRow("P3", 938 - 28), 0}, {inRow("P3"), 1}};
  for (const auto& [at, button] : menuOpeners) {
    click(at, button);
    frame();
    EXPECT_TRUE(ui.drewText("Remove from Favorites")) << at.x;
    click(ImVec2(700, 600));  // a click elsewhere closes the menu
  }
  menuItem("P3", "Remove from Favorites");
  EXPECT_FALSE(app.settings->projects[3].favorite);
  EXPECT_EQ(app.lastLaunchTime, 0);

  menuItem("P2", "Show in File Manager");
  for (int i = 0; i < 2000 && opened().empty(); ++i) usleep(10000);
  EXPECT_EQ(opened(), launcher.path("projects/P2"));
  // Removing the first row leaves the rest of that frame's rows stale: they are skipped. Parked for
  // the install, it is no longer opened after it, and the notice goes.
  app.pendingProjectPath = app.settings->projects[0].path;
  app.notice = "Installing ORVO Editor before opening this project\u2026";
  frame();
  menuItem("P0", "Remove From List");
  EXPECT_EQ(app.pendingProjectPath + app.notice, "");
  EXPECT_EQ(order(), "P1 P2 P3 ");
  EXPECT_NE(launcher.savedSettings().find("Projects%5Csize=3\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(launcher.path("projects/P0")));
  EXPECT_NEAR(inRow("P1", 0, 0).y, 98, 0.5f);
}

// Scrolled to the end of 30 rows, the row at y 196 stays there when a click on it is refused, and
// the rows below a removed one stay where they were.
TEST_F(ProjectsScreen, ActionsKeepTheScrollPosition) {
  for (int i = 0; i < 30; ++i) launcher.addProject("P" + std::to_string(i), 1000 - i);
  app.notice = "ORVO Editor is already open.";
  app.lastLaunchTime = static_cast<int64_t>(std::time(nullptr)) + 3600;  // every open is refused
  ui.moveMouse(700, 400);
  frame();
  frame();
  ImGui::GetIO().MouseWheel = -100;
  frame();
  frame();
  const float y = ui.textPosition("P21").y;
  ASSERT_NEAR(y, 196 + 8, 0.5f) << "not scrolled to the end";
  click(inRow("P21"));
  EXPECT_TRUE(ui.drewText("P22")) << "the list did not change: no row is skipped";
  frame();
  EXPECT_NEAR(ui.textPosition("P21").y, y, 0.5f);
  EXPECT_EQ(app.settings->projects.size(), 30u);
  const float below = ui.textPosition("P22").y;
  menuItem("P21", "Remove From List");
  frame();
  EXPECT_EQ(app.settings->projects.size(), 29u);
  EXPECT_FALSE(ui.drewText("P21"));
  EXPECT_NEAR(ui.textPosition("P22").y, below, 0.5f);
}

TEST_F(ProjectsScreen, EmptyStates) {
  std::snprintf(app.searchText, sizeof(app.searchText), "anything");
  frame();
  frame();
  EXPECT_TRUE(ui.drewText("Create a new project or select your projects folder to get started."));
  EXPECT_TRUE(ui.drewText("Import projects"));
  launcher.addProject("Game", 300);
  frame();
  EXPECT_TRUE(ui.drewText("No project matches your search criteria. Try a different search."));
  clickText("Clear search");
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

  click(kMagnifier);  // the search box takes a click on its magnifier
  ui.typeText("  DEM ");
  frame();
  EXPECT_EQ(order(), "Demo ");
  ui.pressKey(ImGuiKey_Escape);
  frame();
  ui.releaseKey(ImGuiKey_Escape);
  EXPECT_STREQ(app.searchText, "");
  click(kSearchBox);
  ui.typeText("dem");
  frame();
  click(kClearMark);
  EXPECT_STREQ(app.searchText, "");
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
