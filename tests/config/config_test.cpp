// The two files the launcher reads at start-up, on disk under a throwaway HOME: the settings file
// (its exact format, files written by hand, record counts and fields, saves that fail or are cut
// short) and the configuration file next to the launcher (every message, the member rules, the
// manifest address, the downloads folder, and the start-up step that acts on them).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>

#include "app/app_state.h"
#include "config/json_util.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "platform/desktop.h"
#include "support/packages.h"
#include "support/temp_launcher.h"
#include "support/tls_server.h"

namespace {

unsigned fileMode(const std::string& path) {
  return unsigned(std::filesystem::status(path).permissions());
}

class ConfigTest : public ::testing::Test {
 protected:
  // Loads the settings the way start-up does, from the file under HOME (written first when given).
  LauncherSettings loadSettingsFile(const char* text = nullptr) {
    if (text) writeWholeFile(settingsPath, text);
    AppState app;
    initAppState(app);
    loadSettings(app);
    LauncherSettings settings = *app.settings;
    destroyAppState(app);
    return settings;
  }
  // Reads the configuration from launcher_config.json, or from the example file when that is the
  // only one.
  LauncherConfig read(const std::string& bytes, bool example = false) {
    std::filesystem::remove(launcherDir + "/launcher_config.json");
    writeWholeFile(launcherDir + (example ? "/launcher_config.example.json" : "/launcher_config.json"),
                   bytes);
    return readLauncherConfig(launcherDir);
  }

