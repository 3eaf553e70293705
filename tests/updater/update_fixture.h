// A fixture with the editor folder guarded, a downloads folder, a local update server and a
// real package made by zip.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "platform/desktop.h"
#include "support/packages.h"
#include "support/update_server.h"
#include "updater/artifact_verification.h"
#include "updater/editor_updater.h"

// Polls until pred holds (generous deadline for loaded machines).
template <typename Pred>
bool waitUntil(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!pred() && std::chrono::steady_clock::now() < deadline) usleep(2000);
  return pred();
}

// Wakes of the frame loop by the updaters of run().
inline std::atomic<int> updaterWakes{0};
inline void countUpdaterWake() {
  ++updaterWakes;
}

// "<state>: <status message>", after waiting for the run to end unless told not to.
inline std::string outcome(EditorUpdater& updater, bool waitForEnd = true) {
  static const char* const names[] = {"Idle",      "Checking", "Downloading", "Installing",
                                      "Installed", "Offline",  "Failed"};
  const auto ended = [&] {
    return updater.state() >= UpdateState::Installed || updater.state() == UpdateState::Idle;
  };
  // The worker ends after its end state (it still deletes the editor it replaced).
  if (waitForEnd) {
    EXPECT_TRUE(waitUntil([&] { return ended() && updater.joinFinishedWorker(); }))
        << "the update run did not end";
  }
  return names[static_cast<int>(updater.state())] + std::string(": ") + updater.statusMessage();
}

inline std::string exeDir() {
  return executableDirectory();
}
inline std::string editorDir() {
  return exeDir() + "/editor";
}

// An executable editor at editor/editor next to the test program, with a version file.
inline void installFakeEditor(const std::string& version) {
  std::filesystem::create_directories(editorDir());
  writeTextFile(editorDir() + "/editor", "#!/bin/sh\n");
  ::chmod((editorDir() + "/editor").c_str(), 0755);
  writeTextFile(editorDir() + "/.zelvan_editor_version", version + "\n");
}

class UpdateFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(server.start(), 0);
    ::umask(022);
  }

  // Debian's zip of: an executable editor, a 750 tool, a 600 file in a folder, an empty folder
  // and a symbolic link stored as a link.
  std::string makeZipPackage() {
    const std::string tree = source / "tree";
    std::filesystem::create_directories(tree + "/bin");
    std::filesystem::create_directories(tree + "/data/empty-folder");
    writeTextFile(tree + "/editor", "#!/bin/sh\necho editor\n");
    writeTextFile(tree + "/bin/tool", "tool");
    writeTextFile(tree + "/data/readme.txt", "read me");
    ::chmod((tree + "/editor").c_str(), 0755);
    ::chmod((tree + "/bin/tool").c_str(), 0750);
    ::chmod((tree + "/data/readme.txt").c_str(), 0600);
    std::filesystem::create_symlink("data/readme.txt", tree + "/readme-link");
    EXPECT_TRUE(zipFolder(tree, source / "editor.zip"));
    return source / "editor.zip";
  }

  void serve(const std::string& manifestBody, const std::string& packageFile = "") {
    server.configure([&](UpdateServerBehaviour& b) {
      b.manifestBody = manifestBody;
      b.packageFile = packageFile;
    });
  }
  // Serves a manifest of these members naming the package, and the package file.
  void publish(const std::string& version, const std::string& file, const std::string& sha = "",
               const std::string& plainSha = "", const std::string& key = "") {
    serve(server.manifest(version, server.packageUrl(), sha, plainSha, key), file);
  }

  // Runs one update to its end; its outcome.
  std::string run(const std::string& manifestUrl = "") {
    EditorUpdater updater(manifestUrl.empty() ? server.manifestUrl() : manifestUrl, downloads.path());
    updater.wake = countUpdaterWake;
    const int wakes = updaterWakes;
    updater.startUpdateCheck();
    const std::string result = outcome(updater);
    // A frame loop asleep until woken hears of the run's end state, and again of its end.
    EXPECT_TRUE(waitUntil([&] { return updaterWakes - wakes >= 2; })) << result;
    received = updater.bytesReceived();
    total = updater.bytesTotal();
    return result;
  }

  std::string packagePath(const std::string& version) const {
    return downloads / ("zelvan_editor_" + version + ".zip");
  }

  EditorFolderGuard guard;
  TempDir source;
  TempDir downloads;
  UpdateServer server;
  uint64_t received = 0;
  uint64_t total = 0;
};
