#include "projects/editor_launch.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "app/app_state.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "platform/desktop.h"
#include "projects/project_operations.h"
#include "projects/project_record.h"
#include "updater/editor_updater.h"

namespace fs = std::filesystem;

bool isEditorRunning() {
  std::error_code ec;
  fs::directory_iterator it("/proc", ec);
  if (ec) return false;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) return false;
    const std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code statusError;
    if (!fs::is_directory(it->path(), statusError)) continue;
    std::ifstream comm(it->path() / "comm");
    if (!comm) continue;
    std::string line;
    if (!std::getline(comm, line)) continue;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line == "editor") return true;
  }
  return false;
}

std::string findEditorInDirectory(const std::string& folder) {
  if (folder.empty()) return std::string();
  const fs::path base(folder);
  const fs::path candidates[] = {
      base / "editor" / "editor",
      base / "bin" / "editor",
      base / "editor",
      base / "build_linux_editor" / "editor" / "editor",
  };
  for (const fs::path& candidate : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(fs::status(candidate, ec))) return candidate.string();
  }
  return std::string();
}

namespace {

// Folders whose "editor" is the system's own (a text editor's alternatives link); every folder
// above one of them is one of them too.
bool isSystemFolder(const std::string& folder) {
  static const char* const kSystemFolders[] = {"/",         "/usr",           "/usr/local",
                                               "/bin",      "/sbin",          "/usr/bin",
                                               "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"};
  for (const char* system : kSystemFolders)
    if (folder == system) return true;
  return false;
}

}  // namespace

std::vector<std::string> editorSearchFolders(const std::string& launcherFolder) {
  std::vector<std::string> folders;
  if (launcherFolder.empty()) return folders;
  fs::path folder = fs::path(launcherFolder).lexically_normal();
  if (!folder.has_filename() && folder != folder.root_path()) folder = folder.parent_path();  // "a/b/"
  for (int level = 0; level < 3; ++level) {
    const std::string text = folder.string();
    if (isSystemFolder(text)) break;
    folders.push_back(text);
    folder = folder.parent_path();
  }
  return folders;
}

std::string findEditorNearLauncher() {
  for (const std::string& folder : editorSearchFolders(executableDirectory())) {
    std::string found = findEditorInDirectory(folder);
    if (!found.empty()) return found;
  }
  return std::string();
}

std::string resolveEditorExecutable(const AppState& app) {
  if (const char* zelvanDir = std::getenv("ZELVAN_DIR")) {
    std::string found = findEditorInDirectory(zelvanDir);
    if (!found.empty()) return found;
  }
  std::string installPath = app.settings ? app.settings->installPath : std::string();
  if (installPath.empty()) {
    // The launcher folder stands in for the install path, unless it is a system folder.
    const std::vector<std::string> nearLauncher = editorSearchFolders(executableDirectory());
    if (!nearLauncher.empty()) installPath = nearLauncher.front();
  }
  std::string found = findEditorInDirectory(installPath);
  if (!found.empty()) return found;
  if (app.updater) {
    found = findEditorInDirectory(editorInstallDir());
    if (!found.empty()) return found;
  }
  return findEditorNearLauncher();
}

namespace {

// What the editor inherits: the single-instance lock, which it keeps while it runs, and nothing
// else, though some descriptors lack close-on-exec (a library's socket, say). Found before
// forking so the child only has to close the others and hand the lock on.
struct EditorDescriptors {
  std::vector<int> toClose;
  int lock = -1;
};

EditorDescriptors editorDescriptors() {
  const std::string lockPath = singleInstanceLockPath();
  EditorDescriptors result;
  std::error_code ec;
  fs::directory_iterator it("/proc/self/fd", ec);
  if (ec) return result;
  std::vector<int> open;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    open.push_back(std::atoi(it->path().filename().c_str()));
  }
  for (int fd : open) {
    if (fd <= 2) continue;
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0) continue;  // the iterator's own, closed by now
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == lockPath)
      result.lock = fd;
    else if (!(flags & FD_CLOEXEC))
      result.toClose.push_back(fd);
  }
  return result;
}

void writeFailureByte(int fd) {
  const char failed = 1;
  ssize_t ignored = write(fd, &failed, 1);
  (void)ignored;
}

bool updateServerConfigured(const AppState& app) {
  if (!app.updater || !app.config) return false;
  const std::string& url = app.config->updateManifestUrl;
  return !url.empty() && url.find("YOUR_") == std::string::npos;
}

}  // namespace

