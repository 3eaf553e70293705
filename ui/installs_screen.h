// The Installs page of the signed-in layout: the one managed editor installation, its update
// state, and the buttons that start, retry or cancel an update.
#pragma once

struct AppState;

// Draws the page right of the sidebar and carries out this frame's clicks. Needs app.updater.
void drawInstallsScreen(AppState& app);
