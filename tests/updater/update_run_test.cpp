// An update run against a local HTTPS update server: the manifest, the offline rules, the
// download and the authenticity endpoint.
#include "updater/update_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>

#include "platform/desktop.h"
#include "update_fixture.h"

namespace fs = std::filesystem;

namespace {

using UpdateRun = UpdateFixture;

// The digest by an independent tool, so the run's own hashing is checked too.
std::string opensslSha256(const std::string& path) {
  return runChooserCommand("openssl dgst -sha256 -r " + shellQuote(path) + " | cut -c1-64");
}

TEST(ParseHttpsUrl, SplitsOrRefusesAddresses) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://updates.orvo.test/v1/m?platform=linux#x", "updates.orvo.test 443 /v1/m?platform=linux#x"},
      {"https://127.0.0.1:8443", "127.0.0.1 8443 /"},
      {"https://h?q=1", "h?q=1 443 /"},
      {"https://h:00000000000000000443/p", "h 443 /p"},
      {"https://h:0/p", ""},
      {"https://h:65536/p", ""},
      {"https://h:18446744073709551659/p", ""},
      {"https://[::1]:443/p", ""},
  };
  for (const auto& [url, expected] : cases) {
    std::string host, path;
    int32_t port = 443;
    const bool ok = parseHttpsUrl(url, host, port, path);
    EXPECT_EQ(ok ? host + " " + std::to_string(port) + " " + path : "", expected) << url;
  }
}

TEST_F(UpdateRun, ManifestFailuresEndWithTheirSentence) {
  const std::string url = server.packageUrl(), notJson = "Failed: The update manifest is not valid JSON.",
                    missing = "Failed: The update manifest is missing its version or url field.";
  const std::string unusable =
      "Failed: The update manifest's version is not usable: it holds a line feed or NUL byte.";
  const struct {
    int status;
    std::string body;
    BodyFault fault;
    std::string outcome;
  } cases[] = {
      {404, "{}", BodyFault::None, "Failed: The update server returned HTTP 404 for the manifest."},
      {302, "{}", BodyFault::None, "Failed: The update server returned HTTP 302 for the manifest."},
      {500, "", BodyFault::Endless, "Failed: The update server returned HTTP 500 for the manifest."},
      {200, "", BodyFault::Endless, notJson},  // the body is capped, never read whole
      {200, "<html>not json</html>", BodyFault::None, notJson},
      {200, "[1,2]", BodyFault::None, notJson},
      {200, "{\"url\":\"" + url + "\"}", BodyFault::None, missing},
      {200, "{\"version\":1.2,\"url\":\"" + url + "\"}", BodyFault::None, missing},
      {200, "{\"version\":\"1.2\",\"url\":\"\"}", BodyFault::None, missing},
      // The version file's line could not hold it as written.
      {200, "{\"version\":\"1.2\\n\",\"url\":\"" + url + "\"}", BodyFault::None, unusable},
      {200, "{\"version\":\"1\\u0000\",\"url\":\"" + url + "\"}", BodyFault::None, unusable},
      {200, "{\"version\":\"\\n\",\"url\":\"" + url + "\"}", BodyFault::None, unusable},
      {200, "{\"version\":\"1\\n\"}", BodyFault::None, missing},
      {200, "{\"version\":\"1.2\",\"url\":\"http://127.0.0.1/p.zip\"}", BodyFault::None,
       "Failed: The package URL in the update manifest must be a valid https:// URL."},
  };
  for (const auto& c : cases) {
    server.configure([&](UpdateServerBehaviour& b) {
      b.manifestStatus = c.status;
      b.manifestBody = c.body;
      b.manifestFault = c.fault;
    });
    EXPECT_EQ(run(), c.outcome) << c.status << " " << c.body;
  }
  EXPECT_EQ(run("http://127.0.0.1:1/manifest"),
            "Failed: The update manifest URL must be a valid https:// URL.");
  EXPECT_EQ(server.packageRequests(), 0);
}

