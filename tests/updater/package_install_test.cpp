// Installing plain and encrypted packages: digests, authenticity, decryption, extraction and
// the swap of the editor folder.
#include "updater/package_install.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <filesystem>
#include <future>
#include <iterator>

#include "support/temp_launcher.h"  // writeWholeFile
#include "update_fixture.h"
#include "updater/package_container.h"
#include "updater/zip_extraction.h"

namespace fs = std::filesystem;

namespace {

mode_t permissions(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

const std::string kDecryptFailed = "Failed: Decrypting editor package failed: ";
const std::string kTagFailed =
    "Authentication tag verification failed: artifact has been tampered with or key is invalid.";

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
    EXPECT_FALSE(fs::exists(exeDir() + "/editor-previous"));
  }
  // Serves a zip of these entries, made by Python's zipfile, as version and runs an update.
  std::string runPythonZip(const std::string& version, const std::vector<ZipEntrySpec>& entries) {
    EXPECT_TRUE(writePythonZip(source / (version + ".zip"), entries));
    publish(version, source / (version + ".zip"));
    return run();
  }
  // Serves the zip encrypted with key into a container made with the options, and runs an
  // update whose manifest gives manifestKey.
  std::string runContainer(const std::string& zip, const std::string& options, const std::string& manifestKey,
                           const std::string& plaintextSha = "") {
    const std::string version = "e" + std::to_string(++containers), container = source / (version + ".pkg");
    EXPECT_TRUE(writeContainer(zip, container, key, options));
    publish(version, container, sha256FileHex(container), plaintextSha, manifestKey);
    decrypted = packagePath(version) + ".decrypted.zip";
    return run();
  }
  std::string key = randomKeyBase64(), decrypted;
  int containers = 0;
};

TEST_F(PackageInstall, InstallsAZipWithItsModesInPlaceOfTheOldEditor) {
  installOldEditor();
  const std::string zip = makeZipPackage(), sha = sha256FileHex(zip);
  publish("1.2.3", zip, sha);
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 1.2.3");
  EXPECT_EQ(server.lastVerifyBody(), "{\"sha256\":\"" + sha + "\"}");
  EXPECT_FALSE(fs::exists(editorDir() + "/old.txt"));
  EXPECT_EQ(readWholeFile(editorDir() + "/editor"), "#!/bin/sh\necho editor\n");
  EXPECT_EQ(permissions(editorDir() + "/editor"), 0755u);
  EXPECT_EQ(permissions(editorDir() + "/bin/tool"), 0750u);
  // Without an execute bit the stored mode (0600) is not applied: 0666 less the umask.
  EXPECT_EQ(permissions(editorDir() + "/data/readme.txt"), 0644u);
  // A stored link becomes a file holding its target; folders come only with files.
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(editorDir() + "/readme-link")));
  EXPECT_EQ(readWholeFile(editorDir() + "/readme-link"), "data/readme.txt");
  EXPECT_FALSE(fs::exists(editorDir() + "/data/empty-folder"));
  EXPECT_EQ(readWholeFile(editorDir() + "/.zelvan_editor_version"), "1.2.3\n");
  EXPECT_FALSE(fs::exists(exeDir() + "/editor-staging"));
  EXPECT_FALSE(fs::exists(exeDir() + "/editor-previous"));
  EXPECT_TRUE(fs::exists(packagePath("1.2.3")));

  // Links to a folder of the user's (the package's, here) as the editor folder, as the staging
  // folder and inside a left-over aside folder go as links, never with what they point at.
  fs::remove_all(editorDir());
  fs::create_directories(exeDir() + "/editor-previous");
  for (const std::string& link : {editorDir(), exeDir() + "/editor-staging", exeDir() + "/editor-previous/b"})
    fs::create_directory_symlink(source.path(), link);
  publish("1.2.4", zip);
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 1.2.4");
  EXPECT_TRUE(fs::exists(zip) && !fs::is_symlink(editorDir()));
}

