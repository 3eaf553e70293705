// Finding and starting a real "editor" process, and the hand-off of a parked project. Suites
// named EditorProcess* start editors or need none running: they must not run in parallel with
// each other.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "config/launcher_config.h"
#include "config/settings.h"
#include "platform/desktop.h"
#include "projects/editor_launch.h"
#include "projects/project_operations.h"
#include "support/temp_launcher.h"
#include "support/test_editor.h"
#include "updater/editor_updater.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// A copy of this test program started from another folder prints which editor it would start
// with no install path (and an updater when asked) and ends: the launcher folder is its own.
__attribute__((constructor)) void printResolvedEditorWhenAsked() {
  const char* mode = std::getenv("ORVO_TEST_PRINT_EDITOR");
  if (!mode) return;
  AppState app;
  initAppState(app);
  app.settings = new LauncherSettings();
  if (std::string(mode) != "1") app.updater = new EditorUpdater("", "");
  if (std::string(mode) == "label")
    std::printf("%s\n", editorLabelForProject(app, ProjectRecord()).c_str());
  else
    std::printf("%s\n", resolveEditorExecutable(app).c_str());
  std::fflush(stdout);
  _exit(0);
}

std::string resolvedFromCopyAt(const std::string& folder, const char* mode) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  const std::string copy = folder + "/launcher_copy";
  fs::copy_file("/proc/self/exe", copy, fs::copy_options::overwrite_existing, ec);
  chmod(copy.c_str(), 0755);
  return runChooserCommand("ORVO_TEST_PRINT_EDITOR=" + std::string(mode) + " " + shellQuote(copy));
}

std::string environmentBlock() {
  std::string block;
  for (char** entry = environ; *entry; ++entry) block += std::string(*entry) + '\0';
  return block;
}

long statField(pid_t pid, int field) {
  const std::string stat = readProcFile(pid, "stat");
  const size_t end = stat.rfind(')');
  if (end == std::string::npos) return -1;  // the process has gone meanwhile
  std::istringstream rest(stat.substr(end + 1));
  std::string value;
  for (int i = 3; i <= field; ++i) rest >> value;
  return std::atol(value.c_str());
}

std::set<std::string> openDescriptors(pid_t pid) {
  std::set<std::string> fds;
  std::error_code ec;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec))
    fds.insert(it->path().filename().string());
  return fds;
}

std::string lockPath() {
  return "/tmp/orvo_launcher_" + std::to_string(getuid()) + ".lock";
}

}  // namespace

TEST(FindEditorInDirectory, ProbesTheCandidatesInOrder) {
  TempLauncher launcher;
  const std::string d = launcher.path("probe");
  EXPECT_EQ(findEditorInDirectory(""), "");
  EXPECT_EQ(findEditorInDirectory(d), "");

  writeWholeFile(d + "/build_linux_editor/editor/editor", "x");
  EXPECT_EQ(findEditorInDirectory(d), d + "/build_linux_editor/editor/editor");
  // A folder where a candidate is expected is passed over; permissions are not looked at.
  fs::create_directories(d + "/bin/editor");
  EXPECT_EQ(findEditorInDirectory(d), d + "/build_linux_editor/editor/editor");
  fs::remove(d + "/bin/editor");
  writeWholeFile(d + "/bin/editor", "x", 0600);
  EXPECT_EQ(findEditorInDirectory(d), d + "/bin/editor");
  writeWholeFile(d + "/editor/editor", "x");
  EXPECT_EQ(findEditorInDirectory(d), d + "/editor/editor");

  const std::string e = launcher.path("plain");
  writeWholeFile(e + "/editor", "x");
  EXPECT_EQ(findEditorInDirectory(e), e + "/editor");
  writeWholeFile(e + "/bin/editor", "x");
  EXPECT_EQ(findEditorInDirectory(e), e + "/bin/editor");

  // Links count by what they point at.
  const std::string l = launcher.path("linked");
  fs::create_directories(l + "/bin");
  fs::create_symlink(launcher.path("nowhere"), l + "/bin/editor");
  EXPECT_EQ(findEditorInDirectory(l), "");
  fs::remove(l + "/bin/editor");
  fs::create_symlink(e + "/editor", l + "/bin/editor");
  EXPECT_EQ(findEditorInDirectory(l), l + "/bin/editor");
}

