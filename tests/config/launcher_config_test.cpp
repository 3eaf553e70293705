#include "config/launcher_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>

#include "app/app_state.h"
#include "config/json_util.h"
#include "config/settings.h"
#include "platform/desktop.h"
#include "temp_home.h"

namespace {

const char kNotFound[] =
    "launcher_config.json was not found next to the launcher executable. Copy it from "
    "launcher_config.example.json, fill in the Google OAuth credentials, and restart.";
const char kInvalid[] = "launcher_config.json is not valid JSON.";
const char kExample[] =
    "Running from launcher_config.example.json. Create launcher_config.json with real Google OAuth "
    "credentials to enable sign-in.";
const char kPlaceholder[] =
    "The Google OAuth credentials in launcher_config.json are still placeholders. Replace the YOUR_ "
    "values with real credentials and restart.";

const char kReal[] = R"({"google_client_id": "id.apps", "google_client_secret": "secret"})";

// A launcher folder of its own for each test.
class LauncherConfigTest : public ::testing::Test {
 protected:
  std::string dir() const { return home_.dir() + "/launcher"; }
  LauncherConfig readMain(const std::string& bytes) {
    writeTextFile(dir() + "/launcher_config.json", bytes);
    return readLauncherConfig(dir());
  }
  LauncherConfig readExample(const std::string& bytes) {
    std::filesystem::remove(dir() + "/launcher_config.json");
    writeTextFile(dir() + "/launcher_config.example.json", bytes);
    return readLauncherConfig(dir());
  }

  TempHome home_;
};

TEST_F(LauncherConfigTest, MissingFolderAndFiles) {
  LauncherConfig config = readLauncherConfig("");
  EXPECT_EQ(config.message, "Unable to resolve the launcher directory.");
  EXPECT_FALSE(config.configured);
  EXPECT_TRUE(config.downloadsDirectory.empty());

  std::filesystem::create_directories(dir());
  config = readLauncherConfig(dir());
  EXPECT_EQ(config.message, kNotFound);
  EXPECT_FALSE(config.configured);
  EXPECT_TRUE(config.googleClientId.empty());
  EXPECT_TRUE(config.downloadsDirectory.empty());

  // An empty launcher_config.json is "not found"; the example file is not consulted.
  writeTextFile(dir() + "/launcher_config.example.json", kReal);
  EXPECT_TRUE(readLauncherConfig(dir()).configured);
  EXPECT_EQ(readMain("").message, kNotFound);

  // Something that exists but cannot be read as a file counts the same.
  std::filesystem::remove(dir() + "/launcher_config.json");
  std::filesystem::create_directory(dir() + "/launcher_config.json");
  EXPECT_EQ(readLauncherConfig(dir()).message, kNotFound);
  std::filesystem::remove(dir() + "/launcher_config.json");
  std::filesystem::create_symlink(dir() + "/nowhere", dir() + "/launcher_config.json");
  EXPECT_EQ(readLauncherConfig(dir()).message, kNotFound);
}

TEST_F(LauncherConfigTest, InvalidJsonInEitherFile) {
  const std::string invalid[] = {
      "[]",
      "\"text\"",
      "  ",
      R"({"google_client_id": "a", "google_client_secret": "b",})",
      "{\"google_client_id\": \"a\" // comment\n}",
      "/* comment */ {}",
      "{} {}",
      "{} x",
      std::string("{}\0", 3),
      std::string("{\"a\":\"x\0y\"}", 11),
      "{\"n\": NaN}",
      "{\"n\": Infinity}",
      "{'a': 'b'}",
      "\xEF\xBB\xBF",
      "\xEF\xBB\xBF\xEF\xBB\xBF{}",
      std::string(1000000, '[') + std::string(1000000, ']'),
  };
  for (const std::string& bytes : invalid) {
    LauncherConfig config = readMain(bytes);
    EXPECT_EQ(config.message, kInvalid) << bytes.substr(0, 40);
    EXPECT_FALSE(config.configured);
    EXPECT_TRUE(config.downloadsDirectory.empty());
    EXPECT_EQ(readExample(bytes).message, kInvalid) << bytes.substr(0, 40);
  }
}

TEST_F(LauncherConfigTest, ValidJsonForms) {
  EXPECT_TRUE(readMain(std::string("\xEF\xBB\xBF") + kReal).configured);
  EXPECT_TRUE(readMain(std::string(" \r\n\t") + kReal + "\n\n  \t").configured);
  LauncherConfig deep = readMain(R"({"x": [[[[{"y": [1, 2.5e300, null, true]}]]]], "google_client_id": "i",
                                    "google_client_secret": "s"})");
  EXPECT_TRUE(deep.configured);
  EXPECT_EQ(deep.message, "");
}

