// Extracting a package zip into the staging folder: which entry names are allowed, and the
// writers that extract on a few threads at once.
#pragma once

#include <zip.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

// False for names that could leave the staging folder: a leading "/" or "\", any ":", or a ".."
// component between either separator.
bool isAllowedEntryName(const std::string& name);

// A package zip mapped read-only once, with archive handles over that one mapping: a libzip
// archive is for one thread at a time, so each writer reads through a handle of its own.
class PackageArchive {
 public:
  // Maps the regular file at path (close-on-exec, no link followed) and opens the first handle.
  // Not open when the file cannot be read, is empty (libzip would take it for an empty archive)
  // or is not a zip.
  explicit PackageArchive(const std::string& path);
  ~PackageArchive();  // discards the handles, then unmaps
  PackageArchive(const PackageArchive&) = delete;
  PackageArchive& operator=(const PackageArchive&) = delete;

  bool isOpen() const { return !handles_.empty(); }
  // Opens handles until there are count (on the calling thread: opening one reads the time zone,
  // which is not for two threads at once); the number open, fewer when one failed to open.
  size_t openHandles(size_t count);
  zip_t* handle(size_t index) const { return handles_[index]; }
  // Drops the mapped pages from this process (a page read again comes back from the file): pages
  // once read stay counted as its memory, and a package is read through once.
  void releasePages() const;

 private:
  void* mapping_ = nullptr;
  size_t size_ = 0;
  std::vector<zip_t*> handles_;
};

// Writes every file entry of the open archive into the staging folder, on a few threads; false
// when a name is refused (then nothing is written), on the first failed entry, or when the cancel
// flag is seen before an entry. Of entries naming one file, the last in the archive is written.
bool extractPackageArchive(PackageArchive& archive, const std::string& stagingDirectory,
                           const std::atomic<bool>& cancel);