TEST_F(PackageInstall, DigestsDecideTheAuthenticityCheck) {
  const std::string zip = makeZipPackage(), sha = sha256FileHex(zip);
  publish("1", zip);
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 1");
  EXPECT_EQ(server.verifyRequests(), 0);  // no digest: nothing to ask

  // A plain package is compared with its plaintext digest before the server hears of it.
  installOldEditor();
  publish("2", zip, "", std::string(64, 'a'));
  EXPECT_EQ(run(), "Failed: The downloaded package failed its checksum verification.");
  EXPECT_EQ(server.verifyRequests(), 0);
  expectOldEditorIntact();

  publish("3", zip, "", sha);
  server.configure([](UpdateServerBehaviour& b) { b.verifyBody = "{\"genuine\":false}"; });
  EXPECT_EQ(
      run(),
      "Failed: Artifact authenticity verification failed: Artifact SHA-256 verification failed: binary is "
      "not genuine.");
  EXPECT_EQ(server.lastVerifyBody(), "{\"sha256\":\"" + sha + "\"}");
  expectOldEditorIntact();
}

TEST_F(PackageInstall, HostileEntryNamesFailTheWholeInstall) {
  installOldEditor();
  int i = 0;
  for (const char* name :
       {"../escape", "a/../../escape", "a/..", "..\\escape", "a\\..\\b", "/abs", "\\abs", "c:x"}) {
    EXPECT_EQ(runPythonZip("h" + std::to_string(i++), {{"editor", "ok", 0755}, {name, "bad"}}),
              "Failed: Extracting the editor package failed.")
        << name;
    EXPECT_FALSE(fs::exists(exeDir() + "/editor-staging")) << name;
    EXPECT_FALSE(fs::exists(exeDir() + "/escape")) << name;
    expectOldEditorIntact();
  }
}

TEST_F(PackageInstall, OddButSafeNamesAndEmptyArchivesInstall) {
  EXPECT_EQ(runPythonZip("odd", {{"a/.../b", "three dots"},
                                 {".hidden/x..y", "hidden"},
                                 {"./dot", "dot"},
                                 {"dir/", ""},
                                 {"link", "target", 0777, true},
                                 {"lib/shared.so", "so", 06777}}),
            "Installed: Installed \u2014 version odd");
  EXPECT_EQ(readWholeFile(editorDir() + "/a/.../b"), "three dots");
  EXPECT_EQ(readWholeFile(editorDir() + "/.hidden/x..y"), "hidden");
  EXPECT_EQ(readWholeFile(editorDir() + "/dot"), "dot");
  // Stored modes never make what this user runs writable by others, nor set-id.
  EXPECT_EQ(permissions(editorDir() + "/link"), 0755u);
  EXPECT_EQ(permissions(editorDir() + "/lib/shared.so"), 0755u);
  EXPECT_EQ(runPythonZip("empty", {}), "Installed: Installed \u2014 version empty");
  EXPECT_EQ(std::distance(fs::directory_iterator(editorDir()), fs::directory_iterator()), 1);  // the version
  // A folder at the version file's name: the editor is in place, but its version is not recorded.
  EXPECT_EQ(runPythonZip("v", {{".zelvan_editor_version/x", "x"}}),
            "Failed: The editor was installed, but its version file could not be written.");
  EXPECT_EQ(readWholeFile(editorDir() + "/.zelvan_editor_version/x") + installedEditorVersion(), "x");
}

TEST_F(PackageInstall, ParallelWritersKeepEveryFileAndTheLastOfARepeatedName) {
  // Writers take runs of about 4 MiB of neighbouring entries: "dup" and "./dup" fall in different
  // runs, the first behind 3 MiB, the second at the start of a run of its own.
  const size_t mib = 1024 * 1024;
  std::vector<ZipEntrySpec> entries = {{"f0", "", 0644, false, 3 * mib},
                                       {"dup", "first"},
                                       {"f1", "", 0644, false, 2 * mib},
                                       {"./dup", "last"},
                                       {"x/f2", "", 0755, false, mib}};
  for (int i = 0; i < 40; ++i) entries.push_back({"many/" + std::to_string(i), std::to_string(i)});
  EXPECT_EQ(runPythonZip("parallel", entries), "Installed: Installed \u2014 version parallel");
  EXPECT_EQ(readWholeFile(editorDir() + "/dup"), "last");
  EXPECT_EQ(fs::file_size(editorDir() + "/f0"), 3 * mib);
  EXPECT_EQ(fs::file_size(editorDir() + "/f1"), 2 * mib);
  EXPECT_EQ(fs::file_size(editorDir() + "/x/f2"), mib);
  EXPECT_EQ(permissions(editorDir() + "/x/f2"), 0755u);
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(readWholeFile(editorDir() + "/many/" + std::to_string(i)), std::to_string(i));
}

