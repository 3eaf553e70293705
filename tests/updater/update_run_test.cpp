#include "updater/update_run.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "update_fixture.h"

namespace fs = std::filesystem;

namespace {

using ManifestRun = UpdateFixture;

TEST_F(ManifestRun, ManifestFailuresEndWithTheirSentence) {
  struct Case {
    int status;
    std::string body;
    BodyFault fault;
    std::string message;
  };
  const std::string url = server.packageUrl();
  const Case cases[] = {
      {404, "{}", BodyFault::None, "The update server returned HTTP 404 for the manifest."},
      {302, "{}", BodyFault::None, "The update server returned HTTP 302 for the manifest."},
      {500, "", BodyFault::Endless, "The update server returned HTTP 500 for the manifest."},
      {200, "<html>not json</html>", BodyFault::None, "The update manifest is not valid JSON."},
      {200, "", BodyFault::None, "The update manifest is not valid JSON."},
      {200, "[1,2]", BodyFault::None, "The update manifest is not valid JSON."},
      {200, "{\"version\":\"1\",\"url\":\"" + url + "\",}", BodyFault::None,
       "The update manifest is not valid JSON."},
      {200, "{} {}", BodyFault::None, "The update manifest is not valid JSON."},
      {200, "", BodyFault::Endless, "The update manifest is not valid JSON."},
      {200, "{\"url\":\"" + url + "\"}", BodyFault::None,
       "The update manifest is missing its version or url field."},
      {200, "{\"version\":1.2,\"url\":\"" + url + "\"}", BodyFault::None,
       "The update manifest is missing its version or url field."},
      {200, "{\"version\":\"1.2\",\"url\":\"\"}", BodyFault::None,
       "The update manifest is missing its version or url field."},
      {200, "{\"version\":\"1.2\",\"url\":\"http://127.0.0.1/p.zip\"}", BodyFault::None,
       "The package URL in the update manifest must be a valid https:// URL."},
  };
  for (const Case& c : cases) {
    server.configure([&](UpdateServerBehaviour& b) {
      b.manifestStatus = c.status;
      b.manifestBody = c.body;
      b.manifestFault = c.fault;
    });
    EXPECT_EQ(run(), UpdateState::Failed) << c.body;
    EXPECT_EQ(message, c.message) << c.status << " " << c.body;
  }
  EXPECT_EQ(run("http://127.0.0.1:1/manifest"), UpdateState::Failed);
  EXPECT_EQ(message, "The update manifest URL must be a valid https:// URL.");
  EXPECT_EQ(server.packageRequests(), 0);
}

TEST_F(ManifestRun, UnreachableServerFollowsTheOfflineRules) {
  serve("{\"version\":\"1.0\",", "");
  server.configure([](UpdateServerBehaviour& b) { b.manifestFault = BodyFault::CutMidway; });
  EXPECT_EQ(run(), UpdateState::Failed);
  EXPECT_EQ(message, "Could not reach the update server, and no local editor was found.");

  UpdateServer untrusted(false);
  ASSERT_GT(untrusted.start(), 0);
  untrusted.configure(
      [&](UpdateServerBehaviour& b) { b.manifestBody = untrusted.manifest("1", untrusted.packageUrl()); });
  EXPECT_EQ(run(untrusted.manifestUrl()), UpdateState::Failed);
  EXPECT_EQ(message, "Could not reach the update server, and no local editor was found.");

  installFakeEditor("0.1");
  EXPECT_EQ(run(untrusted.manifestUrl()), UpdateState::InstalledOffline);
  EXPECT_EQ(message, "Installed (offline mode)");
  EXPECT_EQ(untrusted.manifestRequests(), 0);
  EXPECT_EQ(run(), UpdateState::InstalledOffline);
  EXPECT_EQ(run("https://127.0.0.1:1/manifest?platform=linux&your_key"), UpdateState::InstalledOffline);
}

TEST_F(ManifestRun, CurrentVersionEndsInstalledWithoutDownload) {
  installFakeEditor("1.4.2");
  serve("\xEF\xBB\xBF{\"version\":\"1.4.2\",\"version\":\"7\",\"url\":\"" + server.packageUrl() +
        "\",\"encryption\":\"plain\",\"extra\":[1,2]}");
  EXPECT_EQ(run(), UpdateState::Installed);
  EXPECT_EQ(message, "Installed \u2014 version 1.4.2");
  EXPECT_EQ(server.packageRequests(), 0);
  EXPECT_TRUE(fs::is_empty(downloads.path()));

  // The address check comes before the version test.
  serve("{\"version\":\"1.4.2\",\"url\":\"https://:99/p\"}");
  EXPECT_EQ(run(), UpdateState::Failed);
  EXPECT_EQ(message, "The package URL in the update manifest must be a valid https:// URL.");
}

TEST_F(ManifestRun, SanitizedVersionNamesThePackage) {
  EXPECT_EQ(sanitizeVersionForFileName("2.0 beta/3"), "2.0_beta_3");
  EXPECT_EQ(sanitizeVersionForFileName("1.0+\xC3\xA9-rc.1"), "1.0___-rc.1");
  // A package for 1.0+a already present is reused for 1.0/a when the manifest has no digest.
  const std::string zip = makeZipPackage();
  fs::copy_file(zip, packagePath("1.0_a"));
  serve(server.manifest("1.0/a", server.packageUrl()), zip);
  EXPECT_EQ(run(), UpdateState::Installed);
  EXPECT_EQ(message, "Installed \u2014 version 1.0/a");
  EXPECT_EQ(server.packageRequests(), 0);
  EXPECT_EQ(readWholeFile(exeDir() + "/editor/.zelvan_editor_version"), "1.0/a\n");
}

using DownloadRun = UpdateFixture;

TEST_F(DownloadRun, DownloadsChecksAndKeepsThePackage) {
  const std::string zip = makeZipPackage();
  const std::string sha = sha256FileHex(zip);
  installFakeEditor("1.4.2");
  // A trailing space makes the versions differ; a part file of an earlier run is written anew.
  writeTextFile(packagePath("1.4.2_") + ".part", std::string(5000000, 'x'));
  serve(server.manifest("1.4.2 ", server.packageUrl(), sha), zip);
  EXPECT_EQ(run(), UpdateState::Installed);
  EXPECT_EQ(message, "Installed \u2014 version 1.4.2 ");
  EXPECT_EQ(sha256FileHex(packagePath("1.4.2_")), sha);
  EXPECT_FALSE(fs::exists(packagePath("1.4.2_") + ".part"));
  EXPECT_EQ(received, fs::file_size(zip));
  EXPECT_EQ(total, fs::file_size(zip));

  // The next run hashes the kept package and reuses it.
  fs::remove(exeDir() + "/editor/.zelvan_editor_version");
  EXPECT_EQ(run(), UpdateState::Installed);
  EXPECT_EQ(server.packageRequests(), 1);
}

TEST_F(DownloadRun, WithoutDeclaredLengthTheTotalStaysUnknown) {
  const std::string zip = makeZipPackage();
  serve(server.manifest("3", server.packageUrl()), zip);
  server.configure([](UpdateServerBehaviour& b) { b.packageFault = BodyFault::NoLength; });
  EXPECT_EQ(run(), UpdateState::Installed);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(readWholeFile(packagePath("3")), readWholeFile(zip));
}

TEST_F(DownloadRun, FailedTransfersLeaveNoPartFile) {
  const std::string zip = makeZipPackage();
  serve(server.manifest("2", server.packageUrl()), zip);
  server.configure([](UpdateServerBehaviour& b) { b.packageStatus = 404; });
  EXPECT_EQ(run(), UpdateState::Failed);
  EXPECT_EQ(message, "The editor package download failed.");
  server.configure([](UpdateServerBehaviour& b) {
    b.packageStatus = 200;
    b.packageFault = BodyFault::CutMidway;
  });
  EXPECT_EQ(run(), UpdateState::Failed);
  EXPECT_EQ(message, "The editor package download failed.");
  EXPECT_EQ(server.packageRequests(), 2);
  EXPECT_FALSE(fs::exists(packagePath("2") + ".part"));
  EXPECT_FALSE(fs::exists(packagePath("2")));
}

TEST_F(DownloadRun, ChecksumMismatchAndUpperCaseDigestFail) {
  const std::string zip = makeZipPackage();
  std::string upper = sha256FileHex(zip);
  for (char& c : upper) c = static_cast<char>(toupper(c));
  // A present package that does not match is deleted and downloaded again.
  fs::copy_file(zip, packagePath("5"));
  serve(server.manifest("5", server.packageUrl(), upper), zip);
  EXPECT_EQ(run(), UpdateState::Failed);
  EXPECT_EQ(message, "The downloaded package failed its checksum verification.");
  EXPECT_EQ(server.packageRequests(), 1);
  EXPECT_FALSE(fs::exists(packagePath("5")));
  EXPECT_FALSE(fs::exists(packagePath("5") + ".part"));
}

TEST_F(DownloadRun, UnwritablePartFileAndUnrenamablePackage) {
  const std::string zip = makeZipPackage();
  serve(server.manifest("6", server.packageUrl(), sha256FileHex(zip)), zip);
  fs::create_directories(packagePath("6") + ".part");
  EXPECT_EQ(run(), UpdateState::Failed);
  EXPECT_EQ(message, "Could not write to the downloads directory.");
  fs::remove(packagePath("6") + ".part");

  // A folder in the package's place survives the stale-package delete; the rename then fails.
  fs::create_directories(packagePath("6") + "/inside");
  EXPECT_EQ(run(), UpdateState::Failed);
  EXPECT_EQ(message, "Could not finalize the downloaded package.");
  EXPECT_EQ(sha256FileHex(packagePath("6") + ".part"), sha256FileHex(zip));
}

}  // namespace
