#include "updater/package_install.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "updater/artifact_verification.h"
#include "updater/editor_updater.h"
#include "updater/file_io.h"
#include "updater/package_container.h"
#include "updater/update_run.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kExtractWriters = 4;
constexpr zip_uint64_t kExtractRunBytes = 4 * 1024 * 1024;

// Writes one entry's data to its destination; false on any read or write failure (a bad CRC too).
bool extractEntry(zip_t* archive, zip_uint64_t index, const std::string& destination,
                  std::vector<char>& buffer) {
  zip_file_t* entry = zip_fopen_index(archive, index, 0);
  if (!entry) return false;
  OutputFile output(destination);
  bool ok = output.isOpen();
  while (ok) {
    const zip_int64_t count = zip_fread(entry, buffer.data(), buffer.size());
    if (count < 0) ok = false;
    if (count <= 0) break;
    ok = output.write(buffer.data(), static_cast<size_t>(count));
  }
  zip_fclose(entry);
  return ok && output.flush();
}

// A read-only zip source that serves libzip's small reads and its seek per entry from one window
// filled with pread: libzip's own file source reads through stdio 4 KiB at a time, tens of
// thousands of system calls for an editor-sized package.
struct WindowedZipSource {
  int fd = -1;
  uint64_t size = 0;
  uint64_t position = 0;
  std::vector<char> window = std::vector<char>(1024 * 1024);
  uint64_t windowStart = 0;
  size_t windowLength = 0;  // bytes of the file held from windowStart
  zip_error_t error{};
};

// pread of up to length bytes at offset, retrying interrupted and short reads; -1 on error.
int64_t readAt(int fd, char* out, size_t length, uint64_t offset) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

zip_int64_t readWindowed(WindowedZipSource& source, char* out, zip_uint64_t length) {
  if (source.position >= source.size) return 0;
  length = std::min<zip_uint64_t>(length, source.size - source.position);
  zip_uint64_t done = 0;
  while (done < length) {
    const uint64_t offset = source.position;
    if (offset >= source.windowStart && offset < source.windowStart + source.windowLength) {
      const size_t from = static_cast<size_t>(offset - source.windowStart);
      const size_t count = std::min<size_t>(source.windowLength - from, length - done);
      std::memcpy(out + done, source.window.data() + from, count);
      done += count;
      source.position += count;
      continue;
    }
    // A read as large as the window goes straight to the caller's buffer.
    const bool direct = length - done >= source.window.size();
    char* target = direct ? out + done : source.window.data();
    const size_t want = direct ? static_cast<size_t>(length - done) : source.window.size();
    const int64_t got = readAt(source.fd, target, want, offset);
    if (got < 0) {
      zip_error_set(&source.error, ZIP_ER_READ, errno);
      return -1;
    }
    if (got == 0) break;
    if (direct) {
      done += static_cast<zip_uint64_t>(got);
      source.position += static_cast<uint64_t>(got);
    } else {
      source.windowStart = offset;
      source.windowLength = static_cast<size_t>(got);
    }
  }
  return static_cast<zip_int64_t>(done);
}