TEST(ResolveEditorExecutable, ZelvanDirThenInstallPath) {
  TempLauncher launcher;
  writeWholeFile(launcher.path("install/editor"), "x");
  writeWholeFile(launcher.path("zelvan/bin/editor"), "x");
  EXPECT_EQ(resolveEditorExecutable(launcher.app), launcher.path("install/editor"));
  {
    ScopedEnv zelvan("ZELVAN_DIR", launcher.path("zelvan").c_str());
    EXPECT_EQ(resolveEditorExecutable(launcher.app), launcher.path("zelvan/bin/editor"));
  }
  ScopedEnv emptyZelvan("ZELVAN_DIR", launcher.path("nothing here").c_str());
  EXPECT_EQ(resolveEditorExecutable(launcher.app), launcher.path("install/editor"));
}

TEST(ResolveEditorExecutable, LauncherFolderItsInstallFolderAndTwoParents) {
  TempLauncher launcher;
  const std::string root = launcher.path("a");
  const std::string exeDir = root + "/b/c/d";
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "1"), "");

  // Three levels up is too far.
  writeWholeFile(root + "/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "1"), "");
  writeWholeFile(root + "/b/bin/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "1"), root + "/b/bin/editor");
  writeWholeFile(root + "/b/c/editor/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "1"), root + "/b/c/editor/editor");
  // The updater's install folder "editor" beside the launcher, probed only with an updater.
  writeWholeFile(exeDir + "/editor/bin/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "1"), root + "/b/c/editor/editor");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "updater"), exeDir + "/editor/bin/editor");
  // The launcher folder itself comes first, as the install path's stand-in.
  writeWholeFile(exeDir + "/bin/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "1"), exeDir + "/bin/editor");
}

TEST(EditorProcessLaunch, StartsTheEditorDetachedInItsFolderWithTheProject) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  const std::string exe = launcher.path("install/bin/editor");
  installTestEditor(exe);
  const ProjectRecord project = launcher.addProject("Game", 10);
  EXPECT_FALSE(isEditorRunning());

  std::string error;
  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  ASSERT_TRUE(openProjectInEditor(app, project.path, error)) << error;
  EXPECT_EQ(error, "");
  EXPECT_GE(app.lastLaunchTime, before);
  EXPECT_TRUE(isEditorRunning());

  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  EXPECT_EQ(readProcFile(editor, "cmdline"), exe + '\0' + project.path + '\0');
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(editor) + "/cwd").string(),
            launcher.path("install/bin"));
  EXPECT_EQ(readProcFile(editor, "environ"), environmentBlock());
  const long session = statField(editor, 6);
  EXPECT_NE(session, static_cast<long>(getsid(0)));
  EXPECT_NE(session, static_cast<long>(editor));  // its parent, already gone, led the session
  EXPECT_EQ(statField(editor, 5), session);

  // While it runs, a second start is refused.
  EXPECT_FALSE(openProjectInEditor(app, project.path, error));
  EXPECT_EQ(error, "ORVO Editor is already open.");
  stopEditor(editor);
  EXPECT_FALSE(isEditorRunning());
}

TEST(EditorProcessLaunch, TheEditorOutlivesTheLauncherThatStartedIt) {
  TempLauncher launcher;
  installTestEditor(launcher.path("install/editor"));
  const ProjectRecord project = launcher.addProject("Game", 10);
  const pid_t launcherProcess = fork();
  if (launcherProcess == 0) {
    std::string error;
    _exit(openProjectInEditor(launcher.app, project.path, error) ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(launcherProcess, &status, 0), launcherProcess);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(kill(editor, 0), 0);
  EXPECT_EQ(readProcFile(editor, "comm"), "editor\n");
  stopEditor(editor);
}

TEST(EditorProcessLaunch, TheEditorInheritsOnlyTheStandardStreamsAndTheLock) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  installTestEditor(launcher.path("install/bin/editor"));
  // Open on purpose without close-on-exec, as the launcher's main does.
  const int lock = open(lockPath().c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(lock, 0);
  // A library socket opened without close-on-exec must not reach the editor either.
  const int stray = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(stray, 0);
  const ProjectRecord project = launcher.addProject("Game", 10);
  saveSettings(*app.settings);

  std::string error;
  ASSERT_TRUE(openProjectInEditor(app, project.path, error)) << error;
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  EXPECT_EQ(openDescriptors(editor), (std::set<std::string>{"0", "1", "2", std::to_string(lock)}));
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(editor) + "/fd/" + std::to_string(lock)).string(),
            lockPath());
  stopEditor(editor);
  close(stray);
  close(lock);
}

