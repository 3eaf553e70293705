#include "config/settings.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "app/app_state.h"
#include "config/file_io.h"

namespace fs = std::filesystem;

namespace {

// The largest settings file read: 64 MiB holds kMaxProjectRecords records of some 670 bytes each,
// about twice what a record with a 100-byte project path takes. A larger file is damaged and reads
// as unreadable (empty settings) rather than filling the memory.
constexpr size_t kMaxSettingsFileBytes = size_t(64) << 20;

// Base-10 integer as the settings file writes it: leading white space and a sign accepted,
// reading stops at the first non-digit, no digits gives 0. Out-of-range values saturate.
int64_t parseInt64(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t digit = uint64_t(text[i] - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  if (negative) return magnitude == limit ? INT64_MIN : -int64_t(magnitude);
  return int64_t(magnitude);
}

int32_t parseInt32(std::string_view text) {
  int64_t value = parseInt64(text);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return int32_t(value);
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentEscape(const std::string& text, std::string_view special) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (special.find(c) == std::string_view::npos) {
      out += c;
      continue;
    }
    const unsigned char byte = static_cast<unsigned char>(c);
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  return out;
}

// A trimmed part of a line, without copying it.
std::string_view trimmed(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  size_t begin = 0, end = text.size();
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

void percentDecodeInto(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 &&
        hexDigitValue(text[i + 2]) >= 0) {
      out += char(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
}

// One line of the file as every pass sees it: trimmed, and for an entry its decoded key and its
// trimmed value, decoded only by a pass that takes it.
struct IniLine {
  std::string_view text;
  bool entry = false;
  std::string key;
  std::string_view value;
  std::string decodedValue() const {
    std::string out;
    percentDecodeInto(value, out);
    return out;
  }
};

// Each pass walks the text afresh and keeps nothing per line (the key's buffer is reused): a file
// of millions of empty or useless lines costs its own bytes and no more.
template <typename Visit>
void forEachIniLine(std::string_view text, Visit visit) {
  IniLine line;
  size_t start = 0;
  for (;;) {
    // Blank lines, and the blanks a line starts with, are passed over byte by byte.
    while (start < text.size() &&
           (text[start] == '\n' || text[start] == ' ' || text[start] == '\t' || text[start] == '\r'))
      ++start;
    if (start >= text.size()) break;
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    line.text = trimmed(text.substr(start, end - start));
    start = end + 1;
    const size_t eq = line.text.find('=');
    line.entry = eq != std::string_view::npos;
    if (line.entry) {
      percentDecodeInto(trimmed(line.text.substr(0, eq)), line.key);
      line.value = trimmed(line.text.substr(eq + 1));
    }
    visit(static_cast<const IniLine&>(line));
  }
}

void readPlainKeys(std::string_view text, LauncherSettings& settings) {
  bool inGeneral = false;
  forEachIniLine(text, [&](const IniLine& line) {
    const std::string_view t = line.text;
    if (t[0] == '#' || t[0] == ';') return;
    if (t[0] == '[' && t.back() == ']') {
      inGeneral = t == "[General]";
      return;
    }
    if (!inGeneral || !line.entry) return;
    if (line.key == "auth/refreshToken")
      settings.refreshToken = line.decodedValue();
    else if (line.key == "auth/userName")
      settings.userName = line.decodedValue();
    else if (line.key == "auth/userEmail")
      settings.userEmail = line.decodedValue();
    else if (line.key == "install/path")
      settings.installPath = line.decodedValue();
    else if (line.key == "projects/defaultLocation")
      settings.defaultProjectLocation = line.decodedValue();
    else if (line.key == "projects/lastAddedLocation")
      settings.lastAddedProjectLocation = line.decodedValue();
  });
}

int32_t readRecordCount(std::string_view text) {
  int32_t count = 0;
  forEachIniLine(text, [&](const IniLine& line) {
    if (line.entry && line.key == "Projects\\size") count = parseInt32(line.decodedValue());
  });
  return count;
}

void readRecords(std::string_view text, std::vector<ProjectRecord>& projects) {
  constexpr std::string_view kPrefix = "Projects\\";
  const int64_t count = int64_t(projects.size());
  forEachIniLine(text, [&](const IniLine& line) {
    if (!line.entry || line.key.size() <= kPrefix.size() || line.key.compare(0, kPrefix.size(), kPrefix) != 0)
      return;
    size_t slash = line.key.find('\\', kPrefix.size());
    if (slash == std::string::npos) return;
    int32_t n = parseInt32(std::string_view(line.key).substr(kPrefix.size(), slash - kPrefix.size()));
    if (n < 1 || n > count) return;
    ProjectRecord& record = projects[size_t(n - 1)];
    const std::string_view field = std::string_view(line.key).substr(slash + 1);
    if (field == "name")
      record.name = line.decodedValue();
    else if (field == "path")
      record.path = line.decodedValue();
    else if (field == "targetPlatform")
      record.targetPlatform = line.decodedValue();
    else if (field == "editorVersion")
      record.editorVersion = line.decodedValue();
    else if (field == "lastOpened")
      record.lastOpened = parseInt64(line.decodedValue());
    else if (field == "favorite") {
      const std::string value = line.decodedValue();
      record.favorite = value == "true" || value == "1";
    }
  });
}

std::string formatSettingsText(const LauncherSettings& settings) {
  std::string text = "[General]\n";
  auto entry = [&text](const std::string& key, const std::string& value) {
    text += escapeIniKey(key);
    text += '=';
    text += escapeIniValue(value);
    text += '\n';
  };
  entry("auth/refreshToken", settings.refreshToken);
  if (!settings.userName.empty()) entry("auth/userName", settings.userName);
  if (!settings.userEmail.empty()) entry("auth/userEmail", settings.userEmail);
  entry("install/path", settings.installPath);
  entry("projects/defaultLocation", settings.defaultProjectLocation);
  entry("projects/lastAddedLocation", settings.lastAddedProjectLocation);
  entry("Projects\\size", std::to_string(settings.projects.size()));
  size_t n = 0;
  for (const ProjectRecord& record : settings.projects) {
    const std::string prefix = "Projects\\" + std::to_string(++n) + "\\";
    entry(prefix + "name", record.name);
    entry(prefix + "path", record.path);
    entry(prefix + "lastOpened", std::to_string(record.lastOpened));
    entry(prefix + "favorite", record.favorite ? "true" : "false");
    if (!record.targetPlatform.empty()) entry(prefix + "targetPlatform", record.targetPlatform);
    if (!record.editorVersion.empty()) entry(prefix + "editorVersion", record.editorVersion);
  }
  return text;
}

}  // namespace

std::string trimIniToken(const std::string& text) {
  return std::string(trimmed(text));
}

std::string percentDecode(const std::string& text) {
  std::string out;
  percentDecodeInto(text, out);
  return out;
}

std::string escapeIniKey(const std::string& key) {
  return percentEscape(key, " %/=@\\");
}

std::string escapeIniValue(const std::string& value) {
  return percentEscape(value, "\n%@");
}

void readSettingsText(const std::string& text, LauncherSettings& settings) {
  settings.refreshToken.clear();
  settings.userName.clear();
  settings.userEmail.clear();
  settings.projects.clear();
  settings.installPath.clear();
  settings.defaultProjectLocation.clear();
  settings.lastAddedProjectLocation.clear();

  readPlainKeys(text, settings);
  int32_t count = readRecordCount(text);
  if (count < 1) return;
  if (count > kMaxProjectRecords) count = kMaxProjectRecords;
  settings.projects.resize(size_t(count));
  readRecords(text, settings.projects);
  sortProjectsByLastOpened(settings.projects);
}

void loadSettings(AppState& app) {
  delete app.settings;
  app.settings = new LauncherSettings();
  LauncherSettings& settings = *app.settings;
  const char* home = getenv("HOME");
  if (!home) return;
  fs::path folder = fs::path(home) / ".config" / "ZELVAN";
  std::error_code ec;
  fs::create_directories(folder, ec);
  settings.filePath = (folder / "Launcher.conf").string();
  std::string text;
  if (!readFileBytes(settings.filePath, text, kMaxSettingsFileBytes)) return;
  readSettingsText(text, settings);
}

void saveSettings(const LauncherSettings& settings) {
  if (settings.filePath.empty()) return;
  const std::string text = formatSettingsText(settings);
  const fs::path target(settings.filePath);
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);

  // The file holds the refresh token: private from its creation, and on the disk before it
  // replaces the settings file, so a crash never leaves an empty or partial file behind.
  replaceFileWhole(settings.filePath, text, 0600);
}
