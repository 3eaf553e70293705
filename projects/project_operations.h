// Adding, creating and opening projects of the list; the project file a new project gets.
#pragma once

#include <cstdint>
#include <string>

struct AppState;
struct ProjectRecord;

// The editor column's label: the stored editor version, else "ORVO " and the installed
// version, else "ORVO Editor".
std::string editorLabelForProject(const AppState& app, const ProjectRecord& record);

// Resets the create dialog's fields and asks the frame loop to open it this frame.
void openNewProjectDialog(AppState& app);
// Creates the folder and the ".zelvanproj" file from the dialog's fields and records the
// project. On failure createDialogError holds the sentence and the list is unchanged.
void createProject(AppState& app);
// The three-line project file for a project of that name.
std::string projectFileText(const std::string& name);

// Opens the project at index in the editor, unless a launch guard refuses.
void openProjectAt(AppState& app, int32_t index);
// Lets the user choose a project file with the file chooser, records it and opens it.
void addProjectFromDisk(AppState& app);