TEST_F(LauncherConfigTest, PlaceholderCredentials) {
  struct Case {
    const char* json;
    bool configured;
  } cases[] = {
      {R"({"google_client_id": "YOUR_CLIENT_ID", "google_client_secret": "s"})", false},
      {R"({"google_client_id": "i", "google_client_secret": "YOUR_"})", false},
      {R"({"google_client_id": "", "google_client_secret": "s"})", false},
      {R"({"google_client_secret": "s"})", false},
      {R"({"google_client_id": 42, "google_client_secret": "s"})", false},
      {R"({"google_client_id": ["i"], "google_client_secret": "s"})", false},
      {R"({"google_client_id": "i", "google_client_secret": null})", false},
      {R"({"Google_Client_Id": "i", "google_client_secret": "s"})", false},
      {R"({"google_client_id": "YOUR", "google_client_secret": "s"})", true},
      {R"({"google_client_id": "your_id", "google_client_secret": "YOUR-s"})", true},
      {R"({"google_client_id": " YOUR_x", "google_client_secret": "s"})", true},
  };
  for (const Case& c : cases) {
    LauncherConfig fromMain = readMain(c.json);
    EXPECT_EQ(fromMain.configured, c.configured) << c.json;
    EXPECT_EQ(fromMain.message, c.configured ? "" : kPlaceholder) << c.json;
    LauncherConfig fromExample = readExample(c.json);
    EXPECT_EQ(fromExample.configured, c.configured) << c.json;
    EXPECT_EQ(fromExample.message, c.configured ? "" : kExample) << c.json;
  }
  EXPECT_TRUE(isPlaceholderValue(""));
  EXPECT_TRUE(isPlaceholderValue("YOUR_"));
  EXPECT_FALSE(isPlaceholderValue("YOUR"));
  EXPECT_FALSE(isPlaceholderValue("xYOUR_"));
}

TEST_F(LauncherConfigTest, MembersAreReadFirstOfTheirName) {
  LauncherConfig config = readMain(R"({
    "google_client_id": "first", "google_client_id": "second",
    "google_client_secret": "se\u0000cret",
    "editor_update_manifest_url": 7, "editor_update_manifest_url": "https://late.test/m",
    "downloads_directory": {"nested": "x"},
    "unknown": "ignored"
  })");
  EXPECT_TRUE(config.configured);
  EXPECT_EQ(config.googleClientId, "first");
  EXPECT_EQ(config.googleClientSecret, std::string("se\0cret", 7));
  // The first member is not a string: missing, whatever follows.
  EXPECT_EQ(config.updateManifestUrl, "");
  EXPECT_EQ(config.downloadsDirectory, dir() + "/downloads");

  rapidjson::Document document;
  document.Parse(R"({"ab": "1", "a": "2", "a\u0000b": "3", "A": "4", "a": "5"})");
  ASSERT_TRUE(document.IsObject());
  EXPECT_EQ(getJsonStringMember(document, "a"), "2");
  EXPECT_EQ(getJsonStringMember(document, "ab"), "1");
  EXPECT_EQ(getJsonStringMember(document, "b"), "");
  EXPECT_EQ(getJsonStringMember(document, ""), "");
}

TEST_F(LauncherConfigTest, ManifestAddressAsksForLinux) {
  const std::pair<const char*, const char*> examples[] = {
      {"", ""},
      {"https://u.test/manifest", "https://u.test/manifest?platform=linux"},
      {"https://u.test/m?channel=beta", "https://u.test/m?channel=beta&platform=linux"},
      {"https://u.test/m?platform=windows&channel=beta", "https://u.test/m?platform=linux&channel=beta"},
      {"https://u.test/m?a=1&platform=mac", "https://u.test/m?a=1&platform=linux"},
      {"https://u.test/m?platform=", "https://u.test/m?platform=linux"},
      {"https://u.test/m?myplatform=x&platform=y", "https://u.test/m?myplatform=linux&platform=y"},
      {"https://u.test/m?Platform=x", "https://u.test/m?Platform=x&platform=linux"},
      {"https://u.test/platform=a/b?c", "https://u.test/platform=linux"},
      {"YOUR_MANIFEST_URL", "YOUR_MANIFEST_URL?platform=linux"},
  };
  for (const auto& [url, expected] : examples) EXPECT_EQ(rewriteManifestPlatform(url), expected) << url;

  LauncherConfig config = readMain(
      R"({"google_client_id": "i", "google_client_secret": "s", "editor_update_manifest_url": "YOUR_URL"})");
  EXPECT_TRUE(config.configured);
  EXPECT_EQ(config.updateManifestUrl, "YOUR_URL?platform=linux");
}

TEST_F(LauncherConfigTest, DownloadsFolder) {
  const std::string launcher = dir();
  const std::string parent = home_.dir();
  const std::pair<std::string, std::string> examples[] = {
      {"", launcher + "/downloads"},    {"../cache/./dl", parent + "/cache/dl"}, {"~/dl", launcher + "/~/dl"},
      {"a//b/../c", launcher + "/a/c"}, {"/var//tmp/./x/../dl", "/var/tmp/dl"},
  };
  for (const auto& [value, expected] : examples) {
    std::string json = R"({"google_client_id": "i", "google_client_secret": "s")";
    if (!value.empty()) json += R"(, "downloads_directory": ")" + value + "\"";
    EXPECT_EQ(readMain(json + "}").downloadsDirectory, expected) << value;
  }
  // Without a launcher folder a relative value stays relative.
  EXPECT_EQ(resolveDownloadsDirectory("x/./y", "."), "x/y");
  EXPECT_FALSE(std::filesystem::exists(launcher + "/downloads"));
}

