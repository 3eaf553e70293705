// Finding and starting a real "editor" process, and the hand-off of a parked project. This
// program's tests start editors or need none running: they take turns with other such programs.
#include "projects/editor_launch.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "config/launcher_config.h"
#include "config/settings.h"
#include "platform/desktop.h"
#include "projects/project_operations.h"
#include "support/temp_launcher.h"
#include "support/test_editor.h"
#include "updater/editor_updater.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// A copy of this program started from another folder prints the editor it would start with no
// install path (mode "1"; "updater": with an updater; "label": the editor label) and ends.
__attribute__((constructor)) void printResolvedEditorWhenAsked() {
  const char* mode = std::getenv("ORVO_TEST_PRINT_EDITOR");
  if (!mode) return;
  AppState app;
  initAppState(app);
  app.settings = new LauncherSettings();
  if (std::string(mode) != "1") app.updater = new EditorUpdater("", "");
  const bool label = std::string(mode) == "label";
  std::printf("%s\n", label ? editorLabelForProject(app, ProjectRecord()).c_str()
                            : resolveEditorExecutable(app).c_str());
  std::fflush(stdout);
  _exit(0);
}

// mountedAt: the copy's folder tree is seen there instead, in a mount namespace of its own.
std::string resolvedFromCopyAt(const std::string& folder, const char* mode = "1",
                               const std::string& mountedAt = "", const std::string& below = "") {
  std::error_code ec;
  fs::create_directories(folder + below, ec);
  fs::copy_file("/proc/self/exe", folder + below + "/launcher_copy", fs::copy_options::overwrite_existing,
                ec);
  chmod((folder + below + "/launcher_copy").c_str(), 0755);
  const std::string run = "ORVO_TEST_PRINT_EDITOR=" + std::string(mode) + " exec ";
  if (mountedAt.empty()) return runChooserCommand(run + shellQuote(folder + "/launcher_copy"));
  return runChooserCommand("unshare -rm sh -c " +
                           shellQuote("mount --bind " + shellQuote(folder) + " " + mountedAt + " && " + run +
                                      shellQuote(mountedAt + below + "/launcher_copy")));
}

}  // namespace

