// Whole-file reads for the launcher's small text files.
#pragma once

#include <string>

// Reads every byte of the file at path into bytes. False when it cannot be opened or read.
// The descriptor is close-on-exec so no child process ever inherits it.
bool readFileBytes(const std::string& path, std::string& bytes);
