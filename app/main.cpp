// The ORVO Launcher: one process, one window, one frame loop.
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/app_state.h"
#include "app/frame_loop.h"
#include "auth/auth_session.h"
#include "config/launcher_config.h"
#include "platform/desktop.h"
#include "uihost/ui_host.h"
#include "uihost/ui_theme.h"
#include "updater/editor_updater.h"

namespace fs = std::filesystem;

namespace {

std::string findFontFile() {
  const fs::path exeDir = executableDirectory();
  // A working folder that was removed (or cannot be read) only means no font is found there.
  std::error_code cwdError;
  const fs::path cwd = fs::current_path(cwdError);
  const fs::path candidates[] = {
      exeDir / "Roboto-Medium.ttf",
      exeDir / "engine/ui/misc/fonts/Roboto-Medium.ttf",
      cwdError ? fs::path() : cwd / "engine/ui/misc/fonts/Roboto-Medium.ttf",
  };
  for (const fs::path& candidate : candidates) {
    std::error_code ec;
    if (!candidate.empty() && fs::is_regular_file(fs::status(candidate, ec))) return candidate.string();
  }
  return std::string();
}

void releaseLock(int lockFd) {
  if (lockFd < 0) return;
  flock(lockFd, LOCK_UN);
  close(lockFd);
}

}  // namespace

int main() {
  prctl(PR_SET_NAME, "ORVO Launcher", 0, 0, 0);
  ignoreBrokenPipes();

  // The editor inherits the lock and keeps it while it runs; no other child does.
  int lockFd = openSingleInstanceLock();
  if (lockFd >= 0 && flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(lockFd);
    std::fputs("[Launcher] ORVO Launcher is already running.\n", stderr);
    return 0;
  }

  raiseDescriptorLimit();
  AppState app;
  loadAppConfiguration(app);

  const std::string fontPath = findFontFile();
  UiHost* host = new UiHost();
  UiHostDesc desc;
  desc.title = "ORVO Launcher";
  desc.width = 1180;
  desc.height = 740;
  desc.minWidth = 900;
  desc.minHeight = 560;
  desc.fontPath = fontPath.c_str();
  desc.reserved = 0;
  desc.vsync = true;
  std::string error;
  if (!host->initialize(desc, &error)) {
    std::fprintf(stderr, "[Launcher] UI host failed: %s\n", error.c_str());
    releaseLock(lockFd);
    delete host;
    destroyAppState(app);
    return 1;
  }
  uiThemeInitialize(host->integration);
  // Workers end the frame loop's wait for input when they publish; the screens' view of the file
  // system is re-checked while it waits.
  if (app.session) app.session->wake = UiHost::wake;
  if (app.updater) app.updater->wake = UiHost::wake;
  host->idlePoll = [&app] { return shownFilesChanged(app); };

  for (;;) {
    if (!host->beginFrame()) break;
    uiThemeSetScale(host->dpiScale());
    uiThemeTick(host->deltaTime);
    uiThemeApplyStyle();
    pollOwnedObjects(app);
    drawMainWindow(app);
    host->idlePollSeconds = fileSystemPollSeconds(app);
    float clear[4];
    uiThemeBackgroundFloat(clear);
    if (!host->presentFrame(clear)) break;
  }

  host->shutdown();
  releaseLock(lockFd);
  delete host;
  destroyAppState(app);
  return 0;
}
