#include "config/launcher_config.h"

#include <rapidjson/document.h>

#include <filesystem>
#include <system_error>

#include "app/app_state.h"
#include "auth/auth_session.h"
#include "config/file_io.h"
#include "config/json_util.h"
#include "config/settings.h"
#include "platform/desktop.h"
#include "updater/editor_updater.h"

namespace fs = std::filesystem;

namespace {

const char kNoDirectoryMessage[] = "Unable to resolve the launcher directory.";
const char kNotFoundMessage[] =
    "launcher_config.json was not found next to the launcher executable. Copy it from "
    "launcher_config.example.json, fill in the Google OAuth credentials, and restart.";
const char kInvalidJsonMessage[] = "launcher_config.json is not valid JSON.";
const char kExampleFileMessage[] =
    "Running from launcher_config.example.json. Create launcher_config.json with real Google OAuth "
    "credentials to enable sign-in.";
const char kPlaceholderMessage[] =
    "The Google OAuth credentials in launcher_config.json are still placeholders. Replace the YOUR_ "
    "values with real credentials and restart.";

// Four short members take a few hundred bytes: a file above 4 MiB is no configuration, and it
// reads as unreadable instead of being held and parsed in memory.
constexpr size_t kMaxConfigFileBytes = size_t(4) << 20;

LauncherConfig failedConfig(const char* message) {
  LauncherConfig config;
  config.message = message;
  return config;
}

}  // namespace

bool isPlaceholderValue(const std::string& value) {
  return value.empty() || value.rfind("YOUR_", 0) == 0;
}

std::string rewriteManifestPlatform(const std::string& url) {
  if (url.empty()) return url;
  static constexpr char kMember[] = "platform=";
  const size_t at = url.find(kMember);
  if (at != std::string::npos) {
    const size_t valueStart = at + sizeof(kMember) - 1;
    size_t valueEnd = url.find('&', valueStart);
    if (valueEnd == std::string::npos) valueEnd = url.size();
    return url.substr(0, valueStart) + "linux" + url.substr(valueEnd);
  }
  return url + (url.find('?') != std::string::npos ? "&" : "?") + kMember + "linux";
}

std::string resolveDownloadsDirectory(const std::string& value, const std::string& launcherDir) {
  fs::path folder(value.empty() ? std::string("downloads") : value);
  if (!folder.has_root_directory()) folder = fs::path(launcherDir) / folder;
  return folder.lexically_normal().string();
}

LauncherConfig parseLauncherConfig(const std::string& bytes, const std::string& launcherDir,
                                   bool exampleFile) {
  rapidjson::Document document;
  if (!parseJsonObject(bytes, document)) return failedConfig(kInvalidJsonMessage);

  LauncherConfig config;
  config.googleClientId = getJsonStringMember(document, "google_client_id");
  config.googleClientSecret = getJsonStringMember(document, "google_client_secret");
  config.updateManifestUrl =
      rewriteManifestPlatform(getJsonStringMember(document, "editor_update_manifest_url"));
  config.downloadsDirectory =
      resolveDownloadsDirectory(getJsonStringMember(document, "downloads_directory"), launcherDir);
  if (isPlaceholderValue(config.googleClientId) || isPlaceholderValue(config.googleClientSecret)) {
    config.message = exampleFile ? kExampleFileMessage : kPlaceholderMessage;
  } else {
    config.configured = true;
  }
  return config;
}

LauncherConfig readLauncherConfig(const std::string& launcherDir) {
  if (launcherDir.empty()) return failedConfig(kNoDirectoryMessage);
  fs::path file = fs::path(launcherDir) / "launcher_config.json";
  std::error_code ec;
  const bool exampleFile = !fs::exists(fs::symlink_status(file, ec));
  if (exampleFile) file = fs::path(launcherDir) / "launcher_config.example.json";
  std::string bytes;
  if (!readFileBytes(file.string(), bytes, kMaxConfigFileBytes) || bytes.empty())
    return failedConfig(kNotFoundMessage);
  return parseLauncherConfig(bytes, launcherDir, exampleFile);
}

void loadAppConfiguration(AppState& app) {
  initAppState(app);
  delete app.config;
  app.config = new LauncherConfig(readLauncherConfig(executableDirectory()));
  loadSettings(app);
  const LauncherConfig& config = *app.config;
  if (!config.configured) return;

  delete app.session;
  app.session = new AuthSession(config.googleClientId, config.googleClientSecret, app.settings);
  delete app.updater;
  app.updater = new EditorUpdater(config.updateManifestUrl, config.downloadsDirectory);
  if (!app.settings->refreshToken.empty()) {
    app.sessionRestoreAttempted = true;
    restoreSession(*app.session);
  }
}
