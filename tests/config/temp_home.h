// A throwaway folder used as HOME for one test; the previous HOME comes back afterwards.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

class TempHome {
 public:
  TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvo-config-XXXXXX").string();
    dir_ = mkdtemp(pattern.data()) ? pattern : std::string();
    if (const char* home = getenv("HOME")) savedHome_ = home;
    setenv("HOME", dir_.c_str(), 1);
  }
  ~TempHome() {
    if (savedHome_)
      setenv("HOME", savedHome_->c_str(), 1);
    else
      unsetenv("HOME");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& dir() const { return dir_; }
  std::string settingsPath() const { return dir_ + "/.config/ZELVAN/Launcher.conf"; }

 private:
  std::string dir_;
  std::optional<std::string> savedHome_;
};

inline void writeTextFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string readTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline unsigned fileMode(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}
