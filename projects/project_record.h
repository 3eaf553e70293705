// One project of the list, and the order of the list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProjectRecord {
  std::string name;
  std::string path;            // the project file, or the folder/file chosen when added from disk
  std::string targetPlatform;  // only ever read from the settings file
  std::string editorVersion;   // only ever read from the settings file
  int64_t lastOpened = 0;      // seconds since the epoch of the last open or add; 0 = never
  bool favorite = false;
};

// Newest lastOpened first; records with equal times keep their relative order.
void sortProjectsByLastOpened(std::vector<ProjectRecord>& projects);

// The folder of a project: the parent of a ".zelvanproj" file, any other path unchanged.
std::string projectFolderFromPath(const std::string& path);
