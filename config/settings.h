// The settings file "Launcher.conf": stored sign-in, paths and the project list.
#pragma once

#include <string>
#include <vector>

#include "projects/project_record.h"

struct AppState;

struct LauncherSettings {
  std::string filePath;  // $HOME/.config/ZELVAN/Launcher.conf; empty when HOME was unset: nothing is saved
  std::string refreshToken;  // stored sign-in; empty when signed out
  std::string userName;
  std::string userEmail;
  std::vector<ProjectRecord> projects;  // newest first
  std::string installPath;
  std::string defaultProjectLocation;
  std::string lastAddedProjectLocation;
};

// The most project records a settings file is read with. Projects%5Csize is sized into the list
// before any record is read, so a damaged or hostile count must not allocate without limit: a
// larger count is read as this many, and record numbers above it are ignored.
constexpr int kMaxProjectRecords = 100000;

// Creates the settings (with their file path, creating the settings folder), installs them in
// app.settings and reads the file into them. A missing or unreadable file gives empty settings.
void loadSettings(AppState& app);
// Writes the whole file through a temporary file and a rename. Never reports an error; does
// nothing when filePath is empty.
void saveSettings(const LauncherSettings& settings);

// Reads the text of a settings file into every field but filePath, which stays as it is. The
// fields are emptied first.
void readSettingsText(const std::string& text, LauncherSettings& settings);

// Removes leading and trailing spaces, tabs and carriage returns.
std::string trimIniToken(const std::string& text);
// "%" and two hexadecimal digits (either case) become that byte; anything else is copied.
std::string percentDecode(const std::string& text);
// Escapes space, "%", "/", "=", "@" and backslash as "%XX".
std::string escapeIniKey(const std::string& key);
// Escapes line feed, "%" and "@" as "%XX".
std::string escapeIniValue(const std::string& value);