TEST_F(UpdateRun, NotConfiguredAndUnreachableServersFollowTheOfflineRules) {
  const std::string unreachable = "Failed: Could not reach the update server, and no local editor was found.";
  EXPECT_EQ(run("https://h/m?platform=linux&k=YOUR_KEY"),
            "Idle: Update server not configured. Please locate or install ORVO Editor.");
  serve("{\"version\":\"1.0\",");
  server.configure([](UpdateServerBehaviour& b) { b.manifestFault = BodyFault::CutMidway; });
  EXPECT_EQ(run(), unreachable);
  UpdateServer untrusted(false);
  ASSERT_GT(untrusted.start(), 0);
  EXPECT_EQ(run(untrusted.manifestUrl()), unreachable);
  EXPECT_EQ(untrusted.manifestRequests(), 0);

  // With a local editor each of them ends installed offline.
  installFakeEditor("0.1");
  for (const std::string& url :
       {untrusted.manifestUrl(), server.manifestUrl(), std::string("https://h/YOUR_X")})
    EXPECT_EQ(run(url), "Offline: Installed (offline mode)") << url;
  EditorUpdater updater("", downloads.path());
  EXPECT_EQ(outcome(updater, false), "Idle: ");
  updater.startUpdateCheck();
  EXPECT_EQ(outcome(updater), "Offline: Installed (offline mode)");

  // An editor moved aside by a run that stopped before the new one was in place is moved back.
  fs::rename(editorDir(), exeDir() + "/editor-previous");
  EXPECT_EQ(run("https://h/YOUR_X"), "Offline: Installed (offline mode)");
}

TEST_F(UpdateRun, CurrentVersionEndsInstalledWithoutDownload) {
  // Trailing spaces and CR of the version file do not count; the first duplicate member does.
  installFakeEditor("1.4.2 \r");
  // What an interrupted run left goes at the start of the next, also of one that downloads
  // nothing; a kept package and files of other names stay.
  writeTextFile(exeDir() + "/editor-previous/old", "old");
  for (const std::string suffix : {".part", ".decrypted.zip", ""})
    writeTextFile(packagePath("1.0") + suffix, "");
  writeTextFile(downloads / "mine.part", "");
  serve("\xEF\xBB\xBF{\"version\":\"1.4.2\",\"version\":\"7\",\"url\":\"" + server.packageUrl() +
        "\",\"encryption\":\"plain\"}");
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 1.4.2");
  // Also where a package put its executable: at bin/editor in the editor folder.
  fs::create_directories(editorDir() + "/bin");
  fs::rename(editorDir() + "/editor", editorDir() + "/bin/editor");
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 1.4.2");
  EXPECT_EQ(server.packageRequests(), 0);
  std::set<std::string> left;
  for (const fs::directory_entry& entry : fs::directory_iterator(downloads.path()))
    left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"mine.part", "zelvan_editor_1.0.zip"}));
  EXPECT_FALSE(fs::exists(exeDir() + "/editor-previous"));
}