  TempDir home;
  ScopedEnv homeVariable{"HOME", home.path().c_str()};
  const std::string settingsPath = home / ".config/ZELVAN/Launcher.conf";
  const std::string launcherDir = home / "launcher";
};

using SettingsTest = ConfigTest;
using LauncherConfigTest = ConfigTest;

TEST_F(SettingsTest, SettingsAreWrittenByteForByte) {
  LauncherSettings settings = loadSettingsFile();
  ASSERT_EQ(settings.filePath, settingsPath);
  saveSettings(settings);
  EXPECT_EQ(readWholeFile(settingsPath),
            "[General]\nauth%2FrefreshToken=\ninstall%2Fpath=\nprojects%2FdefaultLocation=\n"
            "projects%2FlastAddedLocation=\nProjects%5Csize=0\n");
  EXPECT_TRUE(loadSettingsFile().projects.empty());

  settings.defaultProjectLocation = settings.lastAddedProjectLocation = "/data/work";
  settings.projects.push_back({"Demo", "/data/work/Demo/Demo.zelvanproj", "", "", 900, false});
  saveSettings(settings);
  EXPECT_EQ(readWholeFile(settingsPath),
            "[General]\nauth%2FrefreshToken=\ninstall%2Fpath=\nprojects%2FdefaultLocation=/data/work\n"
            "projects%2FlastAddedLocation=/data/work\nProjects%5Csize=1\nProjects%5C1%5Cname=Demo\n"
            "Projects%5C1%5Cpath=/data/work/Demo/Demo.zelvanproj\nProjects%5C1%5ClastOpened=900\n"
            "Projects%5C1%5Cfavorite=false\n");
  EXPECT_EQ(fileMode(settingsPath), 0600u);
}

TEST_F(SettingsTest, EverythingRoundTripsByteForByte) {
  const LauncherSettings settings{settingsPath,
                                  "1//tok%en@x",
                                  "Ada\nLovelace",
                                  "ada@example.org",
                                  {{"Full %41", "/p/full", "Linux", "1.2.3", 300, true},
                                   {"Same A", "", "", "", 7, true},
                                   {"Same B", "", "", "", 7, false},
                                   {"Neg", "/p/neg", "", "", -5, false}},
                                  "/opt/with space/=eq",
                                  "/home/a\\b",
                                  "/d\xC3\xA9j\xC3\xA0"};
  saveSettings(settings);
  const std::string text = readWholeFile(settingsPath);
  EXPECT_NE(text.find("auth%2FrefreshToken=1//tok%25en%40x\nauth%2FuserName=Ada%0ALovelace\n"),
            std::string::npos);
  EXPECT_NE(text.find("Projects%5C1%5Cname=Full %2541\n"), std::string::npos);
  EXPECT_NE(text.find("Projects%5C1%5Cfavorite=true\nProjects%5C1%5CtargetPlatform=Linux\n"
                      "Projects%5C1%5CeditorVersion=1.2.3\nProjects%5C2%5Cname=Same A\n"),
            std::string::npos);
  LauncherSettings back = loadSettingsFile();
  EXPECT_EQ(back.userName, settings.userName);
  saveSettings(back);
  EXPECT_EQ(readWholeFile(settingsPath), text);
}

TEST_F(SettingsTest, HandWrittenSettingsFiles) {
  const std::string text =
      "auth%2FuserName=before any section\n# comment\n; another=comment\n  [General]  \n"
      "auth/refreshToken = first\nauth/refreshToken = tok \t\nauth%2fuserEmail=Ada%2fB%40c\n"
      "install/path=a=b\nnoequals\n"
      "[ General ]\nauth%2FuserName=spaced header\n[general]\nauth%2FuserName=lower-case header\n"
      "[General\nauth%2FuserName=unclosed header\n"
      "[Other]\nprojects%2FdefaultLocation=other section\nProjects\\size=2\nProjects%5c1%5cname=  one  \n"
      "[General]\nProjects%5C2%5Cname=two\n";
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? "\r\n" : std::string(1, c);
  // A damaged file: the same, then millions of empty lines, read in a small multiple of its size.
  const std::string damaged = text + std::string(8 << 20, '\n');
  for (const std::string& file : {text, crlf, damaged}) {
    writeWholeFile(settingsPath, file);
    const PeakMemory memory;
    LauncherSettings s = loadSettingsFile();
    EXPECT_LT(memory.growthBytes(), int64_t(4 * file.size() + (4 << 20)));
    EXPECT_EQ(std::tie(s.refreshToken, s.userName, s.userEmail, s.installPath, s.defaultProjectLocation),
              std::make_tuple("tok", "", "Ada/B@c", "a=b", ""));
    ASSERT_EQ(s.projects.size(), 2u);
    EXPECT_EQ(s.projects[0].name, "one");
    EXPECT_EQ(s.projects[1].name, "two");
  }
  // The same text in a sparse file of 100 GB is refused unread: empty settings.
  ASSERT_EQ(::truncate(settingsPath.c_str(), off_t(100) << 30), 0);
  EXPECT_TRUE(loadSettingsFile().projects.empty());
}

TEST_F(SettingsTest, RecordCountsAreBounded) {
  const std::string records =
      "Projects%5C1%5Cname=a\nProjects%5C2%5Cname=b\n"
      "Projects%5C100000%5ClastOpened=5\nProjects%5C100001%5ClastOpened=9\n";
  const std::pair<const char*, size_t> counts[] = {
      {"", 0},
      {"Projects%5Csize=0\n", 0},
      {"Projects%5Csize=-2\n", 0},
      {"Projects%5Csize=abc\n", 0},
      {"Projects%5Csize=-99999999999999999999\n", 0},
      {"Projects%5Csize=9\nProjects%5Csize= +2x\n", 2},
      {"Projects%5Csize=2147483647\n", kMaxProjectRecords},
      {"Projects%5Csize=99999999999999999999999\n", kMaxProjectRecords},
  };
  for (const auto& [count, size] : counts) {
    LauncherSettings settings = loadSettingsFile(("[General]\n" + std::string(count) + records).c_str());
    ASSERT_EQ(settings.projects.size(), size) << count;
    EXPECT_TRUE(size <= 2 || settings.projects[0].lastOpened == 5)
        << "the last record within the bound is read";
  }
}

TEST_F(SettingsTest, RecordFields) {
  const std::vector<ProjectRecord> p =
      loadSettingsFile(
          "Projects%5Csize=9\nProjects%5C1%5Cfavorite=1\nProjects%5C2%5Cfavorite=true\n"
          "Projects%5C3%5Cfavorite=TRUE\nProjects%5C4%5Cfavorite=yes\nProjects%5C5%5Cfavorite=\n"
          "Projects%5C5%5ClastOpened=soon\nProjects%5C6%5ClastOpened=12abc\n"
          "Projects%5C7%5ClastOpened=99999999999999999999\nProjects%5C8%5ClastOpened=-3\n"
          "Projects%5C2%5Cname=first\nProjects%5C2%5Cname=second\nProjects%5C3%5Cpath=%20kept%20\n"
          "Projects%5C0%5Cname=zero\nProjects%5C10%5Cname=ten\nProjects%5C-1%5Cname=neg\n")
          .projects;
  ASSERT_EQ(p.size(), 9u);
  // 7 (largest), 6 (12), then 1..5 and 9 at 0 in their numbered order, then 8 (-3).
  EXPECT_EQ(p[0].lastOpened, INT64_MAX);
  EXPECT_EQ(p[1].lastOpened, 12);
  EXPECT_EQ(std::vector<bool>({p[2].favorite, p[3].favorite, p[4].favorite, p[5].favorite, p[6].favorite}),
            std::vector<bool>({true, true, false, false, false}));
  EXPECT_EQ(p[3].name, "second");
  EXPECT_EQ(p[4].path, " kept ");
  EXPECT_EQ(p[8].lastOpened, -3);
  for (const ProjectRecord& r : p) EXPECT_TRUE(r.name.empty() || r.name == "second") << r.name;

  ASSERT_EQ(loadSettingsFile("Projects%5Csize=3\nProjects%5C1%5Cname=one\n").projects.size(), 3u);
  saveSettings(loadSettingsFile());  // the two empty records are kept
  EXPECT_NE(readWholeFile(settingsPath).find("Projects%5Csize=3\n"), std::string::npos);
  EXPECT_NE(readWholeFile(settingsPath).find("Projects%5C3%5Cfavorite=false\n"), std::string::npos);
}

TEST_F(SettingsTest, UnsetHomeRemembersNothingAndEmptyHomeIsTheWorkingFolder) {
  {
    ScopedEnv unset("HOME", nullptr);
    LauncherSettings settings = loadSettingsFile();
    EXPECT_EQ(settings.filePath, "");
    saveSettings(settings);
  }
  EXPECT_FALSE(std::filesystem::exists(home / ".config"));

  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(home.path());
  {
    ScopedEnv empty("HOME", "");
    LauncherSettings settings = loadSettingsFile();
    EXPECT_EQ(settings.filePath, ".config/ZELVAN/Launcher.conf");
    settings.userName = "rel";
    saveSettings(settings);
  }
  std::filesystem::current_path(saved);
  EXPECT_NE(readWholeFile(settingsPath).find("auth%2FuserName=rel\n"), std::string::npos);
}

TEST_F(SettingsTest, FailedSaveKeepsTheOldFileAndAStaleTemporaryFileDoesNotWidenTheMode) {
  LauncherSettings settings = loadSettingsFile();
  saveSettings(settings);
  const std::string old = readWholeFile(settingsPath);
  std::filesystem::create_directory(settingsPath + ".tmp");  // the temporary file cannot be opened
  settings.userName = "new";
  saveSettings(settings);
  EXPECT_EQ(readWholeFile(settingsPath), old);

  std::filesystem::remove(settingsPath + ".tmp");
  writeWholeFile(settingsPath + ".tmp", "stale and much longer than the new content will ever be ...", 0666);
  std::filesystem::permissions(settingsPath, std::filesystem::perms(0644));
  saveSettings(settings);
  EXPECT_EQ(fileMode(settingsPath), 0600u);
  EXPECT_NE(readWholeFile(settingsPath).find("auth%2FuserName=new\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(settingsPath + ".tmp"));
}

// What another user (root here, when the tests run as root) put at the settings file's names in
// the user's folder, read and saved by the user: a link at the temporary name is replaced, never
// written through; a FIFO and a link to /dev/zero read as an empty file instead of hanging or
// exhausting memory.
TEST_F(SettingsTest, PlantedFilesAreNeitherWrittenThroughNorWaitedFor) {
  const std::string victim = home / "victim";
  writeWholeFile(victim, "victim\n");
  writeWholeFile(settingsPath, "[General]\nauth%2FuserName=Ada\n");
  if (geteuid() == 0) {  // the saves run as 65534 (runInChild), in a folder that is theirs
    ASSERT_EQ(::chown(home.path().c_str(), 65534, 65534), 0);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path()))
      ASSERT_EQ(::chown(entry.path().c_str(), 65534, 65534), 0);
  } else {
    std::printf("[ skipped ] files planted by another user: needs root; the user's own are tried\n");
  }
  const std::pair<std::function<void()>, std::string> plants[] = {
      {[&] { std::filesystem::create_symlink(victim, settingsPath + ".tmp"); }, "Ada"},
      {[&] { mkfifo(settingsPath.c_str(), 0644); }, ""},
      {[&] { std::filesystem::create_symlink("/dev/zero", settingsPath); }, ""},
  };
  for (const auto& [plant, name] : plants) {
    if (&plant != &plants[0].first) std::filesystem::remove(settingsPath);
    plant();
    const std::string loaded = runInChild([&] {
      alarm(60);  // a read that hangs fails the test instead of stalling it
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
      const rlimit memory = {rlim_t(1) << 31, rlim_t(1) << 31};  // and one that never ends
      setrlimit(RLIMIT_AS, &memory);
#endif
      LauncherSettings settings = loadSettingsFile();
      settings.refreshToken = "token";
      saveSettings(settings);
      return "loaded " + settings.userName;
    });
    EXPECT_EQ(loaded, "loaded " + name) << name;
    EXPECT_EQ(readWholeFile(victim), "victim\n");
    ASSERT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(settingsPath))) << name;
    EXPECT_NE(readWholeFile(settingsPath).find("auth%2FrefreshToken=token\n"), std::string::npos);
  }
}

