// Plain files for the update worker, opened close-on-exec so that an editor started meanwhile
// never inherits a package, a part file or an extracted file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Removes what lies at path, a folder with all it holds, without ever following a symbolic link:
// a link, at the top or anywhere inside, goes as a link and what it points at stays. Stops when
// cancel (may be null) is seen set; other errors are ignored. False when something was left.
bool removeTree(const std::string& path, const std::atomic<bool>* cancel = nullptr);

// A regular file opened for binary reading; not open when the path cannot be opened or holds
// anything else (a link, a FIFO, a folder): nothing planted there is followed or waited on.
class InputFile {
 public:
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  // Reads up to length bytes, retrying short reads; the count read (0 at the end), -1 on error.
  int64_t read(void* buffer, size_t length);
  // Size of the open file, -1 when unknown.
  int64_t size() const;
  bool seek(uint64_t offset);

 private:
  int fd_ = -1;
};

// A file created anew for binary writing with the mode minus the umask; whatever lay at the path
// (a leftover, a planted link or FIFO) is removed first, never written through. Small writes are
// gathered into one bounded buffer (the network hands over a few KiB at a time).
class OutputFile {
 public:
  explicit OutputFile(const std::string& path, unsigned mode = 0666);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  // Writes every byte; false once any write has failed (the failure sticks, like a stream's).
  bool write(const void* data, size_t length);
  // Writes out the buffer; false once any write has failed.
  bool flush();
  bool failed() const { return failed_; }
  // Flushes and closes.
  void close();

 private:
  bool writeThrough(const char* data, size_t length);

  int fd_ = -1;
  bool failed_ = false;
  std::vector<char> buffer_;  // pending bytes, at most kBufferSize
  static constexpr size_t kBufferSize = 256 * 1024;
};
