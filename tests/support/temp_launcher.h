// A launcher state on a fresh temporary home folder, for tests of the project operations and
// the Projects screen. HOME points at the folder and ZELVAN_DIR is unset while it lives; both
// are restored, child editors stopped and the folder removed when it ends.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/app_state.h"
#include "projects/project_record.h"
#include "support/packages.h"  // readWholeFile

// Sets an environment variable (or unsets it when value is null) until the object ends.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

class TempLauncher {
 public:
  TempLauncher();
  ~TempLauncher();

  // dir joined with relative.
  std::string path(const std::string& relative) const;
  // Appends a record whose project file lies in dir/projects/<name>/; its folder is created
  // unless present is false.
  ProjectRecord& addProject(const std::string& name, int64_t lastOpened, bool present = true);
  // The settings file's text as last saved; empty when never saved.
  std::string savedSettings() const;

  std::string dir;  // the temporary folder, also HOME

 private:
  ScopedEnv home_;
  ScopedEnv zelvanDir_;

 public:
  AppState app;  // config (not configured), settings saving under dir; no session or updater
};

// A "zenity" first on PATH while it lives: it writes its arguments, each followed by a NUL, to
// <folder>/args, prints the answer given to it and ends with the given status.
class TestZenity {
 public:
  explicit TestZenity(TempLauncher& launcher) : TestZenity(launcher.path("fakebin")) {}
  explicit TestZenity(const std::string& folder);
  void answer(const std::string& chosen, int status = 0);
  // The arguments of the last run, one a line; empty before the first.
  std::string arguments() const;

 private:
  std::string dir_;
  ScopedEnv path_;
};

// Runs body in a forked child process, as an unprivileged user when this one is root (root
// passes every permission check and process limit), and returns the text body returned.
std::string runInChild(const std::function<std::string()>& body);

// Writes bytes to path (creating parent folders) with the given mode.
void writeWholeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);
