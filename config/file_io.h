// Whole-file reads and atomic whole-file writes for the launcher's small text files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Reads every byte of the regular file at path (a link to one counts) into bytes. False when it
// cannot be opened or read, and for anything but a regular file: a FIFO, a device or a link to
// /dev/zero would otherwise hang the read or never end it. False too for a file of more than
// maxBytes, which is not read. The descriptor is close-on-exec so no child process ever inherits
// it.
bool readFileBytes(const std::string& path, std::string& bytes, size_t maxBytes);

// Opens path with flags, close-on-exec and without blocking (opening a FIFO would wait for a
// peer), and keeps the descriptor only when it is a regular file; -1 otherwise. With O_NOFOLLOW in
// flags a symbolic link at path is refused too.
int openRegularFile(const std::string& path, int flags);

// Creates path anew for writing (close-on-exec) with mode less the umask, never through a link:
// whatever lies at path (a leftover, or a link or FIFO planted there) is removed first. -1 when
// the file cannot be created.
int createFileAnew(const std::string& path, mode_t mode);

enum class ReplaceResult { Replaced, OpenFailed, WriteFailed, RenameFailed };

// Writes bytes to path with ".tmp" appended, flushes them to the disk and renames the temporary
// file over path, then syncs the folder so the rename itself survives a crash. Whatever lies at
// the temporary name (a leftover, or a link someone planted there) is removed first and the file
// is created anew, never through a link. A file created with mode (less the umask); the
// temporary file stays behind when the write or the rename fails.
ReplaceResult replaceFileWhole(const std::string& path, const std::string& bytes, mode_t mode);