TEST(EditorProcessLaunch, FailuresBeforeAnyProcessAndOfTheProgramItself) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  const ProjectRecord gone = launcher.addProject("Gone", 10, /*present=*/false);
  std::string error;

  // No editor and no update server.
  EXPECT_FALSE(openProjectInEditor(app, gone.path, error));
  EXPECT_EQ(error, "ORVO Editor is not installed and automatic installation is not configured.");
  EXPECT_EQ(app.page, Installs);

  writeWholeFile(launcher.path("install/editor"), "#!/bin/sh\n", 0644);
  app.page = Projects;
  error.clear();
  EXPECT_FALSE(openProjectInEditor(app, gone.path, error));
  EXPECT_EQ(error, "The project no longer exists:\n" + gone.path);
  EXPECT_EQ(app.lastLaunchTime, 0);
  EXPECT_EQ(app.page, Projects);

  // Found but not executable: the start fails, and counts for the launch guard.
  const ProjectRecord project = launcher.addProject("Game", 10);
  error.clear();
  EXPECT_FALSE(openProjectInEditor(app, project.path, error));
  EXPECT_EQ(error, "The editor process failed to start (check the executable and its permissions).");
  EXPECT_GT(app.lastLaunchTime, 0);
  EXPECT_FALSE(isEditorRunning());
}

TEST(EditorProcessLaunch, NoDescriptorsOrProcessesLeftForTheLaunch) {
  TempLauncher launcher;
  writeWholeFile(launcher.path("install/editor"), "x", 0755);
  const ProjectRecord project = launcher.addProject("Game", 10);
  // One descriptor left: the pipe needs two.
  const std::string pipeError = runInChild([&] {
    const rlimit few = {32, 32};
    setrlimit(RLIMIT_NOFILE, &few);
    while (dup(0) >= 0) {
    }
    close(31);
    std::string error;
    openProjectInEditor(launcher.app, project.path, error);
    return error;
  });
  EXPECT_EQ(pipeError, "Could not create the launch pipe.");
  // No process may be made: the first fork fails.
  const std::string forkError = runInChild([&] {
    const rlimit none = {0, 0};
    setrlimit(RLIMIT_NPROC, &none);
    std::string error;
    openProjectInEditor(launcher.app, project.path, error);
    return error;
  });
  EXPECT_EQ(forkError, "Could not fork the launcher process.");
}

