#include "updater/package_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "updater/artifact_verification.h"
#include "updater/editor_updater.h"
#include "updater/file_io.h"
#include "updater/package_container.h"
#include "updater/update_run.h"

namespace fs = std::filesystem;

namespace {

// Writes one entry's data to its destination; false on any read or write failure (a bad CRC too).
bool extractEntry(zip_t* archive, zip_uint64_t index, const std::string& destination) {
  zip_file_t* entry = zip_fopen_index(archive, index, 0);
  if (!entry) return false;
  OutputFile output(destination);
  bool ok = output.isOpen();
  std::vector<char> buffer(65536);
  while (ok) {
    const zip_int64_t count = zip_fread(entry, buffer.data(), buffer.size());
    if (count < 0) ok = false;
    if (count <= 0) break;
    ok = output.write(buffer.data(), static_cast<size_t>(count));
  }
  zip_fclose(entry);
  return ok && output.flush();
}

}  // namespace

bool isAllowedEntryName(const std::string& name) {
  if (!name.empty() && (name[0] == '/' || name[0] == '\\')) return false;
  if (name.find(':') != std::string::npos) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = name.find_first_of("/\\", start);
    const size_t length = (end == std::string::npos ? name.size() : end) - start;
    if (length == 2 && name.compare(start, 2, "..") == 0) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

zip_t* openPackageArchive(const std::string& path) {
  InputFile file(path);
  // libzip treats an empty file as an empty archive; a package of no bytes is not a zip.
  if (!file.isOpen() || file.size() <= 0) return nullptr;
  const int fd = file.release();
  int error = 0;
  zip_t* archive = zip_fdopen(fd, 0, &error);
  if (!archive) close(fd);
  return archive;
}

bool extractPackageArchive(zip_t* archive, const std::string& stagingDirectory,
                           const std::atomic<bool>& cancel) {
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  if (count < 0) return false;
  for (zip_int64_t i = 0; i < count; ++i) {
    if (cancel.load()) return false;
    const zip_uint64_t index = static_cast<zip_uint64_t>(i);
    zip_stat_t stat;
    zip_stat_init(&stat);
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &stat) != 0 || !(stat.valid & ZIP_STAT_NAME) ||
        zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0)
      return false;
    const std::string name = stat.name;
    // Folders come into being as parents of the files in them.
    if (name.empty() || name.back() == '/') continue;
    if (!isAllowedEntryName(name)) return false;
    const fs::path destination = fs::path(stagingDirectory) / name;
    std::error_code ec;
    fs::create_directories(destination.parent_path(), ec);
    if (!extractEntry(archive, index, destination.string())) return false;
    // Only modes with an execute bit are applied; every entry is a regular file whatever its type bits.
    const mode_t mode = static_cast<mode_t>(attributes >> 16);
    if (mode & 0111) ::chmod(destination.c_str(), mode & 0777);
  }
  return true;
}

bool replaceEditorFolderByMovingAside(const std::string& stagingDirectory,
                                      const std::string& editorDirectory) {
  std::error_code ec;
  const fs::path aside = fs::path(editorDirectory).parent_path() / "editor-previous";
  const bool hadEditor = fs::exists(fs::symlink_status(editorDirectory, ec));
  if (hadEditor) {
    fs::remove_all(aside, ec);
    fs::rename(editorDirectory, aside, ec);
    if (ec) return false;
  }
  fs::rename(stagingDirectory, editorDirectory, ec);
  if (ec) {
    std::error_code ignored;
    if (hadEditor) fs::rename(aside, editorDirectory, ignored);
    return false;
  }
  if (hadEditor) fs::remove_all(aside, ec);
  return true;
}

bool replaceEditorFolder(const std::string& stagingDirectory, const std::string& editorDirectory) {
  if (::renameat2(AT_FDCWD, stagingDirectory.c_str(), AT_FDCWD, editorDirectory.c_str(), RENAME_EXCHANGE) ==
      0) {
    // The staging path now holds the previous editor.
    std::error_code ec;
    fs::remove_all(stagingDirectory, ec);
    return true;
  }
  return replaceEditorFolderByMovingAside(stagingDirectory, editorDirectory);
}

void installEditorPackage(EditorUpdater& updater, const UpdateManifest& manifest,
                          const std::string& packagePath) {
  updater.publish(UpdateState::Installing, "Installing editor " + manifest.version + "\u2026");

  std::error_code ec;
  const std::string editorDirectory = editorInstallDir();
  const std::string stagingDirectory = (fs::path(editorDirectory).parent_path() / "editor-staging").string();
  fs::remove_all(stagingDirectory, ec);
  fs::create_directories(stagingDirectory, ec);

  std::string archivePath = packagePath;
  std::string decryptedPath;
  const bool encrypted = isEncryptedPackage(packagePath);
  if (encrypted) {
    decryptedPath = packagePath + ".decrypted.zip";
    std::string detail;
    const std::vector<uint8_t> key = decodeBase64Key(manifest.encryptionKey);
    if (manifest.encryptionKey.empty() || key.size() != 32)
      detail = "Invalid decryption key length.";
    else
      decryptPackageContainer(packagePath, decryptedPath, key, detail);
    if (!detail.empty()) {
      updater.failUpdate("Decrypting editor package failed: " + detail);
      return;
    }
    if (!manifest.plaintextSha256.empty() && sha256FileHex(decryptedPath) != manifest.plaintextSha256) {
      fs::remove(decryptedPath, ec);
      updater.failUpdate("The decrypted editor package failed plaintext checksum verification.");
      return;
    }
    archivePath = decryptedPath;
  } else if (!manifest.plaintextSha256.empty() && sha256FileHex(packagePath) != manifest.plaintextSha256) {
    // A plain package is the plaintext: its digest must match before the server is asked about it.
    updater.failUpdate("The downloaded package failed its checksum verification.");
    return;
  }

  const std::string digest = !manifest.plaintextSha256.empty() ? manifest.plaintextSha256 : manifest.sha256;
  if (!digest.empty()) {
    std::string error;
    if (!verifyArtifactAuthenticity(updater.manifestUrl(), digest, error)) {
      if (encrypted) fs::remove(decryptedPath, ec);
      updater.failUpdate("Artifact authenticity verification failed: " + error);
      return;
    }
  }

  zip_t* archive = openPackageArchive(archivePath);
  if (!archive) {
    if (encrypted) fs::remove(decryptedPath, ec);
    updater.failUpdate("The editor package is not a readable zip archive.");
    return;
  }
  const bool extracted = extractPackageArchive(archive, stagingDirectory, updater.cancelFlag());
  zip_discard(archive);
  if (encrypted) fs::remove(decryptedPath, ec);
  if (!extracted) {
    fs::remove_all(stagingDirectory, ec);
    updater.failUpdate(updater.cancelRequested() ? "Install cancelled."
                                                 : "Extracting the editor package failed.");
    return;
  }

  if (!replaceEditorFolder(stagingDirectory, editorDirectory)) {
    fs::remove_all(stagingDirectory, ec);
    updater.failUpdate("Could not move the extracted editor into place.");
    return;
  }
  OutputFile versionFile(editorVersionFilePath());
  if (versionFile.isOpen()) {
    const std::string line = manifest.version + "\n";
    versionFile.write(line.data(), line.size());
  }
  versionFile.close();
  updater.publish(UpdateState::Installed, "Installed \u2014 version " + manifest.version);
}
