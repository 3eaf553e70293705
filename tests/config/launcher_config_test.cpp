// The configuration file next to the launcher: every message, the placeholder and member rules,
// the manifest address, the downloads folder, and the start-up step that acts on them.
#include "config/launcher_config.h"

#include "config/json_util.h"
#include "config_env.h"
#include "platform/desktop.h"

namespace {

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

class LauncherConfigTest : public ConfigTest {
 protected:
  // Reads the configuration from launcher_config.json, or from the example file when that is the
  // only one.
  LauncherConfig read(const std::string& bytes, bool example = false) {
    std::filesystem::remove(launcherDir + "/launcher_config.json");
    writeWholeFile(launcherDir + (example ? "/launcher_config.example.json" : "/launcher_config.json"),
                   bytes);
    return readLauncherConfig(launcherDir);
  }
  // Runs the start-up step in a copy of this program placed in the launcher folder (it reads
  // next to the running executable); a summary of the application state it built.
  std::string startUp() {
    std::filesystem::copy_file("/proc/self/exe", launcherDir + "/tests_config",
                               std::filesystem::copy_options::overwrite_existing);
    const std::string output = runChooserCommand("cd " + shellQuote(launcherDir) +
                                                 " && ORVO_START_UP_CHILD=1 ./tests_config "
                                                 "--gtest_filter=StartUpChild.Report");
    const size_t start = output.find("configured=");
    return start == std::string::npos ? output : output.substr(start, output.find('\n', start) - start);
  }
};

TEST(StartUpChild, Report) {
  if (!getenv("ORVO_START_UP_CHILD")) GTEST_SKIP() << "only run by the start-up test";
  AppState app;
  loadAppConfiguration(app);
  printf("configured=%d session=%d updater=%d restore=%d projects=%zu downloads=%s message=%s\n",
         app.config->configured, app.session != nullptr, app.updater != nullptr, app.sessionRestoreAttempted,
         app.settings->projects.size(), app.config->downloadsDirectory.c_str(), app.config->message.c_str());
  destroyAppState(app);
}

TEST_F(LauncherConfigTest, StartUp) {
  std::filesystem::create_directories(launcherDir);
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

TEST_F(LauncherConfigTest, MissingEmptyOrUnreadableFileIsNotFound) {
  EXPECT_EQ(readLauncherConfig("").message, "Unable to resolve the launcher directory.");
  std::filesystem::create_directories(launcherDir);
  const LauncherConfig none = readLauncherConfig(launcherDir);
  EXPECT_EQ(none.message, kNotFound);
  EXPECT_FALSE(none.configured);
  EXPECT_EQ(none.downloadsDirectory, "");
  // An empty launcher_config.json is not found; the example file is not consulted then.
  EXPECT_TRUE(read(kReal + "}", true).configured);
  EXPECT_EQ(read("").message, kNotFound);
  std::filesystem::remove(launcherDir + "/launcher_config.json");
  std::filesystem::create_directory(launcherDir + "/launcher_config.json");
  EXPECT_EQ(readLauncherConfig(launcherDir).message, kNotFound);
  std::filesystem::remove(launcherDir + "/launcher_config.json");
  std::filesystem::create_symlink(launcherDir + "/nowhere", launcherDir + "/launcher_config.json");
  EXPECT_EQ(readLauncherConfig(launcherDir).message, kNotFound);
}

TEST_F(LauncherConfigTest, InvalidJsonInEitherFile) {
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
}

TEST_F(LauncherConfigTest, PlaceholderCredentials) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"google_client_id": "YOUR_CLIENT_ID", "google_client_secret": "s"})", false},
      {R"({"google_client_id": "i", "google_client_secret": "YOUR_"})", false},
      {R"({"google_client_id": "", "google_client_secret": "s"})", false},
      {R"({"google_client_secret": "s"})", false},
      {R"({"google_client_id": 42, "google_client_secret": "s"})", false},
      {R"({"Google_Client_Id": "i", "google_client_secret": "s"})", false},
      {R"({"google_client_id": "YOUR", "google_client_secret": "s"})", true},
      {R"({"google_client_id": "your_id", "google_client_secret": " YOUR_s"})", true},
  };
  for (const auto& [json, configured] : cases) {
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
  EXPECT_EQ(getJsonStringMember(document, "b"), "");
}

TEST_F(LauncherConfigTest, ManifestAddressAsksForLinux) {
  const std::pair<const char*, const char*> examples[] = {
      {"", ""},
      {"https://u.test/manifest", "https://u.test/manifest?platform=linux"},
      {"https://u.test/m?channel=beta", "https://u.test/m?channel=beta&platform=linux"},
      {"https://u.test/m?platform=windows&channel=beta", "https://u.test/m?platform=linux&channel=beta"},
      {"https://u.test/m?platform=", "https://u.test/m?platform=linux"},
      {"https://u.test/m?myplatform=x&platform=y", "https://u.test/m?myplatform=linux&platform=y"},
      {"https://u.test/m?Platform=x", "https://u.test/m?Platform=x&platform=linux"},
  };
  for (const auto& [url, expected] : examples) EXPECT_EQ(rewriteManifestPlatform(url), expected) << url;
  const LauncherConfig config = read(kReal + R"(, "editor_update_manifest_url": "YOUR_URL"})");
  EXPECT_TRUE(config.configured);
  EXPECT_EQ(config.updateManifestUrl, "YOUR_URL?platform=linux");
}

TEST_F(LauncherConfigTest, DownloadsFolder) {
  const std::pair<std::string, std::string> examples[] = {
      {"", launcherDir + "/downloads"},
      {"../cache/./dl", home.path() + "/cache/dl"},
      {"~/dl", launcherDir + "/~/dl"},
      {"/var//tmp/./x/../dl", "/var/tmp/dl"},
  };
  for (const auto& [value, expected] : examples)
    EXPECT_EQ(read(kReal + R"(, "downloads_directory": ")" + value + "\"}").downloadsDirectory, expected)
        << value;
  EXPECT_FALSE(std::filesystem::exists(launcherDir + "/downloads"));
}

}  // namespace
