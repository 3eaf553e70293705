#include "support/packages.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/desktop.h"

namespace fs = std::filesystem;

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
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
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
  std::string json = "[";
  for (size_t i = 0; i < entries.size(); ++i) {
    const ZipEntrySpec& e = entries[i];
    std::string name, data;
    // Every byte as \u00XX keeps the JSON valid whatever the name holds (read back as latin-1 data).
    auto escape = [](const std::string& text) {
      std::string out;
      char buffer[8];
      for (unsigned char c : text) {
        snprintf(buffer, sizeof(buffer), "\\u%04x", c);
        out += buffer;
      }
      return out;
    };
    json += (i ? "," : "");
    json += "{\"name\":\"" + escape(e.name) + "\",\"data\":\"" + escape(e.data) +
            "\",\"mode\":" + std::to_string(e.mode) + ",\"link\":" + (e.link ? "true" : "false") + "}";
  }
  json += "]";
  const std::string specPath = zipPath + ".spec.json";
  writeTextFile(specPath, json);
  const int status =
      runShell("python3 " + shellQuote(std::string(ORVO_TEST_SOURCE_DIR) + "/support/make_package.py") +
               " zip " + shellQuote(zipPath) + " " + shellQuote(specPath));
  std::error_code ec;
  fs::remove(specPath, ec);
  return status == 0;
}

std::string randomKeyBase64() {
  unsigned char key[32];
  RAND_bytes(key, sizeof(key));
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  uint32_t bits = 0;
  int count = 0;
  for (unsigned char c : key) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      text += alphabet[(bits >> count) & 63];
    }
  }
  if (count > 0) text += alphabet[(bits << (6 - count)) & 63];
  while (text.size() % 4) text += '=';
  return text;
}

bool writeContainer(const std::string& zipPath, const std::string& outPath, const std::string& keyBase64,
                    const std::string& options) {
  return runShell("python3 " + shellQuote(std::string(ORVO_TEST_SOURCE_DIR) + "/support/make_package.py") +
                  " container " + shellQuote(zipPath) + " " + shellQuote(outPath) + " " +
                  shellQuote(keyBase64) + " " + options) == 0;
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