TEST(EditorDiscovery, CandidatesInTheirOrderInEachSearchedFolder) {
  TempLauncher launcher;
  EXPECT_EQ(findEditorInDirectory(""), "");
  const std::string d = launcher.path("probe");
  writeWholeFile(d + "/build_linux_editor/editor/editor", "x");
  EXPECT_EQ(findEditorInDirectory(d), d + "/build_linux_editor/editor/editor");
  fs::create_directories(d + "/bin/editor");  // a folder is passed over
  EXPECT_EQ(findEditorInDirectory(d), d + "/build_linux_editor/editor/editor");
  writeWholeFile(d + "/editor/editor", "x", 0600);  // permissions are not looked at
  EXPECT_EQ(findEditorInDirectory(d), d + "/editor/editor");

  // Links count by what they point at.
  const std::string e = launcher.path("plain");
  writeWholeFile(e + "/editor", "x");
  fs::create_directories(e + "/bin");
  fs::create_symlink(launcher.path("nowhere"), e + "/bin/editor");
  EXPECT_EQ(findEditorInDirectory(e), e + "/editor");
  fs::remove(e + "/bin/editor");
  fs::create_symlink(e + "/editor", e + "/bin/editor");
  EXPECT_EQ(findEditorInDirectory(e), e + "/bin/editor");

  // ZELVAN_DIR, the install path, the updater's folder, then the launcher folder and two parents.
  writeWholeFile(launcher.path("install/editor"), "x");
  writeWholeFile(launcher.path("zelvan/bin/editor"), "x");
  EXPECT_EQ(resolveEditorExecutable(launcher.app), launcher.path("install/editor"));
  {
    ScopedEnv zelvan("ZELVAN_DIR", launcher.path("zelvan").c_str());
    EXPECT_EQ(resolveEditorExecutable(launcher.app), launcher.path("zelvan/bin/editor"));
  }
  ScopedEnv emptyZelvan("ZELVAN_DIR", launcher.path("nothing here").c_str());
  EXPECT_EQ(resolveEditorExecutable(launcher.app), launcher.path("install/editor"));

  const std::string root = launcher.path("a"), exeDir = root + "/b/c/d";
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "label"), "ORVO Editor");
  writeWholeFile(exeDir + "/editor/.zelvan_editor_version", "2.3.0\n");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "label"), "ORVO 2.3.0");
  writeWholeFile(root + "/editor", "x");  // three levels up is too far
  EXPECT_EQ(resolvedFromCopyAt(exeDir), "");
  writeWholeFile(root + "/b/bin/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(exeDir), root + "/b/bin/editor");
  writeWholeFile(root + "/b/c/editor/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(exeDir), root + "/b/c/editor/editor");
  // The updater's install folder "editor" beside the launcher, probed only with an updater.
  writeWholeFile(exeDir + "/editor/bin/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(exeDir), root + "/b/c/editor/editor");
  EXPECT_EQ(resolvedFromCopyAt(exeDir, "updater"), exeDir + "/editor/bin/editor");
  // The launcher folder itself comes first, as the install path's stand-in.
  writeWholeFile(exeDir + "/bin/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(exeDir), exeDir + "/bin/editor");

  // The walk upwards stops before the system's folders, whose "editor" is a text editor.
  const std::pair<const char*, std::vector<std::string>> walks[] = {
      {"/opt/a/b/c", {"/opt/a/b/c", "/opt/a/b", "/opt/a"}},
      {"/opt/orvo/", {"/opt/orvo", "/opt"}},
      {"/srv", {"/srv"}},
      {"/", {}},
      {"/usr/local/orvo", {"/usr/local/orvo"}},
      {"/usr/lib/orvo", {"/usr/lib/orvo", "/usr/lib"}},
      {"/usr/bin", {}},
      {"/usr/local/sbin/", {}},
      {"/usr/local/bin/orvo", {"/usr/local/bin/orvo"}},
      {"", {}},
  };
  for (const auto& [folder, expected] : walks) EXPECT_EQ(editorSearchFolders(folder), expected) << folder;

  // Installed as /usr/local/bin/orvo-launcher: none of the launcher-folder probes takes
  // /usr/local/bin/editor. The same copy one folder lower finds its own editor.
  const std::string system = launcher.path("system");
  writeWholeFile(system + "/editor", "x");
  writeWholeFile(system + "/orvo/bin/editor", "x");
  EXPECT_EQ(resolvedFromCopyAt(system, "1", "/usr/local/bin", "/orvo"), "/usr/local/bin/orvo/bin/editor");
  EXPECT_EQ(resolvedFromCopyAt(system, "updater", "/usr/local/bin"), "");
}

TEST(EditorProcessLaunch, ARowOpensDetachedInItsFolderWithOnlyTheLockInheritedThenGuards) {
  TempLauncher launcher;
  AppState& app = launcher.app;
  const std::string exe = launcher.path("install/bin/editor");
  installTestEditor(exe);
  launcher.addProject("Newest", 300);
  const ProjectRecord project = launcher.addProject("Game", 200);
  launcher.addProject("Gone", 100, /*present=*/false);
  const std::string lockPath = singleInstanceLockPath();
  const int lock = openSingleInstanceLock();          // close-on-exec, yet handed on
  const int stray = socket(AF_INET, SOCK_STREAM, 0);  // a library's, without close-on-exec
  ASSERT_TRUE(lock >= 0 && stray >= 0);
  EXPECT_FALSE(isEditorRunning());

  // The launcher is a child that opens the row and ends: the editor outlives it.
  const pid_t launcherProcess = fork();
  if (launcherProcess == 0) {
    app.notice = "ORVO Editor is already open.";
    openProjectAt(app, 1);
    _exit(app.notice.empty() && !app.cannotOpenRequested ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(launcherProcess, &status, 0), launcherProcess);
  EXPECT_EQ(status, 0);
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  EXPECT_EQ(readProcFile(editor, "cmdline"), exe + '\0' + project.path + '\0');
  const std::string proc = "/proc/" + std::to_string(editor);
  EXPECT_EQ(fs::read_symlink(proc + "/cwd").string(), launcher.path("install/bin"));
  std::string environment;
  for (char** entry = environ; *entry; ++entry) environment += std::string(*entry) + '\0';
  EXPECT_EQ(readProcFile(editor, "environ"), environment);
  const long session = procStatField(editor, 6);
  EXPECT_NE(session, static_cast<long>(getsid(0)));
  EXPECT_NE(session, static_cast<long>(editor));  // its parent, already gone, led the session
  EXPECT_EQ(procStatField(editor, 5), session);
  // The dynamic loader opens libraries for a moment after the start: wait for the set to settle.
  const std::set<std::string> expected = {"0", "1", "2", std::to_string(lock)};
  std::set<std::string> fds;
  for (int tries = 0; tries < 1000 && fds != expected; ++tries) {
    if (tries) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fds.clear();
    for (const fs::directory_entry& entry : fs::directory_iterator(proc + "/fd"))
      fds.insert(entry.path().filename().string());
  }
  EXPECT_EQ(fds, expected);
  EXPECT_EQ(fs::read_symlink(proc + "/fd/" + std::to_string(lock)).string(), lockPath);
  close(stray);
  close(lock);
  // The row was stamped, moved first and saved.
  EXPECT_NE(launcher.savedSettings().find("Projects%5C1%5Cname=Game\n"), std::string::npos);

  // Refused while it runs, within a second of the last attempt and with the clock set back
  // before it: only the notice changes.
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  for (int64_t last : {int64_t(0), now, now + 100}) {
    app.lastLaunchTime = last;
    app.notice.clear();
    openProjectAt(app, 1);
    EXPECT_EQ(app.notice, "ORVO Editor is already open.");
    if (last == 0) stopEditor(editor);
  }
  // Out of range does nothing; a parked project only shows the Installs page.
  app.lastLaunchTime = 0;
  app.notice.clear();
  openProjectAt(app, -1);
  openProjectAt(app, 3);
  app.pendingProjectPath = "/somewhere/Parked.zelvanproj";
  openProjectAt(app, 0);
  EXPECT_EQ(app.page, Installs);
  EXPECT_EQ(app.notice, "");
  EXPECT_TRUE(childEditors().empty());
  // A failed open shows the popup and leaves the list as it was.
  app.pendingProjectPath.clear();
  openProjectAt(app, 2);
  EXPECT_TRUE(app.cannotOpenRequested);
  EXPECT_EQ(app.cannotOpenMessage,
            "The project no longer exists:\n" + launcher.path("projects/Gone/Gone.zelvanproj"));
  EXPECT_EQ(app.settings->projects[1].lastOpened, 200);
}

TEST(EditorProcessLaunch, FailuresBeforeAndOfTheStart) {
  EditorFolderGuard noUpdaterEditor;  // the updater tests install one beside the test programs
  TempLauncher launcher;
  AppState& app = launcher.app;
  const ProjectRecord gone = launcher.addProject("Gone", 10, /*present=*/false);
  std::string error;
  EXPECT_FALSE(openProjectInEditor(app, gone.path, error));
  EXPECT_EQ(error, "ORVO Editor is not installed and automatic installation is not configured.");
  EXPECT_EQ(app.page, Installs);

  writeWholeFile(launcher.path("install/editor"), "#!/bin/sh\n", 0644);
  EXPECT_FALSE(openProjectInEditor(app, gone.path, error));
  EXPECT_EQ(error, "The project no longer exists:\n" + gone.path);
  EXPECT_EQ(app.lastLaunchTime, 0);

  // Found but not executable: the start fails, and counts for the launch guard.
  const ProjectRecord project = launcher.addProject("Game", 10);
  EXPECT_FALSE(openProjectInEditor(app, project.path, error));
  EXPECT_EQ(error, "The editor process failed to start (check the executable and its permissions).");
  EXPECT_GT(app.lastLaunchTime, 0);
  EXPECT_FALSE(isEditorRunning());

  const auto launchIn = [&](int resource, rlim_t limit) {
    return runInChild([&] {
      const rlimit few = {limit, limit};
      setrlimit(resource, &few);
      while (resource == RLIMIT_NOFILE && dup(0) >= 0) {
      }
      close(static_cast<int>(limit) - 1);  // one descriptor left: the pipe needs two
      std::string childError;
      openProjectInEditor(app, project.path, childError);
      return childError;
    });
  };
  EXPECT_EQ(launchIn(RLIMIT_NOFILE, 32), "Could not create the launch pipe.");
  EXPECT_EQ(launchIn(RLIMIT_NPROC, 0), "Could not fork the launcher process.");
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
        if (error != "ORVO Editor is already open." || std::chrono::steady_clock::now() > deadline)
          _exit(100);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    int children = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc"))
      children += procStatField(std::atoi(entry.path().filename().c_str()), 4) == getpid();
    _exit(children);
  }
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
  for (pid_t reaped = 0; reaped != launcherProcess && std::chrono::steady_clock::now() < deadline;)
    if ((reaped = waitpid(-1, &status, WNOHANG)) <= 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "100: a launch failed; otherwise the number of children left";
}

TEST(EditorProcessHandOff, AParkedProjectWaitsForTheInstallThenOpensOrIsReported) {
  EditorFolderGuard noUpdaterEditor;
  TempLauncher launcher;
  AppState& app = launcher.app;
  // A configured update server that is never asked: the states are published by the test.
  app.config->updateManifestUrl = "https://127.0.0.1:9/manifest?platform=linux";
  app.updater = new EditorUpdater(app.config->updateManifestUrl, launcher.path("downloads"));
  const std::string installing = "Installing ORVO Editor before opening this project\u2026";
  const ProjectRecord parked = launcher.addProject("Parked", 10);
  launcher.addProject("Newer", 50);

  // No editor: opening parks the project and shows the Installs page; a run in progress is
  // left alone and the last project parked wins.
  app.updater->publish(UpdateState::Downloading, "Downloading editor 1.0.0\u2026");
  openProjectAt(app, 1);
  EXPECT_EQ(app.pendingProjectPath, launcher.path("projects/Newer/Newer.zelvanproj"));
  EXPECT_FALSE(app.cannotOpenRequested);
  EXPECT_EQ(app.page, Installs);
  EXPECT_EQ(app.notice, installing);
  std::string error;
  EXPECT_FALSE(openProjectInEditor(app, parked.path, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(app.pendingProjectPath, parked.path);
  EXPECT_EQ(app.updater->state(), UpdateState::Downloading);
  for (UpdateState busy : {UpdateState::Idle, UpdateState::Checking, UpdateState::Installing}) {
    app.updater->publish(busy, "");
    handOffParkedProject(app);
    EXPECT_EQ(app.pendingProjectPath, parked.path);
  }
  EXPECT_FALSE(app.cannotOpenRequested);

  // Each ending that cannot open the project reports it once and forgets the project.
  const auto endWith = [&](const std::function<void()>& publish) {
    app.pendingProjectPath = parked.path;
    app.notice = installing;
    app.cannotOpenRequested = false;
    publish();
    handOffParkedProject(app);
    EXPECT_TRUE(app.cannotOpenRequested);
    EXPECT_EQ(app.pendingProjectPath, "");
    return app.cannotOpenMessage;
  };
  EXPECT_EQ(endWith([&] { app.updater->failUpdate("Download cancelled."); }), "Download cancelled.");
  EXPECT_EQ(app.notice, "");
  EXPECT_EQ(endWith([&] { app.updater->failUpdate(""); }),
            "ORVO Editor could not be installed automatically.");
  const auto offline = [&] {
    app.updater->publish(UpdateState::InstalledOffline, "Installed (offline mode)");
  };
  EXPECT_EQ(
      endWith(offline),
      "ORVO Editor was installed, but the launcher could not find its executable in the editor folder.");
  EXPECT_EQ(app.notice, "");
  EXPECT_EQ(app.updater->state(), UpdateState::InstalledOffline);  // no new run was started
  installTestEditor(launcher.path("install/editor"));
  fs::rename(fs::path(parked.path).parent_path(), launcher.path("moved"));
  EXPECT_EQ(endWith(offline), "The project no longer exists:\n" + parked.path);
  fs::rename(launcher.path("moved"), fs::path(parked.path).parent_path());

  app.pendingProjectPath = parked.path;
  app.cannotOpenRequested = false;
  app.updater->publish(UpdateState::Installed, "Installed \u2014 version 1.0.0");
  handOffParkedProject(app);
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  EXPECT_NE(readProcFile(editor, "cmdline").find(parked.path), std::string::npos);
  EXPECT_EQ(app.pendingProjectPath, "");
  EXPECT_FALSE(app.cannotOpenRequested);
  EXPECT_EQ(app.settings->projects.front().path, parked.path);
  EXPECT_NE(launcher.savedSettings().find("Projects%5C1%5Cname=Parked\n"), std::string::npos);
  stopEditor(editor);

  // A placeholder address is no update server.
  fs::remove(launcher.path("install/editor"));
  app.config->updateManifestUrl = "https://YOUR_SERVER/manifest?platform=linux";
  EXPECT_FALSE(openProjectInEditor(app, parked.path, error));
  EXPECT_EQ(error, "ORVO Editor is not installed and automatic installation is not configured.");
  EXPECT_EQ(app.pendingProjectPath, "");
}

TEST(EditorProcessAddFromDisk, ANewFileIsRecordedAndOpenedAListedOneStampedAndRefusalsReported) {
  EditorFolderGuard noUpdaterEditor;
  TempLauncher launcher;
  AppState& app = launcher.app;
  TestZenity zenity(launcher);
  installTestEditor(launcher.path("install/editor"));
  const ProjectRecord listed = launcher.addProject("Listed", 300);
  fs::create_directories(launcher.path("disk/Game"));
  const std::string chooser =
      "--file-selection\n--file-filter=ORVO Project | *.zelvanproj\n--title=Open ORVO Project\n--filename=";
  zenity.answer(launcher.path("disk/Game/./Game.zelvanproj"));
  app.notice = "old notice";
  addProjectFromDisk(app);
  EXPECT_EQ(zenity.arguments(), chooser + launcher.path("Documents") + "/\n");
  ASSERT_EQ(app.settings->projects.size(), 2u);
  EXPECT_EQ(app.settings->projects.front().name, "Game");
  EXPECT_EQ(app.settings->projects.front().path, launcher.path("disk/Game/Game.zelvanproj"));
  EXPECT_EQ(app.settings->lastAddedProjectLocation, launcher.path("disk/Game"));
  EXPECT_EQ(app.notice, "");
  EXPECT_NE(launcher.savedSettings().find("Projects%5C1%5Cname=Game\n"), std::string::npos);
  const pid_t editor = waitForChildEditor();
  ASSERT_GT(editor, 0);
  EXPECT_NE(readProcFile(editor, "cmdline").find(launcher.path("disk/Game/Game.zelvanproj")),
            std::string::npos);
  stopEditor(editor);

  // A listed file, however written, is stamped and opened; the last location and notice stay.
  app.lastLaunchTime = 0;
  app.settings->projects.front().lastOpened = 1;
  app.notice = "kept notice";
  zenity.answer(launcher.path("projects/Listed/../Listed/Listed.zelvanproj"));
  addProjectFromDisk(app);
  ASSERT_EQ(app.settings->projects.size(), 2u);
  EXPECT_EQ(app.settings->projects.front().path, listed.path);
  EXPECT_EQ(app.settings->lastAddedProjectLocation, launcher.path("disk/Game"));
  EXPECT_EQ(app.notice, "kept notice");
  stopEditor(waitForChildEditor());

  // Within a second of the last launch nothing opens, not even the chooser.
  zenity.answer("", 1);
  writeWholeFile(launcher.path("fakebin/args"), "");
  addProjectFromDisk(app);
  EXPECT_EQ(app.notice, "ORVO Editor is already open.");
  EXPECT_EQ(zenity.arguments(), "");
  // The chooser starts where the last project was added, quoted so the shell changes nothing;
  // a cancelled chooser changes nothing.
  app.lastLaunchTime = 0;
  app.settings->lastAddedProjectLocation = launcher.path("odd $HOME `x` \"q\" 'a'");
  addProjectFromDisk(app);
  EXPECT_EQ(zenity.arguments(), chooser + launcher.path("odd $HOME `x` \"q\" 'a'") + "/\n");
  EXPECT_EQ(app.settings->projects.size(), 2u);

  // A file named only ".zelvanproj" keeps that name; without an editor the popup says why,
  // after the record was saved.
  fs::remove(launcher.path("install/editor"));
  zenity.answer(launcher.path("disk/.zelvanproj"));
  addProjectFromDisk(app);
  ASSERT_EQ(app.settings->projects.size(), 3u);
  EXPECT_EQ(app.settings->projects.front().name, ".zelvanproj");
  EXPECT_TRUE(app.cannotOpenRequested);
  EXPECT_EQ(app.cannotOpenMessage,
            "ORVO Editor is not installed and automatic installation is not configured.");
  EXPECT_NE(launcher.savedSettings().find("Projects%5Csize=3\n"), std::string::npos);
  EXPECT_TRUE(childEditors().empty());
}