// The start-up step itself reads next to the running executable, so these run a copy of this
// test program from a launcher folder of their own and read back what it reports.
std::map<std::string, std::string> runStartUpCopy(const std::string& launcherDir,
                                                  const std::string& environment) {
  std::error_code ec;
  std::filesystem::copy_file("/proc/self/exe", launcherDir + "/tests_config",
                             std::filesystem::copy_options::overwrite_existing, ec);
  EXPECT_FALSE(ec) << ec.message();
  const std::string command = "cd " + shellQuote(launcherDir) + " && env " + environment +
                              " ORVO_START_UP_CHILD=1 ./tests_config --gtest_filter=StartUpChild.Report";
  std::map<std::string, std::string> report;
  std::string output = runChooserCommand(command);
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (line.rfind("@@", 0) == 0 && line.find('=') != std::string::npos)
      report[line.substr(2, line.find('=') - 2)] = line.substr(line.find('=') + 1);
    start = end + 1;
  }
  return report;
}

TEST(StartUpChild, Report) {
  if (!getenv("ORVO_START_UP_CHILD")) GTEST_SKIP() << "only run by the start-up tests";
  AppState app;
  loadAppConfiguration(app);
  printf("@@config=%d\n@@configured=%d\n@@message=%s\n@@settings=%d\n@@filePath=%s\n@@projects=%zu\n",
         app.config != nullptr, app.config && app.config->configured,
         app.config ? app.config->message.c_str() : "", app.settings != nullptr,
         app.settings ? app.settings->filePath.c_str() : "",
         app.settings ? app.settings->projects.size() : 0);
  printf("@@session=%d\n@@updater=%d\n@@restore=%d\n@@downloads=%s\n", app.session != nullptr,
         app.updater != nullptr, app.sessionRestoreAttempted,
         app.config ? app.config->downloadsDirectory.c_str() : "");
  fflush(stdout);
  destroyAppState(app);
}

TEST_F(LauncherConfigTest, StartUpWithoutConfiguration) {
  std::filesystem::create_directories(dir());
  // A stored sign-in must not start a restore while the launcher is not configured.
  writeTextFile(home_.settingsPath(), "[General]\nauth%2FrefreshToken=stored\nProjects%5Csize=2\n");
  auto report = runStartUpCopy(dir(), "HOME=" + shellQuote(home_.dir()));
  EXPECT_EQ(report["config"], "1");
  EXPECT_EQ(report["configured"], "0");
  EXPECT_EQ(report["message"], kNotFound);
  EXPECT_EQ(report["settings"], "1");
  EXPECT_EQ(report["filePath"], home_.settingsPath());
  EXPECT_EQ(report["projects"], "2");
  EXPECT_EQ(report["session"], "0");
  EXPECT_EQ(report["updater"], "0");
  EXPECT_EQ(report["restore"], "0");

  // The example file shipped next to the executable starts a fresh build on its own message.
  std::filesystem::copy_file(std::string(ORVO_TEST_SOURCE_DIR) + "/../assets/launcher_config.example.json",
                             dir() + "/launcher_config.example.json");
  report = runStartUpCopy(dir(), "HOME=" + shellQuote(home_.dir()));
  EXPECT_EQ(report["message"], kExample);
  EXPECT_EQ(report["session"], "0");
}

TEST_F(LauncherConfigTest, StartUpConfigured) {
  std::filesystem::create_directories(dir());
  writeTextFile(dir() + "/launcher_config.json", kReal);
  auto report = runStartUpCopy(dir(), "HOME=" + shellQuote(home_.dir()));
  EXPECT_EQ(report["configured"], "1");
  EXPECT_EQ(report["message"], "");
  EXPECT_EQ(report["session"], "1");
  EXPECT_EQ(report["updater"], "1");
  EXPECT_EQ(report["restore"], "0");
  EXPECT_EQ(report["downloads"], dir() + "/downloads");
  EXPECT_TRUE(std::filesystem::is_directory(home_.dir() + "/.config/ZELVAN"));

  // HOME unset: no settings file at all; HOME empty: the settings folder under the working folder.
  report = runStartUpCopy(dir(), "-u HOME");
  EXPECT_EQ(report["configured"], "1");
  EXPECT_EQ(report["settings"], "1");
  EXPECT_EQ(report["filePath"], "");
  report = runStartUpCopy(dir(), "HOME=");
  EXPECT_EQ(report["configured"], "1");
  EXPECT_EQ(report["filePath"], ".config/ZELVAN/Launcher.conf");
  EXPECT_TRUE(std::filesystem::is_directory(dir() + "/.config/ZELVAN"));
}

}  // namespace