// A process killed at any point of a save leaves either the previous or the new file, whole.
TEST_F(SettingsTest, KilledSavesNeverLeaveAPartialFile) {
  LauncherSettings a = loadSettingsFile();
  LauncherSettings b = a;
  b.refreshToken = "token-b";
  for (int i = 0; i < 20000; ++i)
    b.projects.push_back({"Project " + std::to_string(i), "/data/p", "", "", i, true});
  saveSettings(b);
  const std::string textB = readWholeFile(settingsPath);
  saveSettings(a);
  const std::string textA = readWholeFile(settingsPath);
  ASSERT_GT(textB.size(), 100000u);

  std::mt19937 random(12345);
  for (int round = 0; round < 150; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
      for (;;) {
        saveSettings(b);
        saveSettings(a);
      }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string now = readWholeFile(settingsPath);
    ASSERT_TRUE(now == textA || now == textB) << "round " << round << ": " << now.size() << " bytes";
    ASSERT_EQ(fileMode(settingsPath), 0600u);
  }
}

const std::string kNotFound =
    "launcher_config.json was not found next to the launcher executable. Copy it from "
    "launcher_config.example.json, fill in the Google OAuth credentials, and restart.";
const std::string kExample =
    "Running from launcher_config.example.json. Create launcher_config.json with real Google OAuth "
    "credentials to enable sign-in.";
