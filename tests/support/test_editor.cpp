#include "support/test_editor.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "projects/editor_launch.h"

namespace fs = std::filesystem;

namespace {

// Runs before main (and before gtest) in a program started under the name "editor".
__attribute__((constructor(101))) void runAsTestEditor() {
  char comm[32] = {0};
  FILE* file = fopen("/proc/self/comm", "re");
  if (!file) return;
  const bool named = fgets(comm, sizeof(comm), file) && std::strcmp(comm, "editor\n") == 0;
  fclose(file);
  if (!named) return;
  if (getenv("ORVO_TEST_EDITOR_EXIT")) _exit(0);
  for (int i = 0; i < 600; ++i) {
    const timespec tenth = {0, 100000000};
    nanosleep(&tenth, nullptr);
  }
  _exit(0);
}

pid_t parentOf(pid_t pid) {
  std::istringstream status(readProcFile(pid, "status"));
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("PPid:", 0) == 0) return static_cast<pid_t>(std::atoi(line.c_str() + 5));
  return -1;
}

}  // namespace

std::string readProcFile(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
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
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::atoi(name.c_str()));
    if (readProcFile(pid, "comm") == "editor\n" && parentOf(pid) == getpid()) result.push_back(pid);
  }
  return result;
}

pid_t waitForChildEditor() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::vector<pid_t> editors = childEditors();
    if (!editors.empty()) return editors.front();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

bool waitUntilNoEditorRuns() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (isEditorRunning()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void stopEditor(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void stopChildEditors() {
  for (pid_t pid : childEditors()) stopEditor(pid);
}
