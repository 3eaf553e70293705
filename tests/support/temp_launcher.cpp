#include "support/temp_launcher.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "config/launcher_config.h"
#include "config/settings.h"
#include "platform/desktop.h"
#include "support/test_editor.h"

namespace fs = std::filesystem;

// Sets the variable, or unsets it when value is null.
static void setOrUnset(const std::string& name, const char* value) {
  value ? setenv(name.c_str(), value, 1) : unsetenv(name.c_str());
}

ScopedEnv::ScopedEnv(const char* name, const char* value)
    : name_(name), old_(getenv(name) ? getenv(name) : ""), had_(getenv(name) != nullptr) {
  setOrUnset(name_, value);
}

ScopedEnv::~ScopedEnv() {
  setOrUnset(name_, had_ ? old_.c_str() : nullptr);
}

namespace {

std::string makeTempDir() {
  char pattern[] = "/tmp/orvo_projects_XXXXXX";
  const char* made = mkdtemp(pattern);
  // Traversable by every user: some tests act as an unprivileged user inside it.
  if (made) chmod(made, 0755);
  return made ? made : "";
}

}  // namespace

TempLauncher::TempLauncher()
    : dir(makeTempDir()), home_("HOME", dir.c_str()), zelvanDir_("ZELVAN_DIR", nullptr) {
  adoptOrphanedEditors();
  waitUntilNoEditorRuns();
  initAppState(app);
  app.config = new LauncherConfig();
  app.settings = new LauncherSettings();
  app.settings->filePath = path(".config/ZELVAN/Launcher.conf");
  // An empty install folder: no editor is found unless a test puts one there.
  app.settings->installPath = path("install");
  std::error_code ec;
  fs::create_directories(app.settings->installPath, ec);
}

TempLauncher::~TempLauncher() {
  stopChildEditors();
  destroyAppState(app);
  std::error_code ec;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir, ec);
}

std::string TempLauncher::path(const std::string& relative) const {
  return (fs::path(dir) / relative).string();
}

ProjectRecord& TempLauncher::addProject(const std::string& name, int64_t lastOpened, bool present) {
  const std::string folder = path("projects/" + name);
  std::error_code ec;
  if (present) fs::create_directories(folder, ec);
  ProjectRecord record;
  record.name = name;
  record.path = folder + "/" + name + ".zelvanproj";
  record.lastOpened = lastOpened;
  app.settings->projects.push_back(record);
  return app.settings->projects.back();
}

std::string TempLauncher::savedSettings() const {
  return readWholeFile(app.settings->filePath);
}

void writeWholeFile(const std::string& path, const std::string& bytes, unsigned mode) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  writeTextFile(path, bytes);
  chmod(path.c_str(), mode);
}

TestZenity::TestZenity(const std::string& folder)
    : dir_(folder),
      path_("PATH", (folder + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")).c_str()) {
  const std::string d = shellQuote(dir_);
  writeWholeFile(dir_ + "/zenity",
                 "#!/bin/sh\nprintf '%s\\0' \"$@\" > " + d + "/args\ncat " + d +
                     "/answer 2>/dev/null\nexit $(cat " + d + "/status 2>/dev/null || echo 0)\n",
                 0755);
}

void TestZenity::answer(const std::string& chosen, int status) {
  writeWholeFile(dir_ + "/answer", chosen + "\n");
  writeWholeFile(dir_ + "/status", std::to_string(status) + "\n");
}

std::string TestZenity::arguments() const {
  std::string text = readWholeFile(dir_ + "/args");
  std::replace(text.begin(), text.end(), '\0', '\n');
  return text;
}

std::string runInChild(const std::function<std::string()>& body) {
  int ends[2];
  if (pipe(ends) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    std::string text;
    try {
      text = body();
    } catch (...) {
      _exit(3);  // never back into the test runner as a second copy of it
    }
    _exit(write(ends[1], text.data(), text.size()) < 0);
  }
  close(ends[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(ends[0], buffer, sizeof(buffer))) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  close(ends[0]);
  waitpid(child, nullptr, 0);
  return text;
}