const std::string kPlaceholder =
    "The Google OAuth credentials in launcher_config.json are still placeholders. Replace the YOUR_ "
    "values with real credentials and restart.";
const std::string kReal = R"({"google_client_id": "id.apps", "google_client_secret": "secret")";

// Run by the start-up test in a copy of this program: a summary of the state start-up built.
TEST(StartUpChild, Report) {
  if (!getenv("ORVO_START_UP_CHILD")) GTEST_SKIP() << "only run by the start-up test";
  AppState app;
  loadAppConfiguration(app);
  printf("configured=%d session=%d updater=%d restore=%d projects=%zu downloads=%s message=%s\n",
         app.config->configured, app.session != nullptr, app.updater != nullptr, app.sessionRestoreAttempted,
         app.settings->projects.size(), app.config->downloadsDirectory.c_str(), app.config->message.c_str());
  destroyAppState(app);
}

TEST_F(LauncherConfigTest, StartUpReadsNextToTheExecutable) {
  std::filesystem::create_directories(launcherDir);
  std::filesystem::copy_file("/proc/self/exe", launcherDir + "/tests_config");
  auto startUp = [&] {
    std::string output =
        runChooserCommand("cd " + shellQuote(launcherDir) +
                          " && ORVO_START_UP_CHILD=1 ./tests_config --gtest_filter=StartUpChild.Report");
    output.erase(0, output.find("configured="));
    return output.substr(0, output.find('\n'));
  };
  // A stored sign-in starts no restore while the launcher is not configured.
  writeWholeFile(settingsPath, "[General]\nauth%2FrefreshToken=stored\nProjects%5Csize=2\n");
  EXPECT_EQ(startUp(),
            "configured=0 session=0 updater=0 restore=0 projects=2 downloads= message=" + kNotFound);
  // The example file shipped with the launcher starts a fresh build on its own message.
  std::filesystem::copy_file(ORVO_TEST_SOURCE_DIR "/../assets/launcher_config.example.json",
                             launcherDir + "/launcher_config.example.json");
  EXPECT_EQ(startUp(), "configured=0 session=0 updater=0 restore=0 projects=2 downloads=" + launcherDir +
                           "/downloads message=" + kExample);
  writeWholeFile(settingsPath, "");
  writeWholeFile(launcherDir + "/launcher_config.json", kReal + "}");
  EXPECT_EQ(startUp(), "configured=1 session=1 updater=1 restore=0 projects=0 downloads=" + launcherDir +
                           "/downloads message=");
}

