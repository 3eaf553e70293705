#include "support/packages.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/desktop.h"

namespace fs = std::filesystem;

namespace {

std::string makePackageCommand(const std::string& mode) {
  return "python3 " + shellQuote(std::string(ORVO_TEST_SOURCE_DIR) + "/support/make_package.py") + " " + mode;
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/orvo_updater_test_XXXXXX";
  const char* dir = mkdtemp(pattern);
  path_ = dir ? dir : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

int runShell(const std::string& command) {
  const int status = std::system(command.c_str());
  return status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

void writeTextFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool zipFolder(const std::string& folder, const std::string& zipPath) {
  return runShell("cd " + shellQuote(folder) + " && zip -q -r -y " + shellQuote(zipPath) + " .") == 0;
}

bool writePythonZip(const std::string& zipPath, const std::vector<ZipEntrySpec>& entries) {
  // Hex keeps every byte of hostile names intact on the command line.
  std::string command = makePackageCommand("zip") + " " + shellQuote(zipPath);
  for (const ZipEntrySpec& e : entries)
    command += " " + hex(e.name) + ":" + (e.randomBytes ? "r" + std::to_string(e.randomBytes) : hex(e.data)) +
               ":" + std::to_string(e.mode) + ":" + (e.link ? "1" : "0");
  return runShell(command) == 0;
}

std::string randomKeyBase64() {
  unsigned char key[32], text[48];
  RAND_bytes(key, sizeof(key));
  return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(EVP_EncodeBlock(text, key, 32)));
}

bool writeContainer(const std::string& zipPath, const std::string& outPath, const std::string& keyBase64,
                    const std::string& options) {
  return runShell(makePackageCommand("container") + " " + shellQuote(zipPath) + " " + shellQuote(outPath) +
                  " " + shellQuote(keyBase64) + " " + options) == 0;
}

EditorFolderGuard::EditorFolderGuard() {
  const std::string lockPath = executableDirectory() + "/.editor-folder.lock";
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd_ >= 0) ::flock(lockFd_, LOCK_EX);
  clear();
}

EditorFolderGuard::~EditorFolderGuard() {
  clear();
  if (lockFd_ >= 0) ::close(lockFd_);
}

void EditorFolderGuard::clear() {
  std::error_code ec;
  const fs::path dir(executableDirectory());
  for (const char* name : {"editor", "editor-staging", "editor-previous"}) fs::remove_all(dir / name, ec);
}
