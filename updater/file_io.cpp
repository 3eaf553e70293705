#include "updater/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/file_io.h"

namespace {

// Removes name inside the open folder folderFd. Each folder is opened by name relative to its
// parent's descriptor and with O_NOFOLLOW, so a link put in place of a folder meanwhile is
// never walked into.
bool removeAt(int folderFd, const char* name, const std::atomic<bool>* cancel) {
  if (::unlinkat(folderFd, name, 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR) return false;
  const int fd = ::openat(folderFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* folder = ::fdopendir(fd);
  if (!folder) {
    ::close(fd);
    return false;
  }
  bool emptied = true;
  while (const dirent* entry = ::readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (cancel && cancel->load()) {
      emptied = false;
      break;
    }
    emptied = removeAt(::dirfd(folder), entry->d_name, cancel) && emptied;
  }
  ::closedir(folder);
  return emptied && (::unlinkat(folderFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

}  // namespace

bool removeTree(const std::string& path, const std::atomic<bool>* cancel) {
  return !path.empty() && removeAt(AT_FDCWD, path.c_str(), cancel);
}

InputFile::InputFile(const std::string& path) {
  fd_ = openRegularFile(path, O_RDONLY | O_NOFOLLOW);
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t InputFile::read(void* buffer, size_t length) {
  if (fd_ < 0) return -1;
  size_t done = 0;
  char* out = static_cast<char*>(buffer);
  while (done < length) {
    ssize_t n = ::read(fd_, out + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t InputFile::size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool InputFile::seek(uint64_t offset) {
  return fd_ >= 0 && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

OutputFile::OutputFile(const std::string& path, unsigned mode) {
  fd_ = createFileAnew(path, mode);
  failed_ = fd_ < 0;
  if (fd_ >= 0) buffer_.reserve(kBufferSize);
}

OutputFile::~OutputFile() {
  close();
}

bool OutputFile::write(const void* data, size_t length) {
  if (failed_) return false;
  const char* in = static_cast<const char*>(data);
  if (buffer_.size() + length > kBufferSize && !flush()) return false;
  if (length >= kBufferSize) return writeThrough(in, length);
  buffer_.insert(buffer_.end(), in, in + length);
  return true;
}

bool OutputFile::flush() {
  if (failed_) return false;
  const bool ok = writeThrough(buffer_.data(), buffer_.size());
  buffer_.clear();
  return ok;
}

bool OutputFile::writeThrough(const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd_, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void OutputFile::close() {
  if (fd_ >= 0) {
    flush();
    ::close(fd_);
  }
  fd_ = -1;
}