zip_int64_t windowedZipSourceCallback(void* userdata, void* data, zip_uint64_t length,
                                      zip_source_cmd_t command) {
  auto* source = static_cast<WindowedZipSource*>(userdata);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      source->position = 0;
      return 0;
    case ZIP_SOURCE_READ:
      return readWindowed(*source, static_cast<char*>(data), length);
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      zip_stat_t* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source->error);
      if (!stat) return -1;
      zip_stat_init(stat);
      stat->size = source->size;
      stat->valid |= ZIP_STAT_SIZE;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&source->error, data, length);
    case ZIP_SOURCE_FREE:
      ::close(source->fd);
      zip_error_fini(&source->error);
      delete source;
      return 0;
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t offset =
          zip_source_seek_compute_offset(source->position, source->size, data, length, &source->error);
      if (offset < 0) return -1;
      source->position = static_cast<uint64_t>(offset);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(source->position);
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_SEEKABLE;
    default:
      zip_error_set(&source->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

bool endsWith(const std::string& name, const std::string& suffix) {
  return name.size() >= suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

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
    if (name.rfind("zelvan_editor_", 0) == 0 && pick(name) &&
        ::fstatat(directoryFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
      ::unlinkat(directoryFd, entry->d_name, 0);
  }
  ::closedir(directory);
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
  const int64_t size = file.size();
  if (!file.isOpen() || size <= 0) return nullptr;
  auto* state = new WindowedZipSource;
  state->fd = file.release();
  state->size = static_cast<uint64_t>(size);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(windowedZipSourceCallback, state, &error);
  if (!source) {
    ::close(state->fd);
    delete state;
    zip_error_fini(&error);
    return nullptr;
  }
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
  if (!archive) zip_source_free(source);  // closes the descriptor
  zip_error_fini(&error);
  return archive;
}

bool extractPackageArchive(zip_t* archive, const std::string& archivePath,
                           const std::string& stagingDirectory, const std::atomic<bool>& cancel) {
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  if (count < 0) return false;
  // Every name is checked and every folder made before any data is written, so the writers
  // neither race on folders nor start on an archive that is refused anyway.
  struct Entry {
    zip_uint64_t index;
    std::string destination;
    mode_t mode;
    zip_uint64_t size;  // compressed
  };
  std::vector<Entry> entries;
  std::unordered_map<std::string, int> namings;  // per file written, how many entries name it
  for (zip_int64_t i = 0; i < count; ++i) {
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
    // Normal form, so that two names of one file ("a/b", "a/./b") are seen to be one.
    const fs::path destination = (fs::path(stagingDirectory) / name).lexically_normal();
    std::error_code ec;
    fs::create_directories(destination.parent_path(), ec);
    ++namings[destination.string()];
    entries.push_back({index, destination.string(), static_cast<mode_t>(attributes >> 16),
                       (stat.valid & ZIP_STAT_COMP_SIZE) ? stat.comp_size : 0});
  }
  // Writers take runs of neighbouring entries, so each reads its part of the archive front to
  // back. Entries naming one file share one run, in archive order: the last one stays.
  std::vector<std::vector<const Entry*>> runs(1);
  std::vector<zip_uint64_t> runSizes(1, 0);
  for (const Entry& entry : entries) {
    if (namings[entry.destination] > 1) {
      runs[0].push_back(&entry);
      runSizes[0] += entry.size;
      continue;
    }
    if (runs.size() == 1 || runSizes.back() >= kExtractRunBytes) {
      runs.emplace_back();
      runSizes.push_back(0);
    }
    runs.back().push_back(&entry);
    runSizes.back() += entry.size;
  }
  // Largest first, so that one big file does not start last and leave the other writers idle.
  std::vector<size_t> order(runs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return runSizes[a] > runSizes[b]; });

  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  // Each writer reads through its own archive handle: one libzip archive is not for two threads.
  const auto write = [&](zip_t* handle) {
    std::vector<char> buffer(256 * 1024);
    for (size_t k; !failed.load() && (k = next.fetch_add(1)) < order.size();) {
      for (const Entry* entry : runs[order[k]]) {
        if (cancel.load() || !extractEntry(handle, entry->index, entry->destination, buffer)) {
          failed = true;
          break;
        }
        // Only modes with an execute bit are applied; every entry is a regular file whatever its type bits.
        // Never write for group or others: another local user could rewrite what this user runs.
        if (entry->mode & 0111) ::chmod(entry->destination.c_str(), entry->mode & 0755);
      }
    }
  };
  const size_t writers =
      std::min<size_t>({std::max(1u, std::thread::hardware_concurrency()), kExtractWriters, runs.size()});
  // Opened here, one after the other: opening reads the time zone, which is not for two threads.
  std::vector<zip_t*> handles;
  for (size_t w = 1; w < writers; ++w)
    if (zip_t* handle = openPackageArchive(archivePath)) handles.push_back(handle);
  std::vector<std::thread> threads;
  threads.reserve(handles.size());
  for (zip_t* handle : handles) {
    try {
      threads.emplace_back(write, handle);
    } catch (const std::system_error&) {
      break;  // at a thread limit the writers started (this thread at least) take every run
    }
  }
  write(archive);
  for (std::thread& thread : threads) thread.join();
  for (zip_t* handle : handles) zip_discard(handle);
  return !failed.load();
}

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
    return endsWith(name, ".part") || endsWith(name, ".decrypted.zip");
  });
}

