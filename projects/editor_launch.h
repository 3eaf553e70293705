// Finding the editor, telling whether one runs, and starting it detached on a project.
#pragma once

#include <string>
#include <vector>

struct AppState;

// True when any process of any user is named "editor".
bool isEditorRunning();
// The first editor executable candidate in folder that is a regular file; empty when none.
std::string findEditorInDirectory(const std::string& folder);
// Where an editor is looked for around the launcher: its folder, the parent and the grandparent,
// but never a system folder ("/", "/usr", "/usr/local", their "bin" and "sbin", "/bin", "/sbin")
// or anything above one, where "editor" is the system's own text editor. Empty for an empty folder.
std::vector<std::string> editorSearchFolders(const std::string& launcherFolder);
// The first editor findEditorInDirectory finds in editorSearchFolders(executableDirectory()).
std::string findEditorNearLauncher();
// The editor to start: ZELVAN_DIR, the install path (or the launcher folder unless it is a
// system folder), the updater's install folder, then findEditorNearLauncher. Empty when none is
// found.
std::string resolveEditorExecutable(const AppState& app);
// Starts the editor on project in its own session and folder, and waits only until its program
// has been executed or has failed. On false, error holds a sentence for the "Cannot open project"
// popup, or is left unchanged when the project was parked until the updater installs an editor.
bool openProjectInEditor(AppState& app, const std::string& project, std::string& error);
// Once per frame after the updater's join: opens a parked project when an editor has been
// installed, or reports why it cannot be opened.
void handOffParkedProject(AppState& app);