TEST_F(LauncherConfigTest, EveryMessage) {
  EXPECT_EQ(readLauncherConfig("").message, "Unable to resolve the launcher directory.");
  std::filesystem::create_directories(launcherDir);
  EXPECT_EQ(readLauncherConfig(launcherDir).message, kNotFound);
  EXPECT_TRUE(read(kReal + "}", true).configured);
  // An empty, unreadable or vastly large (a sparse 100 GB) launcher_config.json is not found; the
  // example file is not consulted.
  EXPECT_EQ(read("").message, kNotFound);
  std::filesystem::remove(launcherDir + "/launcher_config.json");
  std::filesystem::create_symlink(launcherDir + "/nowhere", launcherDir + "/launcher_config.json");
  EXPECT_EQ(readLauncherConfig(launcherDir).message, kNotFound);
  read(kReal + "}");
  ASSERT_EQ(::truncate((launcherDir + "/launcher_config.json").c_str(), off_t(100) << 30), 0);
  EXPECT_EQ(readLauncherConfig(launcherDir).message, kNotFound);

  const std::string invalid[] = {
      "[]",
      "\"text\"",
      "  ",
      kReal + ",}",
      kReal + " // comment\n}",
      "{} {}",
      std::string("{}\0", 3),
      "{\"n\": NaN}",
      "{'a': 'b'}",
      "\xEF\xBB\xBF",
      std::string(1000000, '[') + std::string(1000000, ']'),
  };
  for (const std::string& bytes : invalid)
    for (bool example : {false, true}) {
      const LauncherConfig config = read(bytes, example);
      EXPECT_EQ(config.message, "launcher_config.json is not valid JSON.") << bytes.substr(0, 40);
      EXPECT_EQ(config.downloadsDirectory, "");
    }
  EXPECT_TRUE(
      read("\xEF\xBB\xBF \r\n" + kReal + R"(, "x": [[{"y": [2.5e300, null]}]]})" + "\n\t").configured);

  const std::pair<const char*, bool> credentials[] = {
      {R"("google_client_id": "YOUR_CLIENT_ID", "google_client_secret": "s")", false},
      {R"("google_client_id": "i", "google_client_secret": "YOUR_")", false},
      {R"("google_client_id": "", "google_client_secret": "s")", false},
      {R"("google_client_secret": "s")", false},
      {R"("google_client_id": 42, "google_client_secret": "s")", false},
      {R"("Google_Client_Id": "i", "google_client_secret": "s")", false},
      {R"("google_client_id": "YOUR", "google_client_secret": "s")", true},
      {R"("google_client_id": "your_id", "google_client_secret": " YOUR_s")", true},
  };
  for (const auto& [members, configured] : credentials) {
    const std::string json = "{" + std::string(members) + "}";
    EXPECT_EQ(read(json).message, configured ? "" : kPlaceholder) << json;
    EXPECT_EQ(read(json, true).message, configured ? "" : kExample) << json;
    EXPECT_EQ(read(json, true).configured, configured) << json;
  }
}