void installEditorPackage(EditorUpdater& updater, const UpdateManifest& manifest,
                          const std::string& packagePath, const std::string& packageSha256) {
  updater.publish(UpdateState::Installing, "Installing editor " + manifest.version + "\u2026");

  std::error_code ec;
  const std::string editorDirectory = editorInstallDir(), stagingDirectory = editorStagingDir();
  removeTree(stagingDirectory);
  fs::create_directories(stagingDirectory, ec);

  std::string archivePath = packagePath;
  std::string decryptedPath;
  const bool encrypted = isEncryptedPackage(packagePath);
  // The decrypted copy is the whole plaintext: it never outlives the run.
  const auto failRemovingDecrypted = [&](const std::string& message) {
    if (encrypted) fs::remove(decryptedPath, ec);
    updater.failUpdate(message);
  };
  if (encrypted) {
    decryptedPath = packagePath + ".decrypted.zip";
    std::string detail, plaintextSha256;
    const std::vector<uint8_t> key = decodeBase64Key(manifest.encryptionKey);
    if (manifest.encryptionKey.empty() || key.size() != 32)
      detail = "Invalid decryption key length.";
    else
      decryptPackageContainer(packagePath, decryptedPath, key, detail,
                              manifest.plaintextSha256.empty() ? nullptr : &plaintextSha256);
    if (!detail.empty()) {
      failRemovingDecrypted("Decrypting editor package failed: " + detail);
      return;
    }
    if (!manifest.plaintextSha256.empty() && plaintextSha256 != manifest.plaintextSha256) {
      failRemovingDecrypted("The decrypted editor package failed plaintext checksum verification.");
      return;
    }
    archivePath = decryptedPath;
  } else if (!manifest.plaintextSha256.empty() &&
             (packageSha256.empty() ? sha256FileHex(packagePath) : packageSha256) !=
                 manifest.plaintextSha256) {
    // A plain package is the plaintext: its digest must match before the server is asked about it.
    updater.failUpdate("The downloaded package failed its checksum verification.");
    return;
  }

  const std::string digest = !manifest.plaintextSha256.empty() ? manifest.plaintextSha256 : manifest.sha256;
  if (!digest.empty()) {
    std::string error;
    if (!verifyArtifactAuthenticity(updater.manifestUrl(), digest, error, &updater.requests(),
                                    updater.deadlines().update)) {
      removeTree(stagingDirectory);
      failRemovingDecrypted(updater.cancelRequested()
                                ? "Install cancelled."
                                : "Artifact authenticity verification failed: " + error);
      return;
    }
  }

  zip_t* archive = openPackageArchive(archivePath);
  if (!archive) {
    failRemovingDecrypted("The editor package is not a readable zip archive.");
    return;
  }
  const bool extracted = extractPackageArchive(archive, archivePath, stagingDirectory, updater.cancelFlag());
  zip_discard(archive);
  if (encrypted) fs::remove(decryptedPath, ec);
  if (!extracted) {
    removeTree(stagingDirectory);
    updater.failUpdate(updater.cancelRequested() ? "Install cancelled."
                                                 : "Extracting the editor package failed.");
    return;
  }

  const std::string asideDirectory = editorAsideDir();
  if (!replaceEditorFolder(stagingDirectory, editorDirectory, asideDirectory)) {
    removeTree(stagingDirectory);
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
  // Older packages are never reused; this one stays for the next run's reuse decision.
  const std::string kept = fs::path(packagePath).filename().string();
  removeOwnDownloads(updater.downloadsDirectory(),
                     [&kept](const std::string& name) { return name != kept && endsWith(name, ".zip"); });
  // The previous editor goes only now: deleting thousands of files must not delay "Installed". A
  // close stops it; the next run removes the rest.
  removeTree(asideDirectory, &updater.cancelFlag());
}