TEST(EditorProcessLaunch, AHundredLaunchesLeaveNoZombie) {
  TempLauncher launcher;
  installTestEditor(launcher.path("install/editor"));
  const ProjectRecord project = launcher.addProject("Game", 10);
  // The launching process is a child, so that its own children can be counted; the editors,
  // which end at once, are reaped here as their adoptive parent.
  const pid_t launcherProcess = fork();
  if (launcherProcess == 0) {
    setenv("ORVO_TEST_EDITOR_EXIT", "1", 1);
    for (int i = 0; i < 100; ++i) {
      // An editor of another program's test may come and go meanwhile: wait it out.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      std::string error;
      while (!openProjectInEditor(launcher.app, project.path, error)) {
        if (error != "ORVO Editor is already open." || std::chrono::steady_clock::now() > deadline) {
          std::fprintf(stderr, "launch %d: %s\n", i, error.c_str());
          _exit(100);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    int children = 0;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      if (statField(std::atoi(name.c_str()), 4) == getpid()) ++children;
    }
    _exit(children);
  }
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t reaped = waitpid(-1, &status, WNOHANG);
    if (reaped == launcherProcess) break;
    if (reaped <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "100: a launch failed; otherwise the number of children left";
}

class EditorProcessHandOff : public ::testing::Test {
 protected:
  void SetUp() override {
    // A configured update server that is never asked: the states are published by the test.
    app().config->updateManifestUrl = "https://127.0.0.1:9/manifest?platform=linux";
    app().updater = new EditorUpdater(app().config->updateManifestUrl, launcher.path("downloads"));
    parked = launcher.addProject("Parked", 10);
    launcher.addProject("Newer", 50);
    app().pendingProjectPath = parked.path;
    app().notice = "Installing ORVO Editor before opening this project\u2026";
  }
  AppState& app() { return launcher.app; }

  TempLauncher launcher;
  ProjectRecord parked;
};

TEST_F(EditorProcessHandOff, BusyAndIdleStatesKeepTheProjectParked) {
  for (UpdateState state :
       {UpdateState::Idle, UpdateState::Checking, UpdateState::Downloading, UpdateState::Installing}) {
    app().updater->publish(state, "");
    handOffParkedProject(app());
    EXPECT_EQ(app().pendingProjectPath, parked.path);
    EXPECT_FALSE(app().cannotOpenRequested);
  }
}

TEST_F(EditorProcessHandOff, AFailedInstallIsReportedAndForgetsTheProject) {
  app().updater->failUpdate("Download cancelled.");
  handOffParkedProject(app());
  EXPECT_TRUE(app().cannotOpenRequested);
  EXPECT_EQ(app().cannotOpenMessage, "Download cancelled.");
  EXPECT_EQ(app().pendingProjectPath, "");
  EXPECT_EQ(app().notice, "");

  app().cannotOpenRequested = false;
  app().pendingProjectPath = parked.path;
  app().updater->failUpdate("");
  handOffParkedProject(app());
  EXPECT_TRUE(app().cannotOpenRequested);
  EXPECT_EQ(app().cannotOpenMessage, "ORVO Editor could not be installed automatically.");
}

TEST_F(EditorProcessHandOff, AnInstalledEditorOpensTheParkedProject) {
  installTestEditor(launcher.path("install/editor"));
  app().updater->publish(UpdateState::Installed, "Installed \u2014 version 1.0.0");
  handOffParkedProject(app());
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  EXPECT_NE(readProcFile(editor, "cmdline").find(parked.path), std::string::npos);
  EXPECT_EQ(app().pendingProjectPath, "");
  EXPECT_EQ(app().notice, "");
  EXPECT_FALSE(app().cannotOpenRequested);
  ASSERT_EQ(app().settings->projects.front().path, parked.path);
  EXPECT_GT(app().settings->projects.front().lastOpened, 50);
  EXPECT_NE(launcher.savedSettings().find("Projects%5C1%5Cname=Parked\n"), std::string::npos);
  stopEditor(editor);
}

TEST_F(EditorProcessHandOff, AnInstallWithoutAnExecutableIsReportedOnce) {
  app().updater->publish(UpdateState::InstalledOffline, "Installed (offline mode)");
  handOffParkedProject(app());
  EXPECT_EQ(app().pendingProjectPath, "");
  EXPECT_EQ(app().notice, "");
  EXPECT_TRUE(app().cannotOpenRequested);
  EXPECT_NE(app().cannotOpenMessage.find("could not find its executable"), std::string::npos);
  EXPECT_EQ(app().updater->state(), UpdateState::InstalledOffline);  // no new run was started

  // A project folder that vanished meanwhile is reported too.
  installTestEditor(launcher.path("install/editor"));
  fs::remove_all(fs::path(parked.path).parent_path());
  app().cannotOpenRequested = false;
  app().pendingProjectPath = parked.path;
  handOffParkedProject(app());
  EXPECT_TRUE(app().cannotOpenRequested);
  EXPECT_EQ(app().cannotOpenMessage, "The project no longer exists:\n" + parked.path);
  EXPECT_EQ(app().pendingProjectPath, "");
}

TEST_F(EditorProcessHandOff, NoEditorWithAnUpdateServerParksTheProject) {
  app().pendingProjectPath.clear();
  app().notice.clear();
  app().updater->publish(UpdateState::Downloading, "Downloading editor 1.0.0\u2026");
  const ProjectRecord other = launcher.addProject("Other", 5);
  std::string error;
  EXPECT_FALSE(openProjectInEditor(app(), parked.path, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(app().pendingProjectPath, parked.path);
  EXPECT_EQ(app().page, Installs);
  EXPECT_EQ(app().notice, "Installing ORVO Editor before opening this project\u2026");
  // A run in progress is left alone; the last project parked wins.
  EXPECT_EQ(app().updater->state(), UpdateState::Downloading);
  EXPECT_FALSE(openProjectInEditor(app(), other.path, error));
  EXPECT_EQ(app().pendingProjectPath, other.path);
  EXPECT_EQ(app().updater->state(), UpdateState::Downloading);

  // A placeholder address is no update server.
  app().pendingProjectPath.clear();
  app().config->updateManifestUrl = "https://YOUR_SERVER/manifest?platform=linux";
  EXPECT_FALSE(openProjectInEditor(app(), parked.path, error));
  EXPECT_EQ(error, "ORVO Editor is not installed and automatic installation is not configured.");
  EXPECT_EQ(app().pendingProjectPath, "");
}

TEST(EditorLabel, TheInstalledVersionBesideTheLauncherNamesTheEditor) {
  TempLauncher launcher;
  const std::string exeDir = launcher.path("launcher");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "label"), "ORVO Editor");
  writeWholeFile(exeDir + "/editor/.zelvan_editor_version", "2.3.0\n");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "label"), "ORVO 2.3.0");
}