TEST_F(PackageInstall, UnreadableArchivesAndCancelledOrFailedSwapsKeepTheOldEditor) {
  installOldEditor();
  const std::string zip = makeZipPackage(), whole = readWholeFile(zip);
  for (const std::string& body : {whole.substr(0, whole.size() / 2), std::string("PK")}) {
    writeTextFile(packagePath(std::to_string(body.size())), body);  // reused without a digest
    publish(std::to_string(body.size()), "");
    EXPECT_EQ(run(), "Failed: The editor package is not a readable zip archive.");
    expectOldEditorIntact();
  }

  publish("c", zip, sha256FileHex(zip));
  server.configure([](UpdateServerBehaviour& b) { b.verifyDelayMs = 300; });
  EditorUpdater updater(server.manifestUrl(), downloads.path());
  updater.startUpdateCheck();
  ASSERT_TRUE(waitUntil([&] { return server.verifyRequests() > 0; }));
  EXPECT_EQ(outcome(updater, false), "Installing: Installing editor c\u2026");
  updater.requestCancel();
  EXPECT_EQ(outcome(updater), "Failed: Install cancelled.");
  EXPECT_FALSE(fs::exists(exeDir() + "/editor-staging"));
  expectOldEditorIntact();

  // An immutable editor folder can be neither exchanged nor moved aside.
  if (runShell("chattr +i " + shellQuote(editorDir()) + " 2>/dev/null") != 0)
    GTEST_SKIP() << "chattr +i refused: needs root, on a file system that has it";
  const std::string swap = run();
  runShell("chattr -i " + shellQuote(editorDir()));
  EXPECT_EQ(swap, "Failed: Could not move the extracted editor into place.");
  expectOldEditorIntact();
  EXPECT_FALSE(fs::exists(exeDir() + "/editor-staging"));
}

// Holds the worker in its first wake after "Installed", before it deletes the editor it replaced.
std::atomic<EditorUpdater*> heldUpdater{nullptr};
std::atomic<bool> workerHeld{false}, releaseWorker{false};
void holdWorkerAfterInstalled() {
  EditorUpdater* updater = heldUpdater.load();
  if (!updater || updater->state() != UpdateState::Installed ||
      !heldUpdater.compare_exchange_strong(updater, nullptr))
    return;
  workerHeld = true;
  while (!releaseWorker.load()) usleep(1000);
}

