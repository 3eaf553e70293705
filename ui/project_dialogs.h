// Contents of the two project popups; the frame loop opens them and calls these between the
// popup's begin and end.
#pragma once

struct AppState;

// "Create a new project": name, location with "Browse", preview, message, "Cancel" and
// "Create project".
void drawCreateProjectDialog(AppState& app);
// "Cannot open project": the message and "OK".
void drawCannotOpenPopup(AppState& app);
// Frame step 9: opens a requested popup and draws whichever of the two is open.
void drawProjectPopups(AppState& app);
