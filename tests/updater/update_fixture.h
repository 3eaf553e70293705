// A fixture with the editor folder guarded, a downloads folder, a local update server and a
// real package made by zip.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "run_helpers.h"
#include "support/packages.h"
#include "support/update_server.h"
#include "updater/artifact_verification.h"
#include "updater/editor_updater.h"

class UpdateFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(server.start(), 0);
    ::umask(022);
  }

  // A package zipped by Debian's zip: an executable editor, a 755 tool, a 644 text file in a
  // folder and a symbolic link stored as a link.
  std::string makeZipPackage(const std::string& name = "editor.zip") {
    const std::string tree = source / ("tree-" + name);
    std::filesystem::create_directories(tree + "/bin");
    std::filesystem::create_directories(tree + "/data/empty-folder");
    writeTextFile(tree + "/editor", "#!/bin/sh\necho editor\n");
    ::chmod((tree + "/editor").c_str(), 0755);
    writeTextFile(tree + "/bin/tool", "tool");
    ::chmod((tree + "/bin/tool").c_str(), 0750);
    writeTextFile(tree + "/data/readme.txt", "read me");
    ::chmod((tree + "/data/readme.txt").c_str(), 0600);
    std::filesystem::create_symlink("data/readme.txt", tree + "/readme-link");
    const std::string zip = source / name;
    EXPECT_TRUE(zipFolder(tree, zip));
    return zip;
  }

  // Serves the manifest and the package file.
  void serve(const std::string& manifestBody, const std::string& packageFile = "") {
    server.configure([&](UpdateServerBehaviour& b) {
      b.manifestBody = manifestBody;
      b.packageFile = packageFile;
    });
  }

  // Runs one update to its end; the final state, with the message in `message`.
  UpdateState run(const std::string& manifestUrl = "") {
    EditorUpdater updater(manifestUrl.empty() ? server.manifestUrl() : manifestUrl, downloads.path());
    updater.startUpdateCheck();
    const UpdateState state = waitForRunEnd(updater);
    message = updater.statusMessage();
    received = updater.bytesReceived();
    total = updater.bytesTotal();
    return state;
  }

  std::string packagePath(const std::string& version) const {
    return downloads / ("zelvan_editor_" + version + ".zip");
  }

  EditorFolderGuard guard;
  TempDir source;
  TempDir downloads;
  UpdateServer server;
  std::string message;
  uint64_t received = 0;
  uint64_t total = 0;
};
