#include "platform/desktop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A folder of fake programs put first on PATH for the length of a test.
class FakePrograms {
 public:
  FakePrograms() {
    char pattern[] = "/tmp/orvo_fake_bin_XXXXXX";
    dir_ = mkdtemp(pattern);
    const char* path = getenv("PATH");
    oldPath_ = path ? path : "";
    setenv("PATH", (dir_ + ":" + oldPath_).c_str(), 1);
  }
  ~FakePrograms() {
    setenv("PATH", oldPath_.c_str(), 1);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void add(const std::string& name, const std::string& script) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << script;
    chmod(path.c_str(), 0755);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::string oldPath_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The fake zenity writes each argument NUL-terminated, so any byte can be checked.
std::vector<std::string> recordedArgs(const std::string& path) {
  std::vector<std::string> args;
  std::string data = readFile(path), current;
  for (char c : data) {
    if (c == '\0') {
      args.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return args;
}

bool waitForFile(const std::string& path) {
  for (int i = 0; i < 2000 && !fs::exists(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return fs::exists(path);
}

}  // namespace

TEST(ExecutableDirectory, IsTheFolderOfTheRunningProgram) {
  const std::string dir = executableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(fs::exists(fs::path(dir) / fs::read_symlink("/proc/self/exe").filename()));
}

TEST(DefaultProjectsDirectory, FollowsHome) {
  const char* old = getenv("HOME");
  const std::string saved = old ? old : "";
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(defaultProjectsDirectory(), "/home/u/Documents");
  setenv("HOME", "", 1);
  EXPECT_EQ(defaultProjectsDirectory(), "Documents");
  unsetenv("HOME");
  EXPECT_EQ(defaultProjectsDirectory(), "");
  if (old) setenv("HOME", saved.c_str(), 1);
}

TEST(ChooseDirectoryDialog, HostileTitlesAndFoldersArriveByteForByte) {
  FakePrograms fake;
  const std::string log = fake.dir() + "/args";
  fake.add("zenity", "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + log + "'\nprintf '/chosen/folder\\r\\n\\n'\n");
  const std::string hostile[] = {
      "plain",
      "double \" quote",
      "single ' quote",
      "dollar $HOME and $(touch /tmp/orvo_pwned)",
      "back`touch /tmp/orvo_pwned`quote",
      "back\\slash\\",
      "line\nfeed",
      "-- --help",
  };
  for (const std::string& text : hostile) {
    SCOPED_TRACE(text);
    EXPECT_EQ(chooseDirectoryDialog(text, text), "/chosen/folder");
    const std::vector<std::string> args = recordedArgs(log);
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0], "--file-selection");
    EXPECT_EQ(args[1], "--directory");
    EXPECT_EQ(args[2], "--title=" + text);
    EXPECT_EQ(args[3], "--filename=" + text + "/");
  }
  EXPECT_FALSE(fs::exists("/tmp/orvo_pwned"));
}

TEST(ChooseDirectoryDialog, EmptyPartsAreLeftOutAndCancelGivesEmpty) {
  FakePrograms fake;
  const std::string log = fake.dir() + "/args";
  fake.add("zenity", "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + log + "'\necho /x\n");
  EXPECT_EQ(chooseDirectoryDialog("", ""), "/x");
  EXPECT_EQ(recordedArgs(log), (std::vector<std::string>{"--file-selection", "--directory"}));

  fake.add("zenity", "echo /partial; exit 1\n");
  EXPECT_EQ(chooseDirectoryDialog("Title", "/start"), "");
}

TEST(ChooseDirectoryDialog, MissingZenityBehavesAsCancelled) {
  const char* old = getenv("PATH");
  const std::string saved = old ? old : "";
  setenv("PATH", "/nonexistent", 1);
  EXPECT_EQ(chooseDirectoryDialog("Title", "/start"), "");
  setenv("PATH", saved.c_str(), 1);
}

TEST(OpenFolderInFileManager, CreatesTheFolderStartsXdgOpenAndLeavesNoZombie) {
  FakePrograms fake;
  const std::string log = fake.dir() + "/opened";
  fake.add("xdg-open", "printf '%s' \"$1\" > '" + log + ".tmp' && mv '" + log + ".tmp' '" + log + "'\n");
  const std::string folder = fake.dir() + "/new/nested folder";
  openFolderInFileManager(folder);
  EXPECT_TRUE(fs::is_directory(folder));
  ASSERT_TRUE(waitForFile(log));
  EXPECT_EQ(readFile(log), folder);
  // Nothing is left for us to reap: the program was adopted by init.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  openFolderInFileManager("");  // does nothing
}
