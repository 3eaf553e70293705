// Creating projects on real files: names, locations, the project file and what is recorded.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "config/settings.h"
#include "projects/project_operations.h"
#include "support/temp_launcher.h"

namespace fs = std::filesystem;

namespace {

void setFields(AppState& app, const std::string& name, const std::string& location) {
  std::snprintf(app.newProjectName, sizeof(app.newProjectName), "%s", name.c_str());
  std::snprintf(app.newProjectLocation, sizeof(app.newProjectLocation), "%s", location.c_str());
}

}  // namespace

TEST(ProjectRecord, FolderOfAProjectFileAndNewestFirstStableSort) {
  for (const auto& [path, folder] : std::initializer_list<std::pair<const char*, const char*>>{
           {"/a/b/c.zelvanproj", "/a/b"},
           {"rel/c.tar.zelvanproj", "rel"},
           {"/a/b/c.ZelvanProj", "/a/b/c.ZelvanProj"},  // other paths are their own folder
           {"/a/b/c.zelvanproj.bak", "/a/b/c.zelvanproj.bak"},
           {"/a/b/.zelvanproj", "/a/b/.zelvanproj"},  // a leading dot starts no extension
           {"", ""}})
    EXPECT_EQ(projectFolderFromPath(path), folder) << path;
  std::vector<ProjectRecord> projects;
  for (const auto& [name, time] : std::initializer_list<std::pair<const char*, int64_t>>{
           {"n", -1}, {"z", 0}, {"p", 9}, {"m", INT64_MIN}, {"x", INT64_MAX}, {"q", 9}, {"z2", 0}})
    projects.push_back(ProjectRecord{name, "", "", "", time, false});
  sortProjectsByLastOpened(projects);
  std::string names;
  for (const ProjectRecord& record : projects) names += record.name;
  EXPECT_EQ(names, "xpqzz2nm");
}

TEST(CreateProject, WritesTheProjectFileAndRecordsItFirst) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  launcher.addProject("Older", 100);
  app.notice = "ORVO Editor is already open.";
  setFields(app, "Demo", launcher.path("work"));
  createProject(app);
  EXPECT_EQ(app.createDialogError, "");
  const std::string file = launcher.path("work/Demo/Demo.zelvanproj");
  EXPECT_EQ(readWholeFile(file), "ZelvanProject:\n  Name: Demo\n  FormatVersion: 1\n");  // 47 bytes
  EXPECT_FALSE(fs::exists(file + ".tmp"));
  ASSERT_EQ(app.settings->projects.size(), 2u);
  const ProjectRecord& record = app.settings->projects.front();
  EXPECT_EQ(record.name, "Demo");
  EXPECT_EQ(record.path, file);
  EXPECT_GT(record.lastOpened, 100);
  EXPECT_FALSE(record.favorite);
  EXPECT_EQ(app.notice, "");
  EXPECT_NE(launcher.savedSettings().find("Projects%5C1%5Cname=Demo\n"), std::string::npos);
  EXPECT_NE(launcher.savedSettings().find("Projects%5C2%5Cname=Older\n"), std::string::npos);

  // The first location becomes the default; later ones are only the last added.
  setFields(app, "Second", launcher.path("elsewhere"));
  createProject(app);
  EXPECT_EQ(app.settings->projects.front().name, "Second");
  EXPECT_EQ(app.settings->defaultProjectLocation, launcher.path("work"));
  EXPECT_EQ(app.settings->lastAddedProjectLocation, launcher.path("elsewhere"));
}

