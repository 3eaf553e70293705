#include "platform/desktop.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_launcher.h"

namespace fs = std::filesystem;

TEST(Desktop, ExecutableAndProjectsFolders) {
  EXPECT_EQ(executableDirectory(), fs::read_symlink("/proc/self/exe").parent_path().string());
  for (const auto& [home, expected] : {std::pair<const char*, const char*>{"/home/u", "/home/u/Documents"},
                                       {"", "Documents"},
                                       {nullptr, ""}}) {
    ScopedEnv env("HOME", home);
    EXPECT_EQ(defaultProjectsDirectory(), expected);
  }
  // The launcher survives broken pipes; the programs it starts get the default (SIGPIPE is bit 12).
  const std::string ignored = runChooserCommand("sed -n 's/^SigIgn:\\t//p' /proc/self/status");
  ASSERT_FALSE(ignored.empty());
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & (1ull << 12), 0u) << ignored;
}

TEST(ChooseDirectoryDialog, HostileTitlesAndFoldersArriveByteForByte) {
  TempDir bin;
  TestZenity zenity(bin.path());
  zenity.answer("/chosen/folder\r\n");
  for (const std::string text :
       {"plain", "double \" quote", "single ' quote", "dollar $HOME and $(touch /tmp/orvo_pwned)",
        "back`touch /tmp/orvo_pwned`quote", "back\\slash\\", "line\nfeed", "-- --help"}) {
    EXPECT_EQ(chooseDirectoryDialog(text, text), "/chosen/folder") << text;
    EXPECT_EQ(readWholeFile(bin / "args"), std::string("--file-selection\0--directory\0--title=", 37) + text +
                                               '\0' + "--filename=" + text + "/" + '\0')
        << text;
  }
  EXPECT_FALSE(fs::exists("/tmp/orvo_pwned"));
  // Empty parts are left out; a cancelled chooser or none at all gives the empty text.
  EXPECT_EQ(chooseDirectoryDialog("", ""), "/chosen/folder");
  EXPECT_EQ(zenity.arguments(), "--file-selection\n--directory\n");
  zenity.answer("/partial", 1);
  EXPECT_EQ(chooseDirectoryDialog("Title", "/start"), "");
  ScopedEnv noPath("PATH", "/nonexistent");
  EXPECT_EQ(chooseDirectoryDialog("Title", "/start"), "");
}

// The file manager (and the browser, started the same way) does not get the single-instance
// lock: one still open after the launcher crashed would make the next start say "already running".
TEST(OpenFolderInFileManager, CreatesTheFolderStartsXdgOpenWithoutTheLockAndLeavesNoZombie) {
  TempDir bin;
  ScopedEnv path("PATH", (bin.path() + ":" + getenv("PATH")).c_str());
  writeWholeFile(bin / "xdg-open",
                 "#!/bin/sh\nreadlink /proc/$$/fd/* > \"$0.fds\"\n"
                 "printf '%s' \"$1\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.opened\"\n",
                 0755);
  const int lock = openSingleInstanceLock();
  ASSERT_GE(lock, 0);
  const std::string folder = bin / "new/nested folder";
  openFolderInFileManager(folder);
  EXPECT_TRUE(fs::is_directory(folder));
  for (int i = 0; i < 2000 && !fs::exists(bin / "xdg-open.opened"); ++i) usleep(10000);
  close(lock);
  EXPECT_EQ(readWholeFile(bin / "xdg-open.opened"), folder);
  EXPECT_EQ(readWholeFile(bin / "xdg-open.fds").find(singleInstanceLockPath()), std::string::npos);
  // Nothing is left for us to reap: the program was adopted by init.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  openFolderInFileManager("");  // does nothing
}
