// Update packages made by independent tools (zip, Python's zipfile and cryptography), temporary
// folders, and a guard for the editor folder next to the test executable.
#pragma once

#include <string>
#include <vector>

// A temporary folder removed with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a shell command; its exit status (-1 when it could not run).
int runShell(const std::string& command);
void writeTextFile(const std::string& path, const std::string& text);
std::string readWholeFile(const std::string& path);

// Zips the folder's contents with Debian's zip (-r -y: symbolic links stored as links).
bool zipFolder(const std::string& folder, const std::string& zipPath);

// An entry of a zip made with Python's zipfile: the name is stored exactly as given.
struct ZipEntrySpec {
  std::string name;
  std::string data;
  int mode = 0644;
  bool link = false;       // stored with the symbolic-link type bits
  size_t randomBytes = 0;  // when set, the data is this many random bytes instead
};
bool writePythonZip(const std::string& zipPath, const std::vector<ZipEntrySpec>& entries);

// A random 32-byte key as standard Base64 with padding.
std::string randomKeyBase64();
// Encrypts zipPath into the container layout with Python's cryptography; options are passed on
// to make_package.py (e.g. "--extra", "--flip 3", "--declared 0").
bool writeContainer(const std::string& zipPath, const std::string& outPath, const std::string& keyBase64,
                    const std::string& options = "");

// Serialises tests that touch the editor folder next to the test executables (several test
// programs share it) and clears "editor", "editor-staging" and "editor-previous" on entry and exit.
class EditorFolderGuard {
 public:
  EditorFolderGuard();
  ~EditorFolderGuard();
  EditorFolderGuard(const EditorFolderGuard&) = delete;
  EditorFolderGuard& operator=(const EditorFolderGuard&) = delete;
  void clear();

 private:
  int lockFd_ = -1;
};