TEST_F(UpdateRun, DownloadsKeepsAndReusesThePackage) {
  const std::string zip = makeZipPackage(), sha = opensslSha256(zip);
  installFakeEditor("1.4.2");
  // The version names the file sanitised; a part file of an earlier run is written anew.
  const std::string kept = packagePath("1.4.2_b__");
  writeTextFile(kept + ".part", std::string(5000000, 'x'));
  publish("1.4.2/b\xC3\xA9", zip, sha);
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 1.4.2/b\xC3\xA9");
  EXPECT_EQ(opensslSha256(kept), sha);
  EXPECT_FALSE(fs::exists(kept + ".part"));
  EXPECT_EQ(received, fs::file_size(zip));
  EXPECT_EQ(total, fs::file_size(zip));

  // The kept package is hashed and reused; without a digest any present package is reused.
  fs::remove(editorDir() + "/.zelvan_editor_version");
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 1.4.2/b\xC3\xA9");
  publish("1.4.2/b\xC3\xA9", source / "nothing-here");
  fs::remove(editorDir() + "/.zelvan_editor_version");
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 1.4.2/b\xC3\xA9");
  EXPECT_EQ(server.packageRequests(), 1);
  // Another user's file at the name is no package of ours; only root can give a file away.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(kept.c_str(), 65534, 65534), 0);
    fs::remove(editorDir() + "/.zelvan_editor_version");
    publish("1.4.2/b\xC3\xA9", zip, sha);
    EXPECT_EQ(run(), "Installed: Installed \u2014 version 1.4.2/b\xC3\xA9");
    EXPECT_EQ(server.packageRequests(), 2);
    struct stat owner;
    EXPECT_TRUE(::stat(kept.c_str(), &owner) == 0 && owner.st_uid == ::geteuid());
  } else {
    std::printf("[ skipped ] another user's package at the name: needs root to give a file away\n");
  }

  // Without a declared length the total stays unknown. Once "3" is installed the other versions'
  // packages go: regular files of the updater's own names only, never through a link.
  writeTextFile(packagePath("0.9"), "old");
  fs::create_symlink(zip, packagePath("0.8"));
  fs::create_directory(packagePath("0.7"));
  writeTextFile(downloads / "orvo_editor_0.6.zip", "the user's");
  publish("3", zip);
  server.configure([](UpdateServerBehaviour& b) { b.packageFault = BodyFault::NoLength; });
  EXPECT_EQ(run(), "Installed: Installed \u2014 version 3");
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(readWholeFile(packagePath("3")), readWholeFile(zip));
  EXPECT_FALSE(fs::exists(kept) || fs::exists(packagePath("0.9")));
  EXPECT_TRUE(fs::is_symlink(packagePath("0.8")) && fs::is_directory(packagePath("0.7")) &&
              fs::exists(downloads / "orvo_editor_0.6.zip") && opensslSha256(zip) == sha);
}

TEST_F(UpdateRun, FailedDownloadsLeaveNoPartFile) {
  const std::string zip = makeZipPackage();
  publish("2", zip);
  for (const auto& [status, fault] :
       {std::pair(404, BodyFault::None), std::pair(200, BodyFault::CutMidway)}) {
    server.configure([&](UpdateServerBehaviour& b) {
      b.packageStatus = status;
      b.packageFault = fault;
    });
    EXPECT_EQ(run(), "Failed: The editor package download failed.");
    EXPECT_FALSE(fs::exists(packagePath("2") + ".part"));
    EXPECT_FALSE(fs::exists(packagePath("2")));
  }
  server.configure([](UpdateServerBehaviour& b) { b.packageFault = BodyFault::None; });

  // Upper-case hex is no match; the stale package present is deleted and downloaded again.
  std::string upper = opensslSha256(zip);
  for (char& c : upper) c = static_cast<char>(toupper(c));
  fs::copy_file(zip, packagePath("5"));
  publish("5", zip, upper);
  EXPECT_EQ(run(), "Failed: The downloaded package failed its checksum verification.");
  EXPECT_EQ(server.packageRequests(), 3);
  EXPECT_FALSE(fs::exists(packagePath("5")));
  EXPECT_FALSE(fs::exists(packagePath("5") + ".part"));

  publish("6", zip, opensslSha256(zip));
  fs::create_directories(packagePath("6") + ".part");
  EXPECT_EQ(run(), "Failed: Could not write to the downloads directory.");
  fs::remove(packagePath("6") + ".part");
  // A folder in the package's place survives the stale-package delete; the rename then fails.
  fs::create_directories(packagePath("6") + "/inside");
  EXPECT_EQ(run(), "Failed: Could not finalize the downloaded package.");
  EXPECT_EQ(readWholeFile(packagePath("6") + ".part"), readWholeFile(zip));
}

