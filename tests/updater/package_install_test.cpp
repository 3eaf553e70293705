#include "updater/package_install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>

#include "update_fixture.h"
#include "updater/package_container.h"

namespace fs = std::filesystem;

namespace {

mode_t permissions(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

class PackageInstall : public UpdateFixture {
 protected:
  // An editor folder from an earlier install that every failure must leave alone.
  void installOldEditor() {
    installFakeEditor("0.9");
    writeTextFile(editorDir() + "/old.txt", "old");
  }
  void expectOldEditorIntact() {
    EXPECT_EQ(readWholeFile(editorDir() + "/old.txt"), "old");
    EXPECT_EQ(installedEditorVersion(), "0.9");
  }
  std::string staging() const { return exeDir() + "/editor-staging"; }
};

TEST_F(PackageInstall, InstallsAZipWithItsModesInPlaceOfTheOldEditor) {
  installOldEditor();
  const std::string zip = makeZipPackage();
  const std::string sha = sha256FileHex(zip);
  serve(server.manifest("1.2.3", server.packageUrl(), sha), zip);
  EXPECT_EQ(run(), UpdateState::Installed);
  EXPECT_EQ(message, "Installed \u2014 version 1.2.3");
  EXPECT_EQ(server.lastVerifyBody(), "{\"sha256\":\"" + sha + "\"}");

  EXPECT_FALSE(fs::exists(editorDir() + "/old.txt"));
  EXPECT_EQ(readWholeFile(editorDir() + "/editor"), "#!/bin/sh\necho editor\n");
  EXPECT_EQ(permissions(editorDir() + "/editor"), 0755u);
  EXPECT_EQ(permissions(editorDir() + "/bin/tool"), 0750u);
  // Without an execute bit the stored mode (0600) is not applied: the file keeps 0666 less the umask.
  EXPECT_EQ(permissions(editorDir() + "/data/readme.txt"), 0644u);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(editorDir() + "/readme-link")));
  EXPECT_EQ(readWholeFile(editorDir() + "/readme-link"), "data/readme.txt");
  EXPECT_FALSE(fs::exists(editorDir() + "/data/empty-folder"));
  EXPECT_EQ(readWholeFile(editorDir() + "/.zelvan_editor_version"), "1.2.3\n");
  EXPECT_FALSE(fs::exists(staging()));
  EXPECT_FALSE(fs::exists(exeDir() + "/editor-previous"));
  EXPECT_TRUE(fs::exists(packagePath("1.2.3")));
}

TEST_F(PackageInstall, DigestsDecideTheAuthenticityCheck) {
  const std::string zip = makeZipPackage();
  const std::string sha = sha256FileHex(zip);
  // Both digests empty: nothing is asked.
  serve(server.manifest("1", server.packageUrl()), zip);
  EXPECT_EQ(run(), UpdateState::Installed);
  EXPECT_EQ(server.verifyRequests(), 0);

  // A plain package is compared with its plaintext digest before the server hears of it.
  installOldEditor();
  serve(server.manifest("2", server.packageUrl(), "", std::string(64, 'a')), zip);
  EXPECT_EQ(run(), UpdateState::Failed);
  EXPECT_EQ(message, "The downloaded package failed its checksum verification.");
  EXPECT_EQ(server.verifyRequests(), 0);
  expectOldEditorIntact();

  serve(server.manifest("3", server.packageUrl(), "", sha), zip);
  server.configure([](UpdateServerBehaviour& b) { b.verifyBody = "{\"genuine\":false}"; });
  EXPECT_EQ(run(), UpdateState::Failed);
  EXPECT_EQ(message,
            "Artifact authenticity verification failed: Artifact SHA-256 verification failed: binary is not "
            "genuine.");
  EXPECT_EQ(server.lastVerifyBody(), "{\"sha256\":\"" + sha + "\"}");
  expectOldEditorIntact();
  EXPECT_TRUE(fs::is_empty(staging()));

  server.configure([](UpdateServerBehaviour& b) { b.verifyBody = "{\"genuine\":true}"; });
  EXPECT_EQ(run(), UpdateState::Installed);
}

TEST_F(PackageInstall, HostileEntryNamesFailTheWholeInstall) {
  installOldEditor();
  const char* hostile[] = {"../escape", "a/../escape", "a/..",  "..",  "..\\escape",
                           "a\\..\\b",  "/abs",        "\\abs", "c:x", "a/b:c"};
  int i = 0;
  for (const char* name : hostile) {
    const std::string zip = source / ("hostile" + std::to_string(i) + ".zip");
    ASSERT_TRUE(writePythonZip(zip, {{"editor", "ok", 0755}, {name, "bad", 0644}}));
    serve(server.manifest("h" + std::to_string(i++), server.packageUrl()), zip);
    EXPECT_EQ(run(), UpdateState::Failed) << name;
    EXPECT_EQ(message, "Extracting the editor package failed.") << name;
    EXPECT_FALSE(fs::exists(staging())) << name;
    EXPECT_FALSE(fs::exists(exeDir() + "/escape")) << name;
    expectOldEditorIntact();
  }
}

