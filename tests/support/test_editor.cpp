#include "support/test_editor.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "projects/editor_launch.h"
#include "support/packages.h"

namespace fs = std::filesystem;

namespace {

// Runs before main (and before gtest) in a program started under the name "editor".
__attribute__((constructor(101))) void runAsTestEditor() {
  char name[17] = {0};
  if (prctl(PR_GET_NAME, name) != 0 || std::strcmp(name, "editor") != 0) return;
  if (getenv("ORVO_TEST_EDITOR_EXIT")) _exit(0);
  for (unsigned left = 60; left > 0;) left = sleep(left);
  _exit(0);
}

template <typename Pred>
bool waitUpTo20s(Pred done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

std::string readProcFile(pid_t pid, const char* name) {
  return readWholeFile("/proc/" + std::to_string(pid) + "/" + name);
}

long procStatField(pid_t pid, int field) {
  const std::string stat = readProcFile(pid, "stat");
  const size_t end = stat.rfind(')');
  if (end == std::string::npos) return -1;
  std::istringstream rest(stat.substr(end + 1));
  std::string value;
  for (int i = 3; i <= field; ++i) rest >> value;
  return std::atol(value.c_str());
}

void adoptOrphanedEditors() {
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

void installTestEditor(const std::string& path) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  fs::remove(path, ec);
  fs::create_symlink(fs::read_symlink("/proc/self/exe"), path, ec);
}

std::vector<pid_t> childEditors() {
  std::vector<pid_t> result;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(it->path().filename().c_str()));
    if (pid > 0 && readProcFile(pid, "comm") == "editor\n" && procStatField(pid, 4) == getpid())
      result.push_back(pid);
  }
  return result;
}

pid_t waitForChildEditor() {
  std::vector<pid_t> editors;
  return waitUpTo20s([&] { return !(editors = childEditors()).empty(); }) ? editors.front() : -1;
}

bool waitUntilNoEditorRuns() {
  return waitUpTo20s([] { return !isEditorRunning(); });
}

void stopEditor(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void stopChildEditors() {
  for (pid_t pid : childEditors()) stopEditor(pid);
}
