// The settings file "Launcher.conf": stored sign-in, paths and the project list.
#pragma once

#include <string>
#include <vector>

#include "projects/project_record.h"

struct LauncherSettings {
  std::string filePath;  // empty when HOME was unset: nothing is saved
  std::string refreshToken;
  std::string userName;
  std::string userEmail;
  std::vector<ProjectRecord> projects;  // newest first
  std::string installPath;
  std::string defaultProjectLocation;
  std::string lastAddedProjectLocation;
};
