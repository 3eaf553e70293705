#include "updater/editor_updater.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "run_helpers.h"
#include "support/packages.h"
#include "support/update_server.h"

namespace fs = std::filesystem;

namespace {

TEST(ReadFirstLine, TrimsOnlyTrailingBreaksAndSpaces) {
  TempDir dir;
  writeTextFile(dir / "a", "1.4.2 \r\nlater\n");
  EXPECT_EQ(readFirstLine(dir / "a"), "1.4.2");
  writeTextFile(dir / "b", "  lead\n");
  EXPECT_EQ(readFirstLine(dir / "b"), "  lead");
  writeTextFile(dir / "c", "\nsecond line");
  EXPECT_EQ(readFirstLine(dir / "c"), "");
  writeTextFile(dir / "d", "no break at all");
  EXPECT_EQ(readFirstLine(dir / "d"), "no break at all");
  EXPECT_EQ(readFirstLine(dir / "missing"), "");
}

TEST(EditorLocation, InstallFolderVersionFileAndLocalEditor) {
  EditorFolderGuard guard;
  EXPECT_EQ(editorInstallDir(), exeDir() + "/editor");
  EXPECT_EQ(editorVersionFilePath(), exeDir() + "/editor/.zelvan_editor_version");
  EXPECT_EQ(findLocalEditor(), "");
  EXPECT_EQ(installedEditorVersion(), "");
  installFakeEditor("1.4.2");
  EXPECT_EQ(findLocalEditor(), exeDir() + "/editor/editor");
  EXPECT_EQ(installedEditorVersion(), "1.4.2");
}

TEST(EditorUpdaterRun, NotConfiguredEndsIdleOrOffline) {
  EditorFolderGuard guard;
  TempDir downloads;
  for (const std::string& url : {std::string(), std::string("https://h/m?platform=linux&k=YOUR_KEY")}) {
    EditorUpdater updater(url, downloads.path());
    EXPECT_EQ(updater.state(), UpdateState::Idle);
    EXPECT_EQ(updater.statusMessage(), "");
    updater.startUpdateCheck();
    EXPECT_EQ(waitForRunEnd(updater), UpdateState::Idle);
    EXPECT_EQ(updater.statusMessage(), "Update server not configured. Please locate or install ORVO Editor.");
  }
  installFakeEditor("");
  EditorUpdater updater("", downloads.path());
  updater.startUpdateCheck();
  EXPECT_EQ(waitForRunEnd(updater), UpdateState::InstalledOffline);
  EXPECT_EQ(updater.statusMessage(), "Installed (offline mode)");
}

class SlowDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(server.start(), 0);
    ASSERT_EQ(runShell("head -c 8000000 /dev/urandom > " + (source / "editor.zip")), 0);
    server.configure([&](UpdateServerBehaviour& b) {
      b.manifestBody = server.manifest("9.9", server.packageUrl());
      b.packageFile = source / "editor.zip";
      b.packageFault = BodyFault::Slow;
    });
  }
  void waitForBytes(EditorUpdater& updater) {
    ASSERT_TRUE(waitUntil([&] { return updater.bytesReceived() > 0; }));
    EXPECT_EQ(updater.state(), UpdateState::Downloading);
    EXPECT_EQ(updater.statusMessage(), "Downloading editor 9.9\u2026");
    EXPECT_EQ(updater.bytesTotal(), 8000000u);
  }
  std::string partFile() const { return downloads / "zelvan_editor_9.9.zip.part"; }

  EditorFolderGuard guard;
  TempDir source;
  TempDir downloads;
  UpdateServer server;
};

TEST_F(SlowDownload, SecondStartIsRefusedAndCancelEndsTheRun) {
  EditorUpdater updater(server.manifestUrl(), downloads.path());
  updater.startUpdateCheck();
  updater.startUpdateCheck();
  EXPECT_EQ(updater.state(), UpdateState::Checking);
  EXPECT_EQ(updater.statusMessage(), "Checking for updates\u2026");
  waitForBytes(updater);
  // An editor started meanwhile must not inherit the part file.
  int partDescriptors = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) != fs::path(partFile())) continue;
    ++partDescriptors;
    EXPECT_TRUE(::fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC);
  }
  EXPECT_EQ(partDescriptors, 1);
  updater.startUpdateCheck();
  EXPECT_EQ(updater.state(), UpdateState::Downloading);
  updater.joinFinishedWorker();  // the run is not finished: returns at once
  updater.requestCancel();
  EXPECT_EQ(waitForRunEnd(updater), UpdateState::Failed);
  EXPECT_EQ(updater.statusMessage(), "Download cancelled.");
  EXPECT_FALSE(fs::exists(partFile()));
  EXPECT_EQ(server.manifestRequests(), 1);

  // A new run after a failure starts over: Checking, its message and both counts zero at once.
  server.configure([](UpdateServerBehaviour& b) { b.manifestStatus = 500; });
  updater.startUpdateCheck();
  EXPECT_EQ(updater.state(), UpdateState::Checking);
  EXPECT_EQ(updater.statusMessage(), "Checking for updates\u2026");
  EXPECT_EQ(updater.bytesReceived(), 0u);
  EXPECT_EQ(updater.bytesTotal(), 0u);
  EXPECT_EQ(waitForRunEnd(updater), UpdateState::Failed);
  EXPECT_EQ(updater.statusMessage(), "The update server returned HTTP 500 for the manifest.");
}

TEST_F(SlowDownload, DestroyingTheUpdaterCancelsAndJoinsTheDownload) {
  auto updater = std::make_unique<EditorUpdater>(server.manifestUrl(), downloads.path());
  updater->startUpdateCheck();
  waitForBytes(*updater);
  updater.reset();
  EXPECT_FALSE(fs::exists(partFile()));
  EXPECT_FALSE(fs::exists(downloads / "zelvan_editor_9.9.zip"));
}

}  // namespace
