// The editor updater. (Placeholder until the updater lands.)
#pragma once

#include <string>

class EditorUpdater {
 public:
  EditorUpdater(const std::string& manifestUrl, const std::string& downloadsDirectory);
  ~EditorUpdater();
  void startUpdateCheck();
};