TEST_F(UpdateRun, ASlowDownloadShowsProgressAndCancels) {
  ASSERT_EQ(runShell("head -c 8000000 /dev/urandom > " + (source / "editor.zip")), 0);
  publish("9.9", source / "editor.zip");
  server.configure([](UpdateServerBehaviour& b) { b.packageFault = BodyFault::Slow; });
  const std::string part = downloads / "zelvan_editor_9.9.zip.part";
  auto updater = std::make_unique<EditorUpdater>(server.manifestUrl(), downloads.path());
  const auto startAndWaitForBytes = [&] {
    updater->startUpdateCheck();
    updater->startUpdateCheck();  // refused: the run goes on
    EXPECT_EQ(outcome(*updater, false), "Checking: Checking for updates\u2026");
    EXPECT_EQ(updater->bytesReceived() + updater->bytesTotal(), 0u);
    ASSERT_TRUE(waitUntil([&] { return updater->bytesReceived() > 0; }));
    EXPECT_EQ(outcome(*updater, false), "Downloading: Downloading editor 9.9\u2026");
    EXPECT_EQ(updater->bytesTotal(), 8000000u);
  };
  startAndWaitForBytes();
  // An editor started meanwhile must not inherit the part file.
  int partDescriptors = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) != fs::path(part)) continue;
    ++partDescriptors;
    EXPECT_TRUE(::fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC);
  }
  EXPECT_EQ(partDescriptors, 1);
  updater->joinFinishedWorker();  // the run is not finished: returns at once
  updater->requestCancel();
  EXPECT_EQ(outcome(*updater), "Failed: Download cancelled.");
  EXPECT_FALSE(fs::exists(part));

  // A new run starts over; destroying the updater cancels and joins it.
  startAndWaitForBytes();
  updater.reset();
  EXPECT_FALSE(fs::exists(part));
  EXPECT_FALSE(fs::exists(downloads / "zelvan_editor_9.9.zip"));
  EXPECT_EQ(server.manifestRequests(), 2);
}

// Each request of a run against a peer that never answers, trickles, or sends without end: a
// cancel or a close ends it within a second, a trickle ends at the deadline with the request's
// own sentence, and an endless reply costs little memory.
TEST_F(UpdateRun, HostilePeersAreCutOffAndCancelAndCloseActWithinASecond) {
  using namespace std::chrono;
  writeTextFile(source / "p.zip", "package");  // verification comes before any unpacking
  writeTextFile(source / "gzip.zip", gzipBomb());
  const std::string sha = sha256FileHex(source / "p.zip"), gzipSha = sha256FileHex(source / "gzip.zip");
  const RequestDeadlines quick{.update = seconds(1), .packageStall = seconds(1)};
  const std::string unreachable = "Failed: Could not reach the update server, and no local editor was found.",
                    failed = "Failed: The editor package download failed.",
                    unverified = "Failed: Artifact authenticity verification failed: ",
                    noAuth = unverified + "Could not reach auth server for SHA-256 verification.",
                    badJson = unverified + "Invalid JSON returned by verification endpoint.",
                    notJson = "Failed: The update manifest is not valid JSON.";
  const struct {
    const char* request;
    size_t canned;            // replies before the hostile one: manifest, package
    std::string outcomes[5];  // cancelled; trickle; endless body; endless header; gzip
  } rows[] = {
      {"manifest", 0, {"Failed: Download cancelled.", unreachable, notJson, unreachable, notJson}},
      // A package marked gzip is written and hashed as sent; it then meets the verification.
      {"package", 1, {"Failed: Download cancelled.", failed, failed, failed, badJson}},
      {"verification", 2, {"Failed: Install cancelled.", noAuth, badJson, noAuth, badJson}},
  };
  for (const auto& row : rows) {
    for (const Hostility hostility : {Hostility::Silent, Hostility::Dribble, Hostility::EndlessBody,
                                      Hostility::EndlessHeader, Hostility::Gzip}) {
      const std::string label = row.request + std::string(", ") + hostilityName(hostility);
      const bool gzip = hostility == Hostility::Gzip;
      HostileTlsServer peer(hostility);
      const std::string base = "https://127.0.0.1:" + std::to_string(peer.port());
      const std::vector<std::string> canned = {
          HostileTlsServer::reply(200, server.manifest("7", base + "/p.zip", gzip ? gzipSha : sha)),
          HostileTlsServer::reply(200, gzip ? gzipBomb() : "package")};
      // Starts a run and returns once its hostile request is under way.
      const auto start = [&](const RequestDeadlines& deadlines) {
        fs::remove(packagePath("7"));
        peer.answerFirst({canned.begin(), canned.begin() + static_cast<long>(row.canned)});
        const int before = peer.hostileConnections();
        auto updater = std::make_unique<EditorUpdater>(base + "/m", downloads.path(), deadlines);
        updater->startUpdateCheck();
        EXPECT_TRUE(waitUntil([&] { return peer.hostileConnections() > before; })) << label;
        return updater;
      };
      const PeakMemory memory;
      auto updater = start(hostility == Hostility::Dribble ? quick : RequestDeadlines());
      auto t0 = steady_clock::now();
      if (hostility == Hostility::Silent) updater->requestCancel();
      const std::string result = outcome(*updater);
      const int64_t ended = msSince(t0);
      EXPECT_EQ(result, row.outcomes[static_cast<int>(hostility)]) << label;
      EXPECT_LE(updater->bytesReceived(), 2u << 20) << label;  // never past the declared length
      int64_t closed = -1;
      if (hostility == Hostility::Silent || hostility == Hostility::Dribble) {
        // Closing the window destroys the updater while the request hangs.
        auto closing = start(RequestDeadlines());
        t0 = steady_clock::now();
        closing.reset();
        closed = msSince(t0);
      }
      checkHostileRow(label, hostility, "cancel", ended, closed, memory);
    }
  }
}