bool openProjectInEditor(AppState& app, const std::string& project, std::string& error) {
  if (isEditorRunning()) {
    error = "ORVO Editor is already open.";
    return false;
  }
  const std::string exe = resolveEditorExecutable(app);
  if (exe.empty()) {
    if (updateServerConfigured(app)) {
      app.pendingProjectPath = project;
      app.page = Installs;
      const UpdateState state = app.updater->state();
      if (state == UpdateState::Idle || state == UpdateState::Failed) app.updater->startUpdateCheck();
      app.notice = "Installing ORVO Editor before opening this project\u2026";
      return false;
    }
    error = "ORVO Editor is not installed and automatic installation is not configured.";
    app.page = Installs;
    return false;
  }

  std::error_code ec;
  const fs::file_status folderStatus = fs::status(projectFolderFromPath(project), ec);
  if (ec || !fs::exists(folderStatus)) {
    error = "The project no longer exists:\n" + project;
    return false;
  }
  const std::string workDir = fs::path(exe).parent_path().string();
  app.lastLaunchTime = static_cast<int64_t>(std::time(nullptr));

  // Everything the children use is built here: between fork and execv only async-signal-safe
  // calls run, since other threads may hold locks the children would otherwise wait on forever.
  std::vector<char*> argv = {const_cast<char*>(exe.c_str()), const_cast<char*>(project.c_str()), nullptr};
  const EditorDescriptors descriptors = editorDescriptors();
  const int* closeList = descriptors.toClose.data();
  const size_t closeCount = descriptors.toClose.size();
  const int lockFd = descriptors.lock;
  const char* workDirText = workDir.c_str();

  int resultPipe[2];
  if (pipe2(resultPipe, O_CLOEXEC) != 0) {
    error = "Could not create the launch pipe.";
    return false;
  }
  const pid_t child = fork();
  if (child < 0) {
    close(resultPipe[0]);
    close(resultPipe[1]);
    error = "Could not fork the launcher process.";
    return false;
  }
  if (child == 0) {
    close(resultPipe[0]);
    setsid();
    const pid_t grandchild = fork();
    if (grandchild < 0) {
      writeFailureByte(resultPipe[1]);
      _exit(127);
    }
    if (grandchild > 0) _exit(0);
    for (size_t i = 0; i < closeCount; ++i) close(closeList[i]);
    if (lockFd >= 0) fcntl(lockFd, F_SETFD, 0);
    if (workDirText[0] != '\0' && chdir(workDirText) != 0) {
      writeFailureByte(resultPipe[1]);
      _exit(127);
    }
    execv(argv[0], argv.data());
    writeFailureByte(resultPipe[1]);
    _exit(127);
  }

  close(resultPipe[1]);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  // End of file: execv closed the write end. One byte: a step before it failed.
  char byte = 0;
  ssize_t got;
  do {
    got = read(resultPipe[0], &byte, 1);
  } while (got < 0 && errno == EINTR);
  close(resultPipe[0]);
  if (got == 1) {
    error = "The editor process failed to start (check the executable and its permissions).";
    return false;
  }
  return true;
}

void handOffParkedProject(AppState& app) {
  if (!app.updater || app.pendingProjectPath.empty()) return;
  const UpdateState state = app.updater->state();
  if (state == UpdateState::Installed || state == UpdateState::InstalledOffline) {
    const std::string path = app.pendingProjectPath;
    app.pendingProjectPath.clear();
    std::string error;
    if (openProjectInEditor(app, path, error)) {
      const std::vector<ProjectRecord>& projects = app.settings->projects;
      ptrdiff_t index = -1;
      for (size_t i = 0; i < projects.size() && index < 0; ++i)
        if (projects[i].path == path) index = static_cast<ptrdiff_t>(i);
      recordProjectOpened(app, projects, index, static_cast<int64_t>(std::time(nullptr)));
    } else if (!error.empty()) {
      app.cannotOpenMessage = error;
      app.cannotOpenRequested = true;
    } else {
      // The update run finished yet no editor is where the launcher looks: waiting longer would
      // park the project again every frame, so report it instead.
      app.pendingProjectPath.clear();
      app.notice.clear();
      app.cannotOpenMessage =
          "ORVO Editor was installed, but the launcher could not find its executable in the editor folder.";
      app.cannotOpenRequested = true;
    }
  } else if (state == UpdateState::Failed) {
    const std::string message = app.updater->statusMessage();
    app.cannotOpenMessage = message.empty() ? "ORVO Editor could not be installed automatically." : message;
    app.cannotOpenRequested = true;
    app.pendingProjectPath.clear();
    app.notice.clear();
  }
}
