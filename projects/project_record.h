// One project of the list, and the order of the list.
#pragma once

#include <cstdint>
#include <string>

struct ProjectRecord {
  std::string name;
  std::string path;
  std::string targetPlatform;
  std::string editorVersion;
  int64_t lastOpened = 0;  // seconds since the epoch
  bool favorite = false;
};