TEST_F(PackageInstall, OddButSafeNamesAndEmptyArchivesInstall) {
  const std::string zip = source / "odd.zip";
  ASSERT_TRUE(writePythonZip(zip, {{"a/.../b", "three dots"},
                                   {".hidden/x", "hidden"},
                                   {"./dot", "dot"},
                                   {"dir/", ""},
                                   {"link", "target", 0777, true}}));
  // A key of another JSON type is no key; the plain package installs regardless.
  serve("{\"version\":\"odd\",\"url\":\"" + server.packageUrl() + "\",\"encryption\":{\"key\":5}}", zip);
  EXPECT_EQ(run(), UpdateState::Installed);
  EXPECT_EQ(readWholeFile(editorDir() + "/a/.../b"), "three dots");
  EXPECT_EQ(readWholeFile(editorDir() + "/.hidden/x"), "hidden");
  EXPECT_EQ(readWholeFile(editorDir() + "/dot"), "dot");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(editorDir() + "/link")));
  EXPECT_EQ(permissions(editorDir() + "/link"), 0777u);

  const std::string empty = source / "empty.zip";
  ASSERT_TRUE(writePythonZip(empty, {}));
  serve(server.manifest("empty", server.packageUrl()), empty);
  EXPECT_EQ(run(), UpdateState::Installed);
  EXPECT_EQ(std::distance(fs::directory_iterator(editorDir()), fs::directory_iterator()), 1);
}

TEST_F(PackageInstall, UnreadableArchivesFail) {
  installOldEditor();
  const std::string zip = makeZipPackage();
  const std::string whole = readWholeFile(zip);
  // Reused without a digest, whatever they hold.
  const std::string bodies[] = {whole.substr(0, whole.size() / 2), "", "PK"};
  int i = 0;
  for (const std::string& body : bodies) {
    const std::string version = "r" + std::to_string(i++);
    writeTextFile(packagePath(version), body);
    serve(server.manifest(version, server.packageUrl()), zip);
    EXPECT_EQ(run(), UpdateState::Failed);
    EXPECT_EQ(message, "The editor package is not a readable zip archive.");
    expectOldEditorIntact();
  }
  EXPECT_EQ(server.packageRequests(), 0);
}

TEST_F(PackageInstall, CancelDuringVerificationEndsAtTheFirstEntry) {
  installOldEditor();
  const std::string zip = makeZipPackage();
  serve(server.manifest("c", server.packageUrl(), sha256FileHex(zip)), zip);
  server.configure([](UpdateServerBehaviour& b) { b.verifyDelayMs = 300; });
  EditorUpdater updater(server.manifestUrl(), downloads.path());
  updater.startUpdateCheck();
  ASSERT_TRUE(waitUntil([&] { return server.verifyRequests() > 0; }));
  EXPECT_EQ(updater.state(), UpdateState::Installing);
  EXPECT_EQ(updater.statusMessage(), "Installing editor c\u2026");
  updater.requestCancel();
  EXPECT_EQ(waitForRunEnd(updater), UpdateState::Failed);
  EXPECT_EQ(updater.statusMessage(), "Install cancelled.");
  EXPECT_FALSE(fs::exists(staging()));
  expectOldEditorIntact();
}

// An immutable editor folder can be neither exchanged nor moved aside.
class ImmutableFolder {
 public:
  explicit ImmutableFolder(const std::string& path) : path_(path) {
    ok_ = runShell("chattr +i " + shellQuote(path) + " 2>/dev/null") == 0;
  }
  ~ImmutableFolder() {
    if (ok_) runShell("chattr -i " + shellQuote(path_));
  }
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

TEST_F(PackageInstall, AFailedSwapKeepsTheOldEditor) {
  installOldEditor();
  const std::string zip = makeZipPackage();
  serve(server.manifest("s", server.packageUrl()), zip);
  {
    ImmutableFolder immutable(editorDir());
    if (!immutable.ok()) GTEST_SKIP() << "chattr +i is not permitted here";
    EXPECT_EQ(run(), UpdateState::Failed);
    EXPECT_EQ(message, "Could not move the extracted editor into place.");
  }
  expectOldEditorIntact();
  EXPECT_FALSE(fs::exists(staging()));
  EXPECT_FALSE(fs::exists(exeDir() + "/editor-previous"));
}

TEST(ReplaceEditorFolder, ExchangesOrMovesAsideAndRollsBack) {
  TempDir dir;
  const std::string editor = dir / "editor", staging = dir / "editor-staging";
  fs::create_directories(editor);
  writeTextFile(editor + "/v", "old");
  fs::create_directories(staging);
  writeTextFile(staging + "/v", "new");
  EXPECT_TRUE(replaceEditorFolder(staging, editor));
  EXPECT_EQ(readWholeFile(editor + "/v"), "new");
  EXPECT_FALSE(fs::exists(staging));

  // Moving aside: the new folder goes in, the old one is removed.
  fs::create_directories(staging);
  writeTextFile(staging + "/v", "newer");
  EXPECT_TRUE(replaceEditorFolderByMovingAside(staging, editor));
  EXPECT_EQ(readWholeFile(editor + "/v"), "newer");
  EXPECT_FALSE(fs::exists(dir / "editor-previous"));

  // When the new folder cannot be moved in, the old one is put back.
  EXPECT_FALSE(replaceEditorFolderByMovingAside(staging, editor));
  EXPECT_EQ(readWholeFile(editor + "/v"), "newer");
  EXPECT_FALSE(fs::exists(dir / "editor-previous"));

  // Without an editor folder both simply move the staging folder in.
  fs::remove_all(editor);
  fs::create_directories(staging);
  EXPECT_TRUE(replaceEditorFolder(staging, editor));
  EXPECT_TRUE(fs::is_directory(editor));
  EXPECT_FALSE(fs::exists(staging));
}

TEST(EntryNames, SeparatorsAndComponents) {
  for (const char* name :
       {"a", "a/b", "a\\b", "...", "a/.../b", ".x/y", "./a", "a//b", "a..b", "..a", "a/b.."})
    EXPECT_TRUE(isAllowedEntryName(name)) << name;
  for (const char* name : {"..", "../a", "a/..", "a/../b", "a\\..", "..\\a", "/a", "\\a", "a:b", ":"})
    EXPECT_FALSE(isAllowedEntryName(name)) << name;
}

}  // namespace
