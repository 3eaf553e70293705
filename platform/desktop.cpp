#include "platform/desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

std::string executableDirectory() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return std::string();
  buffer[length] = '\0';
  return fs::path(buffer).parent_path().string();
}

std::string singleInstanceLockPath() {
  return "/tmp/orvo_launcher_" + std::to_string(getuid()) + ".lock";
}

int openSingleInstanceLock() {
  // Non-blocking so that a FIFO planted there cannot hold the start up.
  const int fd =
      open(singleInstanceLockPath().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid()) {
    close(fd);
    return -1;
  }
  return fd;
}

void raiseDescriptorLimit() {
  // No further: children inherit the limit, and some of them size tables or close loops by it.
  constexpr rlim_t kEnough = 8192;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kEnough) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kEnough : std::min(limit.rlim_max, kEnough);
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::string shellQuote(const std::string& text) {
  // Inside single quotes the shell gives every byte its literal meaning; only the quote itself
  // needs closing, escaping and reopening.
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += "'";
  return quoted;
}

std::string runChooserCommand(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "re");
  if (!pipe) return std::string();
  std::string output;
  char buffer[1024];
  while (fgets(buffer, sizeof(buffer), pipe)) output += buffer;
  int status = pclose(pipe);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  if (status != 0) return std::string();
  return output;
}

std::string chooseDirectoryDialog(const std::string& title, const std::string& start) {
  std::string command = "zenity --file-selection --directory";
  if (!title.empty()) command += " --title=" + shellQuote(title);
  if (!start.empty()) command += " --filename=" + shellQuote(start + "/");
  command += " 2>/dev/null";
  return runChooserCommand(command);
}

std::string defaultProjectsDirectory() {
  const char* home = getenv("HOME");
  if (!home) return std::string();
  return (fs::path(home) / "Documents").string();
}

namespace {

// The program's path as execvp would find it, resolved before forking so the child only execs.
std::string findInPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t begin = 0;
  while (begin <= dirs.size()) {
    size_t end = dirs.find(':', begin);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(begin, end - begin);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    begin = end + 1;
  }
  return std::string();
}

// Does nothing: the write that met the closed peer fails with EPIPE.
void brokenPipe(int) {}

}  // namespace

void ignoreBrokenPipes() {
  struct sigaction action {};
  action.sa_handler = brokenPipe;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

void spawnDetached(const std::vector<std::string>& args) {
  if (args.empty()) return;
  // Everything the children need is built here: after fork only async-signal-safe calls run.
  std::string program = findInPath(args[0]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    pid_t grandchild = fork();
    if (grandchild == 0) {
      if (!program.empty()) execv(program.c_str(), argv.data());
      _exit(127);
    }
    _exit(0);
  }
  // The intermediate child ends at once; the program itself is adopted and reaped by init.
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void openFolderInFileManager(const std::string& folder) {
  if (folder.empty()) return;
  std::error_code ec;
  fs::create_directories(folder, ec);
  spawnDetached({"xdg-open", folder});
}
