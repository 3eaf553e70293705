// A stand-in "editor" for launch tests. The test program itself plays it: started through a
// symbolic link named "editor", its process name is "editor" and it only waits to be stopped
// (at most a minute), or ends at once when ORVO_TEST_EDITOR_EXIT is set in its environment.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Makes this process the reaper of orphaned descendants, so that the editors it starts (the
// launcher's grandchildren) become its children and are reaped by stopEditor, never left behind.
void adoptOrphanedEditors();
// Creates path, with its missing parent folders, as a symbolic link to this test program.
void installTestEditor(const std::string& path);
// Processes named "editor" that are children of this process.
std::vector<pid_t> childEditors();
// Waits up to 20 s for a child editor to appear; -1 when none does.
pid_t waitForChildEditor();
// Waits up to 20 s until no process named "editor" runs on the machine (another program's test
// may have one for a moment); false when one still runs.
bool waitUntilNoEditorRuns();
// Stops an editor child by its PID and reaps it.
void stopEditor(pid_t pid);
void stopChildEditors();
// Reads a file of /proc (NUL bytes kept); empty when unreadable.
std::string readProcFile(pid_t pid, const char* name);
// A numeric field of /proc/PID/stat counted from 1 (4: parent, 5: group, 6: session); -1 when gone.
long procStatField(pid_t pid, int field);
