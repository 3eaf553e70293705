#include "projects/project_record.h"

#include <algorithm>
#include <filesystem>

void sortProjectsByLastOpened(std::vector<ProjectRecord>& projects) {
  std::stable_sort(projects.begin(), projects.end(), [](const ProjectRecord& a, const ProjectRecord& b) {
    return a.lastOpened > b.lastOpened;
  });
}

std::string projectFolderFromPath(const std::string& path) {
  std::filesystem::path p(path);
  if (p.extension().string() == ".zelvanproj") return p.parent_path().string();
  return path;
}
