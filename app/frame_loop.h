// One frame of the launcher, between the host's beginFrame and presentFrame.
#pragma once

struct AppState;

// Polls the sign-in session and the updater and applies what they publish.
void pollOwnedObjects(AppState& app);
// Draws the full-window main window: background, the chosen screen, the popups.
void drawMainWindow(AppState& app);
// True when a project folder, or the editor's location or version, differs from what the last
// frame showed; cheap enough to ask about once a second at any list size.
bool shownFilesChanged(const AppState& app);
// How often an idle window asks shownFilesChanged: 0 when the last frame showed nothing of the
// file system.
double fileSystemPollSeconds(const AppState& app);
// The "Launcher not configured" card, centred in the main window's rectangle.
void drawNotConfiguredCard(AppState& app, const struct ImVec2& min, const struct ImVec2& max);
