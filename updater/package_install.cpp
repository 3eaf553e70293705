#include "updater/package_install.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <system_error>
#include <vector>

#include "updater/artifact_verification.h"
#include "updater/editor_updater.h"
#include "updater/file_io.h"
#include "updater/package_container.h"
#include "updater/update_run.h"
#include "updater/zip_extraction.h"

namespace fs = std::filesystem;

namespace {

// Removes the regular files of the updater's own names ("zelvan_editor_" first) that pick chooses,
// each looked at and removed by name without following a link: the folder may be the user's
// downloads folder. unlinkat without flags never removes a folder, and a file swapped for a link
// meanwhile loses only the link.
void removeOwnDownloads(const std::string& downloadsDirectory,
                        const std::function<bool(const std::string&)>& pick) {
  const int directoryFd = ::open(downloadsDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd < 0) return;
  DIR* directory = ::fdopendir(directoryFd);
  if (!directory) {
    ::close(directoryFd);
    return;
  }
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    struct stat status;
    if (name.starts_with("zelvan_editor_") && pick(name) &&
        ::fstatat(directoryFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
      ::unlinkat(directoryFd, entry->d_name, 0);
  }
  ::closedir(directory);
}

}  // namespace

bool replaceEditorFolderByMovingAside(const std::string& stagingDirectory, const std::string& editorDirectory,
                                      const std::string& asideDirectory) {
  std::error_code ec;
  const bool hadEditor = fs::exists(fs::symlink_status(editorDirectory, ec));
  if (hadEditor) {
    removeTree(asideDirectory);
    fs::rename(editorDirectory, asideDirectory, ec);
    if (ec) return false;
  }
  fs::rename(stagingDirectory, editorDirectory, ec);
  if (ec) {
    std::error_code ignored;
    if (hadEditor) fs::rename(asideDirectory, editorDirectory, ignored);
    return false;
  }
  return true;
}

bool replaceEditorFolder(const std::string& stagingDirectory, const std::string& editorDirectory,
                         const std::string& asideDirectory) {
  if (::renameat2(AT_FDCWD, stagingDirectory.c_str(), AT_FDCWD, editorDirectory.c_str(), RENAME_EXCHANGE) ==
      0) {
    // The staging path now holds the previous editor; its deletion waits with the aside folder.
    std::error_code ec;
    removeTree(asideDirectory);
    fs::rename(stagingDirectory, asideDirectory, ec);
    if (ec) removeTree(stagingDirectory);
    return true;
  }
  return replaceEditorFolderByMovingAside(stagingDirectory, editorDirectory, asideDirectory);
}

std::string editorStagingDir() {
  return (fs::path(editorInstallDir()).parent_path() / "editor-staging").string();
}

std::string editorAsideDir() {
  return (fs::path(editorInstallDir()).parent_path() / "editor-previous").string();
}

void removeRunLeftovers(const std::string& downloadsDirectory) {
  std::error_code ec;
  const std::string editorDirectory = editorInstallDir(), asideDirectory = editorAsideDir();
  // A crash between the two renames of a move aside left no editor: the aside one is it.
  if (!fs::exists(fs::symlink_status(editorDirectory, ec)) &&
      fs::exists(fs::symlink_status(asideDirectory, ec)))
    fs::rename(asideDirectory, editorDirectory, ec);
  removeTree(asideDirectory);
  removeTree(editorStagingDir());
  removeOwnDownloads(downloadsDirectory, [](const std::string& name) {
    return name.ends_with(".part") || name.ends_with(".decrypted.zip");
  });
}

namespace {

// The zip to extract: the package itself, or its decrypted copy. Empty when the run ended here
// (then no decrypted copy is left).
std::string plaintextArchive(EditorUpdater& updater, const UpdateManifest& manifest,
                             const std::string& packagePath, const std::string& packageSha256) {
  if (!isEncryptedPackage(packagePath)) {
    // A plain package is the plaintext: its digest must match before the server is asked about it.
    if (manifest.plaintextSha256.empty() ||
        (packageSha256.empty() ? sha256FileHex(packagePath) : packageSha256) == manifest.plaintextSha256)
      return packagePath;
    updater.failUpdate("The downloaded package failed its checksum verification.");
    return std::string();
  }
  const std::string decryptedPath = packagePath + ".decrypted.zip";
  std::string detail, plaintextSha256, failure;
  const std::vector<uint8_t> key = decodeBase64Key(manifest.encryptionKey);
  if (manifest.encryptionKey.empty() || key.size() != 32)
    detail = "Invalid decryption key length.";
  else
    decryptPackageContainer(packagePath, decryptedPath, key, detail,
                            manifest.plaintextSha256.empty() ? nullptr : &plaintextSha256);
  if (!detail.empty())
    failure = "Decrypting editor package failed: " + detail;
  else if (!manifest.plaintextSha256.empty() && plaintextSha256 != manifest.plaintextSha256)
    failure = "The decrypted editor package failed plaintext checksum verification.";
  if (failure.empty()) return decryptedPath;
  std::error_code ec;
  fs::remove(decryptedPath, ec);
  updater.failUpdate(failure);
  return std::string();
}

// Has the auth server confirm the plaintext's digest, then extracts the zip into the staging
// folder (removed again when either fails). The failure sentence; empty on success.
std::string confirmAndExtract(EditorUpdater& updater, const UpdateManifest& manifest,
                              const std::string& archivePath, const std::string& stagingDirectory) {
  const std::string digest = !manifest.plaintextSha256.empty() ? manifest.plaintextSha256 : manifest.sha256;
  std::string error;
  if (!digest.empty() && !verifyArtifactAuthenticity(updater.manifestUrl(), digest, error,
                                                     &updater.requests(), updater.deadlines().update)) {
    removeTree(stagingDirectory);
    return updater.cancelRequested() ? "Install cancelled."
                                     : "Artifact authenticity verification failed: " + error;
  }
  PackageArchive archive(archivePath);
  if (!archive.isOpen()) return "The editor package is not a readable zip archive.";
  if (extractPackageArchive(archive, stagingDirectory, updater.cancelFlag())) return std::string();
  removeTree(stagingDirectory);
  return updater.cancelRequested() ? "Install cancelled." : "Extracting the editor package failed.";
}

// False when the line is not written (a full disk, or a folder of that name in the package).
bool writeVersionFile(const std::string& version) {
  const std::string line = version + "\n";
  OutputFile versionFile(editorVersionFilePath());
  const bool written = versionFile.write(line.data(), line.size()) && versionFile.flush();
  versionFile.close();
  return written;
}

}  // namespace

void installEditorPackage(EditorUpdater& updater, const UpdateManifest& manifest,
                          const std::string& packagePath, const std::string& packageSha256) {
  updater.publish(UpdateState::Installing, "Installing editor " + manifest.version + "\u2026");

  std::error_code ec;
  const std::string editorDirectory = editorInstallDir(), stagingDirectory = editorStagingDir();
  removeTree(stagingDirectory);
  fs::create_directories(stagingDirectory, ec);

  const std::string archivePath = plaintextArchive(updater, manifest, packagePath, packageSha256);
  if (archivePath.empty()) return;
  const std::string failure = confirmAndExtract(updater, manifest, archivePath, stagingDirectory);
  // The decrypted copy is the whole plaintext: it never outlives the run.
  if (archivePath != packagePath) fs::remove(archivePath, ec);
  if (!failure.empty()) {
    updater.failUpdate(failure);
    return;
  }

  const std::string asideDirectory = editorAsideDir();
  if (!replaceEditorFolder(stagingDirectory, editorDirectory, asideDirectory)) {
    removeTree(stagingDirectory);
    updater.failUpdate("Could not move the extracted editor into place.");
    return;
  }
  // Without its version file the new editor counts as unknown and every later check installs it
  // again: that is no "Installed".
  if (writeVersionFile(manifest.version))
    updater.publish(UpdateState::Installed, "Installed \u2014 version " + manifest.version);
  else
    updater.failUpdate("The editor was installed, but its version file could not be written.");
  // Older packages are never reused; this one stays for the next run's reuse decision.
  const std::string kept = fs::path(packagePath).filename().string();
  removeOwnDownloads(updater.downloadsDirectory(),
                     [&kept](const std::string& name) { return name != kept && name.ends_with(".zip"); });
  // The previous editor goes only now: deleting thousands of files must not delay "Installed". A
  // close stops it; the next run removes the rest.
  removeTree(asideDirectory, &updater.cancelFlag());
}