TEST(VerifyArtifact, OnlyAGenuineTrueConfirmsAndEachRefusalHasItsSentence) {
  UpdateServer server;
  ASSERT_GT(server.start(), 0);
  const std::string notGenuine = "Artifact SHA-256 verification failed: binary is not genuine.",
                    noField = "Verification response missing genuine field.",
                    badJson = "Invalid JSON returned by verification endpoint.";
  const struct {
    std::string body;
    int status;
    std::string error;  // empty: confirmed
  } cases[] = {
      {"{\"genuine\":true}", 200, ""},
      {"\xEF\xBB\xBF{\"genuine\":true}", 200, ""},
      {"{\"genuine\":false}", 200, notGenuine},
      {"{\"genuine\":false,\"genuine\":true}", 200, notGenuine},
      {"{\"genuine\":\"true\"}", 200, noField},
      {"{\"ok\":true}", 200, noField},
      {"[{\"genuine\":true}]", 200, badJson},
      {"{\"genuine\":true", 200, badJson},
      {"{\"genuine\":true}", 302, "Auth server returned HTTP 302 on verification."},
      {"{\"genuine\":true}", 500, "Auth server returned HTTP 500 on verification."},
  };
  for (const auto& c : cases) {
    server.configure([&](UpdateServerBehaviour& b) {
      b.verifyBody = c.body;
      b.verifyStatus = c.status;
    });
    std::string error;
    const bool ok = verifyArtifactAuthenticity(server.manifestUrl(), "00ff", error);
    EXPECT_EQ(ok ? std::string("confirmed") : error, c.error.empty() ? "confirmed" : c.error) << c.body;
  }
  EXPECT_EQ(server.lastVerifyBody(), "{\"sha256\":\"00ff\"}");

  std::string error;
  EXPECT_FALSE(verifyArtifactAuthenticity("http://127.0.0.1/", "00", error));
  EXPECT_EQ(error, "Invalid manifest URL.");
  UpdateServer untrusted(false);
  ASSERT_GT(untrusted.start(), 0);
  const std::string url = untrusted.manifestUrl();
  for (int stopped = 0; stopped < 2; ++stopped) {
    error.clear();
    EXPECT_FALSE(verifyArtifactAuthenticity(url, "00", error));
    EXPECT_EQ(error, "Could not reach auth server for SHA-256 verification.");
    untrusted.stop();
  }
  EXPECT_EQ(untrusted.verifyRequests(), 0);
}

}  // namespace