TEST_F(PackageInstall, TheOldEditorsDeletionNeitherHoldsTheUiThreadNorAClose) {
  installOldEditor();
  const std::string zip = makeZipPackage();
  publish("2", zip);
  EditorUpdater updater(server.manifestUrl(), downloads.path());
  heldUpdater = &updater;
  updater.wake = holdWorkerAfterInstalled;
  updater.startUpdateCheck();
  ASSERT_TRUE(waitUntil([] { return workerHeld.load(); }));
  EXPECT_TRUE(fs::exists(exeDir() + "/editor-previous/old.txt"));
  // The button's call returns while the worker is still busy; the new run waits for it instead.
  auto check = std::async(std::launch::async, [&] { updater.startUpdateCheck(); });
  EXPECT_EQ(check.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the UI thread waited";
  releaseWorker = true;
  check.wait();
  EXPECT_EQ(outcome(updater), "Installed: Installed \u2014 version 2");
  EXPECT_FALSE(fs::exists(exeDir() + "/editor-previous"));

  // Closing there stops the deletion; the next run removes what is left.
  installOldEditor();
  publish("3", zip);
  releaseWorker = workerHeld = false;
  {
    EditorUpdater closing(server.manifestUrl(), downloads.path());
    heldUpdater = &closing;
    closing.wake = holdWorkerAfterInstalled;
    closing.startUpdateCheck();
    ASSERT_TRUE(waitUntil([] { return workerHeld.load(); }));
    closing.requestCancel();
    releaseWorker = true;
  }
  EXPECT_TRUE(fs::exists(exeDir() + "/editor-previous/old.txt"));
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 3");
  EXPECT_FALSE(fs::exists(exeDir() + "/editor-previous"));
}

TEST(ReplaceEditorFolder, MovingAsideRollsBackWhenTheNewFolderCannotMoveIn) {
  TempDir dir;
  const std::string editor = dir / "editor", staging = dir / "editor-staging",
                    aside = dir / "editor-previous";
  writeWholeFile(editor + "/v", "old");
  writeWholeFile(staging + "/v", "new");
  EXPECT_TRUE(replaceEditorFolderByMovingAside(staging, editor, aside));
  EXPECT_EQ(readWholeFile(editor + "/v"), "new");
  EXPECT_EQ(readWholeFile(aside + "/v"), "old");  // deleted by the caller once it announced the new one
  EXPECT_FALSE(replaceEditorFolderByMovingAside(staging, editor, aside));  // no staging folder now
  EXPECT_EQ(readWholeFile(editor + "/v"), "new");
  EXPECT_FALSE(fs::exists(aside));
}

TEST_F(PackageInstall, DecryptsConfirmsThePlaintextAndInstalls) {
  const std::string zip = makeZipPackage(), plainSha = sha256FileHex(zip);
  EXPECT_EQ(runContainer(zip, "--reserved 7", key, plainSha), "Installed: Installed \u2014 version e1");
  EXPECT_EQ(server.lastVerifyBody(), "{\"sha256\":\"" + plainSha + "\"}");
  EXPECT_EQ(readWholeFile(editorDir() + "/editor"), "#!/bin/sh\necho editor\n");
  EXPECT_FALSE(fs::exists(decrypted));
  EXPECT_TRUE(fs::exists(packagePath("e1")));

  // The URL-safe alphabet, no padding, and spaces and line breaks between the digits.
  std::string lenient;
  for (char c : key.substr(0, 43)) {
    lenient += c == '+' ? '-' : c == '/' ? '_' : c;
    if (lenient.size() % 10 == 0) lenient += " \\r\\n";  // JSON escapes: the key holds CR LF
  }
  EXPECT_EQ(runContainer(zip, "", lenient + "=ignored-after-padding"),
            "Installed: Installed \u2014 version e2");

  // Nothing planted in the downloads folder is waited on or written through: a FIFO at the
  // package's name, links to a file of the user's at the part and decrypted names.
  const std::string planted = packagePath("e3"), mine = source / "tree/bin/tool";
  ASSERT_EQ(::mkfifo(planted.c_str(), 0600), 0);
  for (const char* suffix : {".part", ".decrypted.zip"}) fs::create_symlink(mine, planted + suffix);
  EXPECT_EQ(runContainer(zip, "", key, plainSha), "Installed: Installed \u2014 version e3");
  EXPECT_EQ(readWholeFile(mine) + std::to_string(permissions(mine)), "tool" + std::to_string(0750));
}

TEST_F(PackageInstall, ContainerAndKeyFaultsFailWithTheirSentence) {
  const std::string zip = makeZipPackage(),
                    sizeMismatch = "Container file size does not match declared payload size.",
                    unsupported = "Unsupported container format version or parameters.",
                    badKey = "Invalid decryption key length.";
  const struct {
    std::string options, manifestKey, detail;
  } cases[] = {
      {"", "", badKey},
      {"", key.substr(0, 42), badKey},
      {"--truncate 47", key, "Encrypted file is too small to contain valid container header."},
      {"--extra", key, sizeMismatch},
      {"--declared 0", key, sizeMismatch},
      {"--version 2", key, unsupported},
      {"--taglen 12", key, unsupported},
      {"", randomKeyBase64(), kTagFailed},
      {"--flip 100", key, kTagFailed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runContainer(zip, c.options, c.manifestKey), kDecryptFailed + c.detail)
        << c.options << c.manifestKey;
    EXPECT_TRUE(fs::is_empty(exeDir() + "/editor-staging"));
    // Even a plaintext written whole before its tag was found wrong does not stay.
    EXPECT_FALSE(fs::exists(decrypted)) << c.options << c.manifestKey;
  }
  EXPECT_EQ(server.verifyRequests(), 0);
}

TEST_F(PackageInstall, PlaintextAndArchiveChecksAfterDecryption) {
  const std::string zip = makeZipPackage(),
                    notZip = "Failed: The editor package is not a readable zip archive.";
  EXPECT_EQ(runContainer(zip, "", key, std::string(64, '0')),
            "Failed: The decrypted editor package failed plaintext checksum verification.");
  EXPECT_FALSE(fs::exists(decrypted));
  server.configure([](UpdateServerBehaviour& b) { b.verifyStatus = 503; });
  EXPECT_EQ(
      runContainer(zip, "", key, sha256FileHex(zip)),
      "Failed: Artifact authenticity verification failed: Auth server returned HTTP 503 on verification.");
  EXPECT_FALSE(fs::exists(decrypted));
  server.configure([](UpdateServerBehaviour& b) { b.verifyStatus = 200; });
  // Without the magic the file is taken for a plain zip and the key is ignored.
  EXPECT_EQ(runContainer(zip, "--magic ZELVAN2", key), notZip);
  // An empty payload with a valid tag decrypts to an empty file, which is no zip.
  writeTextFile(source / "nothing.zip", "");
  EXPECT_EQ(runContainer(source / "nothing.zip", "", key), notZip);
  EXPECT_FALSE(fs::exists(decrypted));
}

TEST(PackageContainer, FailuresTheUpdateRunCannotReach) {
  TempDir dir;
  const std::vector<uint8_t> key(32, 7);
  std::string error;
  EXPECT_FALSE(decryptPackageContainer(dir / "missing", dir / "out", key, error));
  EXPECT_EQ(error, "Could not open encrypted file for reading.");
  writeTextFile(dir / "magic", "ZELVAN2" + std::string(41, '\0'));
  EXPECT_FALSE(decryptPackageContainer(dir / "magic", dir / "out", key, error));
  EXPECT_EQ(error, "Invalid container magic bytes.");
  EXPECT_FALSE(decryptPackageContainer(dir.path(), dir / "out", key, error));
  EXPECT_EQ(error, "Could not open encrypted file for reading.");  // only a regular file is read
  writeTextFile(dir / "empty.zip", "");
  const std::string base64 = randomKeyBase64();
  ASSERT_TRUE(writeContainer(dir / "empty.zip", dir / "empty.pkg", base64));
  EXPECT_FALSE(decryptPackageContainer(dir / "empty.pkg", dir.path(), decodeBase64Key(base64), error));
  EXPECT_EQ(error, "Could not open output file for writing.");
  // The plaintext is the user's alone, also when a file of that name was left wider.
  writeTextFile(dir / "plain.zip", "left");
  ::chmod((dir / "plain.zip").c_str(), 0644);
  EXPECT_TRUE(decryptPackageContainer(dir / "empty.pkg", dir / "plain.zip", decodeBase64Key(base64), error));
  EXPECT_EQ(permissions(dir / "plain.zip"), 0600u);

  // A decrypted copy that cannot be written whole (a full disk; here a file size limit) fails as
  // such. At a thread limit decryption and extraction do without their helper threads, while a
  // request and the start of an update run fail with their sentences.
  ASSERT_TRUE(writePythonZip(dir / "big.zip", {{"editor", "", 0755, false, 300000}, {"data", "d"}}));
  ASSERT_TRUE(writeContainer(dir / "big.zip", dir / "big.pkg", base64));
  ::chmod(dir.path().c_str(), 0777);
  const auto inChild = [&](int resource, rlim_t limit) {
    return runInChild([&] {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit few = {limit, limit};
      setrlimit(resource, &few);
      std::string text, sha;
      const std::atomic<bool> no{false};
      if (!decryptPackageContainer(dir / "big.pkg", dir / "c.zip", decodeBase64Key(base64), text, &sha))
        return text;
      verifyArtifactAuthenticity("https://127.0.0.1:1/m", sha, text);
      EditorUpdater updater("https://127.0.0.1:1/m", dir.path());
      updater.startUpdateCheck();
      PackageArchive archive(dir / "c.zip");
      const bool extracted = extractPackageArchive(archive, dir / "x", no);
      return std::to_string(extracted && fs::file_size(dir / "x/editor") == 300000) + text +
             outcome(updater, false);
    });
  };
  EXPECT_EQ(inChild(RLIMIT_FSIZE, 100000), "Could not write the decrypted package.");
  EXPECT_EQ(
      inChild(RLIMIT_NPROC, 0),
      "1Could not reach auth server for SHA-256 verification.Failed: The update could not start: no new "
      "thread could be created.");
}

}  // namespace