TEST(CreateProject, NamesAndWhatIsAtTheFolderDecide) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  const std::string work = launcher.path("work"), exists = "That folder already exists and is not empty.";
  fs::create_directories(work + "/Empty");
  writeWholeFile(work + "/Full/keep.txt", "x");
  writeWholeFile(work + "/FileInTheWay", "not empty");
  writeWholeFile(work + "/EmptyFile", "");
  struct Case {
    std::string name, location, error;  // error empty: created
  };
  std::vector<Case> cases = {
      {"   ", work, "Enter a project name."},
      {"Fine", "", "Choose a location for the project."},
      {"Full", work, exists},
      {"FileInTheWay", work, exists},
      {"EmptyFile", work, "Could not create the project folder."},
      {"My Game   ", work, ""},         // trimmed on the right only
      {" Tab\tN\xC3\xA4me", work, ""},  // leading spaces, tabs and non-ASCII letters are kept
      {"Empty", work, ""},              // an empty folder is reused
  };
  for (char forbidden : std::string("\"*/:<>?\\|"))
    cases.push_back({std::string("bad") + forbidden + "name", work,
                     "The project name contains characters that are not allowed."});
  size_t created = 0;
  for (const Case& c : cases) {
    setFields(app, c.name, c.location);
    createProject(app);
    EXPECT_EQ(app.createDialogError, c.error) << c.name;
    created += c.error.empty();
    EXPECT_EQ(app.settings->projects.size(), created) << c.name;
  }
  EXPECT_EQ(readWholeFile(work + "/My Game/My Game.zelvanproj"),
            "ZelvanProject:\n  Name: My Game\n  FormatVersion: 1\n");
  EXPECT_TRUE(fs::exists(work + "/ Tab\tN\xC3\xA4me/ Tab\tN\xC3\xA4me.zelvanproj"));
  EXPECT_TRUE(fs::exists(work + "/Empty/Empty.zelvanproj"));
  EXPECT_FALSE(fs::exists(work + "/Full/Full.zelvanproj"));
}

TEST(CreateProject, UnwritablePlacesAndFailedWritesAreReported) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  fs::create_directories(launcher.path("locked/Existing"));
  fs::create_directories(launcher.path("open"));
  chmod(launcher.path("locked").c_str(), 0555);
  chmod(launcher.path("locked/Existing").c_str(), 0555);
  chmod(launcher.path("open").c_str(), 0777);
  // Each attempt runs in a child as an unprivileged user, with the file size limit given.
  const auto createInChild = [&](const std::string& name, const std::string& location, rlim_t maxFileSize) {
    setFields(app, name, launcher.path(location));
    return runInChild([&] {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit = {maxFileSize, maxFileSize};
      setrlimit(RLIMIT_FSIZE, &limit);
      createProject(app);
      return app.createDialogError;
    });
  };
  EXPECT_EQ(createInChild("New", "locked", RLIM_INFINITY), "Could not create the project folder.");
  EXPECT_EQ(createInChild("Existing", "locked", RLIM_INFINITY),
            "Could not create the .zelvanproj project file.");
  // A file that cannot be written whole is never renamed into place.
  EXPECT_EQ(createInChild("Full", "open", 0), "Could not save the .zelvanproj project file.");
  EXPECT_FALSE(fs::exists(launcher.path("open/Full/Full.zelvanproj")));
  EXPECT_TRUE(fs::exists(launcher.path("open/Full/Full.zelvanproj.tmp")));
  chmod(launcher.path("locked/Existing").c_str(), 0755);
  chmod(launcher.path("locked").c_str(), 0755);
}

TEST(NewProjectDialog, StartsEmptyAtTheDefaultLocationAndEditorLabels) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  setFields(app, "left over", "");
  app.createDialogError = "Enter a project name.";
  openNewProjectDialog(app);
  EXPECT_TRUE(app.createDialogRequested);
  EXPECT_STREQ(app.newProjectName, "");
  EXPECT_EQ(app.createDialogError, "");
  EXPECT_EQ(std::string(app.newProjectLocation), launcher.path("Documents/ORVO Projects"));
  // A location longer than the field is cut, never overrun.
  app.settings->defaultProjectLocation = std::string(2000, 'a');
  openNewProjectDialog(app);
  EXPECT_EQ(std::strlen(app.newProjectLocation), sizeof(app.newProjectLocation) - 1);

  // The editor column: the stored version first, then (no updater to ask) the generic name.
  ProjectRecord record;
  record.editorVersion = "ORVO 1.2.0";
  EXPECT_EQ(editorLabelForProject(launcher.app, record), "ORVO 1.2.0");
  record.editorVersion.clear();
  EXPECT_EQ(editorLabelForProject(launcher.app, record), "ORVO Editor");  // no updater: no version asked
}
