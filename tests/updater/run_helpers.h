// Shared pieces of the updater tests: waiting for a run to end and the editor folder paths.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/desktop.h"
#include "support/packages.h"
#include "updater/editor_updater.h"

inline bool isBusy(UpdateState state) {
  return state == UpdateState::Checking || state == UpdateState::Downloading ||
         state == UpdateState::Installing;
}

// Polls until the run has ended (generous deadline for loaded machines) and joins its worker.
inline UpdateState waitForRunEnd(EditorUpdater& updater) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  UpdateState state = updater.state();
  while (isBusy(state) && std::chrono::steady_clock::now() < deadline) {
    usleep(2000);
    state = updater.state();
  }
  EXPECT_FALSE(isBusy(state)) << "the update run did not end";
  updater.joinFinishedWorker();
  return state;
}

// Polls until pred holds or the deadline passes.
template <typename Pred>
bool waitUntil(Pred pred, int seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(2000);
  }
  return true;
}

inline std::string exeDir() {
  return executableDirectory();
}
inline std::string editorDir() {
  return exeDir() + "/editor";
}

// Puts an executable editor at editor/editor next to the test program, with a version file.
inline void installFakeEditor(const std::string& version) {
  std::filesystem::create_directories(editorDir());
  writeTextFile(editorDir() + "/editor", "#!/bin/sh\n");
  ::chmod((editorDir() + "/editor").c_str(), 0755);
  if (!version.empty()) writeTextFile(editorDir() + "/.zelvan_editor_version", version + "\n");
}
