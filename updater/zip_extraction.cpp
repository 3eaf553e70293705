#include "updater/zip_extraction.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "config/file_io.h"
#include "platform/threads.h"
#include "updater/file_io.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kExtractWriters = 4;
constexpr zip_uint64_t kExtractRunBytes = 4 * 1024 * 1024;
constexpr size_t kReleaseBytes = 1024 * 1024;  // extracted by one writer between releases of the pages

struct Entry {
  zip_uint64_t index;
  std::string destination;
  mode_t mode;
  zip_uint64_t size;  // compressed
  bool superseded;    // a later entry names the same file
};

// Neighbouring entries, for one writer to read front to back.
struct Run {
  std::vector<const Entry*> entries;
  zip_uint64_t bytes = 0;  // compressed
};

// One writer's reading: its archive handle, its buffer, and what it extracted since it last
// released the archive's pages.
struct Reader {
  const PackageArchive& archive;
  zip_t* handle;
  std::vector<char> buffer = std::vector<char>(256 * 1024);
  size_t sinceRelease = 0;
};

// Writes one entry's data to its destination; false on any read or write failure (a bad CRC too).
bool extractEntry(Reader& reader, zip_uint64_t index, const std::string& destination) {
  zip_file_t* entry = zip_fopen_index(reader.handle, index, 0);
  if (!entry) return false;
  OutputFile output(destination);
  bool ok = output.isOpen();
  while (ok) {
    const zip_int64_t count = zip_fread(entry, reader.buffer.data(), reader.buffer.size());
    if (count < 0) ok = false;
    if (count <= 0) break;
    ok = output.write(reader.buffer.data(), static_cast<size_t>(count));
    reader.sinceRelease += static_cast<size_t>(count);
    if (reader.sinceRelease >= kReleaseBytes) {
      reader.archive.releasePages();
      reader.sinceRelease = 0;
    }
  }
  zip_fclose(entry);
  return ok && output.flush();
}

// Checks every name and makes every folder before any data is written, so that the writers
// neither race on folders nor start on an archive that is refused anyway. Of entries naming one
// file, only the last in the archive is kept. False when the archive is refused.
bool collectEntries(zip_t* archive, const std::string& stagingDirectory, std::vector<Entry>& entries) {
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  if (count < 0) return false;
  std::unordered_map<std::string, size_t> latest;  // per file written, its last entry
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
    const auto [seen, first] = latest.try_emplace(destination.string(), entries.size());
    if (!first) {
      entries[seen->second].superseded = true;
      seen->second = entries.size();
    }
    entries.push_back({index, destination.string(), static_cast<mode_t>(attributes >> 16),
                       (stat.valid & ZIP_STAT_COMP_SIZE) ? stat.comp_size : 0, false});
  }
  std::erase_if(entries, [](const Entry& entry) { return entry.superseded; });
  return true;
}

// Runs of neighbouring entries, so that each writer reads its part of the archive front to back;
// largest first, so that one big file does not start last and leave the other writers idle.
std::vector<Run> splitIntoRuns(const std::vector<Entry>& entries) {
  std::vector<Run> runs;
  for (const Entry& entry : entries) {
    if (runs.empty() || runs.back().bytes >= kExtractRunBytes) runs.emplace_back();
    runs.back().entries.push_back(&entry);
    runs.back().bytes += entry.size;
  }
  std::stable_sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.bytes > b.bytes; });
  return runs;
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

PackageArchive::PackageArchive(const std::string& path) {
  const int fd = openRegularFile(path, O_RDONLY | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    void* mapping = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (mapping != MAP_FAILED) {
      mapping_ = mapping;
      size_ = static_cast<size_t>(st.st_size);
    }
  }
  ::close(fd);  // the mapping keeps the file's pages
  if (mapping_) openHandles(1);
}

PackageArchive::~PackageArchive() {
  for (zip_t* handle : handles_) zip_discard(handle);
  if (mapping_) ::munmap(mapping_, size_);
}

void PackageArchive::releasePages() const {
  if (mapping_) ::madvise(mapping_, size_, MADV_DONTNEED);
}

size_t PackageArchive::openHandles(size_t count) {
  while (mapping_ && handles_.size() < count) {
    zip_error_t error;
    zip_error_init(&error);
    // Each handle reads the one mapping through a source of its own, without a copy.
    zip_source_t* source = zip_source_buffer_create(mapping_, size_, 0, &error);
    zip_t* handle = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    if (source && !handle) zip_source_free(source);
    zip_error_fini(&error);
    if (!handle) break;
    handles_.push_back(handle);
  }
  return handles_.size();
}

bool extractPackageArchive(PackageArchive& archive, const std::string& stagingDirectory,
                           const std::atomic<bool>& cancel) {
  std::vector<Entry> entries;
  if (!archive.isOpen() || !collectEntries(archive.handle(0), stagingDirectory, entries)) return false;
  const std::vector<Run> runs = splitIntoRuns(entries);
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  const auto write = [&](zip_t* handle) {
    Reader reader{archive, handle};
    for (size_t k; !failed.load() && (k = next.fetch_add(1)) < runs.size();) {
      for (const Entry* entry : runs[k].entries) {
        if (cancel.load() || !extractEntry(reader, entry->index, entry->destination)) {
          failed = true;
          break;
        }
        // Only modes with an execute bit are applied; every entry is a regular file whatever its type bits.
        // Never write for group or others: another local user could rewrite what this user runs.
        if (entry->mode & 0111) ::chmod(entry->destination.c_str(), entry->mode & 0755);
      }
    }
  };
  const size_t writers = archive.openHandles(
      std::min<size_t>({std::max(1u, std::thread::hardware_concurrency()), kExtractWriters, runs.size()}));
  std::vector<std::thread> threads;
  for (size_t w = 1; w < writers; ++w) {
    try {
      threads.emplace_back([&write, handle = archive.handle(w)] {
        nameThisThread("orvo-unzip");
        write(handle);
      });
    } catch (const std::system_error&) {
      break;  // at a thread limit the writers started (this thread at least) take every run
    }
  }
  write(archive.handle(0));
  for (std::thread& thread : threads) thread.join();
  return !failed.load();
}
