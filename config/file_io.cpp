#include "config/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>

int openRegularFile(const std::string& path, int flags) {
  // Non-blocking only so that opening a FIFO returns at once; a regular file ignores the flag.
  const int fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

int createFileAnew(const std::string& path, mode_t mode) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path.c_str(), flags, mode);
  if (fd < 0 && errno == EEXIST && unlink(path.c_str()) == 0) fd = open(path.c_str(), flags, mode);
  return fd;
}

bool readFileBytes(const std::string& path, std::string& bytes, size_t maxBytes) {
  bytes.clear();
  const int fd = openRegularFile(path, O_RDONLY);
  if (fd < 0) return false;
  // Room for the whole file at once: growing by doubling would briefly hold it nearly twice. A
  // file above the bound (a damaged or sparse one) is refused before anything is reserved or read.
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && static_cast<uint64_t>(info.st_size) <= maxBytes;
  if (ok) bytes.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  while (ok) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n > 0 && bytes.size() + static_cast<size_t>(n) <= maxBytes) {
      bytes.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (n > 0 || errno != EINTR) {
      ok = false;  // it grew past the bound while being read, or the read failed
    }
  }
  close(fd);
  if (!ok) bytes.clear();
  return ok;
}

namespace {

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

void syncFolder(const std::filesystem::path& folder) {
  int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

ReplaceResult replaceFileWhole(const std::string& path, const std::string& bytes, mode_t mode) {
  const std::string temporary = path + ".tmp";
  const int fd = createFileAnew(temporary, mode);
  if (fd < 0) return ReplaceResult::OpenFailed;
  bool ok = writeAll(fd, bytes) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok) return ReplaceResult::WriteFailed;
  if (rename(temporary.c_str(), path.c_str()) != 0) return ReplaceResult::RenameFailed;
  syncFolder(std::filesystem::path(path).parent_path());
  return ReplaceResult::Replaced;
}