TEST_F(LauncherConfigTest, MembersAreReadFirstOfTheirName) {
  const LauncherConfig config = read(R"({
    "google_client_id": "first", "google_client_id": "second",
    "google_client_secret": "se\u0000cret",
    "editor_update_manifest_url": 7, "editor_update_manifest_url": "https://late.test/m",
    "downloads_directory": {"nested": "x"}
  })");
  EXPECT_TRUE(config.configured);
  EXPECT_EQ(config.googleClientId, "first");
  EXPECT_EQ(config.googleClientSecret, std::string("se\0cret", 7));
  EXPECT_EQ(config.updateManifestUrl, "");
  EXPECT_EQ(config.downloadsDirectory, launcherDir + "/downloads");

  rapidjson::Document document;
  document.Parse(R"({"ab": "1", "a\u0000b": "2", "A": "3", "a": "4", "a": "5"})");
  EXPECT_EQ(getJsonStringMember(document, "a"), "4");
}

TEST_F(LauncherConfigTest, ManifestAddressAndDownloadsFolder) {
  const std::pair<const char*, const char*> manifests[] = {
      {"", ""},
      {"https://u.test/manifest", "https://u.test/manifest?platform=linux"},
      {"https://u.test/m?channel=beta", "https://u.test/m?channel=beta&platform=linux"},
      {"https://u.test/m?platform=windows&channel=beta", "https://u.test/m?platform=linux&channel=beta"},
      {"https://u.test/m?platform=", "https://u.test/m?platform=linux"},
      {"https://u.test/m?myplatform=x&platform=y", "https://u.test/m?myplatform=linux&platform=y"},
      {"https://u.test/m?Platform=x", "https://u.test/m?Platform=x&platform=linux"},
  };
  for (const auto& [url, expected] : manifests) EXPECT_EQ(rewriteManifestPlatform(url), expected) << url;
  const LauncherConfig config = read(kReal + R"(, "editor_update_manifest_url": "YOUR_URL"})");
  EXPECT_TRUE(config.configured);
  EXPECT_EQ(config.updateManifestUrl, "YOUR_URL?platform=linux");

  const std::pair<std::string, std::string> folders[] = {
      {"", launcherDir + "/downloads"},
      {"../cache/./dl", home.path() + "/cache/dl"},
      {"~/dl", launcherDir + "/~/dl"},
      {"/var//tmp/./x/../dl", "/var/tmp/dl"},
  };
  for (const auto& [value, expected] : folders)
    EXPECT_EQ(read(kReal + R"(, "downloads_directory": ")" + value + "\"}").downloadsDirectory, expected)
        << value;
  EXPECT_FALSE(std::filesystem::exists(launcherDir + "/downloads"));
}

}  // namespace
