// Adding, creating and opening projects of the list; the project file a new project gets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "projects/project_record.h"

struct AppState;

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

// After a successful launch: stamps the record at index of the copy (none when index is out of
// range) with time, re-sorts the copy newest first, assigns it back, saves and clears the notice.
void recordProjectOpened(AppState& app, std::vector<ProjectRecord> projects, ptrdiff_t index, int64_t time);
// Opens the project at index in the editor, unless a launch guard refuses.
void openProjectAt(AppState& app, int32_t index);
// Lets the user choose a project file with the file chooser, records it and opens it.
void addProjectFromDisk(AppState& app);
