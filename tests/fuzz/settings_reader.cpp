// Feeds arbitrary bytes to the settings file reader and checks what it promises: no crash, a
// bounded, newest-first list, and escapes that decode back to the original bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  LauncherSettings settings;
  settings.filePath = "unchanged";
  readSettingsText(text, settings);
  if (settings.filePath != "unchanged") abort();
  if (settings.projects.size() > size_t(kMaxProjectRecords)) abort();
  for (size_t i = 1; i < settings.projects.size(); ++i)
    if (settings.projects[i - 1].lastOpened < settings.projects[i].lastOpened) abort();

  if (percentDecode(escapeIniKey(text)) != text) abort();
  if (percentDecode(escapeIniValue(text)) != text) abort();
  const std::string trimmed = trimIniToken(text);
  if (trimIniToken(trimmed) != trimmed) abort();
  return 0;
}
